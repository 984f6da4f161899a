#pragma once
// What llama.cpp's GPU devices and a model file say about fitting the model.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <ggml-backend.h>
#include <gguf.h>

#include "engine/placement.hpp"

namespace debrindle {

// The GPU devices llama.cpp would use (none without a usable GPU).
std::vector<ggml_backend_dev_t> gpu_devices();

// The memory a new model may take on them, summed: what they report free,
// less `held_bytes` (what this process holds there) where the report does
// not count it. A driver without a memory budget reports its whole heap as
// free however much is allocated; one with a budget reports less than the
// whole heap as soon as anything is.
std::uint64_t gpu_memory_available(const std::vector<ggml_backend_dev_t>& devices, std::uint64_t held_bytes);

// Their names, comma-separated ("Vulkan0").
std::string gpu_device_names(const std::vector<ggml_backend_dev_t>& devices);

// What the model takes on a device, from its GGUF header and tensor table as
// gguf read them (no weights), or nothing when they do not say.
std::optional<ModelFootprint> model_footprint(const gguf_context* gguf);

}  // namespace debrindle
