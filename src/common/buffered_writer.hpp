#pragma once
// Standard output through a fixed buffer, flushed by the caller.

#include <cstddef>
#include <string>
#include <string_view>

#include "common/platform.hpp"

namespace debrindle {

class BufferedWriter {
public:
    explicit BufferedWriter(std::size_t capacity = 8192);

    // Appends bytes; writes the buffer out whenever it fills.
    Result<Done, IoError> write(std::string_view bytes);
    // Writes out whatever is buffered.
    Result<Done, IoError> flush();

private:
    std::string buffer_;
    std::size_t capacity_;
};

}  // namespace debrindle
