#include "engine/gpu_devices.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include <ggml-backend.h>
#include <gguf.h>

#include "engine/generation_plan.hpp"

namespace debrindle {
namespace {

bool is_gpu(ggml_backend_dev_t device) {
    const auto type = ggml_backend_dev_type(device);
    return type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU;
}

struct GgufDeleter {
    void operator()(gguf_context* context) const { gguf_free(context); }
};

std::optional<std::uint32_t> u32_value(const gguf_context* gguf, const std::string& key) {
    const std::int64_t id = gguf_find_key(gguf, key.c_str());
    if (id < 0 || gguf_get_kv_type(gguf, id) != GGUF_TYPE_UINT32) return std::nullopt;
    return gguf_get_val_u32(gguf, id);
}

// The layer number of a tensor named "blk.N.…".
std::optional<std::uint32_t> layer_of(std::string_view name) {
    unsigned layer = 0;
    int length = 0;
    if (std::sscanf(std::string(name).c_str(), "blk.%u.%n", &layer, &length) != 1 || length == 0) return std::nullopt;
    return layer;
}

}  // namespace

std::vector<ggml_backend_dev_t> gpu_devices() {
    std::vector<ggml_backend_dev_t> devices;
    for (std::size_t i = 0; i < ggml_backend_dev_count(); ++i) {
        ggml_backend_dev_t device = ggml_backend_dev_get(i);
        if (is_gpu(device)) devices.push_back(device);
    }
    return devices;
}

std::uint64_t gpu_free_memory(const std::vector<ggml_backend_dev_t>& devices) {
    std::uint64_t total = 0;
    for (ggml_backend_dev_t device : devices) {
        std::size_t free = 0;
        std::size_t size = 0;
        ggml_backend_dev_memory(device, &free, &size);
        total += free;
    }
    return total;
}

std::string gpu_device_names(const std::vector<ggml_backend_dev_t>& devices) {
    std::string names;
    for (ggml_backend_dev_t device : devices) {
        if (!names.empty()) names += ',';
        names += ggml_backend_dev_name(device);
    }
    return names;
}

std::optional<ModelFootprint> read_model_footprint(const char* path) {
    const std::unique_ptr<gguf_context, GgufDeleter> gguf(gguf_init_from_file(path, {/*no_alloc=*/true, nullptr}));
    if (!gguf) return std::nullopt;
    const std::int64_t architecture_key = gguf_find_key(gguf.get(), "general.architecture");
    if (architecture_key < 0 || gguf_get_kv_type(gguf.get(), architecture_key) != GGUF_TYPE_STRING) return std::nullopt;
    const std::string architecture = gguf_get_val_str(gguf.get(), architecture_key);
    const auto layers = u32_value(gguf.get(), architecture + ".block_count");
    const auto embedding = u32_value(gguf.get(), architecture + ".embedding_length");
    const auto heads = u32_value(gguf.get(), architecture + ".attention.head_count");
    if (!layers || !embedding || !heads || *heads == 0) return std::nullopt;
    const std::uint32_t kv_heads = u32_value(gguf.get(), architecture + ".attention.head_count_kv").value_or(*heads);
    const std::int64_t tokens_key = gguf_find_key(gguf.get(), "tokenizer.ggml.tokens");
    const std::uint64_t vocabulary = tokens_key < 0 ? 0 : gguf_get_arr_n(gguf.get(), tokens_key);

    ModelFootprint footprint;
    footprint.layers = *layers;
    std::map<std::uint32_t, std::uint64_t> layer_bytes;
    for (std::int64_t i = 0; i < gguf_get_n_tensors(gguf.get()); ++i) {
        const std::string_view name = gguf_get_tensor_name(gguf.get(), i);
        const std::uint64_t bytes = gguf_get_tensor_size(gguf.get(), i);
        if (const auto layer = layer_of(name)) {
            layer_bytes[*layer] += bytes;
        } else if (name.starts_with("output")) {
            footprint.output_bytes += bytes;
        }
    }
    for (const auto& [layer, bytes] : layer_bytes) footprint.layer_bytes = std::max(footprint.layer_bytes, bytes);
    // Keys and values (two) are F16 (two bytes each).
    const std::uint64_t head_length = *embedding / *heads;
    footprint.kv_bytes_per_layer = head_length * kv_heads * min_context_length * 4;
    // The largest compute buffers hold one physical batch of F32 logits and
    // of attention scores.
    footprint.compute_bytes = 4ULL * physical_batch_size * (vocabulary + std::uint64_t{*heads} * min_context_length);
    return footprint;
}

}  // namespace debrindle
