#include "engine/prompt_cache/kept_prompts.hpp"

#include <algorithm>

namespace debrindle {
namespace {

bool begins_with(std::span<const llama_token> tokens, std::span<const llama_token> start) {
    return tokens.size() >= start.size() && std::equal(start.begin(), start.end(), tokens.begin());
}

}  // namespace

std::size_t restorable_length(const KeptPrompt& kept, const PromptToRestore& prompt) {
    if (kept.past_original_context != prompt.past_original_context) return 0;
    return restorable_prompt_length(kept.tokens, !kept.logits.empty(), prompt.tokens, prompt.grain);
}

void KeptPrompts::keep(KeptPrompt prompt) {
    if (prompt.tokens.empty() || prompt.bytes() > kept_prompt_bytes_limit) return;
    for (const KeptPrompt& kept : prompts_) {
        if (kept.past_original_context == prompt.past_original_context && begins_with(kept.tokens, prompt.tokens)) {
            return;
        }
    }
    std::erase_if(prompts_, [&](const KeptPrompt& kept) {
        const bool covered =
            kept.past_original_context == prompt.past_original_context && begins_with(prompt.tokens, kept.tokens);
        if (covered) bytes_ -= kept.bytes();
        return covered;
    });
    bytes_ += prompt.bytes();
    prompts_.push_front(std::move(prompt));
    while (prompts_.size() > kept_prompts_limit || bytes_ > kept_prompt_bytes_limit) {
        bytes_ -= prompts_.back().bytes();
        prompts_.pop_back();
    }
}

KeptPrompts::Match KeptPrompts::best_for(const PromptToRestore& prompt) {
    auto best = prompts_.end();
    std::size_t best_length = 0;
    for (auto it = prompts_.begin(); it != prompts_.end(); ++it) {
        const std::size_t length = restorable_length(*it, prompt);
        if (length > best_length) {
            best = it;
            best_length = length;
        }
    }
    if (best == prompts_.end()) return {};
    prompts_.splice(prompts_.begin(), prompts_, best);
    return {&prompts_.front(), best_length};
}

}  // namespace debrindle
