#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/generation/piece_decoder.hpp"

namespace debrindle {
namespace {

struct PieceCase {
    const char* name;
    std::vector<std::string> pieces;
    std::string expected;
};

// Test names carry the case name; print nothing more in listings.
void PrintTo(const PieceCase& c, std::ostream* os) { *os << c.name; }

const std::string replacement = "\xEF\xBF\xBD";

class PieceDecoding : public ::testing::TestWithParam<PieceCase> {};

TEST_P(PieceDecoding, JoinsPiecesIntoText) {
    PieceDecoder decoder;
    std::string out;
    for (const std::string& piece : GetParam().pieces) decoder.decode(piece, out);
    EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, PieceDecoding,
    ::testing::Values(
        PieceCase{"plain", {"Hello", " world"}, "Hello world"}, PieceCase{"leading_space_kept", {" Hi"}, " Hi"},
        PieceCase{"three_byte_char_cut_after_two",
                  {"a\xE2\x82",
                   "\xAC"
                   "b"},
                  "a\xE2\x82\xAC"
                  "b"},
        PieceCase{"four_single_byte_pieces", {"\xF0", "\x9F", "\x98", "\x80"}, "\xF0\x9F\x98\x80"},
        PieceCase{"lone_ff_after_text", {"ok", "\xFF"}, "ok" + replacement},
        PieceCase{"broken_char_then_ascii", {"\xE4\xB8", "A"}, replacement + "A"},
        PieceCase{"bom_dropped", {"\xEF\xBB\xBFHi"}, "Hi"},
        PieceCase{"bom_cut_across_pieces", {"\xEF", "\xBB", "\xBF", "Hi"}, "Hi"},
        PieceCase{"bom_later_is_text", {"a", "\xEF\xBB\xBF"}, "a\xEF\xBB\xBF"},
        PieceCase{"second_bom_kept", {"\xEF\xBB\xBF\xEF\xBB\xBF"}, "\xEF\xBB\xBF"},
        PieceCase{"bom_prefix_then_other", {"\xEF\xBB", "x"}, replacement + "x"},
        PieceCase{"ef_then_valid_continuation", {"\xEF", "\xBC\x81"}, "\xEF\xBC\x81"},
        // A UTF-16 byte-order mark is no mark here: its bytes are invalid
        // UTF-8, and the text after it stays intact.
        PieceCase{"fe_ff_start_not_utf16", {"\xFE\xFF", "Hi \xC3\xA9"}, replacement + replacement + "Hi \xC3\xA9"},
        PieceCase{"ff_fe_start_not_utf16",
                  {"\xFF\xFE"
                   "ab"},
                  replacement + replacement + "ab"},
        PieceCase{"incomplete_at_end_dropped", {"ab", "\xE2\x82"}, "ab"},
        PieceCase{"surrogate_encoding_rejected", {"\xED\xA0\x80"}, replacement + replacement + replacement},
        PieceCase{"overlong_rejected", {"\xC0\xAF"}, replacement + replacement},
        PieceCase{"e0_needs_a0", {"\xE0\x80\x80"}, replacement + replacement + replacement},
        PieceCase{"f4_above_range", {"\xF4\x90\x80\x80"}, replacement + replacement + replacement + replacement},
        PieceCase{"truncated_four_byte_then_space", {"\xF0\x9F\x98", " "}, replacement + " "}),
    [](const auto& info) { return std::string(info.param.name); });

// Cutting the same bytes at every point gives the same text as one piece.
TEST(PieceDecoding, AnySplitGivesTheSameText) {
    const std::string bytes =
        "\xEF\xBB\xBFx\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xFF\xE4\xB8"
        "A\xED\xA0\x80z";
    PieceDecoder whole_decoder;
    std::string whole;
    whole_decoder.decode(bytes, whole);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        for (std::size_t second = cut; second <= bytes.size(); ++second) {
            PieceDecoder decoder;
            std::string out;
            decoder.decode(bytes.substr(0, cut), out);
            decoder.decode(bytes.substr(cut, second - cut), out);
            decoder.decode(bytes.substr(second), out);
            ASSERT_EQ(out, whole) << "cuts at " << cut << " and " << second;
        }
    }
}

}  // namespace
}  // namespace debrindle
