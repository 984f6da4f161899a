#pragma once
// What llama.cpp's GPU devices and a model file say about fitting the model.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <ggml-backend.h>

#include "engine/placement.hpp"

namespace debrindle {

// The GPU devices llama.cpp would use (none without a usable GPU).
std::vector<ggml_backend_dev_t> gpu_devices();

// Their free memory, summed.
std::uint64_t gpu_free_memory(const std::vector<ggml_backend_dev_t>& devices);

// Their names, comma-separated ("Vulkan0").
std::string gpu_device_names(const std::vector<ggml_backend_dev_t>& devices);

// The model's layer sizes from its GGUF header and tensor table (no weights
// are read), or nothing when the file cannot be read as one.
std::optional<ModelFootprint> read_model_footprint(const char* path);

}  // namespace debrindle
