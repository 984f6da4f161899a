#include "engine/thread_pool.hpp"

#include <ggml-backend.h>
#include <ggml-cpu.h>

namespace debrindle {

// The pool's functions live in the CPU module, which the helper loads at
// start, so they are looked up through its registry.
EngineThreadPool thread_pool_create(std::int32_t threads) {
    ggml_backend_dev_t cpu = ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU);
    if (cpu == nullptr) return nullptr;
    ggml_backend_reg_t registry = ggml_backend_dev_backend_reg(cpu);
    auto* const make_pool = reinterpret_cast<decltype(&ggml_threadpool_new)>(
        ggml_backend_reg_get_proc_address(registry, "ggml_threadpool_new"));
    auto* const free_pool = reinterpret_cast<decltype(&ggml_threadpool_free)>(
        ggml_backend_reg_get_proc_address(registry, "ggml_threadpool_free"));
    if (make_pool == nullptr || free_pool == nullptr) return nullptr;
    ggml_threadpool_params params = ggml_threadpool_params_default(threads);
    return EngineThreadPool(make_pool(&params), ThreadPoolDeleter{free_pool});
}

}  // namespace debrindle
