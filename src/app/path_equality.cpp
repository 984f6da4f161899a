#include "app/path_equality.hpp"

namespace debrindle {
namespace {

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

struct Separators {
    bool backslash;
    bool slash;

    bool operator()(char c) const { return (backslash && c == '\\') || (slash && c == '/'); }
};

// Takes the text up to the next separator off the front of `rest`.
std::string_view take_component(std::string_view& rest, Separators is_separator) {
    std::size_t end = 0;
    while (end < rest.size() && !is_separator(rest[end])) ++end;
    const std::string_view component = rest.substr(0, end);
    rest.remove_prefix(end);
    return component;
}

void skip_one_separator(std::string_view& rest, Separators is_separator) {
    if (!rest.empty() && is_separator(rest[0])) rest.remove_prefix(1);
}

// Splits the body after any prefix: empty components never count, "." only
// when `keep_dots` or when it begins an unrooted path.
void split_body(std::string_view rest, PathComponents& out, Separators is_separator, bool keep_dots) {
    out.rooted = out.rooted || (!rest.empty() && is_separator(rest[0]));
    bool first = true;
    while (!rest.empty()) {
        const std::string_view component = take_component(rest, is_separator);
        skip_one_separator(rest, is_separator);
        const bool leading_dot = first && !out.rooted && component == ".";
        first = false;
        if (component.empty()) continue;
        if (component == "." && !keep_dots && !leading_dot) continue;
        out.parts.push_back(component);
    }
}

PathComponents split_posix(std::string_view path) {
    PathComponents out;
    split_body(path, out, Separators{false, true}, /*keep_dots=*/false);
    return out;
}

PathComponents split_windows(std::string_view path) {
    PathComponents out;
    std::string_view rest = path;
    constexpr Separators both{true, true};
    constexpr Separators backslash_only{true, false};

    if (rest.starts_with("\\\\?\\")) {
        // Verbatim: only "\" separates and "." is an ordinary name.
        rest.remove_prefix(4);
        if (rest.starts_with("UNC\\")) {
            rest.remove_prefix(4);
            const std::string_view server = take_component(rest, backslash_only);
            skip_one_separator(rest, backslash_only);
            const std::string_view share = take_component(rest, backslash_only);
            out.prefix = "verbatim-unc:" + std::string(server) + "\\" + std::string(share);
        } else if (rest.size() >= 2 && is_ascii_letter(rest[0]) && rest[1] == ':') {
            out.prefix = std::string("verbatim-disk:") + ascii_upper(rest[0]);
            rest.remove_prefix(2);
        } else {
            out.prefix = "verbatim:" + std::string(take_component(rest, backslash_only));
        }
        split_body(rest, out, backslash_only, /*keep_dots=*/true);
        return out;
    }
    if (rest.size() >= 2 && both(rest[0]) && both(rest[1])) {
        rest.remove_prefix(2);
        if (rest.size() >= 2 && rest[0] == '.' && both(rest[1])) {
            rest.remove_prefix(2);
            out.prefix = "device:" + std::string(take_component(rest, both));
        } else {
            const std::string_view server = take_component(rest, both);
            skip_one_separator(rest, both);
            const std::string_view share = take_component(rest, both);
            out.prefix = "unc:" + std::string(server) + "\\" + std::string(share);
        }
        out.rooted = true;  // shares and devices are always rooted
        split_body(rest, out, both, /*keep_dots=*/false);
        return out;
    }
    if (rest.size() >= 2 && is_ascii_letter(rest[0]) && rest[1] == ':') {
        out.prefix = std::string("disk:") + ascii_upper(rest[0]);
        rest.remove_prefix(2);
    }
    split_body(rest, out, both, /*keep_dots=*/false);
    return out;
}

}  // namespace

PathComponents split_path(std::string_view path, PathRules rules) {
    return rules == PathRules::windows ? split_windows(path) : split_posix(path);
}

bool paths_equal(std::string_view a, std::string_view b, PathRules rules) {
    return a == b || split_path(a, rules) == split_path(b, rules);
}

}  // namespace debrindle
