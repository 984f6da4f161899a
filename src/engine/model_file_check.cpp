#include "engine/model_file_check.hpp"

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

template <typename List, typename Value>
bool one_of(const List& list, const Value& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

// Whether llama.cpp adds the tensor to F32 values (a bias) or multiplies
// them by it (the scale of a weight's product), as the second operand.
bool added_or_scaled(std::string_view name) { return name.ends_with(".bias") || name.ends_with(".scale"); }

// The type a tensor may have: a norm weights an element-wise product of F32
// values, and a bias or scale is added or multiplied in element-wise, which
// ggml's CPU backend computes with an F32 second operand only (it stops the
// process on another); another single row (a reranker's one-row head, which
// a matrix product takes) may be F16 or BF16 as well.
bool type_usable(const TensorEntry& tensor) {
    if (named_as_norm(tensor.name) || added_or_scaled(tensor.name)) return tensor.type == GGML_TYPE_F32;
    return !tensor.one_row || one_of(vector_types, tensor.type);
}

}  // namespace

bool named_as_norm(std::string_view name) {
    for (const std::string_view suffix : {".weight", ".bias"}) {
        if (name.ends_with(suffix)) {
            name.remove_suffix(suffix.size());
            break;
        }
    }
    const std::string_view last = name.substr(name.rfind('.') + 1);
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
