#include "common/long_path.hpp"

namespace debrindle {
namespace {

// MAX_PATH counts the terminating NUL: 259 units is the longest path that
// works without the prefix.
constexpr std::size_t max_path = 260;

std::size_t utf16_length(std::string_view utf8) {
    std::size_t units = 0;
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0U) != 0x80U) ++units;  // a character begins
        if (byte >= 0xF0U) ++units;            // beyond U+FFFF: a surrogate pair
    }
    return units;
}

bool is_drive_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

std::optional<std::string> long_path_form(std::string_view full_path) {
    if (utf16_length(full_path) < max_path) return std::nullopt;
    if (full_path.size() >= 3 && is_drive_letter(full_path[0]) && full_path.substr(1, 2) == ":\\") {
        return "\\\\?\\" + std::string(full_path);
    }
    const bool verbatim_or_device =
        full_path.size() >= 4 && (full_path[2] == '?' || full_path[2] == '.') && full_path[3] == '\\';
    if (full_path.starts_with("\\\\") && !verbatim_or_device) {
        return "\\\\?\\UNC\\" + std::string(full_path.substr(2));
    }
    return std::nullopt;
}

}  // namespace debrindle
