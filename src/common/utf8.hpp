#pragma once
// UTF-8 validation and code point stepping.

#include <cstddef>
#include <string>
#include <string_view>

namespace debrindle {

// The outcome of validating bytes as UTF-8. When invalid, `valid_up_to` is
// the length of the longest valid prefix and `error_length` the length (1 to
// 3) of the broken sequence that starts there, or 0 when the bytes simply end
// inside a sequence that is valid so far.
struct Utf8Check {
    bool valid = true;
    std::size_t valid_up_to = 0;
    std::size_t error_length = 0;
};

Utf8Check check_utf8(std::string_view bytes);

inline bool is_valid_utf8(std::string_view bytes) { return check_utf8(bytes).valid; }

// Reads the code point that starts at `pos` in valid UTF-8 text and moves
// `pos` past it.
char32_t next_code_point(std::string_view text, std::size_t& pos);

// Reads the code point that ends at `end` in valid UTF-8 text and moves `end`
// back to its first byte.
char32_t previous_code_point(std::string_view text, std::size_t& end);

void append_utf8(std::string& out, char32_t code_point);

}  // namespace debrindle
