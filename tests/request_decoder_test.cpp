#include "protocol/request_decoder.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "common/white_space.hpp"

namespace debrindle {

void PrintTo(const DecodeError& error, std::ostream* out) { *out << error.text(); }

void PrintTo(const LlamaHelperRequest& request, std::ostream* out) {
    *out << "{action " << static_cast<int>(request.action) << ", modelPath \"" << request.modelPath
         << "\", systemPrompt \"" << request.systemPrompt << "\", userPrompt \"" << request.userPrompt
         << "\", temperature " << request.temperature << ", maxTokens " << request.maxTokens << "}";
}

namespace {

// Decodes in byte mode and, when the input is valid UTF-8, in text mode too;
// the two must agree exactly.
Result<LlamaHelperRequest, DecodeError> decode_both(std::string_view input) {
    Result<LlamaHelperRequest, DecodeError> bytes = decode_request_bytes(input);
    if (is_valid_utf8(input)) {
        const Result<LlamaHelperRequest, DecodeError> text = decode_request_text(input);
        EXPECT_EQ(bytes.ok(), text.ok()) << input;
        if (bytes.ok() && text.ok()) {
            EXPECT_EQ(bytes.value(), text.value()) << input;
        } else if (!bytes.ok() && !text.ok()) {
            EXPECT_EQ(bytes.error(), text.error()) << input;
        }
    }
    return bytes;
}

std::string error_text(std::string_view input) {
    const auto result = decode_both(input);
    return result.ok() ? "(decoded)" : result.error().text();
}

// The five required members, valid, for building larger requests.
const std::string required_members =
    R"("modelPath":"m","systemPrompt":"s","userPrompt":"u","temperature":0.5,"maxTokens":7)";

LlamaHelperRequest required_request(RequestAction action = RequestAction::generate) {
    return {action, "m", "s", "u", 0.5F, 7};
}

TEST(RequestDecoder, CompleteErrorTextsAsHostsSeeThem) {
    const struct {
        std::string input;
        std::string text;
    } cases[] = {
        {"", "EOF while parsing a value at line 1 column 0"},
        {"{}", "missing field `modelPath` at line 1 column 2"},
        {R"({"modelPath":"m","systemPrompt":"s","userPrompt":"u","temperature":0.7,"maxTokens":256.0})",
         "invalid type: floating point `256.0`, expected i32 at line 1 column 88"},
        {R"({"action":"run"})", "unknown variant `run`, expected `generate` or `warmup` at line 1 column 15"},
        {R"({"action":null})", "expected value at line 1 column 11"},
        {R"({"maxTokens":"12"})", R"(invalid type: string "12", expected i32 at line 1 column 17)"},
        {R"(["generate"])", "invalid length 1, expected struct LlamaHelperRequest with 6 elements at line 1 column 12"},
        {R"(["m.gguf","","hi",0,0])", "unknown variant `m.gguf`, expected `generate` or `warmup` at line 1 column 9"},
        {"[]", "invalid length 1, expected struct LlamaHelperRequest with 6 elements at line 1 column 2"},
        {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(error_text(c.input), c.text) << c.input;
}

TEST(RequestDecoder, DecodesValidRequests) {
    const LlamaHelperRequest minimal{RequestAction::generate, "m.gguf", "", "hi", 0.0F, 0};
    const struct {
        std::string input;
        LlamaHelperRequest expected;
    } cases[] = {
        {R"({"modelPath":"m.gguf","systemPrompt":"","userPrompt":"hi","temperature":0,"maxTokens":0})", minimal},
        {R"(["generate","m.gguf","","hi",0,0])", minimal},
        {"{" + required_members + "}", required_request()},
        {R"({"action":"warmup",)" + required_members + "}", required_request(RequestAction::warmup)},
        {R"({"action":"generate",)" + required_members + "}", required_request()},
        {R"({"action":{"warmup":null},)" + required_members + "}", required_request(RequestAction::warmup)},
        {R"({"action":{"generate":null},)" + required_members + "}", required_request()},
        {" \t\r\n{ \"action\" :\n{ \"warmup\" : null } ,\r\n" + required_members + " } \n\t\r ",
         required_request(RequestAction::warmup)},
        {R"([{"warmup":null},"m","s","u",0.5,7])", required_request(RequestAction::warmup)},
        {R"([ "warmup" , "m" , "s" , "u" , 0.5 , 7 ] )", required_request(RequestAction::warmup)},
        // Order is free; unknown members are skipped, may repeat, and are not
        // checked beyond their syntax.
        {R"({"maxTokens":7,"temperature":0.5,"userPrompt":"u","systemPrompt":"s","modelPath":"m"})",
         required_request()},
        {R"({"comment":"x","extra":[[[{}]]],)" + required_members + R"(,"comment":"y"})", required_request()},
        {R"({"x":[1,-2.5e+3,0,-0,1E400,true,false,null,"s\"\u0041\uDC00",{"b":{},"c":[]}],"y":{},)" + required_members +
             "}",
         required_request()},
        {R"({"modelPath":"m","systemPrompt":"s","userPrompt":"u","temperature":1,"maxTokens":-5})",
         {RequestAction::generate, "m", "s", "u", 1.0F, -5}},
        {R"({"modelPath":"m","systemPrompt":"s","userPrompt":"u","temperature":-2,"maxTokens":2147483647})",
         {RequestAction::generate, "m", "s", "u", -2.0F, 2147483647}},
        {R"({"modelPath":"m","systemPrompt":"s","userPrompt":"u","temperature":0,"maxTokens":-2147483648})",
         {RequestAction::generate, "m", "s", "u", 0.0F, std::numeric_limits<std::int32_t>::min()}},
        {R"({"modelPath":"C:\\models\/m.gguf","systemPrompt":"\u00e9\u65E5","userPrompt":)"
         R"("a\"b\b\f\n\r\t\uD83D\uDE00\u0000","temperature":0,"maxTokens":0})",
         {RequestAction::generate, "C:\\models/m.gguf", "\u00e9\u65e5", std::string("a\"b\b\f\n\r\t\U0001F600\0", 13),
          0.0F, 0}},
        {"{\"modelPath\":\"\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\",\"systemPrompt\":\"\",\"userPrompt\":\"\","
         "\"temperature\":0,\"maxTokens\":0}",
         {RequestAction::generate, "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80", "", "", 0.0F, 0}},
    };
    for (const auto& c : cases) {
        const auto result = decode_both(c.input);
        ASSERT_TRUE(result.ok()) << c.input << " -> " << result.error().text();
        EXPECT_EQ(result.value(), c.expected) << c.input;
    }
}

struct FailureCase {
    std::string input;
    std::string message;
    std::uint64_t line;
    std::uint64_t column;
};

void expect_failures(const std::vector<FailureCase>& cases) {
    for (const auto& c : cases) {
        const auto result = decode_both(c.input);
        ASSERT_FALSE(result.ok()) << c.input;
        EXPECT_EQ(result.error(), (DecodeError{c.message, c.line, c.column}))
            << c.input << " -> " << result.error().text();
    }
}

TEST(RequestDecoder, DocumentFailures) {
    const std::string request = "{" + required_members + "}";
    const auto after_request = request.size();
    expect_failures({
        {"   ", "EOF while parsing a value", 1, 3},
        {"x", "expected value", 1, 1},
        {"null", "invalid type: null, expected struct LlamaHelperRequest", 1, 4},
        {"true", "invalid type: boolean `true`, expected struct LlamaHelperRequest", 1, 4},
        {" false", "invalid type: boolean `false`, expected struct LlamaHelperRequest", 1, 6},
        {"12", "invalid type: integer `12`, expected struct LlamaHelperRequest", 1, 2},
        {"-3", "invalid type: integer `-3`, expected struct LlamaHelperRequest", 1, 2},
        {"2.5", "invalid type: floating point `2.5`, expected struct LlamaHelperRequest", 1, 3},
        {R"("hi")", R"(invalid type: string "hi", expected struct LlamaHelperRequest)", 1, 4},
        {"nul", "EOF while parsing a value", 1, 3},
        {"nulx", "expected ident", 1, 4},
        {"tx", "expected ident", 1, 2},
        {"1e400", "number out of range", 1, 5},
        {request + request, "trailing characters", 1, after_request + 1},
        {request + " x", "trailing characters", 1, after_request + 2},
        {request + "\n\n  ]", "trailing characters", 3, 3},
    });
}

TEST(RequestDecoder, ObjectFormFailures) {
    expect_failures({
        {"{", "EOF while parsing an object", 1, 1},
        {R"({"a")", "EOF while parsing an object", 1, 4},
        {R"({"a":)", "EOF while parsing a value", 1, 5},
        {R"({"a":1)", "EOF while parsing an object", 1, 6},
        {R"({"a":1,)", "EOF while parsing a value", 1, 7},
        {R"({"a":1,})", "trailing comma", 1, 8},
        {R"({"a":1 2)", "expected `,` or `}`", 1, 8},
        {R"({"a" 1)", "expected `:`", 1, 6},
        {R"({1:2})", "key must be a string", 1, 2},
        {R"({,})", "key must be a string", 1, 2},
        {R"({"a":1,2})", "key must be a string", 1, 8},
        {R"({"modelPath":"a","modelPath":"a"})", "duplicate field `modelPath`", 1, 28},
        {R"({"modelPath":"a","modelPath" ]])", "duplicate field `modelPath`", 1, 28},
        {R"({"action":"warmup","action":"warmup"})", "duplicate field `action`", 1, 27},
        {R"({"modelPath":"m"})", "missing field `systemPrompt`", 1, 17},
        {R"({"modelPath":"m","systemPrompt":"s","userPrompt":"u","temperature":1})", "missing field `maxTokens`", 1,
         69},
        {R"({"maxTokens":1,"temperature":1,"userPrompt":"u","systemPrompt":"s"})", "missing field `modelPath`", 1, 67},
        {"{\n\"modelPath\":1}", "invalid type: integer `1`, expected a string", 2, 13},
        {"{\r\n  \"modelPath\":\"m\",\r\n  \"x\":\"a\rb\"}",
         "control character (\\u0000-\\u001F) found while parsing a string", 3, 9},
    });
}

TEST(RequestDecoder, ArrayFormFailures) {
    const std::string six = R"(["generate","m","s","u",1,2)";  // 27 bytes
    expect_failures({
        {"[", "EOF while parsing a list", 1, 1},
        {R"(["warmup","m"])", "invalid length 2, expected struct LlamaHelperRequest with 6 elements", 1, 14},
        {R"(["generate","m","s","u",1])", "invalid length 5, expected struct LlamaHelperRequest with 6 elements", 1,
         26},
        {R"(["generate")", "EOF while parsing a list", 1, 11},
        {R"(["generate",)", "EOF while parsing a value", 1, 12},
        {R"(["generate",])", "trailing comma", 1, 13},
        {R"(["generate" "m"])", "expected `,` or `]`", 1, 13},
        {"[1]", "expected value", 1, 2},
        {R"(["generate",1])", "invalid type: integer `1`, expected a string", 1, 13},
        {six, "EOF while parsing a list", 1, 27},
        {six + ",", "trailing characters", 1, 28},
        {six + ",]", "trailing comma", 1, 29},
        {six + ",3]", "trailing characters", 1, 29},
        {six + " 3]", "trailing characters", 1, 29},
        {six + "}", "trailing characters", 1, 28},
    });
}

TEST(RequestDecoder, ActionFailures) {
    expect_failures({
        {R"({"action":)", "EOF while parsing a value", 1, 10},
        {R"({"action":"Generate"})", "unknown variant `Generate`, expected `generate` or `warmup`", 1, 20},
        {R"({"action":true})", "expected value", 1, 11},
        {R"({"action":1})", "expected value", 1, 11},
        {R"({"action":["warmup"]})", "expected value", 1, 11},
        {R"({"action":{)", "EOF while parsing a value", 1, 11},
        {R"({"action":{}})", "expected value", 1, 12},
        {R"({"action":{1:null}})", "invalid type: integer `1`, expected variant identifier", 1, 12},
        {R"({"action":{["warmup"]:null}})", "invalid type: sequence, expected variant identifier", 1, 11},
        {R"({"action":{"run":null}})", "unknown variant `run`, expected `generate` or `warmup`", 1, 16},
        {R"({"action":{"warmup")", "EOF while parsing an object", 1, 19},
        {R"({"action":{"warmup"}})", "expected `:`", 1, 20},
        {R"({"action":{"warmup":)", "EOF while parsing a value", 1, 20},
        {R"({"action":{"warmup":nul)", "EOF while parsing a value", 1, 23},
        {R"({"action":{"warmup":1}})", "invalid type: integer `1`, expected unit", 1, 21},
        {R"({"action":{"warmup":"x"}})", R"(invalid type: string "x", expected unit)", 1, 23},
        {R"({"action":{"warmup":{}}})", "invalid type: map, expected unit", 1, 20},
        {R"({"action":{"warmup":null)", "EOF while parsing an object", 1, 24},
        // Reported at the offending byte itself rather than after it.
        {R"({"action":{"warmup":null,"generate":null}})", "expected value", 1, 24},
        {R"({"action":{"warmup":null x}})", "expected value", 1, 25},
    });
}

TEST(RequestDecoder, MemberValueFailures) {
    expect_failures({
        {R"({"modelPath":null})", "invalid type: null, expected a string", 1, 17},
        {R"({"systemPrompt":false})", "invalid type: boolean `false`, expected a string", 1, 21},
        {R"({"userPrompt":[1]})", "invalid type: sequence, expected a string", 1, 14},
        {R"({"modelPath":{}})", "invalid type: map, expected a string", 1, 13},
        {R"({"modelPath":})", "expected value", 1, 14},
        {R"({"modelPath":)", "EOF while parsing a value", 1, 13},
        {R"({"temperature":"0.5"})", R"(invalid type: string "0.5", expected f32)", 1, 20},
        {R"({"temperature":true})", "invalid type: boolean `true`, expected f32", 1, 19},
        {R"({"temperature":[]})", "invalid type: sequence, expected f32", 1, 15},
        {R"({"temperature":1e400})", "number out of range", 1, 20},
        {R"({"temperature":-1e400})", "number out of range", 1, 21},
        {R"({"temperature":1e99999999999999999999})", "number out of range", 1, 37},
        {R"({"temperature":1.5E+309})", "number out of range", 1, 23},
        {R"({"maxTokens":2147483648})", "invalid value: integer `2147483648`, expected i32", 1, 23},
        {R"({"maxTokens":-2147483649})", "invalid value: integer `-2147483649`, expected i32", 1, 24},
        {R"({"maxTokens":18446744073709551615})", "invalid value: integer `18446744073709551615`, expected i32", 1, 33},
        {R"({"maxTokens":-9223372036854775808})", "invalid value: integer `-9223372036854775808`, expected i32", 1, 33},
        {R"({"maxTokens":18446744073709551616})", "invalid type: floating point `1.8446744073709552e+19`, expected i32",
         1, 33},
        {R"({"maxTokens":-9223372036854775809})", "invalid type: floating point `-9.223372036854776e+18`, expected i32",
         1, 33},
        {R"({"maxTokens":-0})", "invalid type: floating point `-0.0`, expected i32", 1, 15},
        {R"({"maxTokens":1e3})", "invalid type: floating point `1000.0`, expected i32", 1, 16},
        {R"({"maxTokens":7.0})", "invalid type: floating point `7.0`, expected i32", 1, 16},
        {R"({"maxTokens":null})", "invalid type: null, expected i32", 1, 17},
        {R"({"maxTokens":.5})", "expected value", 1, 14},
        {R"({"maxTokens":tru})", "expected ident", 1, 17},
        {R"({"maxTokens":01})", "invalid number", 1, 15},
        {R"({"maxTokens":-})", "invalid number", 1, 15},
        {R"({"maxTokens":-)", "EOF while parsing a value", 1, 14},
        {R"({"maxTokens":1.})", "invalid number", 1, 16},
        {R"({"maxTokens":1.)", "EOF while parsing a value", 1, 15},
        {R"({"maxTokens":1e})", "invalid number", 1, 16},
        {R"({"maxTokens":1e+)", "EOF while parsing a value", 1, 16},
        {R"({"maxTokens":1)", "EOF while parsing an object", 1, 14},
    });
}

TEST(RequestDecoder, StringFailures) {
    expect_failures({
        {R"({"modelPath":"a)", "EOF while parsing a string", 1, 15},
        {R"({"modelPath":"a\)", "EOF while parsing a string", 1, 16},
        {R"({"modelPath":"\x"})", "invalid escape", 1, 16},
        {R"({"modelPath":"\U0041"})", "invalid escape", 1, 16},
        {R"({"modelPath":"\u12G4"})", "invalid escape", 1, 19},
        {R"({"modelPath":"\u12"})", "invalid escape", 1, 19},
        {R"({"modelPath":"\u12)", "EOF while parsing a string", 1, 18},
        {"{\"modelPath\":\"a\tb\"}", "control character (\\u0000-\\u001F) found while parsing a string", 1, 16},
        {std::string("{\"modelPath\":\"\0\"}", 17), "control character (\\u0000-\\u001F) found while parsing a string",
         1, 15},
        {R"({"modelPath":"\uDC00"})", "lone leading surrogate in hex escape", 1, 20},
        {R"({"modelPath":"\uD800\u0041"})", "lone leading surrogate in hex escape", 1, 26},
        {R"({"modelPath":"\uD800\uD800"})", "lone leading surrogate in hex escape", 1, 26},
        {R"({"modelPath":"\uD800"})", "unexpected end of hex escape", 1, 21},
        {R"({"modelPath":"\uD800x"})", "unexpected end of hex escape", 1, 21},
        {R"({"modelPath":"\uD800\n"})", "unexpected end of hex escape", 1, 22},
        {R"({"modelPath":"\uD800)", "EOF while parsing a string", 1, 20},
        {R"({"modelPath":"\uD800\)", "EOF while parsing a string", 1, 21},
        {R"({"modelPath":"\uD800\u)", "EOF while parsing a string", 1, 22},
        {R"({"\q":1})", "invalid escape", 1, 4},
    });
}

// Skipped values are checked for syntax only, with their own EOF messages.
TEST(RequestDecoder, SkippedValueFailures) {
    expect_failures({
        {R"({"x":[1,]})", "expected value", 1, 9},
        {R"({"x":{"a":1,}})", "key must be a string", 1, 13},
        {R"({"x":[1 2]})", "expected `,` or `]`", 1, 9},
        {R"({"x":[1}})", "expected `,` or `]`", 1, 8},
        {R"({"x":{"a":1 2}})", "expected `,` or `}`", 1, 13},
        {R"({"x":{"a" 1}})", "expected `:`", 1, 11},
        {R"({"x":{1:1}})", "key must be a string", 1, 7},
        {R"({"x":[}])", "expected value", 1, 7},
        {R"({"x":{]})", "key must be a string", 1, 7},
        {R"({"x":])", "expected value", 1, 6},
        {R"({"x":[)", "EOF while parsing a list", 1, 6},
        {R"({"x":[1)", "EOF while parsing a list", 1, 7},
        {R"({"x":[1,)", "EOF while parsing a value", 1, 8},
        {R"({"x":{)", "EOF while parsing an object", 1, 6},
        {R"({"x":{"a")", "EOF while parsing an object", 1, 9},
        {R"({"x":{"a":)", "EOF while parsing a value", 1, 10},
        {R"({"x":{"a":1,)", "EOF while parsing an object", 1, 12},
        {R"({"x":[[]])", "EOF while parsing an object", 1, 9},
        {R"({"x":"\q"})", "invalid escape", 1, 8},
        {R"({"x":"\u00G0"})", "invalid escape", 1, 11},
        {"{\"x\":\"\x01\"}", "control character (\\u0000-\\u001F) found while parsing a string", 1, 7},
        {R"({"x":"abc)", "EOF while parsing a string", 1, 9},
        {R"({"x":tru})", "expected ident", 1, 9},
        {R"({"x":nul)", "EOF while parsing a value", 1, 8},
        {R"({"x":01})", "invalid number", 1, 7},
        {R"({"x":-})", "invalid number", 1, 7},
        {R"({"x":1.})", "invalid number", 1, 8},
        {R"({"x":1e})", "invalid number", 1, 8},
        {R"({"x":1e+})", "invalid number", 1, 9},
        // A skipped number cut short by the end of the input breaks the grammar.
        {R"({"x":-)", "invalid number", 1, 6},
        {R"({"x":1.)", "invalid number", 1, 7},
        {R"({"x":1e)", "invalid number", 1, 7},
    });
}

TEST(RequestDecoder, TemperatureConversion) {
    constexpr float infinity = std::numeric_limits<float>::infinity();
    const struct {
        std::string number;
        float expected;
    } cases[] = {
        {"0", 0.0F},
        {"1", 1.0F},
        {"-0", -0.0F},
        {"-0.0", -0.0F},
        {"0.7", 0.7F},
        {"-1.25", -1.25F},
        {"1e39", infinity},
        {"-1e39", -infinity},
        {"3.4e38", 3.4e38F},
        {"1e-400", 0.0F},
        {"-1e-400", -0.0F},
        {"0e99999", 0.0F},
        {"16777217", 16777216.0F},
        // 2^60 + 2^36 + 1 goes straight to the float above it; by way of a
        // double it would lose its last bit and tie down to 2^60.
        {"1152921573326323713", 0x1.000002p60F},
        {"-9223372036854775808", -0x1p63F},
    };
    for (const auto& c : cases) {
        const auto result = decode_both(R"({"modelPath":"m","systemPrompt":"s","userPrompt":"u","temperature":)" +
                                        c.number + R"(,"maxTokens":1})");
        ASSERT_TRUE(result.ok()) << c.number;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(result->temperature), std::bit_cast<std::uint32_t>(c.expected))
            << c.number << " gave " << result->temperature;
    }
}

// Floating numbers reach the host only inside messages; maxTokens rejects
// every one of them with its text.
TEST(RequestDecoder, FloatingNumbersInMessages) {
    const struct {
        std::string number;
        std::string text;
    } cases[] = {
        {"256.0", "256.0"},
        {"0.5", "0.5"},
        {"0.0", "0.0"},
        {"-0.0", "-0.0"},
        {"0.1e1", "1.0"},
        {"123.456", "123.456"},
        {"0.00001", "0.00001"},
        {"0.000001", "1e-6"},
        {"1.5e-7", "1.5e-7"},
        {"1e15", "1000000000000000.0"},
        {"1125899906842624.25", "1125899906842624.2"},
        {"1e16", "1e+16"},
        {"-2.5e-300", "-2.5e-300"},
        {"1e308", "1e+308"},
        {"1.7976931348623157e308", "1.7976931348623157e+308"},
        {"5e-324", "5e-324"},
        {"1e-320", "1e-320"},
        {"123456789e-328", "1.2347e-320"},
        {"1e-400", "0.0"},
        {"-1e-99999999999999999999", "-0.0"},
        {"0e99999999999999999999", "0.0"},
        // The product of the significand and an exact power of ten, rounded
        // twice: not the nearest double (1.1223267648211636e+42).
        {"11223267648211636870e23", "1.1223267648211635e+42"},
        // Digits past 64 bits raise the exponent, or are dropped in the fraction.
        {"112232676482116368709e22", "1.1223267648211635e+42"},
        {"11223267648211636870.999e23", "1.1223267648211635e+42"},
        // A significand past 2^53 is rounded before it is scaled.
        {"12345678901234567.0", "1.2345678901234566e+16"},
        {"999999999999999.9", "1000000000000000.0"},
        {"123456789012345678901234567890", "1.2345678901234568e+29"},
    };
    for (const auto& c : cases) {
        const std::string input = R"({"maxTokens":)" + c.number + "}";
        const auto result = decode_both(input);
        ASSERT_FALSE(result.ok()) << input;
        EXPECT_EQ(result.error().message, "invalid type: floating point `" + c.text + "`, expected i32") << input;
        EXPECT_EQ(result.error().column, input.size() - 1) << input;
    }
}

TEST(RequestDecoder, StringsInMessages) {
    const struct {
        std::string json;
        std::string description;
    } cases[] = {
        {R"("")", R"(string "")"},
        {R"("a\"b\\c'/")", R"(string "a\"b\\c'/")"},
        {R"("\t\r\n\u0000")", R"(string "\t\r\n\0")"},
        {R"("\u001b\u0001\b\f\u007f")", R"(string "\u{1b}\u{1}\u{8}\u{c}\u{7f}")"},
        {"\"\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\xCC\x81\"", "string \"\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\xCC\x81\""},
        {R"("\u0085\u00a0\u00ad\u200b\u2028\u3000\ufeff\ue000\uffff\uDB40\uDC01")",
         R"(string "\u{85}\u{a0}\u{ad}\u{200b}\u{2028}\u{3000}\u{feff}\u{e000}\u{ffff}\u{e0001}")"},
    };
    for (const auto& c : cases) {
        const std::string input = R"({"maxTokens":)" + c.json + "}";
        EXPECT_EQ(error_text(input), "invalid type: " + c.description + ", expected i32 at line 1 column " +
                                         std::to_string(input.size() - 1));
    }
}

TEST(RequestDecoder, InvalidUtf8FailsOnlyInKeptStrings) {
    const std::string message = "invalid unicode code point";
    expect_failures({
        {"{\"\xFF\":1}", message, 1, 4},
        {"{\"modelPath\":\"a\xFF\"}", message, 1, 17},
        {"{\"modelPath\":\"\xC3\"}", message, 1, 16},
        {"{\"modelPath\":\"\xC0\x80\"}", message, 1, 17},
        {"{\"modelPath\":\"\xED\xA0\x80\"}", message, 1, 18},
        {"{\"userPrompt\":\"\xF4\x90\x80\x80\"}", message, 1, 20},
        {"{\"action\":\"\xFF\"}", message, 1, 13},
        {"{\"action\":{\"\xFF\":null}}", message, 1, 14},
        {"{\"maxTokens\":\"\xFF\"}", message, 1, 16},
        // A fault later in the string wins: the text is judged as a whole.
        {"{\"modelPath\":\"\xFF\\x\"}", "invalid escape", 1, 17},
        {"{\"modelPath\":\"\xFF", "EOF while parsing a string", 1, 15},
        {"{\xFF}", "key must be a string", 1, 2},
    });
    const std::string skipped = "{\"x\":\"\xFF\xC3\",\"y\":{\"\xED\xA0\x80\":[\"\xF8\"]}," + required_members + "}";
    const auto result = decode_request_bytes(skipped);
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_EQ(result.value(), required_request());
}

// Text mode trusts its input to be UTF-8; when a caller breaks that promise
// the result is undefined text, but never a crash or a broken message.
TEST(RequestDecoder, TextModeSurvivesBrokenUtf8) {
    const auto result = decode_request_text("{\"maxTokens\":\"a\xFF\xE6\x97\"}");
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(is_valid_utf8(result.error().message)) << result.error().message;
}

TEST(RequestDecoder, ServerLinesAreTrimmedBeforeDecoding) {
    EXPECT_EQ(decode_request_text(trim_white_space(" \t\xE3\x80\x80{}\r\n")).error().text(),
              "missing field `modelPath` at line 1 column 2");
    EXPECT_EQ(decode_request_text(trim_white_space(" \r\n")).error().text(),
              "EOF while parsing a value at line 1 column 0");
    const auto result = decode_request_text(trim_white_space("  {" + required_members + "}\r\n"));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), required_request());
}

// Ten million levels in an unknown member are skipped with a heap stack; the
// call stack would not survive recursion that deep.
TEST(RequestDecoder, SkipsDeeplyNestedUnknownMembers) {
    constexpr std::size_t depth = 10'000'000;
    const std::string arrays = std::string(depth, '[') + std::string(depth, ']');
    std::string objects;
    objects.reserve(depth * 5 + 1);
    for (std::size_t i = 0; i < depth; ++i) objects += "{\"\":";
    objects += '0';
    objects.append(depth, '}');

    for (const std::string& nested : {arrays, objects}) {
        const std::string input = "{\"deep\":" + nested + "," + required_members + "}";
        const auto result = decode_both(input);
        ASSERT_TRUE(result.ok()) << result.error().text();
        EXPECT_EQ(result.value(), required_request());
    }

    const std::string unclosed_arrays = "{\"deep\":" + std::string(depth, '[');
    EXPECT_EQ(decode_both(unclosed_arrays).error(),
              (DecodeError{"EOF while parsing a list", 1, unclosed_arrays.size()}));
    const std::string unclosed_objects = "{\"deep\":" + objects.substr(0, depth * 4);
    EXPECT_EQ(decode_both(unclosed_objects).error(),
              (DecodeError{"EOF while parsing a value", 1, unclosed_objects.size()}));
    // A known member of the wrong type is described without being read.
    EXPECT_EQ(decode_both("{\"modelPath\":" + arrays).error(),
              (DecodeError{"invalid type: sequence, expected a string", 1, 13}));
}

TEST(RequestDecoder, LongPromptSurvivesIntact) {
    std::string prompt;
    for (int i = 0; i < 20000; ++i) prompt += "word\xC3\xA9 \xE6\x97\xA5 ";
    std::string escaped;
    for (int i = 0; i < 5000; ++i) escaped += R"(line\n\"q\" \u00e9\\)";
    std::string expected_escaped;
    for (int i = 0; i < 5000; ++i) expected_escaped += "line\n\"q\" \xC3\xA9\\";
    const std::string input = R"({"modelPath":"m","systemPrompt":")" + escaped + R"(","userPrompt":")" + prompt +
                              R"(","temperature":0.5,"maxTokens":7})";
    const auto result = decode_both(input);
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_EQ(result->userPrompt, prompt);
    EXPECT_EQ(result->systemPrompt, expected_escaped);
}

TEST(DecodeError, TextJoinsMessageAndPosition) {
    EXPECT_EQ((DecodeError{"expected `:`", 12, 0}).text(), "expected `:` at line 12 column 0");
}

}  // namespace
}  // namespace debrindle
