#include "engine/backend/thread_pool.hpp"

#include <ggml-backend.h>
#include <ggml-cpu.h>

namespace debrindle {
namespace {

ggml_backend_reg_t cpu_registry() {
    ggml_backend_dev_t cpu = ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU);
    return cpu == nullptr ? nullptr : ggml_backend_dev_backend_reg(cpu);
}

using SetTiledAttention = void (*)(ggml_threadpool*, int);

// Looked up at each use: the module is unloaded with the backend.
SetTiledAttention set_tiled_attention() {
    ggml_backend_reg_t registry = cpu_registry();
    return registry == nullptr ? nullptr
                               : reinterpret_cast<SetTiledAttention>(ggml_backend_reg_get_proc_address(
                                     registry, "ggml_threadpool_set_tiled_attention_rows"));
}

}  // namespace

// The pool's functions live in the CPU module, which the helper loads at
// start, so they are looked up through its registry.
EngineThreadPool thread_pool_create(std::int32_t threads) {
    ggml_backend_reg_t registry = cpu_registry();
    if (registry == nullptr) return nullptr;
    auto* const make_pool = reinterpret_cast<decltype(&ggml_threadpool_new)>(
        ggml_backend_reg_get_proc_address(registry, "ggml_threadpool_new"));
    auto* const free_pool = reinterpret_cast<decltype(&ggml_threadpool_free)>(
        ggml_backend_reg_get_proc_address(registry, "ggml_threadpool_free"));
    if (make_pool == nullptr || free_pool == nullptr) return nullptr;
    ggml_threadpool_params params = ggml_threadpool_params_default(threads);
    return EngineThreadPool(make_pool(&params), ThreadPoolDeleter{free_pool});
}

bool tiled_attention_switch_available() { return set_tiled_attention() != nullptr; }

TiledAttentionScope::TiledAttentionScope(ggml_threadpool* pool, std::size_t rows)
    : pool_(pool), set_(pool == nullptr || rows == 0 ? nullptr : set_tiled_attention()) {
    // The rows are at most a physical batch.
    if (set_ != nullptr) set_(pool_, static_cast<int>(rows));
}

TiledAttentionScope::~TiledAttentionScope() {
    if (set_ != nullptr) set_(pool_, 0);
}

}  // namespace debrindle
