#include "vocabulary.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <variant>

namespace debrindle::model_writer {
namespace {

constexpr std::string_view kSpaceMark = "\xE2\x96\x81";  // U+2581

std::int32_t utf8_sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;  // a stray continuation byte stands alone, as llama.cpp splits it
}

// Byte offsets at which the code points of `text` end.
std::vector<std::size_t> code_point_ends(std::string_view text) {
    std::vector<std::size_t> ends;
    for (std::size_t offset = 0; offset < text.size();) {
        offset += static_cast<std::size_t>(utf8_sequence_length(static_cast<unsigned char>(text[offset])));
        ends.push_back(std::min(offset, text.size()));
    }
    return ends;
}

std::string byte_token_text(int byte) {
    char text[8];
    std::snprintf(text, sizeof text, "<0x%02X>", byte);
    return text;
}

// The n-th string of "a".."z", "aa".."zz", "aaa"..., so that every prefix of
// a synthetic word comes before it.
std::string synthetic_letters(std::uint64_t index) {
    std::string letters;
    std::uint64_t length = 1, count = 26;
    while (index >= count) {
        index -= count;
        ++length;
        count *= 26;
    }
    letters.resize(length);
    for (std::uint64_t i = length; i-- > 0;) {
        letters[i] = static_cast<char>('a' + index % 26);
        index /= 26;
    }
    return letters;
}

}  // namespace

std::string to_piece(std::string_view text) {
    std::string piece;
    for (char c : text) {
        if (c == ' ') {
            piece += kSpaceMark;
        } else {
            piece += c;
        }
    }
    return piece;
}

Vocabulary::Vocabulary(const ModelSpec& model_spec) {
    // Greedy sampling from logits that are not numbers gives token 0; with a
    // token that overflows, it is a normal one, so that such a reply is text.
    const auto* scripted = std::get_if<ScriptedWeights>(&model_spec.weights);
    const bool overflows = scripted != nullptr && !scripted->overflowing_token.empty();
    add("<unk>", overflows ? TokenType::normal : TokenType::unknown, 0.0f);
    add("<s>", TokenType::control, 0.0f);
    add(std::string(kEndTokenText), TokenType::control, 0.0f);
    for (int byte = 0; model_spec.byte_tokens && byte < 256; ++byte) {
        add(byte_token_text(byte), TokenType::byte, 0.0f);
    }
    for (const auto& special : model_spec.special_tokens) {
        add(special, TokenType::control, 0.0f);
    }
    // The words keep the ids they are given in; the pieces they are merged
    // from come after all of them.
    const auto first_word = size();
    for (const auto& word : model_spec.words) {
        add(to_piece(word), TokenType::normal, 0.0f);
    }
    const auto word_end = size();
    for (auto id = first_word; id < word_end; ++id) {
        // A copy: adding the prefixes may move the texts it comes from.
        add_word_with_prefixes(std::string(texts_[static_cast<std::size_t>(id)]));
    }
    if (const auto* random = std::get_if<RandomWeights>(&model_spec.weights)) {
        const auto target = static_cast<std::int64_t>(random->vocab_size);
        if (target < size()) {
            throw std::invalid_argument("vocabulary size " + std::to_string(target) + " is smaller than the " +
                                        std::to_string(size()) + " tokens the model needs");
        }
        fill_with_synthetic_words(static_cast<std::int32_t>(target));
    }
}

std::optional<std::int32_t> Vocabulary::find(std::string_view text) const {
    // Special tokens are stored as given, words as pieces.
    for (const auto& key : {std::string(text), to_piece(text)}) {
        if (const auto it = ids_.find(key); it != ids_.end()) return it->second;
    }
    return std::nullopt;
}

void Vocabulary::add(const std::string& text, TokenType type, float score) {
    if (text.empty()) {
        throw std::invalid_argument("a token cannot be empty");
    }
    if (!try_add(text, type, score)) {
        throw std::invalid_argument("token '" + text + "' is given twice");
    }
}

bool Vocabulary::try_add(std::string text, TokenType type, float score) {
    const auto [it, inserted] = ids_.try_emplace(text, size());
    if (!inserted) return false;
    texts_.push_back(std::move(text));
    types_.push_back(type);
    scores_.push_back(score);
    return true;
}

// llama.cpp's SentencePiece tokenizer builds a word by merging neighbouring
// pieces, and only merges into pieces that are tokens. Adding every prefix of
// the word lets it grow one code point at a time into the whole word. Longer
// pieces score higher so that the longest known word wins.
void Vocabulary::add_word_with_prefixes(const std::string& word) {
    const auto ends = code_point_ends(word);
    for (std::size_t length = 1; length <= ends.size(); ++length) {
        const auto score = static_cast<float>(length);
        const auto prefix = word.substr(0, ends[length - 1]);
        if (length == ends.size()) {
            scores_[static_cast<std::size_t>(ids_.at(prefix))] = score;
        } else if (length > 1) {
            try_add(prefix, TokenType::normal, score);
        }
    }
}

void Vocabulary::fill_with_synthetic_words(std::int32_t target_size) {
    for (std::uint64_t index = 0; size() < target_size; ++index) {
        const auto letters = synthetic_letters(index);
        try_add(std::string(kSpaceMark) + letters, TokenType::normal, static_cast<float>(letters.size() + 1));
    }
}

}  // namespace debrindle::model_writer
