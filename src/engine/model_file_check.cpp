#include "engine/model_file_check.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string_view>

#include <gguf.h>

#include "engine/gpu_devices.hpp"

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

struct GgufDeleter {
    void operator()(gguf_context* context) const { gguf_free(context); }
};

std::uint32_t u32_value(const gguf_context* gguf, const std::string& key, std::uint32_t absent) {
    const std::int64_t id = gguf_find_key(gguf, key.c_str());
    return id >= 0 && gguf_get_kv_type(gguf, id) == GGUF_TYPE_UINT32 ? gguf_get_val_u32(gguf, id) : absent;
}

std::string string_value(const gguf_context* gguf, const std::string& key, const std::string& absent) {
    const std::int64_t id = gguf_find_key(gguf, key.c_str());
    return id >= 0 && gguf_get_kv_type(gguf, id) == GGUF_TYPE_STRING ? gguf_get_val_str(gguf, id) : absent;
}

// A number, or the largest of a per-layer array of 32-bit integers or
// booleans, as llama.cpp reads the used experts.
std::uint32_t largest_u32_value(const gguf_context* gguf, const std::string& key) {
    const std::int64_t id = gguf_find_key(gguf, key.c_str());
    if (id < 0 || gguf_get_kv_type(gguf, id) != GGUF_TYPE_ARRAY) return u32_value(gguf, key, 0);
    const gguf_type element = gguf_get_arr_type(gguf, id);
    if (element != GGUF_TYPE_UINT32 && element != GGUF_TYPE_INT32 && element != GGUF_TYPE_BOOL) return 0;
    const auto* bytes = static_cast<const char*>(gguf_get_arr_data(gguf, id));
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < gguf_get_arr_n(gguf, id); ++i) {
        std::uint32_t value = 0;
        if (element == GGUF_TYPE_BOOL) {
            value = bytes[i] != 0 ? 1 : 0;
        } else {
            std::memcpy(&value, bytes + i * sizeof value, sizeof value);
        }
        largest = std::max(largest, value);
    }
    return largest;
}

}  // namespace

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
    // ggml adds and multiplies element-wise by no quantized or integer tensor.
    return std::all_of(header.vector_types.begin(), header.vector_types.end(),
                       [](ggml_type type) { return one_of(vector_types, type); });
}

std::optional<ModelFileHeader> read_model_file_header(const char* path) {
    const std::unique_ptr<gguf_context, GgufDeleter> owned(gguf_init_from_file(path, {/*no_alloc=*/true, nullptr}));
    if (!owned) return std::nullopt;
    const gguf_context* gguf = owned.get();
    ModelFileHeader header;
    header.architecture = string_value(gguf, "general.architecture", "");
    const std::string prefix = header.architecture + ".";
    header.layers = u32_value(gguf, prefix + "block_count", 0);
    header.next_token_layers = u32_value(gguf, prefix + "nextn_predict_layers", 0);
    header.experts = u32_value(gguf, prefix + "expert_count", 0);
    header.used_experts = largest_u32_value(gguf, prefix + "expert_used_count");
    header.expert_groups = u32_value(gguf, prefix + "expert_group_count", 0);
    header.used_expert_groups = u32_value(gguf, prefix + "expert_group_used_count", 0);
    header.rope_scaling = string_value(gguf, prefix + "rope.scaling.type", header.rope_scaling);
    for (std::int64_t i = 0; i < gguf_get_n_tensors(gguf); ++i) {
        const std::int64_t* shape = gguf_get_tensor_ne(gguf, i);
        if (shape[1] == 1 && shape[2] == 1 && shape[3] == 1)
            header.vector_types.push_back(gguf_get_tensor_type(gguf, i));
    }
    header.footprint = model_footprint(gguf);
    return header;
}

}  // namespace debrindle
