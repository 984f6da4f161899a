#include "protocol/json_scanner.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <vector>

#include "common/utf8.hpp"
#include "protocol/value_description.hpp"

namespace debrindle {
namespace {

constexpr std::array<std::string_view, 19> fault_messages = {
    "EOF while parsing a value",
    "EOF while parsing an object",
    "EOF while parsing a list",
    "EOF while parsing a string",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "unexpected end of hex escape",
    "trailing comma",
    "trailing characters",
};

bool is_json_white_space(char byte) { return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r'; }

bool is_digit(int byte) { return byte >= '0' && byte <= '9'; }

bool is_string_special(char byte) { return byte == '"' || byte == '\\' || static_cast<unsigned char>(byte) < 0x20; }

int hex_value(char byte) {
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    return -1;
}

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

char closing_bracket(char opening) { return opening == '[' ? ']' : '}'; }

// An exponent this large already means overflow or zero for any significand
// and any input that fits in memory, so written exponents stop growing here.
constexpr std::int64_t exponent_ceiling = 1'000'000'000'000'000;

}  // namespace

int JsonScanner::peek_token() {
    while (pos_ < input_.size() && is_json_white_space(input_[pos_])) ++pos_;
    return pos_ < input_.size() ? static_cast<unsigned char>(input_[pos_]) : end_of_input;
}

bool JsonScanner::fail(std::string message, std::size_t offset) {
    const std::string_view before = input_.substr(0, offset);
    const std::size_t last_line_feed = before.rfind('\n');
    error_.message = std::move(message);
    error_.line = 1 + static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n'));
    error_.column = last_line_feed == std::string_view::npos ? offset : offset - (last_line_feed + 1);
    return false;
}

bool JsonScanner::fail(JsonFault fault, std::size_t offset) {
    return fail(std::string(fault_messages[static_cast<std::size_t>(fault)]), offset);
}

bool JsonScanner::fail_on_next_byte(JsonFault fault) { return fail(fault, std::min(pos_ + 1, input_.size())); }

// ---------------------------------------------------------------- strings

bool JsonScanner::read_string(std::string& out) { return scan_string(&out); }

// Reads a string from its opening quote. With `out` the text is unescaped,
// surrogate escapes must pair up and, in byte mode, the text must be UTF-8;
// without it the string is only checked for its escapes and control bytes.
bool JsonScanner::scan_string(std::string* out) {
    ++pos_;
    bool valid_utf8 = true;
    for (;;) {
        // Runs of ordinary bytes are the bulk of a prompt: found word by word,
        // validated and copied in one go. A UTF-8 sequence cannot straddle an
        // escape, so checking run by run equals checking the whole text.
        const std::size_t run_end = find_string_special(pos_);
        if (out != nullptr) {
            const std::string_view run = input_.substr(pos_, run_end - pos_);
            if (check_utf8_ && valid_utf8) valid_utf8 = is_valid_utf8(run);
            out->append(run);
        }
        pos_ = run_end;
        if (pos_ == input_.size()) return fail_here(JsonFault::eof_while_parsing_string);
        const char byte = input_[pos_++];
        if (byte == '"') break;
        if (byte != '\\') return fail_here(JsonFault::control_character_in_string);
        if (!scan_escape(out)) return false;
    }
    // Reported for the string as a whole, after any fault inside it.
    if (!valid_utf8) return fail_here(JsonFault::invalid_unicode_code_point);
    return true;
}

bool JsonScanner::scan_escape(std::string* out) {
    if (pos_ == input_.size()) return fail_here(JsonFault::eof_while_parsing_string);
    char decoded = 0;
    switch (input_[pos_++]) {
        case '"': decoded = '"'; break;
        case '\\': decoded = '\\'; break;
        case '/': decoded = '/'; break;
        case 'b': decoded = '\b'; break;
        case 'f': decoded = '\f'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        case 'u': {
            char32_t unit = 0;
            if (!read_hex_escape(unit)) return false;
            if (out == nullptr) return true;
            if (is_low_surrogate(unit)) return fail_here(JsonFault::lone_leading_surrogate);
            if (is_high_surrogate(unit)) {
                // Only a \u escape of a low surrogate may follow.
                for (const char expected : {'\\', 'u'}) {
                    if (pos_ == input_.size()) return fail_here(JsonFault::eof_while_parsing_string);
                    if (input_[pos_++] != expected) return fail_here(JsonFault::unexpected_end_of_hex_escape);
                }
                char32_t low = 0;
                if (!read_hex_escape(low)) return false;
                if (!is_low_surrogate(low)) return fail_here(JsonFault::lone_leading_surrogate);
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            }
            append_utf8(*out, unit);
            return true;
        }
        default: return fail_here(JsonFault::invalid_escape);
    }
    if (out != nullptr) out->push_back(decoded);
    return true;
}

// The four hexadecimal digits after "\u".
bool JsonScanner::read_hex_escape(char32_t& unit) {
    unit = 0;
    for (int i = 0; i < 4; ++i) {
        if (pos_ == input_.size()) return fail_here(JsonFault::eof_while_parsing_string);
        const int digit = hex_value(input_[pos_++]);
        if (digit < 0) return fail_here(JsonFault::invalid_escape);
        unit = (unit << 4) | static_cast<char32_t>(digit);
    }
    return true;
}

// The offset of the first '"', '\\' or control byte at or after `pos`, or the
// input's length. Eight bytes at a time: (x - 0x01..) & ~x has a byte's high
// bit set when that byte is zero, and (x - 0x20..) & ~x when it is below 0x20.
std::size_t JsonScanner::find_string_special(std::size_t pos) const {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
    const char* data = input_.data();
    const std::size_t size = input_.size();
    while (pos + 8 <= size) {
        std::uint64_t word;
        std::memcpy(&word, data + pos, sizeof word);
        const std::uint64_t quote = word ^ (ones * '"');
        const std::uint64_t backslash = word ^ (ones * '\\');
        const std::uint64_t flags =
            ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | ((word - ones * 0x20) & ~word);
        if ((flags & high_bits) != 0) break;
        pos += 8;
    }
    while (pos < size && !is_string_special(data[pos])) ++pos;
    return pos;
}

// ---------------------------------------------------------------- numbers and literals

bool JsonScanner::read_literal(std::string_view word) {
    for (const char expected : word) {
        if (pos_ == input_.size()) return fail_here(JsonFault::eof_while_parsing_value);
        if (input_[pos_++] != expected) return fail_here(JsonFault::expected_ident);
    }
    return true;
}

// Reads a number into its kind. A floating value is the significand (the
// digits while they fit in 64 bits; later integer digits raise the exponent,
// later fraction digits are dropped) scaled by a power of ten.
bool JsonScanner::read_number(JsonNumber& out) {
    const bool negative = input_[pos_] == '-';
    if (negative) ++pos_;
    if (pos_ == input_.size()) return fail_here(JsonFault::eof_while_parsing_value);

    std::uint64_t significand = 0;
    std::int64_t exponent = 0;
    bool significand_full = false;
    auto next_byte = [&]() -> int { return pos_ < input_.size() ? input_[pos_] : end_of_input; };
    auto add_digit = [&](unsigned digit, bool in_fraction) {
        if (!significand_full && significand <= (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            significand = significand * 10 + digit;
            if (in_fraction) --exponent;
        } else {
            significand_full = true;
            if (!in_fraction) ++exponent;
        }
    };

    const char first = input_[pos_++];
    if (first == '0') {
        if (is_digit(next_byte())) return fail_on_next_byte(JsonFault::invalid_number);
    } else if (is_digit(first)) {
        add_digit(static_cast<unsigned>(first - '0'), false);
        while (is_digit(next_byte())) add_digit(static_cast<unsigned>(input_[pos_++] - '0'), false);
    } else {
        return fail_here(JsonFault::invalid_number);
    }

    bool floating = significand_full;
    if (next_byte() == '.') {
        ++pos_;
        floating = true;
        if (pos_ == input_.size()) return fail_here(JsonFault::eof_while_parsing_value);
        if (!is_digit(next_byte())) return fail_on_next_byte(JsonFault::invalid_number);
        while (is_digit(next_byte())) add_digit(static_cast<unsigned>(input_[pos_++] - '0'), true);
    }
    if (next_byte() == 'e' || next_byte() == 'E') {
        ++pos_;
        floating = true;
        const bool negative_exponent = next_byte() == '-';
        if (negative_exponent || next_byte() == '+') ++pos_;
        if (pos_ == input_.size()) return fail_here(JsonFault::eof_while_parsing_value);
        if (!is_digit(input_[pos_++])) return fail_here(JsonFault::invalid_number);
        std::int64_t written = input_[pos_ - 1] - '0';
        while (is_digit(next_byte())) {
            const int digit = input_[pos_++] - '0';
            if (written < exponent_ceiling) written = written * 10 + digit;
        }
        exponent += negative_exponent ? -written : written;
    }

    if (!floating && !negative) {
        out = {JsonNumber::Kind::unsigned_integer, significand, 0, 0.0};
        return true;
    }
    constexpr std::uint64_t most_negative_magnitude = std::uint64_t{1} << 63;
    if (!floating && significand != 0 && significand <= most_negative_magnitude) {
        out = {JsonNumber::Kind::negative_integer, 0, static_cast<std::int64_t>(0 - significand), 0.0};
        return true;
    }
    const std::optional<double> magnitude = scale_by_power_of_ten(significand, exponent);
    if (!magnitude) return fail_here(JsonFault::number_out_of_range);
    out = {JsonNumber::Kind::floating, 0, 0, negative ? -*magnitude : *magnitude};
    return true;
}

// Checks a number against the grammar only: a skipped number has no value.
bool JsonScanner::skip_number() {
    if (input_[pos_] == '-') ++pos_;
    auto skip_digits = [&] {
        while (pos_ < input_.size() && is_digit(input_[pos_])) ++pos_;
    };
    auto next_is_digit = [&] { return pos_ < input_.size() && is_digit(input_[pos_]); };

    if (pos_ == input_.size()) return fail_here(JsonFault::invalid_number);
    const char first = input_[pos_++];
    if (first == '0') {
        if (next_is_digit()) return fail_on_next_byte(JsonFault::invalid_number);
    } else if (is_digit(first)) {
        skip_digits();
    } else {
        return fail_here(JsonFault::invalid_number);
    }
    if (pos_ < input_.size() && input_[pos_] == '.') {
        ++pos_;
        if (!next_is_digit()) return fail_on_next_byte(JsonFault::invalid_number);
        skip_digits();
    }
    if (pos_ < input_.size() && (input_[pos_] == 'e' || input_[pos_] == 'E')) {
        ++pos_;
        if (pos_ < input_.size() && (input_[pos_] == '+' || input_[pos_] == '-')) ++pos_;
        if (pos_ == input_.size()) return fail_here(JsonFault::invalid_number);
        if (!is_digit(input_[pos_++])) return fail_here(JsonFault::invalid_number);
        skip_digits();
    }
    return true;
}

// ---------------------------------------------------------------- whole values

bool JsonScanner::skip_value() {
    std::vector<char> open_brackets;
    bool value_due = true;
    for (;;) {
        if (value_due) {
            const int first = peek_token();
            if (first != '[' && first != '{') {
                if (!skip_scalar(first)) return false;
                value_due = false;
                continue;
            }
            take();
            const int next = peek_token();
            if (next == closing_bracket(static_cast<char>(first))) {
                take();  // an empty array or object is a complete value
                value_due = false;
                continue;
            }
            open_brackets.push_back(static_cast<char>(first));
            if (first == '{' && !skip_member_name()) return false;
            if (next == end_of_input) return fail_here(JsonFault::eof_while_parsing_list);
            continue;
        }

        // A value has just ended.
        if (open_brackets.empty()) return true;
        const char innermost = open_brackets.back();
        const int next = peek_token();
        if (next == ',') {
            take();
            if (innermost == '{' && !skip_member_name()) return false;
            value_due = true;
        } else if (next == closing_bracket(innermost)) {
            take();
            open_brackets.pop_back();
        } else if (next == end_of_input) {
            return fail_here(innermost == '[' ? JsonFault::eof_while_parsing_list
                                              : JsonFault::eof_while_parsing_object);
        } else {
            return fail_on_next_byte(innermost == '[' ? JsonFault::expected_list_comma_or_end
                                                      : JsonFault::expected_object_comma_or_end);
        }
    }
}

// A value that is not an array or an object, starting with the byte `first`.
bool JsonScanner::skip_scalar(int first) {
    switch (first) {
        case end_of_input: return fail_here(JsonFault::eof_while_parsing_value);
        case 'n': return read_literal("null");
        case 't': return read_literal("true");
        case 'f': return read_literal("false");
        case '"': return scan_string(nullptr);
        default:
            if (first == '-' || is_digit(first)) return skip_number();
            return fail_on_next_byte(JsonFault::expected_value);
    }
}

// A member name and its ":" inside a skipped object.
bool JsonScanner::skip_member_name() {
    const int first = peek_token();
    if (first == end_of_input) return fail_here(JsonFault::eof_while_parsing_object);
    if (first != '"') return fail_on_next_byte(JsonFault::key_must_be_a_string);
    if (!scan_string(nullptr)) return false;
    const int next = peek_token();
    if (next == ':') {
        take();
        return true;
    }
    if (next == end_of_input) return fail_here(JsonFault::eof_while_parsing_object);
    return fail_on_next_byte(JsonFault::expected_colon);
}

bool JsonScanner::fail_invalid_type(std::string_view expected) {
    std::string description;
    const int first = peek_token();
    switch (first) {
        case 'n':
            if (!read_literal("null")) return false;
            description = "null";
            break;
        case 't':
            if (!read_literal("true")) return false;
            description = "boolean `true`";
            break;
        case 'f':
            if (!read_literal("false")) return false;
            description = "boolean `false`";
            break;
        case '"': {
            std::string text;
            if (!read_string(text)) return false;
            description = describe_string(text);
            break;
        }
        // Described without reading them, at their opening bracket.
        case '[': return fail_here("invalid type: sequence, expected " + std::string(expected));
        case '{': return fail_here("invalid type: map, expected " + std::string(expected));
        default: {
            if (first != '-' && !is_digit(first)) return fail_on_next_byte(JsonFault::expected_value);
            JsonNumber number;
            if (!read_number(number)) return false;
            description = describe_number(number);
        }
    }
    return fail_here("invalid type: " + description + ", expected " + std::string(expected));
}

}  // namespace debrindle
