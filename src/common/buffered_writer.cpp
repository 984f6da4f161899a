#include "common/buffered_writer.hpp"

namespace debrindle {

BufferedWriter::BufferedWriter(std::size_t capacity) : capacity_(capacity) { buffer_.reserve(capacity); }

Result<Done, IoError> BufferedWriter::write(std::string_view bytes) {
    if (buffer_.size() + bytes.size() > capacity_) {
        auto flushed = flush();
        if (!flushed) return flushed;
        // What cannot fit in the buffer goes straight out.
        if (bytes.size() >= capacity_) return write_standard_output(bytes);
    }
    buffer_.append(bytes);
    return Done{};
}

Result<Done, IoError> BufferedWriter::flush() {
    if (buffer_.empty()) return Done{};
    auto written = write_standard_output(buffer_);
    buffer_.clear();
    return written;
}

}  // namespace debrindle
