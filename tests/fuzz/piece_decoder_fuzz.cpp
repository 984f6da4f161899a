// Feeds arbitrary bytes, cut into arbitrary pieces, to the PieceDecoder and
// checks that:
// - the text does not depend on where the pieces are cut: it equals the text
//   of the same bytes decoded as one piece;
// - the text is always valid UTF-8;
// - the text equals that of a reference decoder written here from the
//   Unicode table of well-formed UTF-8 sequences: a leading EF BB BF is
//   dropped, each maximal ill-formed subpart becomes one U+FFFD, and a
//   character still incomplete at the end is dropped without replacement.
//
// Input layout: byte 0 gives the number n of cut lengths (0 to 15) that
// follow it; the rest are the bytes to decode, cut into pieces of those
// lengths in turn (0 allowed), the remainder making the last piece.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/utf8.hpp"
#include "engine/generation/piece_decoder.hpp"

namespace {

using namespace debrindle;

void require(bool condition) {
    if (!condition) std::abort();
}

const std::string replacement = "\xEF\xBF\xBD";

using Range = std::pair<unsigned char, unsigned char>;

// The allowed ranges of the bytes after `lead` in a well-formed sequence
// (Unicode, table 3-7); empty when `lead` cannot start a multi-byte one.
std::vector<Range> continuation_ranges(unsigned char lead) {
    constexpr Range any{0x80, 0xBF};
    if (lead >= 0xC2 && lead <= 0xDF) return {any};
    if (lead == 0xE0) return {{0xA0, 0xBF}, any};
    if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) return {any, any};
    if (lead == 0xED) return {{0x80, 0x9F}, any};
    if (lead == 0xF0) return {{0x90, 0xBF}, any, any};
    if (lead >= 0xF1 && lead <= 0xF3) return {any, any, any};
    if (lead == 0xF4) return {{0x80, 0x8F}, any, any};
    return {};
}

std::string reference_decode(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    std::string out;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        const std::vector<Range> ranges = continuation_ranges(lead);
        if (ranges.empty()) {
            out += replacement;
            ++i;
            continue;
        }
        std::size_t matched = 0;
        while (matched < ranges.size() && i + 1 + matched < bytes.size()) {
            const auto next = static_cast<unsigned char>(bytes[i + 1 + matched]);
            if (next < ranges[matched].first || next > ranges[matched].second) break;
            ++matched;
        }
        if (matched == ranges.size()) {
            out.append(bytes.substr(i, 1 + matched));
        } else if (i + 1 + matched == bytes.size()) {
            break;  // incomplete at the end: dropped
        } else {
            out += replacement;  // the maximal subpart, however long
        }
        i += 1 + matched;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t cut_count = std::min<std::size_t>(data[0] & 0x0F, size - 1);
    const std::vector<std::uint8_t> cuts(data + 1, data + 1 + cut_count);
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1 + cut_count), size - 1 - cut_count);

    PieceDecoder whole_decoder;
    std::string whole;
    whole_decoder.decode(bytes, whole);

    PieceDecoder piece_decoder;
    std::string pieced;
    std::string_view rest = bytes;
    for (std::size_t k = 0; !cuts.empty() && !rest.empty(); ++k) {
        const std::size_t length = std::min<std::size_t>(cuts[k % cuts.size()], rest.size());
        piece_decoder.decode(rest.substr(0, length), pieced);
        rest.remove_prefix(length);
        if (k > bytes.size() + cuts.size()) break;  // only zero-length cuts left
    }
    piece_decoder.decode(rest, pieced);

    require(pieced == whole);
    require(is_valid_utf8(whole));
    require(whole == reference_decode(bytes));
    return 0;
}
