#include "engine/generation/generation_plan.hpp"

#include <algorithm>
#include <limits>

namespace debrindle {

std::uint32_t token_budget(std::uint64_t word_count, std::int32_t max_tokens) {
    constexpr std::uint64_t saturated = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t per_words = word_count > (saturated - 32) / 3 ? saturated : 3 * word_count + 32;
    const std::uint64_t by_words = std::max<std::uint64_t>(48, per_words);
    const auto by_request = static_cast<std::uint64_t>(std::clamp<std::int32_t>(max_tokens, 1, 512));
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(max_generated_tokens, std::min(by_words, by_request)));
}

std::uint32_t context_length(std::uint32_t budget, std::uint32_t prompt_tokens) {
    // Unsigned 32-bit arithmetic, as the engine's field is.
    return std::max(min_context_length, budget + prompt_tokens + context_reserve);
}

std::int32_t thread_count(std::optional<unsigned> logical_processors) {
    if (!logical_processors) return 4;
    return static_cast<std::int32_t>(std::clamp(*logical_processors, 2U, 8U));
}

std::optional<float> chain_temperature(float temperature) {
    if (temperature <= greedy_temperature_limit) return std::nullopt;
    return std::min(max_temperature, std::max(min_temperature, temperature));
}

}  // namespace debrindle
