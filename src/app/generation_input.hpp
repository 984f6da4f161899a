#pragma once
// What the engine reads of a decoded request.

#include "engine/generation/generation.hpp"
#include "protocol/request.hpp"

namespace debrindle {

inline GenerationInput generation_input(const LlamaHelperRequest& request) {
    return GenerationInput{request.systemPrompt, request.userPrompt, request.temperature, request.maxTokens};
}

}  // namespace debrindle
