#pragma once
// The fixed numbers of a generation, as pure functions of the request and the
// machine: token budget, context size, thread count and sampler choice.

#include <cstdint>
#include <optional>
#include <string_view>

namespace debrindle {

inline constexpr std::uint32_t max_generated_tokens = 160;
inline constexpr std::uint32_t min_context_length = 1024;
inline constexpr std::uint32_t context_reserve = 16;
inline constexpr std::uint32_t logical_batch_size = 512;
inline constexpr std::uint32_t physical_batch_size = 256;
inline constexpr std::size_t prompt_chunk_tokens = 512;
inline constexpr float greedy_temperature_limit = 0.15F;
inline constexpr float top_p = 0.9F;
inline constexpr std::size_t top_p_min_keep = 1;
inline constexpr float min_temperature = 0.01F;
inline constexpr float max_temperature = 1.0F;
inline constexpr std::uint32_t sampler_seed = 659918;  // 0xA11CE

// Three tokens a word plus 32, at least 48, at most `max_tokens` (read as
// 1..512) and never more than 160.
std::uint32_t token_budget(std::uint64_t word_count, std::int32_t max_tokens);

// Room for the prompt, the budget and a small reserve; at least 1024.
std::uint32_t context_length(std::uint32_t budget, std::uint32_t prompt_tokens);

// The processor count clamped to 2..8, or 4 when it is unknown.
std::int32_t thread_count(std::optional<unsigned> logical_processors);

// The temperature of the sampling chain, or nothing for greedy sampling.
std::optional<float> chain_temperature(float temperature);

}  // namespace debrindle
