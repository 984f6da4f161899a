#include "common/line_reader.hpp"

#include <cstring>
#include <new>

namespace debrindle {

LineReader::LineReader(std::size_t capacity) : buffer_(capacity) {}

Result<LineRead, IoError> LineReader::read_line(std::string& line) {
    line.clear();
    bool held = true;
    for (;;) {
        if (begin_ == end_) {
            auto got = read_standard_input(buffer_.data(), buffer_.size());
            if (!got) return Failure{std::move(got).error()};
            if (*got == 0) {
                if (!held) return LineRead::too_large;
                return line.empty() ? LineRead::ended : LineRead::line;
            }
            begin_ = 0;
            end_ = *got;
        }
        const char* start = buffer_.data() + begin_;
        const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
        const std::size_t taken = newline != nullptr ? static_cast<std::size_t>(newline - start) + 1 : end_ - begin_;
        if (held) {
            try {
                line.append(start, taken);
            } catch (const std::bad_alloc&) {
                std::string().swap(line);  // gives the memory back at once
                held = false;
            }
        }
        begin_ += taken;
        if (newline != nullptr) return held ? LineRead::line : LineRead::too_large;
    }
}

}  // namespace debrindle
