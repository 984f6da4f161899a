#pragma once
// The inference context of one generation.

#include <memory>

#include <llama.h>

#include "common/result.hpp"
#include "engine/engine_error.hpp"
#include "engine/model.hpp"

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

private:
    std::unique_ptr<llama_context, ContextDeleter> context_;
    const LoadedModel* model_;
};

Result<EngineContext, EngineError> context_create(const LoadedModel& model, const llama_context_params& params);

}  // namespace debrindle
