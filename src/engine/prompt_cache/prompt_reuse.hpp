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
// On the CPU modules' kernels a row's bits depend on its batch only through:
// - thresholds on the batch's row count that pick a kernel: tinyBLAS from 2
//   rows, the repacked products' tiles from 4, the IQ panel product from 8,
//   the tiled flash attention from 64 (`GGML_FA_TILE_Q`);
// - row groups counted from the batch's start: the repacked products quantize
//   and multiply rows in groups of 4 with the rest one at a time, as does the
//   IQ panel product. (Their x86 gemms also take 16 rows at a time, but that
//   body is the 4-row body, token for token, run for four groups in turn: a
//   row's sums are the same ops in the same order either way.)
// - nothing else: tinyBLAS, the plain dot products, the norms, rope, the
//   element-wise ops and the cache writes compute each row (each element) in
//   the same order whatever its neighbours. The one-row attention computes
//   each row alone. The tiled attention's tiles and thread chunks are cut at
//   places that depend on the batch's length, but each row's sums run over
//   the same key tiles in the same order; a key tile that only another row of
//   its tile sees adds a zero weight times finite values, which changes no
//   bit. The cells past the prompt are zero, as in a fresh context, because
//   kept cells are restored into an emptied one.
// So a resume point k that is a multiple of 4 (`row_group_rows`), with a
// first batch of 8 rows or more (`first_piece_min_rows`), is exact: the first
// batch starts a multiple of 4 rows after the fresh one and ends where it
// ends, so every row keeps its group and the tails are the same rows, and
// both batches fall on the same side of every threshold under 64. The kept
// rows of that batch (from its start to k) were computed in the kept prompt's
// own batch, which must have 8 rows or more too and fall on the fresh batch's
// side of 64. The tiled attention's threshold remains for the first batch:
// - with `row_group` it must have 64 rows or more where the fresh one has;
// - with `row_group_tiled` the engine's thread pool computes a shorter first
//   batch's attention in tiles, as the fresh batch did
//   (`first_piece_needs_tiles`, the pool's switch that our build of the CPU
//   module adds).
//
// Where the first batch ends on a 256 line and the rest of the prompt is one
// short fresh batch, the two can be one decode (`first_decode`) when the
// rest has 8 rows or more and both fit in one physical batch: the decode
// starts a multiple of 4 rows after the fresh first batch and ends where the
// fresh rest ends, so every row keeps its group of 4 and the tail is the same
// rows; the decode (16 rows or more) and both fresh batches (the first of
// 256 rows, the rest of 8 or more) fall on the same side of every threshold
// under 64. For attention, the pool's switch computes the first piece's
// rows in tiles, as their 256-row batch did, and the rest's rows as a batch
// of their own: in tiles from 64 rows, else one row at a time. The first
// piece's rows now see the rest's cells too, but those lie after them and so
// are masked: their key tiles start on the 256 line (64 divides it) and the
// tiled kernel skips a key tile that no row of its tile sees, and the row
// kernel skips each masked cell. The rest's rows see the cells a fresh decode
// had written, and its last row alone gives logits, as in its fresh batch.
//
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
enum class ReuseGrain { none, physical_batch, row_group, row_group_tiled };

inline constexpr std::size_t attention_tile_rows = 64;
inline constexpr std::size_t row_group_rows = 4;
inline constexpr std::size_t first_piece_min_rows = 8;

// What decides the grain, from the model, where its layers are and the CPU
// module.
struct ReuseConditions {
    // Every layer's cache holds one cell per token and position, all of them
    // kept: not recurrent or hybrid, no sliding window, one position a token.
    bool plain_cache = true;
    bool experts = false;
    bool layers_on_gpu = false;
    bool cpu_matrix_tiles = false;
    // The context computes on a pool whose attention can be put in tiles.
    bool tiled_attention_switch = false;
};

ReuseGrain prefix_reuse_grain(const ReuseConditions& conditions);

// How many leading tokens of `prompt` keep the cells that the prompt
// `cached` left (all of its tokens, as its cells were computed): the longest
// shared prefix, short of the last prompt token (whose logits start the
// reply), cut down to where the grain resumes exactly.
std::size_t reusable_prompt_length(std::span<const llama_token> cached, std::span<const llama_token> prompt,
                                   ReuseGrain grain);

// How many leading tokens of `prompt` a kept prompt `cached` restores: all of
// them when it is the same prompt and its last row's logits were kept with
// its cells (`with_logits`), as they are the fresh decode's and start the
// reply; otherwise the reusable prefix.
std::size_t restorable_prompt_length(std::span<const llama_token> cached, bool with_logits,
                                     std::span<const llama_token> prompt, ReuseGrain grain);

// Where the first decode from `first` ends for a prompt of `prompt_length`
// tokens: the end of the fresh path's physical batch that holds `first`.
std::size_t first_piece_end(std::size_t first, std::size_t prompt_length);

// Whether that first decode must compute its attention in tiles to give the
// fresh bits: the fresh batch took the tiles, and the first piece is shorter.
bool first_piece_needs_tiles(std::size_t first, std::size_t prompt_length);

// One decode of a prompt: its tokens up to `end`, the attention of its first
// `tiled_rows` rows in tiles (0: by the usual rule).
struct PromptDecode {
    std::size_t end = 0;
    std::size_t tiled_rows = 0;
    bool operator==(const PromptDecode&) const = default;
};

// The first decode of a prompt resumed at `first` (0: decoded whole). With
// the pool's switch (`tiled_attention_switch`) the first piece takes the rest
// of the prompt with it where that gives the same bits.
PromptDecode first_decode(std::size_t first, std::size_t prompt_length, bool tiled_attention_switch);

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
