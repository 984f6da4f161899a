#pragma once
// Reads the JSON tokens of one request: white space, strings, numbers,
// literals, and whole values that are only checked and skipped. Every byte of
// the input is read here, and every fault becomes the DecodeError in one
// place, fail(), which turns the fault's offset into a line and column.
//
// Offsets follow one rule: a fault in a byte is reported just after that
// byte, a fault in a whole value just after the value's last byte, and a
// fault at the end of the input at the input's length.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/json_number.hpp"
#include "protocol/request.hpp"

namespace debrindle {

// The faults whose message is fixed text.
enum class JsonFault : std::uint8_t {
    eof_while_parsing_value,
    eof_while_parsing_object,
    eof_while_parsing_list,
    eof_while_parsing_string,
    expected_colon,
    expected_list_comma_or_end,
    expected_object_comma_or_end,
    expected_ident,
    expected_value,
    invalid_escape,
    invalid_number,
    number_out_of_range,
    invalid_unicode_code_point,
    control_character_in_string,
    key_must_be_a_string,
    lone_leading_surrogate,
    unexpected_end_of_hex_escape,
    trailing_comma,
    trailing_characters,
};

class JsonScanner {
public:
    static constexpr int end_of_input = -1;

    // With `check_utf8`, every string read in full must be valid UTF-8.
    JsonScanner(std::string_view input, bool check_utf8) : input_(input), check_utf8_(check_utf8) {}

    std::size_t offset() const { return pos_; }
    std::size_t size() const { return input_.size(); }

    // Skips white space, then shows the next byte without taking it, or
    // end_of_input.
    int peek_token();
    // Takes the byte that peek_token showed.
    void take() { ++pos_; }

    // The readers below start at the value's first byte, which the caller has
    // seen through peek_token, and return false after a fault.

    // A string, unescaped into `out` (which the caller passes empty).
    bool read_string(std::string& out);
    bool read_number(JsonNumber& out);
    // "null", "true" or "false", starting at its first letter.
    bool read_literal(std::string_view word);
    // Checks and skips one value of any kind and depth, white space before it
    // included, keeping open brackets on a heap stack instead of recursing.
    bool skip_value();
    // The value at the next byte has the wrong type: reads it in full (so a
    // fault inside it wins) and fails with "invalid type: {}, expected {}".
    bool fail_invalid_type(std::string_view expected);

    // Records the fault and returns false, so that callers can return it.
    bool fail(JsonFault fault, std::size_t offset);
    bool fail(std::string message, std::size_t offset);
    bool fail_here(JsonFault fault) { return fail(fault, pos_); }
    bool fail_here(std::string message) { return fail(std::move(message), pos_); }
    // Fails just after the next byte (at the input's length at its end).
    bool fail_on_next_byte(JsonFault fault);

    DecodeError take_error() { return std::move(error_); }

private:
    bool scan_string(std::string* out);
    bool scan_escape(std::string* out);
    bool read_hex_escape(char32_t& unit);
    std::size_t find_string_special(std::size_t pos) const;
    bool skip_number();
    bool skip_scalar(int first);
    bool skip_member_name();

    std::string_view input_;
    bool check_utf8_;
    std::size_t pos_ = 0;
    DecodeError error_;
};

}  // namespace debrindle
