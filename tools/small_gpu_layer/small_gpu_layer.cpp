// A Vulkan layer that makes a device look like a small GPU: its device-local
// heaps report DEBRINDLE_SMALL_GPU_KIB KiB, and an allocation that would take
// the device past that is refused with VK_ERROR_OUT_OF_DEVICE_MEMORY, as a
// real card refuses it. With DEBRINDLE_SMALL_GPU_MODE=paging it succeeds
// instead, as with a driver that pages device memory out to the system's.
// DEBRINDLE_SMALL_GPU_BUDGET=whole reports the whole heap as free however
// much is allocated, as a driver without a memory budget does.
// DEBRINDLE_SMALL_GPU_GIVES_KIB refuses allocations past that many KiB
// whatever the heaps report, as a driver that reports more than it can give.
// DEBRINDLE_SMALL_GPU_PEAK_FILE names a file that holds the peak of live
// device memory in bytes, rewritten whenever it rises. Tests put the layer
// in front of lavapipe.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include <vulkan/vk_layer.h>
#include <vulkan/vulkan.h>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct State {
    std::mutex mutex;
    PFN_vkGetInstanceProcAddr next_instance_proc = nullptr;
    PFN_vkGetPhysicalDeviceMemoryProperties next_memory_properties = nullptr;
    PFN_vkGetPhysicalDeviceMemoryProperties2 next_memory_properties2 = nullptr;
    PFN_vkGetDeviceProcAddr next_device_proc = nullptr;
    std::unordered_map<VkDeviceMemory, VkDeviceSize> allocations;
    VkDeviceSize allocated = 0;
    VkDeviceSize peak = 0;
};

State& state() {
    static State instance;
    return instance;
}

bool pages() {
    const char* mode = std::getenv("DEBRINDLE_SMALL_GPU_MODE");
    return mode != nullptr && std::strcmp(mode, "paging") == 0;
}

void record_peak(State& s) {
    if (s.allocated <= s.peak) return;
    s.peak = s.allocated;
    const char* path = std::getenv("DEBRINDLE_SMALL_GPU_PEAK_FILE");
    if (path == nullptr) return;
    if (std::FILE* file = std::fopen(path, "w")) {
        std::fprintf(file, "%llu\n", static_cast<unsigned long long>(s.peak));
        std::fclose(file);
    }
}

bool whole_heap_free() {
    const char* budget = std::getenv("DEBRINDLE_SMALL_GPU_BUDGET");
    return budget != nullptr && std::strcmp(budget, "whole") == 0;
}

VkDeviceSize kib_variable(const char* name) {
    const char* kib = std::getenv(name);
    return static_cast<VkDeviceSize>(kib ? std::strtoull(kib, nullptr, 10) : 0) * 1024;
}

VkDeviceSize capacity() { return kib_variable("DEBRINDLE_SMALL_GPU_KIB"); }

// What an allocation may take the device to before it is refused.
VkDeviceSize allocation_limit() {
    return std::getenv("DEBRINDLE_SMALL_GPU_GIVES_KIB") ? kib_variable("DEBRINDLE_SMALL_GPU_GIVES_KIB") : capacity();
}

template <typename Info, typename Link>
Link* layer_link(const Info* info, VkStructureType type) {
    auto* chain = static_cast<Link*>(const_cast<void*>(info->pNext));
    while (chain && !(chain->sType == type && chain->function == VK_LAYER_LINK_INFO)) {
        chain = static_cast<Link*>(const_cast<void*>(chain->pNext));
    }
    return chain;
}

void cap_heaps(VkPhysicalDeviceMemoryProperties& properties) {
    for (std::uint32_t i = 0; i < properties.memoryHeapCount; ++i) {
        auto& heap = properties.memoryHeaps[i];
        if (heap.flags & VK_MEMORY_HEAP_DEVICE_LOCAL_BIT) heap.size = std::min(heap.size, capacity());
    }
}

VKAPI_ATTR VkResult VKAPI_CALL create_instance(const VkInstanceCreateInfo* info, const VkAllocationCallbacks* allocator,
                                               VkInstance* instance) {
    auto* link = layer_link<VkInstanceCreateInfo, VkLayerInstanceCreateInfo>(
        info, VK_STRUCTURE_TYPE_LOADER_INSTANCE_CREATE_INFO);
    if (!link) return VK_ERROR_INITIALIZATION_FAILED;
    state().next_instance_proc = link->u.pLayerInfo->pfnNextGetInstanceProcAddr;
    link->u.pLayerInfo = link->u.pLayerInfo->pNext;
    auto next = reinterpret_cast<PFN_vkCreateInstance>(state().next_instance_proc(nullptr, "vkCreateInstance"));
    const VkResult result = next(info, allocator, instance);
    if (result == VK_SUCCESS) {
        state().next_memory_properties = reinterpret_cast<PFN_vkGetPhysicalDeviceMemoryProperties>(
            state().next_instance_proc(*instance, "vkGetPhysicalDeviceMemoryProperties"));
        state().next_memory_properties2 = reinterpret_cast<PFN_vkGetPhysicalDeviceMemoryProperties2>(
            state().next_instance_proc(*instance, "vkGetPhysicalDeviceMemoryProperties2"));
    }
    return result;
}

VKAPI_ATTR VkResult VKAPI_CALL create_device(VkPhysicalDevice physical, const VkDeviceCreateInfo* info,
                                             const VkAllocationCallbacks* allocator, VkDevice* device) {
    auto* link =
        layer_link<VkDeviceCreateInfo, VkLayerDeviceCreateInfo>(info, VK_STRUCTURE_TYPE_LOADER_DEVICE_CREATE_INFO);
    if (!link) return VK_ERROR_INITIALIZATION_FAILED;
    auto next_instance_proc = link->u.pLayerInfo->pfnNextGetInstanceProcAddr;
    state().next_device_proc = link->u.pLayerInfo->pfnNextGetDeviceProcAddr;
    link->u.pLayerInfo = link->u.pLayerInfo->pNext;
    auto next = reinterpret_cast<PFN_vkCreateDevice>(next_instance_proc(nullptr, "vkCreateDevice"));
    return next(physical, info, allocator, device);
}

VKAPI_ATTR void VKAPI_CALL memory_properties(VkPhysicalDevice physical, VkPhysicalDeviceMemoryProperties* properties) {
    state().next_memory_properties(physical, properties);
    cap_heaps(*properties);
}

VKAPI_ATTR void VKAPI_CALL memory_properties2(VkPhysicalDevice physical,
                                              VkPhysicalDeviceMemoryProperties2* properties) {
    state().next_memory_properties2(physical, properties);
    cap_heaps(properties->memoryProperties);
    for (auto* chain = static_cast<VkBaseOutStructure*>(properties->pNext); chain; chain = chain->pNext) {
        if (chain->sType != VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_MEMORY_BUDGET_PROPERTIES_EXT) continue;
        auto* budget = reinterpret_cast<VkPhysicalDeviceMemoryBudgetPropertiesEXT*>(chain);
        const std::lock_guard lock(state().mutex);
        for (std::uint32_t i = 0; i < properties->memoryProperties.memoryHeapCount; ++i) {
            if (whole_heap_free()) {
                budget->heapBudget[i] = properties->memoryProperties.memoryHeaps[i].size;
                budget->heapUsage[i] = 0;
                continue;
            }
            budget->heapBudget[i] = std::min(budget->heapBudget[i], capacity());
            // Past the cap in paging mode, the budget is spent, not overdrawn.
            budget->heapUsage[i] = std::min(state().allocated, budget->heapBudget[i]);
        }
    }
}

VKAPI_ATTR VkResult VKAPI_CALL allocate_memory(VkDevice device, const VkMemoryAllocateInfo* info,
                                               const VkAllocationCallbacks* allocator, VkDeviceMemory* memory) {
    auto& s = state();
    const std::lock_guard lock(s.mutex);
    const bool refused = s.allocated + info->allocationSize > allocation_limit() && !pages();
    // DEBRINDLE_SMALL_GPU_LOG=1 shows each allocation, to pick capacities.
    if (std::getenv("DEBRINDLE_SMALL_GPU_LOG")) {
        std::fprintf(stderr, "small GPU: %llu KiB + %llu bytes%s\n",
                     static_cast<unsigned long long>(s.allocated / 1024),
                     static_cast<unsigned long long>(info->allocationSize), refused ? " refused" : "");
    }
    if (refused) return VK_ERROR_OUT_OF_DEVICE_MEMORY;
    auto next = reinterpret_cast<PFN_vkAllocateMemory>(s.next_device_proc(device, "vkAllocateMemory"));
    const VkResult result = next(device, info, allocator, memory);
    if (result == VK_SUCCESS) {
        s.allocations[*memory] = info->allocationSize;
        s.allocated += info->allocationSize;
        record_peak(s);
    }
    return result;
}

VKAPI_ATTR void VKAPI_CALL free_memory(VkDevice device, VkDeviceMemory memory, const VkAllocationCallbacks* allocator) {
    auto& s = state();
    const std::lock_guard lock(s.mutex);
    if (const auto it = s.allocations.find(memory); it != s.allocations.end()) {
        s.allocated -= it->second;
        s.allocations.erase(it);
    }
    auto next = reinterpret_cast<PFN_vkFreeMemory>(s.next_device_proc(device, "vkFreeMemory"));
    next(device, memory, allocator);
}

PFN_vkVoidFunction own_device_function(const char* name) {
    if (std::strcmp(name, "vkAllocateMemory") == 0) return reinterpret_cast<PFN_vkVoidFunction>(allocate_memory);
    if (std::strcmp(name, "vkFreeMemory") == 0) return reinterpret_cast<PFN_vkVoidFunction>(free_memory);
    return nullptr;
}

}  // namespace

EXPORT VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL debrindle_small_gpu_GetDeviceProcAddr(VkDevice device,
                                                                                      const char* name) {
    if (std::strcmp(name, "vkGetDeviceProcAddr") == 0) {
        return reinterpret_cast<PFN_vkVoidFunction>(debrindle_small_gpu_GetDeviceProcAddr);
    }
    if (auto own = own_device_function(name)) return own;
    return state().next_device_proc(device, name);
}

EXPORT VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL debrindle_small_gpu_GetInstanceProcAddr(VkInstance instance,
                                                                                        const char* name) {
    const std::pair<const char*, PFN_vkVoidFunction> own[] = {
        {"vkGetInstanceProcAddr", reinterpret_cast<PFN_vkVoidFunction>(debrindle_small_gpu_GetInstanceProcAddr)},
        {"vkGetDeviceProcAddr", reinterpret_cast<PFN_vkVoidFunction>(debrindle_small_gpu_GetDeviceProcAddr)},
        {"vkCreateInstance", reinterpret_cast<PFN_vkVoidFunction>(create_instance)},
        {"vkCreateDevice", reinterpret_cast<PFN_vkVoidFunction>(create_device)},
        {"vkGetPhysicalDeviceMemoryProperties", reinterpret_cast<PFN_vkVoidFunction>(memory_properties)},
        {"vkGetPhysicalDeviceMemoryProperties2", reinterpret_cast<PFN_vkVoidFunction>(memory_properties2)},
        {"vkGetPhysicalDeviceMemoryProperties2KHR", reinterpret_cast<PFN_vkVoidFunction>(memory_properties2)},
    };
    for (const auto& [own_name, function] : own) {
        if (std::strcmp(name, own_name) == 0) return function;
    }
    if (auto device_function = own_device_function(name)) return device_function;
    return state().next_instance_proc(instance, name);
}
