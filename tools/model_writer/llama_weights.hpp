// The tensors of a llama-architecture model (or a Granite one with sliding-
// window attention, or a Mamba one, whose blocks are selective state
// spaces), all F32, as llama.cpp names and shapes them.
// Shapes are ggml's: {columns, rows}, rows stored one after the other, so
// element (column c, row r) is values[r * columns + c].
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace debrindle::model_writer {

struct Dimensions {
    std::int64_t vocab_size = 0;
    std::int64_t embedding_length = 0;
    std::int64_t feed_forward_length = 0;
    std::int64_t layers = 0;
    std::int64_t heads = 0;
    std::int64_t kv_heads = 0;  // the heads of keys and values, which query heads share
    std::int64_t context_length = 0;
    std::int64_t experts = 0;  // feed-forward experts, 0 for one plain feed-forward
    std::int64_t used_experts = 0;
    bool recurrent = false;  // Mamba: a state space in each block, no attention or feed-forward
    // Granite's sliding-window attention, this many tokens wide, in every
    // other layer from the first; 0 for none.
    std::int64_t sliding_window = 0;
    float rms_epsilon = 1e-5f;

    // Mamba's sizes: its inner width is twice the embedding (all llama.cpp
    // takes), its state 16 values, its convolution 4 wide.
    static constexpr std::int64_t state_size = 16;
    static constexpr std::int64_t convolution_width = 4;
    std::int64_t inner_length() const { return 2 * embedding_length; }
    std::int64_t time_step_rank() const { return (embedding_length + 15) / 16; }

    std::int64_t head_length() const { return embedding_length / heads; }
    std::int64_t kv_length() const { return head_length() * kv_heads; }
};

struct Tensor {
    std::string name;
    std::int64_t columns = 0;
    std::int64_t rows = 1;    // 1 for a vector
    std::int64_t planes = 1;  // an expert's matrix each
    std::vector<float> values;

    Tensor() = default;  // none: a recurrent block's attention and feed-forward
    Tensor(std::string tensor_name, std::int64_t column_count, std::int64_t row_count, float fill,
           std::int64_t plane_count = 1);
    float& at(std::int64_t column, std::int64_t row) {
        return values[static_cast<std::size_t>(row * columns + column)];
    }
};

struct Block {
    Tensor attention_norm, query, key, value, attention_output;
    Tensor feed_forward_norm, gate, up, down;  // each expert's, with experts
    std::vector<Tensor> router;                // the experts' gate, with experts
    std::vector<Tensor> attention_sinks;       // a logit per head, with a sliding window
    // A recurrent block's tensors after its norm, in place of all the others.
    std::vector<Tensor> state_space;
};

// Norm weights start at one and every matrix at zero: a model that passes the
// token embedding unchanged through each block.
struct LlamaWeights {
    Tensor token_embedding, output_norm, output;
    std::vector<Block> blocks;
    std::vector<Tensor> biases;

    explicit LlamaWeights(const Dimensions& dims);
    // Adds the bias `name` ("X.bias") of zeros, as long as the rows of the
    // matrix "X.weight"; throws std::invalid_argument when there is none.
    // "rope_freqs.weight", the rope's frequency factors, is ones instead, as
    // long as half a head.
    void add_zero_bias(const std::string& name, const Dimensions& dims);
    std::vector<Tensor*> all();
};

}  // namespace debrindle::model_writer
