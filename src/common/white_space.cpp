#include "common/white_space.hpp"

#include "common/utf8.hpp"

namespace debrindle {

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t next = begin;
        if (!is_white_space(next_code_point(text, next))) break;
        begin = next;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t previous = end;
        if (!is_white_space(previous_code_point(text, previous))) break;
        end = previous;
    }
    return text.substr(begin, end - begin);
}

std::size_t count_words(std::string_view text) {
    std::size_t words = 0;
    bool in_word = false;
    for (std::size_t pos = 0; pos < text.size();) {
        const bool white = is_white_space(next_code_point(text, pos));
        if (!white && !in_word) ++words;
        in_word = !white;
    }
    return words;
}

}  // namespace debrindle
