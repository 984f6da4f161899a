#pragma once
// What a server may give the next generation of the prompt cells it kept:
// which prefix of a kept prompt is the same bits a fresh decode would
// compute, how the rest of the prompt is decoded to keep it so, and which
// kept context serves a request.

#include <cstddef>
#include <cstdint>
#include <span>

#include <llama.h>

namespace debrindle {

// A fresh generation decodes the prompt in physical batches that start at
// every multiple of 256 (the last one shorter). A decode that resumes at a
// kept prefix of k tokens computes the rest of the prompt in a first batch
// from k to the end of the fresh batch that holds k (the next multiple of 256,
// or the prompt's end), then in the fresh batches themselves
// (`first_piece_end`). Where a row's bits depend on the batch it is computed
// in, this is what decides them.
//
// Resuming on a multiple of 256 computes every batch as the fresh path does:
// exact whatever the kernels (`physical_batch`).
//
// Resuming on a multiple of 64 with a first batch of at least 64 rows is exact
// on the CPU modules' kernels (`attention_tile`), because a row's bits depend
// on its batch only through:
// - thresholds on the batch's row count that pick a kernel: tinyBLAS from 2
//   rows, the repacked products' tiles from 4, the IQ panel product from 8,
//   the tiled flash attention from 64 (`GGML_FA_TILE_Q`). Both batches have at
//   least 64 rows, so every threshold falls the same way;
// - row groups counted from the batch's start: the repacked products quantize
//   and multiply rows in groups of 16 and 4 with the rest one at a time, the
//   IQ panel product in groups of 4. The first batch starts 0, 64, 128 or 192
//   rows after the fresh one and is that much shorter, so every row keeps its
//   group and the tails are the same rows;
// - nothing else: tinyBLAS, the plain dot products, the norms, rope, the
//   element-wise ops and the cache writes compute each row (each element) in
//   the same order whatever its neighbours. The tiled attention's tiles and
//   thread chunks are cut at places that depend on the batch's length, but
//   each row's sums run over the same key tiles in the same order; a key tile
//   that only another row of its tile sees adds a zero weight times finite
//   values, which changes no bit. The cells past the prompt are zero, as in a
//   fresh context, because kept cells are restored into an emptied one.
// The products of a mixture of experts group the rows by expert, and the
// Vulkan and AMX products pick their kernels by row count, so those keep
// `physical_batch`. A cache that holds values other than one position's cells
// per token (recurrent state, a sliding window, several positions per token)
// cannot be cut at a prefix at all (`none`).
//
// The zero weights assume finite cells. A cell that overflowed would reach
// the last prompt row, which sees every cell, as a non-finite value; so a
// generation whose last prompt logits are not all finite decodes the prompt
// again from the start.
enum class ReuseGrain { none, physical_batch, attention_tile };

inline constexpr std::size_t attention_tile_rows = 64;

// What decides the grain, from the model, where its layers are and the CPU
// module.
struct ReuseConditions {
    // Every layer's cache holds one cell per token and position, all of them
    // kept: not recurrent or hybrid, no sliding window, one position a token.
    bool plain_cache = true;
    bool experts = false;
    bool layers_on_gpu = false;
    bool cpu_matrix_tiles = false;
};

ReuseGrain prefix_reuse_grain(const ReuseConditions& conditions);

// How many leading tokens of `prompt` keep the cells `cached` left: the
// longest shared prefix, short of the last prompt token (whose logits start
// the reply), cut down to where the grain resumes exactly.
std::size_t reusable_prompt_length(std::span<const llama_token> cached, std::span<const llama_token> prompt,
                                   ReuseGrain grain);

// Where the first decode from `first` ends for a prompt of `prompt_length`
// tokens: the end of the fresh path's physical batch that holds `first`.
std::size_t first_piece_end(std::size_t first, std::size_t prompt_length);

// Whether a kept context of `kept_cells` serves a generation that needs
// `needed_length` (as asked for, not yet padded). Attention reads only the cells in use, padded the same way
// whatever the context's size, so a larger context computes the same bits,
// but for one thing: models with long and short rope factors take the long
// ones when the context is longer than `original_context_length`. So the
// kept context must fall on the same side of it as a fresh one would. One
// more than twice as large is given back.
bool kept_context_fits(std::uint32_t kept_cells, std::uint32_t needed_length, std::uint32_t original_context_length);

// Whether a context of `length` cells (as asked for; llama.cpp pads it to 256)
// takes long rope factors, where a model has them.
bool past_original_context(std::uint32_t length, std::uint32_t original_context_length);

}  // namespace debrindle
