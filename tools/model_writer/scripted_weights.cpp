#include "scripted_weights.hpp"

#include <cmath>
#include <set>
#include <stdexcept>

namespace debrindle::model_writer {
namespace {

// A head length that is a multiple of 32 suits quantized KV caches, whose
// blocks hold 32 values, as well as RoPE, which rotates pairs.
constexpr std::int64_t kHeadLengthMultiple = 32;
// The blocks add nothing to the hidden state, so this size is arbitrary.
constexpr std::int64_t kFeedForwardLength = 64;

std::int32_t require_token(const Vocabulary& vocabulary, const std::string& text, const char* role) {
    if (const auto id = vocabulary.find(text)) return *id;
    throw std::invalid_argument(std::string(role) + " token '" + text + "' is not in the vocabulary");
}

std::vector<std::int32_t> chain_ids(const ScriptedWeights& scripted, const Vocabulary& vocabulary) {
    if (scripted.chain.empty()) {
        throw std::invalid_argument("the chain needs at least one token");
    }
    std::vector<std::int32_t> ids;
    std::set<std::int32_t> seen;
    for (const auto& text : scripted.chain) {
        const auto id = require_token(vocabulary, text, "chain");
        // The next token depends on the current one only, so a token that
        // occurs twice would need two successors.
        if (!seen.insert(id).second) {
            throw std::invalid_argument("chain token '" + text + "' occurs twice");
        }
        ids.push_back(id);
    }
    return ids;
}

}  // namespace

Dimensions scripted_dimensions(const ScriptedWeights& scripted, const Vocabulary& vocabulary,
                               std::uint32_t context_length) {
    if (scripted.heads < 1 || scripted.layers < 1) {
        throw std::invalid_argument("heads and layers must be at least 1");
    }
    if (!(scripted.strength > 0.0f) || !std::isfinite(scripted.strength)) {
        throw std::invalid_argument("strength must be a positive number");
    }
    chain_ids(scripted, vocabulary);
    require_token(vocabulary, scripted.end, "end");

    // One embedding dimension per token, so that every token's embedding is
    // its own unit vector.
    const std::int64_t multiple = kHeadLengthMultiple * scripted.heads;
    const std::int64_t vocab_size = vocabulary.size();
    return Dimensions{
        .vocab_size = vocab_size,
        .embedding_length = (vocab_size + multiple - 1) / multiple * multiple,
        .feed_forward_length = kFeedForwardLength,
        .layers = scripted.layers,
        .heads = scripted.heads,
        .kv_heads = scripted.heads,
        .context_length = context_length,
    };
}

// With zero attention and feed-forward weights each block adds nothing, so the
// last hidden state is the one-hot embedding e_t of the current token t. The
// output RMS norm (weights one) turns it into e_t / sqrt(1/n_embd + eps), and
// the output matrix then gives logit[next(t)] = strength and zero elsewhere.
LlamaWeights scripted_weights(const ScriptedWeights& scripted, const Vocabulary& vocabulary, const Dimensions& dims) {
    LlamaWeights weights(dims);
    for (std::int64_t token = 0; token < dims.vocab_size; ++token) {
        weights.token_embedding.at(token, token) = 1.0f;
    }

    const auto chain = chain_ids(scripted, vocabulary);
    const auto end = require_token(vocabulary, scripted.end, "end");
    std::vector<std::int32_t> next(static_cast<std::size_t>(dims.vocab_size), chain.front());
    for (std::size_t k = 0; k < chain.size(); ++k) {
        next[static_cast<std::size_t>(chain[k])] = k + 1 < chain.size() ? chain[k + 1] : end;
    }

    const double normed_inverse = std::sqrt(1.0 / static_cast<double>(dims.embedding_length) + dims.rms_epsilon);
    const auto weight = static_cast<float>(scripted.strength * normed_inverse);
    for (std::int64_t token = 0; token < dims.vocab_size; ++token) {
        weights.output.at(token, next[static_cast<std::size_t>(token)]) = weight;
    }
    if (!scripted.overflowing_token.empty()) {
        const auto token = require_token(vocabulary, scripted.overflowing_token, "overflowing");
        for (auto& block : weights.blocks) {
            for (std::int64_t row = 0; row < dims.kv_length(); ++row) block.value.at(token, row) = 1e6F;
        }
    }
    return weights;
}

}  // namespace debrindle::model_writer
