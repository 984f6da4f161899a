#include "engine/model/split_model.hpp"

#include <cstdio>

namespace debrindle {
namespace {

// "-00002-of-00003.gguf" for the second of three files.
std::string part_suffix(std::uint32_t number, std::uint32_t count) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, "-%05u-of-%05u.gguf", number, count);
    return suffix;
}

}  // namespace

std::optional<std::vector<std::string>> split_part_paths(std::string_view first_path, std::uint32_t count) {
    const std::string first_suffix = part_suffix(1, count);
    if (first_path.size() <= first_suffix.size() || !first_path.ends_with(first_suffix)) return std::nullopt;
    const std::string_view prefix = first_path.substr(0, first_path.size() - first_suffix.size());
    std::vector<std::string> paths;
    for (std::uint32_t number = 1; number <= count; ++number)
        paths.push_back(std::string(prefix) + part_suffix(number, count));
    return paths;
}

}  // namespace debrindle
