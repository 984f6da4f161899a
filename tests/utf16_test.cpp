#include "common/utf16.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/utf8.hpp"

namespace debrindle {
namespace {

struct Case {
    const char* name;
    std::u16string units;
    std::optional<std::string> text;  // nothing: not text
    std::string wtf8;
};

const Case cases[] = {
    {"empty", u"", "", ""},
    {"ascii", u"--server", "--server", "--server"},
    {"two_byte", u"\u00E9t\u00E9", "\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
    {"three_byte", u"\u65E5\u672C", "\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC"},
    {"nul_kept", std::u16string(u"a\0b", 3), std::string("a\0b", 3), std::string("a\0b", 3)},
    {"edges_of_the_ranges", u"\u007F\u0080\u07FF\u0800\uFFFF", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF",
     "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
    {"pair", u"\U0001F600", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    {"first_and_last_pair", u"\U00010000\U0010FFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
     "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
    {"lone_high",
     {u'a', char16_t(0xD800), u'b'},
     std::nullopt,
     "a\xED\xA0\x80"
     "b"},
    {"lone_high_at_end", {u'a', char16_t(0xDBFF)}, std::nullopt, "a\xED\xAF\xBF"},
    {"lone_low", {char16_t(0xDC00), u'x'}, std::nullopt, "\xED\xB0\x80x"},
    {"low_before_high", {char16_t(0xDC00), char16_t(0xD800)}, std::nullopt, "\xED\xB0\x80\xED\xA0\x80"},
    {"two_highs_then_low",
     {char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)},
     std::nullopt,
     "\xED\xA0\xBD\xF0\x9F\x98\x80"},
    {"pair_after_lone_low",
     {char16_t(0xDFFF), char16_t(0xD83D), char16_t(0xDE00)},
     std::nullopt,
     "\xED\xBF\xBF\xF0\x9F\x98\x80"},
};

TEST(Utf16, ConvertsToUtf8OrRefusesUnpairedSurrogates) {
    for (const Case& c : cases) {
        EXPECT_EQ(utf16_to_utf8(c.units), c.text) << c.name;
        EXPECT_EQ(utf16_to_wtf8(c.units), c.wtf8) << c.name;
    }
}

TEST(Utf16, KeptSurrogatesNeverPassAsUtf8) {
    // The lossless form equals the text exactly when there is text; with an
    // unpaired surrogate it is bytes that UTF-8 validation refuses.
    for (const Case& c : cases) {
        EXPECT_EQ(is_valid_utf8(c.wtf8), c.text.has_value()) << c.name;
        if (c.text) {
            EXPECT_EQ(*c.text, c.wtf8) << c.name;
        }
    }
}

TEST(Utf16, LongInputConvertsWhole) {
    std::u16string units;
    std::string expected;
    for (int i = 0; i < 10000; ++i) {
        units += u"\u00E9\U0001F600";
        expected += "\xC3\xA9\xF0\x9F\x98\x80";
    }
    EXPECT_EQ(utf16_to_utf8(units), expected);
}

}  // namespace
}  // namespace debrindle
