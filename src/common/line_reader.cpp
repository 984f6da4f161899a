#include "common/line_reader.hpp"

#include <cstring>

namespace debrindle {

LineReader::LineReader(std::size_t capacity) : buffer_(capacity) {}

Result<bool, IoError> LineReader::read_line(std::string& line) {
    line.clear();
    for (;;) {
        if (begin_ == end_) {
            auto got = read_standard_input(buffer_.data(), buffer_.size());
            if (!got) return Failure{std::move(got).error()};
            if (*got == 0) return !line.empty();
            begin_ = 0;
            end_ = *got;
        }
        const char* start = buffer_.data() + begin_;
        const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
        const std::size_t taken = newline != nullptr ? static_cast<std::size_t>(newline - start) + 1 : end_ - begin_;
        line.append(start, taken);
        begin_ += taken;
        if (newline != nullptr) return true;
    }
}

}  // namespace debrindle
