#pragma once
// Generating the reply to one request.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "engine/backend.hpp"
#include "engine/context.hpp"
#include "engine/model.hpp"

namespace debrindle {

// What a generation reads of a request.
struct GenerationInput {
    std::string_view system_prompt;
    std::string_view user_prompt;
    float temperature = 0.0F;
    std::int32_t max_tokens = 0;
};

struct GenerationFailure {
    std::string text;
    // The context could not be made or a decode failed: with layers on a
    // GPU, this is how device memory that ran out shows.
    bool context_or_decode = false;
};

// The generated text (possibly empty), or the first failure; a failure
// discards whatever was generated before it. An exception from llama.cpp is
// a failure too. `kept` is the context of the model's last generation, if
// any: it is used again when it fits this generation, keeping the cells of
// the prompt prefix the two share in whole physical batches and emptied
// past them, and replaced by the new one otherwise.
Result<std::string, GenerationFailure> generate_text(const EngineBackend& backend, const LoadedModel& model,
                                                     const GenerationInput& input, std::optional<EngineContext>& kept);

}  // namespace debrindle
