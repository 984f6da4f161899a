#include "engine/model/model_footprint.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "engine/generation/generation_plan.hpp"

namespace debrindle {
namespace {

// llama.cpp's LLAMA_MAX_LAYERS.
constexpr std::uint32_t max_layers = 512;

// More bytes than any device holds (256 TiB), and few enough that the sums
// of a placement's estimate stay far from wrapping.
constexpr std::uint64_t beyond_any_device = std::uint64_t{1} << 48U;

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

std::optional<ModelFootprint> model_footprint(const ModelShape& shape, const std::vector<TensorEntry>& tensors) {
    if (shape.layers == 0 || shape.layers > max_layers || shape.heads == 0) return std::nullopt;
    ModelFootprint footprint;
    footprint.layer_bytes.assign(shape.layers, 0);
    std::uint64_t token_embedding_bytes = 0;
    bool output_projection = false;
    for (const TensorEntry& tensor : tensors) {
        if (const auto layer = layer_of(tensor.name)) {
            if (*layer < shape.layers) footprint.layer_bytes[*layer] += tensor.bytes;
        } else if (tensor.name.starts_with("output")) {
            footprint.output_bytes += tensor.bytes;
            output_projection = output_projection || tensor.name == "output.weight";
        } else if (tensor.name == "token_embd.weight") {
            token_embedding_bytes = tensor.bytes;
        }
    }
    // Without an output projection of its own, the model's output layer uses
    // a copy of the token embedding.
    if (!output_projection) footprint.output_bytes += token_embedding_bytes;
    // Keys and values are F16, two bytes each. The numbers are widened
    // before any sum or product, and a cache no device could hold counts as
    // that bound, so that a crafted header never wraps into an under-estimate.
    const std::uint64_t head_bytes = (std::uint64_t{shape.key_length} + shape.value_length) * min_context_length * 2;
    footprint.kv_bytes_per_layer = shape.kv_heads != 0 && head_bytes > beyond_any_device / shape.kv_heads
                                       ? beyond_any_device
                                       : head_bytes * shape.kv_heads;
    footprint.compute_bytes = compute_buffer_bytes(shape.vocabulary, shape.embedding, shape.heads);
    return footprint;
}

}  // namespace debrindle
