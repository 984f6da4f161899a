#include "engine/prompt_reuse.hpp"

#include <algorithm>

#include "engine/generation_plan.hpp"

namespace debrindle {

std::size_t reusable_prompt_length(std::span<const llama_token> cached, std::span<const llama_token> prompt) {
    if (prompt.empty()) return 0;
    const auto shared = static_cast<std::size_t>(
        std::mismatch(cached.begin(), cached.end(), prompt.begin(), prompt.end()).first - cached.begin());
    const std::size_t usable = std::min(shared, prompt.size() - 1);
    return usable - usable % physical_batch_size;
}

bool kept_context_fits(std::uint32_t kept_length, std::uint32_t needed_length) {
    return kept_length >= needed_length && kept_length / 2 <= needed_length;
}

}  // namespace debrindle
