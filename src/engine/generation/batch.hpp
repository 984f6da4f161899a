#pragma once
// An engine batch with room for a fixed number of tokens, all in sequence 0.

#include <cstddef>

#include <llama.h>

#include "common/result.hpp"
#include "engine/engine_error.hpp"
#include "engine/generation/context.hpp"

namespace debrindle {

class EngineBatch {
public:
    explicit EngineBatch(std::size_t capacity);
    ~EngineBatch();
    EngineBatch(const EngineBatch&) = delete;
    EngineBatch& operator=(const EngineBatch&) = delete;

    Result<Done, EngineError> add(llama_token token, llama_pos position, bool wants_logits);

    // Runs llama_decode over the tokens added so far.
    Result<Done, EngineError> decode(const EngineContext& context);

private:
    llama_batch batch_;
    std::int32_t capacity_;
};

}  // namespace debrindle
