#include "engine/context.hpp"

namespace debrindle {

void ContextDeleter::operator()(llama_context* context) const { llama_free(context); }

Result<EngineContext, EngineError> context_create(const LoadedModel& model, const llama_context_params& params) {
    llama_context* context = llama_init_from_model(model.get(), params);
    if (context == nullptr) return Failure{EngineError{EngineErrorKind::ContextCreateNull}};
    return EngineContext(context, model);
}

}  // namespace debrindle
