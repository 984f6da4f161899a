#include "common/white_space.hpp"

#include <gtest/gtest.h>

#include <string>

namespace debrindle {
namespace {

TEST(WhiteSpace, CountsWordsBetweenWhiteSpace) {
    const struct {
        std::string text;
        std::size_t words;
    } cases[] = {
        {"", 0},
        {" \t\r\n\xC2\x85\xC2\xA0\xE3\x80\x80", 0},
        {"one", 1},
        {"  two  words ", 2},
        {"no\xC2\xA0"
         "break",
         2},                           // U+00A0 separates words
        {"zero\xE2\x80\x8Bwidth", 1},  // U+200B is not white space
        {"a\xE2\x80\xA8"
         "b\xE2\x80\xAF"
         "c",
         3},  // line separator, narrow no-break space
        {"\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", 2},
    };
    for (const auto& c : cases) EXPECT_EQ(count_words(c.text), c.words) << c.text;
}

TEST(WhiteSpace, TrimsBothEnds) {
    const struct {
        std::string text;
        std::string trimmed;
    } cases[] = {
        {"", ""},
        {" \t\r\n ", ""},
        {"{}\r\n", "{}"},
        {"\xE3\x80\x80\xC2\x85 x y \xC2\x85\xE3\x80\x80", "x y"},
        {"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},  // U+200B stays
        {"\xEF\xBB\xBF{}", "\xEF\xBB\xBF{}"},                        // so does a byte-order mark
    };
    for (const auto& c : cases) EXPECT_EQ(trim_white_space(c.text), c.trimmed) << c.text;
}

TEST(WhiteSpace, TestsSingleCharacters) {
    for (char32_t c : {U'\t', U'\n', U'\v', U'\f', U'\r', U' ', U'\u0085', U'\u00A0', U'\u1680', U'\u2000', U'\u200A',
                       U'\u2028', U'\u2029', U'\u202F', U'\u205F', U'\u3000'}) {
        EXPECT_TRUE(is_white_space(c)) << static_cast<unsigned>(c);
    }
    for (char32_t c : {U'\0', U'\u0008', U'\u000E', U'x', U'\u180E', U'\u200B', U'\u2060', U'\uFEFF'}) {
        EXPECT_FALSE(is_white_space(c)) << static_cast<unsigned>(c);
    }
}

}  // namespace
}  // namespace debrindle
