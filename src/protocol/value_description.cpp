#include "protocol/value_description.hpp"

#include <array>
#include <charconv>
#include <cstdint>

#include "common/utf8.hpp"

namespace debrindle {
namespace {

struct CodePointRange {
    char32_t first;
    char32_t last;
};

// Characters beyond ASCII that would be invisible, ambiguous or unassigned in
// a message, kept short on purpose: one range per block of such characters.
constexpr std::array<CodePointRange, 28> non_printable_ranges = {{
    {0x007F, 0x00A0},     // DEL, C1 controls, no-break space
    {0x00AD, 0x00AD},     // soft hyphen
    {0x0600, 0x0605},     // Arabic number signs
    {0x061C, 0x061C},     // Arabic letter mark
    {0x06DD, 0x06DD},     // Arabic end of ayah
    {0x070F, 0x070F},     // Syriac abbreviation mark
    {0x0890, 0x0891},     // Arabic pound and piastre marks above
    {0x08E2, 0x08E2},     // Arabic disputed end of ayah
    {0x1680, 0x1680},     // Ogham space mark
    {0x180E, 0x180E},     // Mongolian vowel separator
    {0x2000, 0x200F},     // spaces, zero-width characters, direction marks
    {0x2028, 0x202F},     // line and paragraph separators, embeddings, narrow space
    {0x205F, 0x2064},     // medium space, word joiner, invisible operators
    {0x2066, 0x206F},     // isolates and deprecated format characters
    {0x3000, 0x3000},     // ideographic space
    {0xD800, 0xF8FF},     // surrogates and private use
    {0xFDD0, 0xFDEF},     // noncharacters
    {0xFEFF, 0xFEFF},     // byte-order mark
    {0xFFF0, 0xFFFB},     // unassigned specials, interlinear annotation
    {0x110BD, 0x110BD},   // Kaithi number sign
    {0x110CD, 0x110CD},   // Kaithi number sign above
    {0x13430, 0x1343F},   // Egyptian hieroglyph format controls
    {0x1BCA0, 0x1BCA3},   // shorthand format controls
    {0x1D173, 0x1D17A},   // musical symbol format controls
    {0x323B0, 0x3FFFF},   // unassigned rest of plane 3
    {0x40000, 0xDFFFF},   // planes 4 to 13, unassigned
    {0xE0000, 0xEFFFF},   // tags, variation selectors supplement, unassigned
    {0xF0000, 0x10FFFF},  // private use planes
}};

void append_hex_escape(std::string& out, char32_t code_point) {
    char digits[8];
    const auto result = std::to_chars(digits, digits + sizeof digits, static_cast<std::uint32_t>(code_point), 16);
    out += "\\u{";
    out.append(digits, result.ptr);
    out += '}';
}

}  // namespace

bool is_printable(char32_t code_point) {
    if (code_point < 0x20) return false;
    if (code_point < 0x7F) return true;
    if ((code_point & 0xFFFE) == 0xFFFE) return false;  // U+xxFFFE and U+xxFFFF
    for (const CodePointRange& range : non_printable_ranges) {
        if (code_point < range.first) return true;
        if (code_point <= range.last) return false;
    }
    return true;
}

std::string describe_number(const JsonNumber& number) {
    switch (number.kind) {
        case JsonNumber::Kind::unsigned_integer: return "integer `" + std::to_string(number.unsigned_value) + "`";
        case JsonNumber::Kind::negative_integer: return "integer `" + std::to_string(number.negative_value) + "`";
        case JsonNumber::Kind::floating: break;
    }
    return "floating point `" + format_float(number.floating_value) + "`";
}

std::string describe_string(std::string_view text) {
    std::string out = "string \"";
    out.reserve(text.size() + 10);
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        // Decoded strings are valid UTF-8; a broken sequence can only come
        // from a caller that broke that promise, and shows as U+FFFD.
        const Utf8Check check = check_utf8(text.substr(pos, 4));
        if (!check.valid && check.valid_up_to == 0) {
            out += "\xEF\xBF\xBD";
            ++pos;
            continue;
        }
        const char32_t code_point = next_code_point(text, pos);
        switch (code_point) {
            case U'"': out += "\\\""; break;
            case U'\\': out += "\\\\"; break;
            case U'\t': out += "\\t"; break;
            case U'\r': out += "\\r"; break;
            case U'\n': out += "\\n"; break;
            case U'\0': out += "\\0"; break;
            default:
                if (is_printable(code_point)) {
                    out.append(text, start, pos - start);
                } else {
                    append_hex_escape(out, code_point);
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace debrindle
