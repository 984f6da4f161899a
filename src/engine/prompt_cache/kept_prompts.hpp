#pragma once
// The prompt cells of a server's last few distinct prompts, copied out of its
// context, so that a request that begins as any of them (one of the system
// prompts a host takes turns with) computes only the rest.

#include <cstddef>
#include <cstdint>
#include <list>
#include <span>
#include <vector>

#include <llama.h>

#include "common/large_bytes.hpp"

#include "engine/prompt_cache/prompt_reuse.hpp"

namespace debrindle {

// At most this many prompts, and this many bytes of cells and logits in all
// (a 1.1B model's 650-token prompt is 15 MB).
inline constexpr std::size_t kept_prompts_limit = 8;
inline constexpr std::size_t kept_prompt_bytes_limit = std::size_t{256} << 20U;

// A request's prompt with what decides how it may resume.
struct PromptToRestore {
    std::span<const llama_token> tokens;
    ReuseGrain grain = ReuseGrain::none;
    // Its context takes long rope factors.
    bool past_original_context = false;
};

struct KeptPrompt {
    std::vector<llama_token> tokens;
    // The sequence's state (llama_state_seq_get_data), of these tokens' cells
    // alone.
    LargeBytes cells;
    // Computed in a context past the model's original length (long rope
    // factors), and so only for such a context.
    bool past_original_context = false;
    // The last prompt row's logits (a float per vocabulary token): the same
    // prompt again samples its first token from them at once.
    std::vector<float> logits = {};

    std::size_t bytes() const { return cells.size() + logits.size() * sizeof(float); }
};

// How many of `prompt`'s tokens `kept` restores exactly: none across the
// original context length, else restorable_prompt_length.
std::size_t restorable_length(const KeptPrompt& kept, const PromptToRestore& prompt);

class KeptPrompts {
public:
    // Keeps `prompt` as the most recent, in place of the kept prompts it
    // begins with; the least recent go while there are too many or too many
    // bytes. A prompt that begins as a kept one's, or larger than the limit
    // alone, is not kept.
    void keep(KeptPrompt prompt);

    // The kept prompt that restores the most of `prompt` (restorable_length),
    // and how many tokens; it becomes the most recent. Nothing when none
    // gives a token.
    struct Match {
        const KeptPrompt* prompt = nullptr;
        std::size_t length = 0;
    };
    Match best_for(const PromptToRestore& prompt);

    std::size_t bytes() const { return bytes_; }
    std::size_t size() const { return prompts_.size(); }

private:
    std::list<KeptPrompt> prompts_;  // most recent first
    std::size_t bytes_ = 0;
};

}  // namespace debrindle
