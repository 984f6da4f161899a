#include "engine/prompt_cache/prompt_cache.hpp"

#include <cstdint>
#include <utility>

#include "engine/prompt_cache/sequence_state.hpp"

namespace debrindle {
std::optional<RestoredPrompt> PromptCache::resume_held(const EngineContext& context, const PromptToRestore& prompt) {
    const bool on_cpu = prompt.grain == ReuseGrain::row_group || prompt.grain == ReuseGrain::row_group_tiled;
    if (!on_cpu || !held_ || restorable_length(*held_, prompt) != prompt.tokens.size()) return std::nullopt;
    if (!llama_memory_seq_rm(llama_get_memory(context.get()), 0, static_cast<llama_pos>(prompt.tokens.size()), -1)) {
        return std::nullopt;
    }
    return RestoredPrompt{prompt.tokens.size(), held_->logits};
}

void PromptCache::set_aside(const EngineContext& context, const PromptToRestore& prompt) {
    set_aside_.reset();
    std::optional<KeptPrompt> held = std::exchange(held_, std::nullopt);
    if (!held || prompt.grain == ReuseGrain::none) return;
    LargeBytes state(llama_state_seq_get_size(context.get(), 0));
    state.resize(llama_state_seq_get_data(context.get(), state.data(), state.size(), 0));
    if (2 * restorable_length(*held, prompt) >= held->tokens.size()) {
        // Cut once, to what is restored.
        held->cells = std::move(state);
        set_aside_ = std::move(held);
        return;
    }
    // Its reply's cells are cut off: only a prompt's are kept.
    if (auto cells = sequence_state_prefix(state, held->tokens.size())) {
        held->cells = std::move(*cells);
        kept_.keep(std::move(*held));
    }
}

RestoredPrompt PromptCache::restore(const EngineContext& context, const PromptToRestore& prompt) {
    const std::optional<KeptPrompt> aside = std::exchange(set_aside_, std::nullopt);
    const KeptPrompts::Match match = kept_.best_for(prompt);
    const KeptPrompt* source = match.prompt;
    std::size_t length = match.length;
    if (aside && restorable_length(*aside, prompt) > length) {
        source = &*aside;
        length = restorable_length(*aside, prompt);
    }
    if (length == 0) return {};
    // A kept prompt's cells are its tokens' alone; the set-aside one's hold its reply's too.
    std::optional<LargeBytes> cut;
    if ((aside && source == &*aside) || length < source->tokens.size()) {
        cut = sequence_state_prefix(source->cells, length);
        if (!cut) return {};
    }
    const LargeBytes& cells = cut ? *cut : source->cells;
    if (llama_state_seq_set_data(context.get(), cells.data(), cells.size(), 0) != cells.size()) {
        llama_memory_clear(llama_get_memory(context.get()), /*data=*/true);
        return {};
    }
    return {length, length == prompt.tokens.size() ? source->logits : std::vector<float>{}};
}

void PromptCache::hold(std::span<const llama_token> prompt, std::span<const float> logits, bool past_original_context) {
    held_ = KeptPrompt{{prompt.begin(), prompt.end()}, {}, past_original_context, {logits.begin(), logits.end()}};
}

}  // namespace debrindle
