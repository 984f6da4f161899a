#pragma once
// The engine's worker threads: one pool for the whole process, made when the
// engine starts and attached to every context, so that threads are started
// once, not for every graph, context or model.

#include <cstddef>
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
// tiled kernel for a batch's leading rows whatever the batch's size (our
// engine's patch; a stock llama.cpp cannot).
bool tiled_attention_switch_available();

// While it lives, `pool` computes flash attention in tiles for the first
// `rows` rows of a batch whatever its row count, and for the rows after them
// as for a batch of their own (where the switch is available); back to the
// usual rule when it goes, however the decode between ended. No pool or no
// rows leave the usual rule.
class TiledAttentionScope {
public:
    TiledAttentionScope(ggml_threadpool* pool, std::size_t rows);
    ~TiledAttentionScope();
    TiledAttentionScope(const TiledAttentionScope&) = delete;
    TiledAttentionScope& operator=(const TiledAttentionScope&) = delete;

private:
    ggml_threadpool* pool_;
    void (*set_)(ggml_threadpool*, int);
};

}  // namespace debrindle
