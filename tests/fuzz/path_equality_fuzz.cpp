// Checks paths_equal, the model cache's key comparison, under both path
// rules: it is reflexive, symmetric and transitive on any three paths, and on
// paths without a leading double separator (which opens the share, device
// and verbatim prefixes of Windows) it agrees with a reference written here
// from the rules alone:
// - posix: "/" separates; a leading "/" roots the path; empty components and
//   "." do not count, except a "." that begins an unrooted path;
// - windows: "\" and "/" both separate; a leading letter and colon is the
//   drive, its letter compared without regard to case; then as posix, the
//   "." exception applying right after the drive.
// Every other component compares byte for byte; ".." is an ordinary name.
//
// Input layout: byte 0 chooses the rules (bit 0: windows) and how the rest
// makes three paths (bit 1: raw bytes split at 00; otherwise each byte picks
// a path piece from a small alphabet, FF ending a path). With bit 2 the
// second path is remade from the first by the rewrites in `near_copy`, so
// that equal pairs are common.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/path_equality.hpp"

namespace {

using namespace debrindle;

void require(bool condition) {
    if (!condition) std::abort();
}

bool is_separator(char c, PathRules rules) { return c == '/' || (rules == PathRules::windows && c == '\\'); }

struct ReferenceKey {
    std::string drive;
    bool rooted = false;
    std::vector<std::string> components;

    bool operator==(const ReferenceKey&) const = default;
};

ReferenceKey reference_key(std::string_view path, PathRules rules) {
    ReferenceKey key;
    if (rules == PathRules::windows && path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'))) {
        key.drive = std::string(1, static_cast<char>(path[0] & ~0x20));
        path.remove_prefix(2);
    }
    key.rooted = !path.empty() && is_separator(path[0], rules);
    std::string component;
    bool first = true;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && !is_separator(path[i], rules)) {
            component.push_back(path[i]);
            continue;
        }
        const bool kept_dot = first && !key.rooted && component == ".";
        if (!component.empty() && (component != "." || kept_dot)) key.components.push_back(component);
        component.clear();
        first = false;
    }
    return key;
}

bool has_double_separator_start(std::string_view path, PathRules rules) {
    return path.size() >= 2 && is_separator(path[0], rules) && is_separator(path[1], rules);
}

constexpr std::string_view alphabet[] = {
    "a", "A",   "b",       "m.gguf",  "\xC3\xA9",     " ",  ".",   "..", "...",
    "/", "\\",  "//",      "\\\\",    "C:",           "c:", "d:",  "1:", ":",
    "?", "UNC", "\\\\?\\", "\\\\.\\", "\\\\?\\UNC\\", "./", ".\\",
};

std::vector<std::string> make_paths(std::string_view rest, bool raw) {
    std::vector<std::string> paths(1);
    for (const char c : rest) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == (raw ? 0x00 : 0xFF)) {
            if (paths.size() == 3) break;
            paths.emplace_back();
        } else if (raw) {
            paths.back().push_back(c);
        } else {
            paths.back() += alphabet[byte % std::size(alphabet)];
        }
    }
    paths.resize(3);
    return paths;
}

// Rewrites that keep a path's key under some rules and not under others:
// the other separator, a doubled separator, an inserted "." component, a
// trailing separator, the drive letter's other case.
std::string near_copy(const std::string& path, unsigned char how) {
    std::string out;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if ((how & 1) != 0 && (c == '/' || c == '\\')) {
            out.push_back(c == '/' ? '\\' : '/');
        } else if ((how & 2) != 0 && c == '/' && i > 0) {
            out += "//";
        } else if ((how & 4) != 0 && c == '/' && i > 0) {
            out += "/./";
        } else if ((how & 8) != 0 && i == 0 && path.size() >= 2 && path[1] == ':') {
            out.push_back(static_cast<char>(c ^ 0x20));
        } else {
            out.push_back(c);
        }
    }
    if ((how & 16) != 0) out.push_back('/');
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const PathRules rules = (data[0] & 1) != 0 ? PathRules::windows : PathRules::posix;
    const bool raw = (data[0] & 2) != 0;
    std::vector<std::string> paths =
        make_paths(std::string_view(reinterpret_cast<const char*>(data + 2), size - 2), raw);
    if ((data[0] & 4) != 0) paths[1] = near_copy(paths[0], data[1]);

    for (const std::string& a : paths) {
        require(paths_equal(a, a, rules));
        for (const std::string& b : paths) {
            const bool equal = paths_equal(a, b, rules);
            require(equal == paths_equal(b, a, rules));
            if (!has_double_separator_start(a, rules) && !has_double_separator_start(b, rules)) {
                require(equal == (reference_key(a, rules) == reference_key(b, rules)));
            }
            for (const std::string& c : paths) {
                if (equal && paths_equal(b, c, rules)) require(paths_equal(a, c, rules));
            }
        }
    }
    return 0;
}
