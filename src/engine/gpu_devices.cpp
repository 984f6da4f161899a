#include "engine/gpu_devices.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
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

// The compute buffers llama.cpp reserves at the smallest context, for one
// physical batch in F32: on the device the logits or, where they are larger
// and the device computes attention without flash attention, the attention
// scores over the whole context, beside the hidden states (more of them when
// the layers are split between the device and the CPU); in the device's
// host memory, which an integrated GPU shares, the mask over the context and
// the inputs. Against llama.cpp's own figures (device and host together):
// 34.8 MiB for the 58M bench model, which takes 33.3 to 33.8 MiB, and 4.6 MiB
// for a one-layer test model, which takes 3.2 to 4.1 MiB.
std::uint64_t compute_buffer_bytes(std::uint64_t vocabulary, std::uint64_t embedding, std::uint64_t heads) {
    const std::uint64_t context = min_context_length;
    return 4ULL * physical_batch_size * (std::max(vocabulary, heads * context) + context + 5 * embedding);
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

std::uint64_t gpu_memory_available(const std::vector<ggml_backend_dev_t>& devices, std::uint64_t held_bytes) {
    std::uint64_t free = 0;
    std::uint64_t total = 0;
    for (ggml_backend_dev_t device : devices) {
        std::size_t device_free = 0;
        std::size_t device_total = 0;
        ggml_backend_dev_memory(device, &device_free, &device_total);
        free += device_free;
        total += device_total;
    }
    if (free < total) return free;
    return free > held_bytes ? free - held_bytes : 0;
}

std::string gpu_device_names(const std::vector<ggml_backend_dev_t>& devices) {
    std::string names;
    for (ggml_backend_dev_t device : devices) {
        if (!names.empty()) names += ',';
        names += ggml_backend_dev_name(device);
    }
    return names;
}

std::optional<ModelFootprint> model_footprint(const gguf_context* gguf) {
    const std::int64_t architecture_key = gguf_find_key(gguf, "general.architecture");
    if (architecture_key < 0 || gguf_get_kv_type(gguf, architecture_key) != GGUF_TYPE_STRING) return std::nullopt;
    const std::string architecture = gguf_get_val_str(gguf, architecture_key);
    const auto layers = u32_value(gguf, architecture + ".block_count");
    const auto embedding = u32_value(gguf, architecture + ".embedding_length");
    const auto heads = u32_value(gguf, architecture + ".attention.head_count");
    // A layer count llama.cpp cannot hold is refused before any load.
    if (!layers || *layers == 0 || *layers > 512 || !embedding || !heads || *heads == 0) return std::nullopt;
    const std::uint32_t kv_heads = u32_value(gguf, architecture + ".attention.head_count_kv").value_or(*heads);
    const std::int64_t tokens_key = gguf_find_key(gguf, "tokenizer.ggml.tokens");
    const std::uint64_t vocabulary = tokens_key < 0 ? 0 : gguf_get_arr_n(gguf, tokens_key);
    const std::uint32_t key_length =
        u32_value(gguf, architecture + ".attention.key_length").value_or(*embedding / *heads);
    const std::uint32_t value_length = u32_value(gguf, architecture + ".attention.value_length").value_or(key_length);

    ModelFootprint footprint;
    footprint.layer_bytes.assign(*layers, 0);
    std::uint64_t token_embedding_bytes = 0;
    bool output_projection = false;
    for (std::int64_t i = 0; i < gguf_get_n_tensors(gguf); ++i) {
        const std::string_view name = gguf_get_tensor_name(gguf, i);
        const std::uint64_t bytes = gguf_get_tensor_size(gguf, i);
        if (const auto layer = layer_of(name)) {
            if (*layer < *layers) footprint.layer_bytes[*layer] += bytes;
        } else if (name.starts_with("output")) {
            footprint.output_bytes += bytes;
            output_projection = output_projection || name == "output.weight";
        } else if (name == "token_embd.weight") {
            token_embedding_bytes = bytes;
        }
    }
    // Without an output projection of its own, the model's output layer uses
    // a copy of the token embedding.
    if (!output_projection) footprint.output_bytes += token_embedding_bytes;
    // Keys and values are F16, two bytes each.
    footprint.kv_bytes_per_layer = std::uint64_t{key_length + value_length} * kv_heads * min_context_length * 2;
    footprint.compute_bytes = compute_buffer_bytes(vocabulary, *embedding, *heads);
    return footprint;
}

}  // namespace debrindle
