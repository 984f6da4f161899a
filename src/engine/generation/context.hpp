#pragma once
// An inference context: made for one generation, and in server mode kept
// with its model for the next generations that fit it.

#include <cstdint>
#include <memory>

#include <llama.h>

#include "common/result.hpp"
#include "engine/engine_error.hpp"
#include "engine/model/model.hpp"

namespace debrindle {

struct ContextDeleter {
    void operator()(llama_context* context) const;
};

// Owns one context, released exactly once by llama_free. It refers to the
// model it was made from, which must outlive it.
class EngineContext {
public:
    EngineContext(llama_context* context, const LoadedModel& model) : context_(context), model_(&model) {}
    llama_context* get() const { return context_.get(); }
    const LoadedModel& model() const { return *model_; }
    // Its cells: the length it was asked for, rounded up by llama.cpp to a
    // multiple of 256.
    std::uint32_t cell_count() const { return llama_n_ctx(context_.get()); }

    // Computes on `pool` (none: llama.cpp's own threads for each graph).
    void attach_thread_pool(ggml_threadpool* pool);
    ggml_threadpool* thread_pool() const { return thread_pool_; }

private:
    std::unique_ptr<llama_context, ContextDeleter> context_;
    const LoadedModel* model_;
    ggml_threadpool* thread_pool_ = nullptr;
};

Result<EngineContext, EngineError> context_create(const LoadedModel& model, const llama_context_params& params);

}  // namespace debrindle
