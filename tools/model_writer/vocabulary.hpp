// The token list of a model: texts, SentencePiece scores and token types.
#pragma once

#include "model_writer/model_writer.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace debrindle::model_writer {

// Token types as GGUF stores them (tokenizer.ggml.token_type).
enum class TokenType : std::int32_t { normal = 1, unknown = 2, control = 3, byte = 6 };

class Vocabulary {
public:
    // Throws std::invalid_argument if a token would appear twice, or if the
    // ModelSpec's random vocabulary size is too small for the tokens it names.
    explicit Vocabulary(const ModelSpec& model_spec);

    std::optional<std::int32_t> find(std::string_view text) const;
    std::int32_t size() const { return static_cast<std::int32_t>(texts_.size()); }

    const std::vector<std::string>& texts() const { return texts_; }
    const std::vector<float>& scores() const { return scores_; }
    const std::vector<TokenType>& types() const { return types_; }

private:
    void add(const std::string& text, TokenType type, float score);
    bool try_add(std::string text, TokenType type, float score);
    void add_word_with_prefixes(const std::string& word);
    void fill_with_synthetic_words(std::int32_t target_size);

    std::vector<std::string> texts_;
    std::vector<float> scores_;
    std::vector<TokenType> types_;
    std::unordered_map<std::string, std::int32_t> ids_;
};

// A word as SentencePiece writes it: each ' ' becomes U+2581.
std::string to_piece(std::string_view text);

}  // namespace debrindle::model_writer
