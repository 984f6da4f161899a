#pragma once
// The GPU devices llama.cpp would use and the memory they have for a model.

#include <cstdint>
#include <string>
#include <vector>

#include <ggml-backend.h>

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

}  // namespace debrindle
