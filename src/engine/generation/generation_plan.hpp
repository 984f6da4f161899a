#pragma once
// The fixed numbers of a generation, as pure functions of the request and the
// machine: token budget, context size, thread count and sampler choice.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace debrindle {

// A reply is a sentence or two; the cap bounds the slowest request.
inline constexpr std::uint32_t max_generated_tokens = 160;
// Short requests share one context size, small at the sizes of these models.
inline constexpr std::uint32_t min_context_length = 1024;
// A margin of cells past the prompt and the budget, which the loop fills.
inline constexpr std::uint32_t context_reserve = 16;
// The most tokens one decode takes (n_batch), and so the size of the chunks
// the prompt is fed in: llama.cpp refuses a larger batch.
inline constexpr std::uint32_t logical_batch_size = 512;
// The tokens computed at once within a batch (n_ubatch); the compute
// buffers grow with it, and half the batch keeps them small.
inline constexpr std::uint32_t physical_batch_size = 256;
// Up to here sampling would nearly always take the likeliest token anyway;
// greedy sampling does so exactly.
inline constexpr float greedy_temperature_limit = 0.15F;
// The draw keeps to the likeliest tokens that make up 90% of the
// probability, so the unlikely tail cannot derail a reply.
inline constexpr float top_p = 0.9F;
// Top-p always leaves a token to draw.
inline constexpr std::size_t top_p_min_keep = 1;
// The temperature divides the logits: never by (nearly) zero.
inline constexpr float min_temperature = 0.01F;
// Hotter than the model's own distribution, replies turn to noise.
inline constexpr float max_temperature = 1.0F;
// Fixed, so that the same request samples the same reply every time.
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
