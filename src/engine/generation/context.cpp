#include "engine/generation/context.hpp"

namespace debrindle {

void ContextDeleter::operator()(llama_context* context) const { llama_free(context); }

void EngineContext::attach_thread_pool(ggml_threadpool* pool) {
    if (pool == nullptr) return;
    llama_attach_threadpool(context_.get(), pool, pool);
    thread_pool_ = pool;
}

Result<EngineContext, EngineError> context_create(const LoadedModel& model, const llama_context_params& params) {
    llama_context* context = llama_init_from_model(model.get(), params);
    if (context == nullptr) return Failure{EngineError{EngineErrorKind::ContextCreateNull}};
    return EngineContext(context, model);
}

}  // namespace debrindle
