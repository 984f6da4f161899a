#pragma once
// An inference context: made for one generation, and in server mode kept
// with its model for the next generation of the same length.

#include <cstdint>
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
    EngineContext(llama_context* context, const LoadedModel& model, std::uint32_t length)
        : context_(context), model_(&model), length_(length) {}
    llama_context* get() const { return context_.get(); }
    const LoadedModel& model() const { return *model_; }
    // The context length it was asked for.
    std::uint32_t length() const { return length_; }

private:
    std::unique_ptr<llama_context, ContextDeleter> context_;
    const LoadedModel* model_;
    std::uint32_t length_;
};

Result<EngineContext, EngineError> context_create(const LoadedModel& model, const llama_context_params& params);

}  // namespace debrindle
