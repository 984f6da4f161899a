#pragma once
// Where a model's layers go. Before a load that may use a GPU, the device
// memory of a placement is estimated from the model file, and the load asks
// for as many layers as fit the memory the device has free; when a load or
// a generation still runs out of device memory, fewer layers are tried, and
// at last none at all, with the GPU left out entirely.

#include <cstdint>
#include <vector>

namespace debrindle {

struct Placement {
    // As llama.cpp counts them: the output layer first, then the repeating
    // layers from the last one down.
    std::uint32_t gpu_layers = 0;
    // No GPU device at all: llama.cpp would otherwise still put the compute
    // buffers on the GPU with zero layers there.
    bool cpu_only = false;

    bool operator==(const Placement&) const = default;
};

// The layer count asked for when everything fits: all of them.
inline constexpr std::uint32_t all_gpu_layers = 4294967295U;
inline constexpr Placement requested_placement{all_gpu_layers, false};
inline constexpr Placement cpu_only_placement{0, true};

// What a model needs on a device, from its file.
struct ModelFootprint {
    std::vector<std::uint64_t> layer_bytes;  // weights of each repeating layer, in order
    std::uint64_t output_bytes = 0;          // output norm and projection
    std::uint64_t kv_bytes_per_layer = 0;    // key and value cache of one layer at the smallest context
    std::uint64_t compute_bytes = 0;         // compute buffers at the smallest context
};

// The device memory a placement takes, by estimate: the weights and cache
// of its layers and the compute buffers; nothing for the CPU alone.
std::uint64_t device_bytes(const ModelFootprint& footprint, Placement placement);

// The placement with the most GPU layers that fits `available_bytes` of
// device memory with a margin to spare: every layer when all fit, the CPU
// alone when not even the compute buffers and one layer do.
Placement plan_placement(const ModelFootprint& footprint, std::uint64_t available_bytes);

// The placements to try, in order, after `failed` has failed: the plan for
// `available_bytes` when it is below `failed` (else one layer fewer), half
// of that, then the CPU alone. Each has fewer GPU layers than the one
// before; nothing comes after the CPU alone.
std::vector<Placement> placements_below(Placement failed, const ModelFootprint& footprint,
                                        std::uint64_t available_bytes);

}  // namespace debrindle
