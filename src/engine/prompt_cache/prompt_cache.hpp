#pragma once
// What a server keeps of a model's prompts for its next generations: the
// prompt whose cells its context holds, with its last row's logits, and the
// cells and logits of the last few other prompts; and the restore, into an
// emptied context, of the longest prefix of a new prompt that computes the
// fresh bits (engine/prompt_cache/prompt_reuse.hpp has the rule).

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include <llama.h>

#include "engine/generation/context.hpp"
#include "engine/prompt_cache/kept_prompts.hpp"
#include "engine/prompt_cache/prompt_reuse.hpp"

namespace debrindle {

// Where a prompt's decode starts: the tokens whose cells were restored and,
// when they are the whole prompt, its last row's logits, which start the reply.
struct RestoredPrompt {
    std::size_t length = 0;
    std::vector<float> logits;
};

class PromptCache {
public:
    // When `context` holds exactly `prompt` (and its reply after it) and
    // stays, with its cells computed on the CPU: the reply's cells go, the
    // prompt's stay where they are, and its logits start the new reply. The
    // removed cells keep their values, where a fresh context holds zeros, but
    // only single-token decodes follow, whose attention on the CPU modules
    // (one row at a time, whole or split into key ranges) skips every masked
    // cell without reading it. Nothing when it does not hold that prompt.
    std::optional<RestoredPrompt> resume_held(const EngineContext& context, const PromptToRestore& prompt);

    // Before `context` (which holds the held prompt's cells) is emptied or
    // replaced: copies those cells out, to keep them when `prompt` takes less
    // than half of them, or to restore them otherwise. Nothing is copied when
    // the grain keeps nothing, and cells that are not all finite are dropped.
    void set_aside(const EngineContext& context, const PromptToRestore& prompt);

    // Into `context`, emptied: the cells of the longest prefix `prompt` takes
    // exactly from the prompt set aside or a kept one (all of it when it is
    // one of them, with its logits). On a restore that llama.cpp refuses the
    // context is emptied again and the prompt starts from nothing.
    RestoredPrompt restore(const EngineContext& context, const PromptToRestore& prompt);

    // After a prompt's decode: the context holds `prompt`'s cells (and its
    // reply's after them), and its last row gave `logits`.
    void hold(std::span<const llama_token> prompt, std::span<const float> logits, bool past_original_context);

    // The context went, or is not trusted: it holds no prompt.
    void forget_held() { held_.reset(); }

    const KeptPrompts& kept() const { return kept_; }

private:
    // The prompt the context holds, its cells not copied out (empty).
    std::optional<KeptPrompt> held_;
    std::optional<KeptPrompt> set_aside_;
    KeptPrompts kept_;
};

}  // namespace debrindle
