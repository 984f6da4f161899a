#pragma once
// The engine's worker threads: one pool for the whole process, made when the
// engine starts and attached to every context, so that threads are started
// once, not for every graph, context or model.

#include <cstdint>
#include <memory>

#include <ggml.h>

namespace debrindle {

struct ThreadPoolDeleter {
    void (*free_pool)(ggml_threadpool*) = nullptr;
    void operator()(ggml_threadpool* pool) const { free_pool(pool); }
};
using EngineThreadPool = std::unique_ptr<ggml_threadpool, ThreadPoolDeleter>;

// A pool of `threads` made by the loaded CPU module, or none when no CPU
// backend offers one (then llama.cpp runs each graph on threads of its own).
EngineThreadPool thread_pool_create(std::int32_t threads);

// Whether the loaded CPU module can make a pool's flash attention take its
// tiled kernel for batches of fewer than 64 rows too (our engine's patch; a
// stock llama.cpp cannot).
bool tiled_attention_switch_available();

// While it lives, `pool` computes flash attention in tiles whatever a batch's
// row count (where the switch is available); off again when it goes, however
// the decode between ended.
class TiledAttentionScope {
public:
    explicit TiledAttentionScope(ggml_threadpool* pool);
    ~TiledAttentionScope();
    TiledAttentionScope(const TiledAttentionScope&) = delete;
    TiledAttentionScope& operator=(const TiledAttentionScope&) = delete;

private:
    ggml_threadpool* pool_;
    void (*set_)(ggml_threadpool*, bool);
};

}  // namespace debrindle
