#include "protocol/request_decoder.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "protocol/json_scanner.hpp"
#include "protocol/value_description.hpp"

namespace debrindle {
namespace {

// The members in declaration order: the order of the array form and of the
// "missing field" checks.
enum class Member : std::uint8_t { action, modelPath, systemPrompt, userPrompt, temperature, maxTokens };
constexpr std::size_t member_count = 6;
constexpr std::array<std::string_view, member_count> member_names = {"action",     "modelPath",   "systemPrompt",
                                                                     "userPrompt", "temperature", "maxTokens"};

bool is_number_start(int byte) { return byte == '-' || (byte >= '0' && byte <= '9'); }

// Reads one request with a JsonScanner, member by member.
class RequestDecoder {
public:
    RequestDecoder(std::string_view input, bool check_utf8) : scanner_(input, check_utf8) {}

    Result<LlamaHelperRequest, DecodeError> decode() {
        if (!decode_document()) return Failure{scanner_.take_error()};
        return std::move(request_);
    }

private:
    bool decode_document();
    bool decode_object();
    bool decode_array();
    bool decode_member(Member member);
    bool decode_text(std::string& out);
    bool decode_temperature();
    bool decode_max_tokens();
    bool decode_action();
    bool decode_action_name();
    bool decode_unit();

    JsonScanner scanner_;
    LlamaHelperRequest request_;
};

}  // namespace

Result<LlamaHelperRequest, DecodeError> decode_request_bytes(std::string_view bytes) {
    return RequestDecoder(bytes, true).decode();
}

Result<LlamaHelperRequest, DecodeError> decode_request_text(std::string_view text) {
    // Valid UTF-8 by contract, so only the check of each string is left out.
    return RequestDecoder(text, false).decode();
}

namespace {

bool RequestDecoder::decode_document() {
    switch (scanner_.peek_token()) {
        case JsonScanner::end_of_input: return scanner_.fail_here(JsonFault::eof_while_parsing_value);
        case '{':
            if (!decode_object()) return false;
            break;
        case '[':
            if (!decode_array()) return false;
            break;
        default: return scanner_.fail_invalid_type("struct LlamaHelperRequest");
    }
    if (scanner_.peek_token() != JsonScanner::end_of_input) {
        return scanner_.fail_on_next_byte(JsonFault::trailing_characters);
    }
    return true;
}

bool RequestDecoder::decode_object() {
    scanner_.take();
    std::array<bool, member_count> seen{};
    for (bool first = true;; first = false) {
        int next = scanner_.peek_token();
        if (next == JsonScanner::end_of_input) return scanner_.fail_here(JsonFault::eof_while_parsing_object);
        if (next == '}') break;
        if (!first) {
            if (next != ',') return scanner_.fail_on_next_byte(JsonFault::expected_object_comma_or_end);
            scanner_.take();
            next = scanner_.peek_token();
            if (next == '}') return scanner_.fail_on_next_byte(JsonFault::trailing_comma);
            if (next == JsonScanner::end_of_input) return scanner_.fail_here(JsonFault::eof_while_parsing_value);
        }
        if (next != '"') return scanner_.fail_on_next_byte(JsonFault::key_must_be_a_string);

        std::string name;
        if (!scanner_.read_string(name)) return false;
        const auto* known = std::find(member_names.begin(), member_names.end(), name);
        const auto index = static_cast<std::size_t>(known - member_names.begin());
        if (known != member_names.end()) {
            // Reported before the ":" is looked for.
            if (seen[index]) return scanner_.fail_here("duplicate field `" + name + "`");
            seen[index] = true;
        }

        next = scanner_.peek_token();
        if (next == JsonScanner::end_of_input) return scanner_.fail_here(JsonFault::eof_while_parsing_object);
        if (next != ':') return scanner_.fail_on_next_byte(JsonFault::expected_colon);
        scanner_.take();

        const bool decoded =
            known != member_names.end() ? decode_member(static_cast<Member>(index)) : scanner_.skip_value();
        if (!decoded) return false;
    }
    scanner_.take();

    // Every member but the action is required.
    for (std::size_t index = 1; index < member_count; ++index) {
        if (!seen[index]) {
            return scanner_.fail_here("missing field `" + std::string(member_names[index]) + "`");
        }
    }
    return true;
}

bool RequestDecoder::decode_array() {
    scanner_.take();
    for (std::size_t index = 0; index < member_count; ++index) {
        int next = scanner_.peek_token();
        if (next == JsonScanner::end_of_input) return scanner_.fail_here(JsonFault::eof_while_parsing_list);
        if (next == ']') {
            // An empty array leaves the action at its default and then lacks
            // the model path, like an array that holds only an action.
            if (index == 0) continue;
            scanner_.take();
            return scanner_.fail_here("invalid length " + std::to_string(index) +
                                      ", expected struct LlamaHelperRequest with 6 elements");
        }
        if (index > 0) {
            if (next != ',') return scanner_.fail_on_next_byte(JsonFault::expected_list_comma_or_end);
            scanner_.take();
            next = scanner_.peek_token();
            if (next == ']') return scanner_.fail_on_next_byte(JsonFault::trailing_comma);
            if (next == JsonScanner::end_of_input) return scanner_.fail_here(JsonFault::eof_while_parsing_value);
        }
        if (!decode_member(static_cast<Member>(index))) return false;
    }

    switch (scanner_.peek_token()) {
        case ']': scanner_.take(); return true;
        case ',':
            scanner_.take();
            return scanner_.fail_on_next_byte(scanner_.peek_token() == ']' ? JsonFault::trailing_comma
                                                                           : JsonFault::trailing_characters);
        case JsonScanner::end_of_input: return scanner_.fail_here(JsonFault::eof_while_parsing_list);
        default: return scanner_.fail_on_next_byte(JsonFault::trailing_characters);
    }
}

bool RequestDecoder::decode_member(Member member) {
    switch (member) {
        case Member::action: return decode_action();
        case Member::modelPath: return decode_text(request_.modelPath);
        case Member::systemPrompt: return decode_text(request_.systemPrompt);
        case Member::userPrompt: return decode_text(request_.userPrompt);
        case Member::temperature: return decode_temperature();
        case Member::maxTokens: return decode_max_tokens();
    }
    return false;
}

bool RequestDecoder::decode_text(std::string& out) {
    const int first = scanner_.peek_token();
    if (first == JsonScanner::end_of_input) return scanner_.fail_here(JsonFault::eof_while_parsing_value);
    if (first != '"') return scanner_.fail_invalid_type("a string");
    out.clear();
    return scanner_.read_string(out);
}

// A double rounded to the nearest float; beyond the float range it becomes
// an infinity of its sign, where a plain cast would be undefined.
float to_float(double value) {
    // Halfway between the largest float and 2^128: from here on a rounding
    // to nearest gives infinity.
    constexpr double rounds_to_infinity = 0x1.ffffffp127;
    constexpr double largest = std::numeric_limits<float>::max();
    constexpr float infinity = std::numeric_limits<float>::infinity();
    if (std::fabs(value) >= rounds_to_infinity) return std::signbit(value) ? -infinity : infinity;
    if (std::fabs(value) > largest) return static_cast<float>(std::copysign(largest, value));
    return static_cast<float>(value);
}

bool RequestDecoder::decode_temperature() {
    const int first = scanner_.peek_token();
    if (first == JsonScanner::end_of_input) return scanner_.fail_here(JsonFault::eof_while_parsing_value);
    if (!is_number_start(first)) return scanner_.fail_invalid_type("f32");
    JsonNumber number;
    if (!scanner_.read_number(number)) return false;
    switch (number.kind) {
        case JsonNumber::Kind::unsigned_integer:
            request_.temperature = static_cast<float>(number.unsigned_value);
            break;
        case JsonNumber::Kind::negative_integer:
            request_.temperature = static_cast<float>(number.negative_value);
            break;
        case JsonNumber::Kind::floating: request_.temperature = to_float(number.floating_value); break;
    }
    return true;
}

bool RequestDecoder::decode_max_tokens() {
    const int first = scanner_.peek_token();
    if (first == JsonScanner::end_of_input) return scanner_.fail_here(JsonFault::eof_while_parsing_value);
    if (!is_number_start(first)) return scanner_.fail_invalid_type("i32");
    JsonNumber number;
    if (!scanner_.read_number(number)) return false;
    constexpr auto lowest = std::numeric_limits<std::int32_t>::min();
    constexpr auto highest = std::numeric_limits<std::int32_t>::max();
    const bool in_range =
        (number.kind == JsonNumber::Kind::unsigned_integer && number.unsigned_value <= std::uint64_t{highest}) ||
        (number.kind == JsonNumber::Kind::negative_integer && number.negative_value >= lowest);
    if (in_range) {
        request_.maxTokens = number.kind == JsonNumber::Kind::unsigned_integer
                                 ? static_cast<std::int32_t>(number.unsigned_value)
                                 : static_cast<std::int32_t>(number.negative_value);
        return true;
    }
    const char* problem = number.kind == JsonNumber::Kind::floating ? "invalid type: " : "invalid value: ";
    return scanner_.fail_here(problem + describe_number(number) + ", expected i32");
}

// "generate", "warmup", or the object form {"warmup": null}.
bool RequestDecoder::decode_action() {
    const int first = scanner_.peek_token();
    if (first == JsonScanner::end_of_input) return scanner_.fail_here(JsonFault::eof_while_parsing_value);
    if (first == '"') return decode_action_name();
    if (first != '{') return scanner_.fail_on_next_byte(JsonFault::expected_value);
    scanner_.take();

    const int name_start = scanner_.peek_token();
    if (name_start == JsonScanner::end_of_input) return scanner_.fail_here(JsonFault::eof_while_parsing_value);
    if (name_start != '"') return scanner_.fail_invalid_type("variant identifier");
    if (!decode_action_name()) return false;

    const int colon = scanner_.peek_token();
    if (colon == JsonScanner::end_of_input) return scanner_.fail_here(JsonFault::eof_while_parsing_object);
    if (colon != ':') return scanner_.fail_on_next_byte(JsonFault::expected_colon);
    scanner_.take();
    if (!decode_unit()) return false;

    const int close = scanner_.peek_token();
    if (close == '}') {
        scanner_.take();
        return true;
    }
    if (close == JsonScanner::end_of_input) return scanner_.fail_here(JsonFault::eof_while_parsing_object);
    // At the offending byte itself, not after it.
    return scanner_.fail_here(JsonFault::expected_value);
}

bool RequestDecoder::decode_action_name() {
    std::string name;
    if (!scanner_.read_string(name)) return false;
    if (name == "generate") {
        request_.action = RequestAction::generate;
    } else if (name == "warmup") {
        request_.action = RequestAction::warmup;
    } else {
        return scanner_.fail_here("unknown variant `" + name + "`, expected `generate` or `warmup`");
    }
    return true;
}

// The null that an action object's member must hold.
bool RequestDecoder::decode_unit() {
    const int first = scanner_.peek_token();
    if (first == JsonScanner::end_of_input) return scanner_.fail_here(JsonFault::eof_while_parsing_value);
    if (first != 'n') return scanner_.fail_invalid_type("unit");
    return scanner_.read_literal("null");
}

}  // namespace
}  // namespace debrindle
