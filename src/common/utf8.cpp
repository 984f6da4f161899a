#include "common/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace debrindle {
namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0U) == 0x80U; }

// Leading-byte table: how many continuation bytes follow, and the bounds of
// the first one (the later ones always lie in 80..BF).
struct Lead {
    int continuation_bytes;
    unsigned char low;
    unsigned char high;
};

Lead lead_of(unsigned char byte) {
    if (byte >= 0xC2 && byte <= 0xDF) return {1, 0x80, 0xBF};
    if (byte == 0xE0) return {2, 0xA0, 0xBF};
    if (byte == 0xED) return {2, 0x80, 0x9F};
    if (byte >= 0xE1 && byte <= 0xEF) return {2, 0x80, 0xBF};
    if (byte == 0xF0) return {3, 0x90, 0xBF};
    if (byte >= 0xF1 && byte <= 0xF3) return {3, 0x80, 0xBF};
    if (byte == 0xF4) return {3, 0x80, 0x8F};
    return {0, 0, 0};
}

}  // namespace

Utf8Check check_utf8(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        // ASCII runs are the common case: step over them eight bytes at a time.
        while (i + 8 <= size) {
            std::uint64_t word;
            std::memcpy(&word, data + i, sizeof word);
            if ((word & 0x8080808080808080ULL) != 0) break;
            i += 8;
        }
        if (i >= size) break;
        const unsigned char byte = data[i];
        if (byte < 0x80) {
            ++i;
            continue;
        }
        const Lead lead = lead_of(byte);
        if (lead.continuation_bytes == 0) return {false, i, 1};
        for (int k = 0; k < lead.continuation_bytes; ++k) {
            const std::size_t at = i + 1 + static_cast<std::size_t>(k);
            if (at >= size) return {false, i, 0};
            const unsigned char low = k == 0 ? lead.low : 0x80;
            const unsigned char high = k == 0 ? lead.high : 0xBF;
            if (data[at] < low || data[at] > high) return {false, i, static_cast<std::size_t>(k) + 1};
        }
        i += 1 + static_cast<std::size_t>(lead.continuation_bytes);
    }
    return {true, size, 0};
}

char32_t next_code_point(std::string_view text, std::size_t& pos) {
    const auto byte = static_cast<unsigned char>(text[pos++]);
    if (byte < 0x80) return byte;
    int continuation_bytes = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : 1;
    char32_t code_point = byte & (0x3FU >> continuation_bytes);
    while (continuation_bytes-- > 0) {
        code_point = (code_point << 6) | (static_cast<unsigned char>(text[pos++]) & 0x3FU);
    }
    return code_point;
}

char32_t previous_code_point(std::string_view text, std::size_t& end) {
    std::size_t start = end - 1;
    while (start > 0 && is_continuation(static_cast<unsigned char>(text[start]))) --start;
    std::size_t pos = start;
    const char32_t code_point = next_code_point(text, pos);
    end = start;
    return code_point;
}

void append_utf8(std::string& out, char32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}

}  // namespace debrindle
