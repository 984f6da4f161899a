#include "engine/model/model_file_check.hpp"

#include <algorithm>
#include <array>

namespace debrindle {
namespace {

// llama.cpp's LLAMA_MAX_LAYERS and LLAMA_MAX_EXPERTS: the lengths of its
// per-layer and per-expert arrays.
constexpr std::uint32_t max_layers = 512;
constexpr std::uint32_t max_experts = 1024;

constexpr std::array<std::string_view, 4> rope_scaling_types = {"none", "linear", "yarn", "longrope"};
constexpr std::array<ggml_type, 3> vector_types = {GGML_TYPE_F32, GGML_TYPE_F16, GGML_TYPE_BF16};

// The tensors, other than norms, biases and scales, that llama.cpp's tensor
// table (llama-arch.cpp) takes into an element-wise operation, rope, the
// attention's sinks or a recurrent scan rather than a matrix product or a
// row lookup, by the last part of their names: rope factors, recurrent
// models' decays and mixes, residual and layer scales.
// clang-format off
constexpr std::array<std::string_view, 46> element_wise_kinds = {
    "act", "altup_correct_scale", "attn_conv_base", "attn_res_score", "attn_sinks", "channel_mix_lerp_k",
    "channel_mix_lerp_r", "conv", "exp_probs_b", "exp_probs_b_vl", "ffn_conv_base", "ffn_res_score", "gamma",
    "hc_attn_base", "hc_attn_scale", "hc_ffn_base", "hc_ffn_scale", "layer_output_scale", "output_hc_base",
    "output_hc_scale", "output_res_score", "ple_conv1d", "rope_factors_long", "rope_factors_short", "rope_freqs",
    "ssm_a", "ssm_conv1d", "ssm_conv1d_k", "ssm_conv1d_q", "ssm_conv1d_v", "ssm_d", "time_mix_a0", "time_mix_decay",
    "time_mix_first", "time_mix_k_a", "time_mix_k_k", "time_mix_lerp_fused", "time_mix_lerp_g", "time_mix_lerp_k",
    "time_mix_lerp_r", "time_mix_lerp_v", "time_mix_lerp_w", "time_mix_lerp_x", "time_mix_r_k", "time_mix_v0",
    "time_mix_w0",
};
// clang-format on

template <typename List, typename Value>
bool one_of(const List& list, const Value& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

// The last part of a tensor's name without its ".weight", ".bias" or
// ".scales": "attn_norm_2" for "blk.3.attn_norm_2.weight".
std::string_view kind_of(std::string_view name) {
    for (const std::string_view suffix : {".weight", ".bias", ".scales"}) {
        if (name.ends_with(suffix)) {
            name.remove_suffix(suffix.size());
            break;
        }
    }
    return name.substr(name.rfind('.') + 1);
}

// Whether llama.cpp adds the tensor to F32 values (a bias) or multiplies
// them by it (the scale of a weight's product), as the second operand.
bool added_or_scaled(std::string_view name) { return name.ends_with(".bias") || name.ends_with(".scale"); }

// The type a tensor may have: a norm weights an element-wise product of F32
// values, and a bias or scale is added or multiplied in element-wise, which
// ggml's CPU backend computes with an F32 second operand only (it stops the
// process on another); so is a vector llama.cpp computes with element-wise
// (rope asserts on factors of another type as it builds the first graph).
// Another single row (a reranker's one-row head, a shared expert's gate,
// which a matrix product takes) may be F16 or BF16 as well. llama.cpp's own
// converters and quantizer keep every vector F32.
bool type_usable(const TensorEntry& tensor) {
    if (named_as_norm(tensor.name) || added_or_scaled(tensor.name)) return tensor.type == GGML_TYPE_F32;
    // The recurrent scan takes its A as floats whatever its shape (it
    // asserts 4-byte elements as it computes).
    if (kind_of(tensor.name) == "ssm_a") return tensor.type == GGML_TYPE_F32;
    if (!tensor.one_row) return true;
    if (one_of(element_wise_kinds, kind_of(tensor.name))) return tensor.type == GGML_TYPE_F32;
    return one_of(vector_types, tensor.type);
}

}  // namespace

bool named_as_norm(std::string_view name) {
    const std::string_view last = kind_of(name);
    return last.find("norm") != std::string_view::npos || last == "time_mix_ln";
}

bool model_file_acceptable(const ModelFileHeader& header) {
    // llama.cpp drops the experts of a Hunyuan dense model that names one or none.
    const bool experts_dropped =
        (header.architecture == "hunyuan-dense" || header.architecture == "hunyuan_vl") && header.experts <= 1;
    const std::uint32_t experts = experts_dropped ? 0 : header.experts;
    const std::uint32_t used_experts = experts_dropped ? 0 : header.used_experts;
    // A model has layers, no more than llama.cpp's per-layer arrays hold.
    if (header.layers < 1 || header.layers > max_layers) return false;
    // The next-token-prediction layers are among the layers.
    if (header.next_token_layers > header.layers) return false;
    // No more experts than llama.cpp's per-expert arrays hold.
    if (experts > max_experts) return false;
    // A token goes to one or more of the experts there are, to none without experts.
    if (used_experts > experts || (experts > 0 && used_experts == 0)) return false;
    // Expert groups are fewer than the experts and share them out evenly;
    // a token goes to one or more groups, not all.
    if (header.expert_groups != 0 && header.expert_groups >= experts) return false;
    if (header.expert_groups > 1 && (experts % header.expert_groups != 0 || header.used_expert_groups == 0 ||
                                     header.used_expert_groups >= header.expert_groups)) {
        return false;
    }
    // llama.cpp knows these rope scaling types only.
    if (!one_of(rope_scaling_types, header.rope_scaling)) return false;
    // llama.cpp refuses tensor data past the end of a file, whatever the
    // placement: such a file is not worth a load.
    if (std::any_of(header.files.begin(), header.files.end(),
                    [](const FileExtent& file) { return file.data_end > file.length; })) {
        return false;
    }
    return std::all_of(header.tensors.begin(), header.tensors.end(), type_usable);
}

}  // namespace debrindle
