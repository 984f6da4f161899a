#pragma once
// Standard input read line by line through a fixed buffer.

#include <cstddef>
#include <string>
#include <vector>

#include "common/platform.hpp"

namespace debrindle {

class LineReader {
public:
    explicit LineReader(std::size_t capacity = 8192);

    // Replaces `line` with the next line: its bytes up to and including the
    // next "\n", or up to the end of input. Gives false when the input has
    // ended before any byte. Lines have no length limit.
    Result<bool, IoError> read_line(std::string& line);

private:
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace debrindle
