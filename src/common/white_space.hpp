#pragma once
// White space as Unicode's White_Space property defines it.

#include <cstddef>
#include <string_view>

namespace debrindle {

bool is_white_space(char32_t code_point);

// Removes white space from both ends of valid UTF-8 text.
std::string_view trim_white_space(std::string_view text);

// The number of maximal runs of non-white-space characters in valid UTF-8 text.
std::size_t count_words(std::string_view text);

}  // namespace debrindle
