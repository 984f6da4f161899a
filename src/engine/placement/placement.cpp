#include "engine/placement/placement.hpp"

#include <algorithm>

namespace debrindle {
namespace {

// Scratch buffers that ggml-vulkan allocates inside a decode, and the
// estimate's own error, are kept room for: a sixteenth of the device.
constexpr std::uint64_t margin_divisor = 16;

// llama.cpp places at most every repeating layer and the output layer.
std::uint32_t placeable_layers(const ModelFootprint& footprint) {
    return static_cast<std::uint32_t>(footprint.layer_bytes.size()) + 1;
}

}  // namespace

std::uint64_t device_bytes(const ModelFootprint& footprint, Placement placement) {
    if (placement.cpu_only) return 0;
    const std::uint32_t layers = std::min(placement.gpu_layers, placeable_layers(footprint));
    std::uint64_t bytes = footprint.compute_bytes;
    if (layers == 0) return bytes;
    bytes += footprint.output_bytes;
    // The repeating layers that go with the output layer are the last ones.
    const auto repeating = footprint.layer_bytes.size();
    for (std::size_t i = repeating - (layers - 1); i < repeating; ++i) {
        bytes += footprint.layer_bytes[i] + footprint.kv_bytes_per_layer;
    }
    return bytes;
}

Placement plan_placement(const ModelFootprint& footprint, std::uint64_t available_bytes) {
    const std::uint64_t usable = available_bytes - available_bytes / margin_divisor;
    if (device_bytes(footprint, requested_placement) <= usable) return requested_placement;
    std::uint32_t layers = placeable_layers(footprint) - 1;
    while (layers > 0 && device_bytes(footprint, Placement{layers, false}) > usable) --layers;
    return layers == 0 ? cpu_only_placement : Placement{layers, false};
}

std::vector<Placement> placements_below(Placement failed, const ModelFootprint& footprint,
                                        std::uint64_t available_bytes) {
    std::vector<Placement> placements;
    if (failed.cpu_only) return placements;
    const std::uint32_t failed_layers = std::min(failed.gpu_layers, placeable_layers(footprint));
    const Placement plan = plan_placement(footprint, available_bytes);
    const std::uint32_t planned = plan.cpu_only ? 0 : std::min(plan.gpu_layers, placeable_layers(footprint));
    const std::uint32_t first = planned < failed_layers ? planned : failed_layers - (failed_layers > 0 ? 1 : 0);
    for (const std::uint32_t layers : {first, first / 2}) {
        if (layers > 0 && (placements.empty() || layers < placements.back().gpu_layers)) {
            placements.push_back(Placement{layers, false});
        }
    }
    placements.push_back(cpu_only_placement);
    return placements;
}

}  // namespace debrindle
