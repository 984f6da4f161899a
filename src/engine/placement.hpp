#pragma once
// Where a model's layers go. The first load asks for every layer on the GPU;
// when that fails for lack of device memory, fewer layers are tried, and at
// last none at all, with the GPU left out entirely.

#include <cstdint>
#include <vector>

namespace debrindle {

struct Placement {
    // As llama.cpp counts them: the repeating layers, then the output layer.
    std::uint32_t gpu_layers = 0;
    // No GPU device at all: llama.cpp would otherwise still put the compute
    // buffers on the GPU with zero layers there.
    bool cpu_only = false;

    bool operator==(const Placement&) const = default;
};

// The layer count the helper asks for first: all of them.
inline constexpr std::uint32_t all_gpu_layers = 4294967295U;
inline constexpr Placement requested_placement{all_gpu_layers, false};
inline constexpr Placement cpu_only_placement{0, true};

// What a model needs on a device, from its file.
struct ModelFootprint {
    std::uint32_t layers = 0;              // repeating layers
    std::uint64_t layer_bytes = 0;         // weights of the largest one
    std::uint64_t output_bytes = 0;        // output norm and projection
    std::uint64_t kv_bytes_per_layer = 0;  // key and value cache of one layer at the smallest context
    std::uint64_t compute_bytes = 0;       // compute buffers at the smallest context
};

// How many layers fit into `free_bytes` of device memory, keeping room for
// the compute buffers and a margin for what the backend allocates during a
// decode.
std::uint32_t gpu_layers_that_fit(const ModelFootprint& footprint, std::uint64_t free_bytes);

// The placements to try, in order, after `failed` has failed: the layers
// that fit (or half of the failed count when that is no fewer), half of
// that, then the CPU alone. Each has fewer GPU layers than the one before;
// nothing comes after the CPU alone.
std::vector<Placement> placements_below(Placement failed, const ModelFootprint& footprint, std::uint64_t free_bytes);

}  // namespace debrindle
