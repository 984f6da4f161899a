#pragma once
// What a server's kept context may give the next generation: the cells of a
// prompt prefix it already computed, and the context itself.

#include <cstddef>
#include <cstdint>
#include <span>

#include <llama.h>

namespace debrindle {

// How many leading tokens of `prompt` keep the cells `cached` left in the
// cache: the longest shared prefix, cut down to a whole number of physical
// batches and short of the last prompt token, whose logits start the reply.
//
// A fresh generation computes the prompt in physical batches that start at
// every multiple of their size; a decode that starts at such a multiple
// computes the rest in the same batches, so every cell and logit is the same
// bits. A prefix that ends elsewhere would leave its tail to be computed in
// a batch of another size, which the engine's matrix products compute by
// other kernels (other rounding) on the CPU and the GPU alike.
std::size_t reusable_prompt_length(std::span<const llama_token> cached, std::span<const llama_token> prompt);

// Whether a kept context of `kept_length` cells serves a generation that
// needs `needed_length`. Attention reads only the cells in use, rounded up
// to the same padding whatever the context's size, so a larger context
// computes the same bits; one more than twice as large is given back.
bool kept_context_fits(std::uint32_t kept_length, std::uint32_t needed_length);

}  // namespace debrindle
