#include "engine/placement/gpu_devices.hpp"

#include <ggml-backend.h>

namespace debrindle {
namespace {

bool is_gpu(ggml_backend_dev_t device) {
    const auto type = ggml_backend_dev_type(device);
    return type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU;
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

}  // namespace debrindle
