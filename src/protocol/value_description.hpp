#pragma once
// How "invalid type" and "invalid value" messages describe a JSON value.

#include <string>
#include <string_view>

#include "protocol/json_number.hpp"

namespace debrindle {

// "integer `5`", "floating point `0.5`".
std::string describe_number(const JsonNumber& number);

// `string "..."` with quotes, backslashes and non-printable characters
// escaped, so that the message stays one readable line.
std::string describe_string(std::string_view text);

// Whether a character is shown as it is inside a described string. Beyond
// ASCII the non-printable ones are the C1 controls, the spaces other than
// U+0020, the line and paragraph separators, the format characters,
// surrogates, private use, noncharacters and the wholly unassigned planes;
// the rest (letters, marks, symbols, CJK, emoji) print as they are.
bool is_printable(char32_t code_point);

}  // namespace debrindle
