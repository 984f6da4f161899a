#pragma once
// What llama.cpp's GPU devices and a model file say about fitting the model.

#include <cstdint>
#include <optional>
#include <string>

#include "engine/placement.hpp"

namespace debrindle {

// The free memory of the GPU devices llama.cpp would use, or nothing when it
// has none.
std::optional<std::uint64_t> gpu_free_memory();

// Their names, comma-separated ("Vulkan0").
std::string gpu_device_names();

// The model's layer sizes from its GGUF header and tensor table (no weights
// are read), or nothing when the file cannot be read as one.
std::optional<ModelFootprint> read_model_footprint(const char* path);

}  // namespace debrindle
