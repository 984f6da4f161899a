#pragma once
// Generating the reply to one request.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "engine/backend.hpp"
#include "engine/context.hpp"
#include "engine/kept_prompts.hpp"
#include "engine/model.hpp"
#include "engine/model_traits.hpp"

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

// A generation's context parameters: `length` cells, the prompt fed in
// logical batches of 512 computed in physical batches of 256, on `threads`.
llama_context_params generation_context_params(std::uint32_t length, std::int32_t threads);

// Feeds the prompt from `first` (the cells before it are in the cache) in
// chunks of at most one logical batch; only the last prompt token asks for
// logits. From a kept prefix, the first chunk ends where the fresh path's
// physical batch that holds `first` ends, so the rest falls into the fresh
// path's own batches; its attention is computed in tiles on the context's
// pool where the fresh batch's was.
Result<Done, EngineError> decode_prompt(const EngineContext& context, std::span<const llama_token> prompt,
                                        std::size_t first);

// What a server keeps of a model's generations for its next ones: the
// context of the last, with the prompt whose cells it holds, and the prompt
// cells of the last few distinct prompts.
struct KeptGeneration {
    // The model's, as it was placed.
    ModelTraits traits = {};
    std::optional<EngineContext> context = std::nullopt;
    KeptPrompts prompts = {};
};

// The generated text (possibly empty), or the first failure; a failure
// discards whatever was generated before it. An exception from llama.cpp is
// a failure too. `kept` is what the model's last generations left: its
// context is used again when it fits this generation, emptied, with the cells
// of the longest prefix this prompt can take from its last prompt or a kept
// one restored (engine/prompt_reuse.hpp), and replaced by a new one otherwise.
Result<std::string, GenerationFailure> generate_text(const EngineBackend& backend, const LoadedModel& model,
                                                     const GenerationInput& input, KeptGeneration& kept);

}  // namespace debrindle
