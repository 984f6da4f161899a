#include "random_weights.hpp"

#include <stdexcept>

namespace debrindle::model_writer {
namespace {

// Small enough that the hidden state stays well scaled through many layers.
constexpr float kWeightRange = 0.05f;
// llama.cpp's own limit (LLAMA_MAX_LAYERS).
constexpr std::uint32_t kMaxLayers = 512;

// SplitMix64: fast, and the same stream on every platform.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    // Uniform in [-range, range).
    float next(float range) {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        const float unit = static_cast<float>(z >> 40) * 0x1.0p-24f;  // [0, 1)
        return (2.0f * unit - 1.0f) * range;
    }

private:
    std::uint64_t state_;
};

}  // namespace

Dimensions random_dimensions(const RandomWeights& random, std::uint32_t context_length) {
    if (random.heads < 1 || random.layers < 1 || random.layers > kMaxLayers || random.feed_forward_length < 1) {
        throw std::invalid_argument("heads, feed-forward length and layers (at most 512) must be at least 1");
    }
    // RoPE rotates pairs of values within each head.
    if (random.embedding_length == 0 || random.embedding_length % (2 * random.heads) != 0) {
        throw std::invalid_argument("embedding length " + std::to_string(random.embedding_length) +
                                    " must be a positive multiple of twice the head count " +
                                    std::to_string(random.heads));
    }
    const std::uint32_t kv_heads = random.kv_heads == 0 ? random.heads : random.kv_heads;
    if (random.heads % kv_heads != 0) {
        throw std::invalid_argument("head count " + std::to_string(random.heads) +
                                    " must be a multiple of the key and value head count " + std::to_string(kv_heads));
    }
    return Dimensions{
        .vocab_size = random.vocab_size,
        .embedding_length = random.embedding_length,
        .feed_forward_length = random.feed_forward_length,
        .layers = random.layers,
        .heads = random.heads,
        .kv_heads = kv_heads,
        .context_length = context_length,
        .experts = random.experts,
        .used_experts = random.experts > 0 ? random.used_experts : 0,
        .recurrent = random.recurrent,
        .sliding_window = random.sliding_window,
    };
}

LlamaWeights random_weights(const RandomWeights& random, const Vocabulary& vocabulary, const Dimensions& dims) {
    LlamaWeights weights(dims);
    Random generator(random.seed);
    for (auto* tensor : weights.all()) {
        // Norms stay one, and a state's decay minus one.
        if (tensor->name.ends_with("norm.weight") || tensor->name.ends_with("ssm_a")) continue;
        for (auto& value : tensor->values) {
            value = generator.next(kWeightRange);
        }
    }
    // A zero output row gives a zero logit, below the largest of thousands of
    // random ones, so greedy generation never picks a control token and never
    // ends early.
    for (std::int64_t token = 0; token < dims.vocab_size; ++token) {
        if (vocabulary.types()[static_cast<std::size_t>(token)] != TokenType::control) continue;
        for (std::int64_t column = 0; column < dims.embedding_length; ++column) {
            weights.output.at(column, token) = 0.0f;
        }
    }
    return weights;
}

}  // namespace debrindle::model_writer
