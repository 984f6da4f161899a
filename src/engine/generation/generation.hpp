#pragma once
// Generating the reply to one request.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "engine/backend/backend.hpp"
#include "engine/generation/context.hpp"
#include "engine/model/model.hpp"
#include "engine/model/model_traits.hpp"
#include "engine/prompt_cache/prompt_cache.hpp"

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
// path's own batches, or takes a short rest with it where that gives the
// same bits; its attention is computed in tiles on the context's pool where
// the fresh batch's was (`first_decode`).
Result<Done, EngineError> decode_prompt(const EngineContext& context, std::span<const llama_token> prompt,
                                        std::size_t first);

// What a server keeps of a model's generations for its next ones: the
// context of the last, and the prompts it keeps (the one whose cells the
// context holds among them).
struct KeptGeneration {
    // The model's, as it was placed.
    ModelTraits traits = {};
    std::optional<EngineContext> context = std::nullopt;
    PromptCache prompts = {};

    void drop_context() {
        context.reset();
        prompts.forget_held();
    }
    // The context and every kept prompt.
    void drop_computed() {
        context.reset();
        prompts = {};
    }
};

// The generated text (possibly empty), or the first failure; a failure
// discards whatever was generated before it. An exception from llama.cpp is
// a failure too. `kept` is what the model's last generations left: its
// context is used again when it fits this generation, and replaced by a new
// one otherwise; emptied either way, with the cells of the longest prefix
// this prompt takes exactly from the kept prompts restored
// (engine/prompt_cache/prompt_cache.hpp). The same prompt again decodes
// nothing: its first token comes from its kept logits.
Result<std::string, GenerationFailure> generate_text(const EngineBackend& backend, const LoadedModel& model,
                                                     const GenerationInput& input, KeptGeneration& kept);

}  // namespace debrindle
