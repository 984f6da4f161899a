#pragma once
// Whether two model paths name the same cache entry. Paths are compared by
// their components under a platform's path rules, never by asking the file
// system: "a//b" and "a/b" are one key, "A/b" and "a/b" two.

#include <string>
#include <string_view>
#include <vector>

namespace debrindle {

enum class PathRules {
    // Only "/" separates components.
    posix,
    // "\" and "/" separate (only "\" after a verbatim "\\?\" prefix); a
    // drive letter compares without regard to case.
    windows,
};

#if defined(_WIN32)
inline constexpr PathRules platform_path_rules = PathRules::windows;
#else
inline constexpr PathRules platform_path_rules = PathRules::posix;
#endif

// A path split into what counts for equality.
struct PathComponents {
    std::string prefix;  // the normalised drive, share, device or verbatim prefix
    bool rooted = false;
    std::vector<std::string_view> parts;

    bool operator==(const PathComponents&) const = default;
};

PathComponents split_path(std::string_view path, PathRules rules);

bool paths_equal(std::string_view a, std::string_view b, PathRules rules = platform_path_rules);

}  // namespace debrindle
