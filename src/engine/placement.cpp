#include "engine/placement.hpp"

#include <algorithm>

namespace debrindle {
namespace {

// Scratch buffers that ggml-vulkan allocates inside a decode are counted
// nowhere in advance; a sixteenth of the device is kept free for them.
constexpr std::uint64_t margin_divisor = 16;

}  // namespace

std::uint32_t gpu_layers_that_fit(const ModelFootprint& footprint, std::uint64_t free_bytes) {
    const std::uint64_t reserved = footprint.compute_bytes + free_bytes / margin_divisor;
    if (free_bytes <= reserved) return 0;
    std::uint64_t room = free_bytes - reserved;
    const std::uint64_t per_layer = footprint.layer_bytes + footprint.kv_bytes_per_layer;
    const std::uint64_t layers =
        per_layer == 0 ? footprint.layers : std::min<std::uint64_t>(room / per_layer, footprint.layers);
    room -= layers * per_layer;
    // The output layer comes after every repeating one.
    const bool output_fits = layers == footprint.layers && room >= footprint.output_bytes;
    return static_cast<std::uint32_t>(layers) + (output_fits ? 1 : 0);
}

std::vector<Placement> placements_below(Placement failed, const ModelFootprint& footprint, std::uint64_t free_bytes) {
    std::vector<Placement> placements;
    if (failed.cpu_only) return placements;
    // llama.cpp places at most every repeating layer and the output layer.
    const std::uint32_t failed_layers = std::min(failed.gpu_layers, footprint.layers + 1);
    const std::uint32_t fit = gpu_layers_that_fit(footprint, free_bytes);
    const std::uint32_t first = fit < failed_layers ? fit : failed_layers / 2;
    for (const std::uint32_t layers : {first, first / 2}) {
        if (layers > 0 && (placements.empty() || layers < placements.back().gpu_layers)) {
            placements.push_back(Placement{layers, false});
        }
    }
    placements.push_back(cpu_only_placement);
    return placements;
}

}  // namespace debrindle
