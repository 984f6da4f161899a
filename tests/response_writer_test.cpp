#include <gtest/gtest.h>

#include "protocol/response_writer.hpp"

namespace debrindle {
namespace {

struct ResponseCase {
    const char* name;
    HelperResponse response;
    std::string expected;
};

// Test names carry the case name; print nothing more in listings.
void PrintTo(const ResponseCase& c, std::ostream* os) { *os << c.name; }

class ResponseJson : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(ResponseJson, IsExact) {
    std::string out;
    append_response_json(out, GetParam().response);
    EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Responses, ResponseJson,
    ::testing::Values(
        ResponseCase{"generated", {true, "Hello", std::nullopt}, R"({"ok":true,"output":"Hello","error":null})"},
        ResponseCase{"warmup", {true, "", std::nullopt}, R"({"ok":true,"output":"","error":null})"},
        ResponseCase{"failure",
                     {false, std::nullopt, "null result from llama cpp"},
                     R"({"ok":false,"output":null,"error":"null result from llama cpp"})"},
        ResponseCase{"line breaks and tab",
                     {true, "a\nb\r\tc", std::nullopt},
                     R"({"ok":true,"output":"a\nb\r\tc","error":null})"},
        ResponseCase{"other control bytes",
                     {true, std::string("\x1b\b\f\x01\x1f\x7f", 6) + std::string(1, '\0'), std::nullopt},
                     R"({"ok":true,"output":"\u001b\b\f\u0001\u001f)"
                     "\x7f"
                     R"(\u0000","error":null})"},
        ResponseCase{"quote backslash slash",
                     {false, std::nullopt, R"(invalid type: string "12" \ / x)"},
                     R"({"ok":false,"output":null,"error":"invalid type: string \"12\" \\ / x"})"},
        ResponseCase{"utf8 unchanged",
                     {true, "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", std::nullopt},
                     "{\"ok\":true,\"output\":\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\",\"error\":null}"}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        }
        return name;
    });

}  // namespace
}  // namespace debrindle
