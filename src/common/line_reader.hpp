#pragma once
// Standard input read line by line through a fixed buffer.

#include <cstddef>
#include <string>
#include <vector>

#include "common/platform.hpp"

namespace debrindle {

enum class LineRead {
    ended,      // the input ended before any byte
    line,       // a whole line
    too_large,  // a line whose bytes could not all be held in memory
};

class LineReader {
public:
    explicit LineReader(std::size_t capacity = 8192);

    // Replaces `line` with the next line: its bytes up to and including the
    // next "\n", or up to the end of input. Lines have no length limit but
    // the memory: a line that does not fit is read to its end and dropped,
    // and `line` is left empty.
    Result<LineRead, IoError> read_line(std::string& line);

private:
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace debrindle
