#include "common/utf16.hpp"

#include "common/utf8.hpp"

namespace debrindle {
namespace {

bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Appends the conversion of `units` to `out`; false when an unpaired
// surrogate was met (and, with `stop_at_unpaired`, nothing more is done).
bool convert(std::u16string_view units, std::string& out, bool stop_at_unpaired) {
    out.reserve(out.size() + units.size());
    bool paired = true;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        if (is_high_surrogate(unit) && i + 1 < units.size() && is_low_surrogate(units[i + 1])) {
            const char32_t high = unit - 0xD800U, low = units[i + 1] - 0xDC00U;
            append_utf8(out, 0x10000U + ((high << 10U) | low));
            ++i;
            continue;
        }
        if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
            paired = false;
            if (stop_at_unpaired) return false;
        }
        append_utf8(out, unit);
    }
    return paired;
}

}  // namespace

std::optional<std::string> utf16_to_utf8(std::u16string_view units) {
    std::string text;
    if (!convert(units, text, /*stop_at_unpaired=*/true)) return std::nullopt;
    return text;
}

std::string utf16_to_wtf8(std::u16string_view units) {
    std::string bytes;
    (void)convert(units, bytes, /*stop_at_unpaired=*/false);
    return bytes;
}

}  // namespace debrindle
