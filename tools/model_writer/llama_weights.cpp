#include "llama_weights.hpp"

#include <stdexcept>

namespace debrindle::model_writer {
namespace {

// Mamba's block, with the names and shapes llama.cpp loads. The state's
// decay (ssm_a) is minus one, as a trained model's is near.
Block make_state_space_block(const Dimensions& dims, const std::string& prefix) {
    const auto embd = dims.embedding_length;
    const auto inner = dims.inner_length();
    Block block;
    block.attention_norm = Tensor(prefix + "attn_norm.weight", embd, 1, 1.0f);
    block.state_space = {
        Tensor(prefix + "ssm_in.weight", embd, 2 * inner, 0.0f),
        Tensor(prefix + "ssm_conv1d.weight", Dimensions::convolution_width, inner, 0.0f),
        Tensor(prefix + "ssm_conv1d.bias", inner, 1, 0.0f),
        Tensor(prefix + "ssm_x.weight", inner, dims.time_step_rank() + 2 * Dimensions::state_size, 0.0f),
        Tensor(prefix + "ssm_dt.weight", dims.time_step_rank(), inner, 0.0f),
        Tensor(prefix + "ssm_dt.bias", inner, 1, 0.0f),
        Tensor(prefix + "ssm_a", Dimensions::state_size, inner, -1.0f),
        Tensor(prefix + "ssm_d", inner, 1, 1.0f),
        Tensor(prefix + "ssm_out.weight", inner, embd, 0.0f),
    };
    return block;
}

Block make_block(const Dimensions& dims, std::int64_t index) {
    const auto prefix = "blk." + std::to_string(index) + ".";
    if (dims.recurrent) return make_state_space_block(dims, prefix);
    const auto embd = dims.embedding_length;
    const auto ff = dims.feed_forward_length;
    Block block{
        .attention_norm = Tensor(prefix + "attn_norm.weight", embd, 1, 1.0f),
        .query = Tensor(prefix + "attn_q.weight", embd, embd, 0.0f),
        .key = Tensor(prefix + "attn_k.weight", embd, dims.kv_length(), 0.0f),
        .value = Tensor(prefix + "attn_v.weight", embd, dims.kv_length(), 0.0f),
        .attention_output = Tensor(prefix + "attn_output.weight", embd, embd, 0.0f),
        .feed_forward_norm = Tensor(prefix + "ffn_norm.weight", embd, 1, 1.0f),
        .gate = Tensor(prefix + "ffn_gate.weight", embd, ff, 0.0f),
        .up = Tensor(prefix + "ffn_up.weight", embd, ff, 0.0f),
        .down = Tensor(prefix + "ffn_down.weight", ff, embd, 0.0f),
        .router = {},
        .attention_sinks = {},
        .state_space = {},
    };
    if (dims.sliding_window > 0) block.attention_sinks.emplace_back(prefix + "attn_sinks.weight", dims.heads, 1, 0.0f);
    if (dims.experts > 0) {
        block.gate = Tensor(prefix + "ffn_gate_exps.weight", embd, ff, 0.0f, dims.experts);
        block.up = Tensor(prefix + "ffn_up_exps.weight", embd, ff, 0.0f, dims.experts);
        block.down = Tensor(prefix + "ffn_down_exps.weight", ff, embd, 0.0f, dims.experts);
        block.router.emplace_back(prefix + "ffn_gate_inp.weight", embd, dims.experts, 0.0f);
    }
    return block;
}

}  // namespace

Tensor::Tensor(std::string tensor_name, std::int64_t column_count, std::int64_t row_count, float fill,
               std::int64_t plane_count)
    : name(std::move(tensor_name)),
      columns(column_count),
      rows(row_count),
      planes(plane_count),
      values(static_cast<std::size_t>(column_count * row_count * plane_count), fill) {}

LlamaWeights::LlamaWeights(const Dimensions& dims)
    : token_embedding("token_embd.weight", dims.embedding_length, dims.vocab_size, 0.0f),
      output_norm("output_norm.weight", dims.embedding_length, 1, 1.0f),
      output("output.weight", dims.embedding_length, dims.vocab_size, 0.0f) {
    blocks.reserve(static_cast<std::size_t>(dims.layers));
    for (std::int64_t i = 0; i < dims.layers; ++i) {
        blocks.push_back(make_block(dims, i));
    }
}

void LlamaWeights::add_zero_bias(const std::string& name, const Dimensions& dims) {
    if (name == "rope_freqs.weight" || name == "rope_factors_short.weight" || name == "rope_factors_long.weight") {
        biases.emplace_back(name, dims.head_length() / 2, 1, name == "rope_factors_long.weight" ? 4.0f : 1.0f);
        return;
    }
    const std::string suffix = ".bias";
    const std::string matrix =
        name.ends_with(suffix) ? name.substr(0, name.size() - suffix.size()) + ".weight" : std::string();
    for (const Tensor* tensor : all()) {
        if (tensor->name == matrix && tensor->rows > 1) {
            biases.emplace_back(name, tensor->rows, 1, 0.0f);
            return;
        }
    }
    throw std::invalid_argument("bias " + name + ": no matrix " + (matrix.empty() ? name : matrix));
}

std::vector<Tensor*> LlamaWeights::all() {
    std::vector<Tensor*> tensors{&token_embedding, &output_norm, &output};
    for (auto& block : blocks) {
        if (!block.state_space.empty()) {
            tensors.push_back(&block.attention_norm);
            for (auto& tensor : block.state_space) tensors.push_back(&tensor);
            continue;
        }
        for (auto* tensor : {&block.attention_norm, &block.query, &block.key, &block.value, &block.attention_output,
                             &block.feed_forward_norm, &block.gate, &block.up, &block.down}) {
            tensors.push_back(tensor);
        }
        for (auto& router : block.router) tensors.push_back(&router);
        for (auto& sinks : block.attention_sinks) tensors.push_back(&sinks);
    }
    for (auto& bias : biases) tensors.push_back(&bias);
    return tensors;
}

}  // namespace debrindle::model_writer
