#include "engine/prompt_cache/prompt_reuse.hpp"

#include <algorithm>

#include "engine/generation/generation_plan.hpp"

namespace debrindle {

ReuseGrain prefix_reuse_grain(const ReuseConditions& conditions) {
    if (!conditions.plain_cache) return ReuseGrain::none;
    if (conditions.experts || conditions.layers_on_gpu || conditions.cpu_matrix_tiles) {
        return ReuseGrain::physical_batch;
    }
    return conditions.tiled_attention_switch ? ReuseGrain::row_group_tiled : ReuseGrain::row_group;
}

std::size_t first_piece_end(std::size_t first, std::size_t prompt_length) {
    return std::min(prompt_length, (first / physical_batch_size + 1) * physical_batch_size);
}

namespace {

// The rows of the fresh path's physical batch that holds `row`, for a prompt
// of `prompt_length` tokens.
std::size_t fresh_batch_rows(std::size_t row, std::size_t prompt_length) {
    return first_piece_end(row, prompt_length) - (row - row % physical_batch_size);
}

// Whether resuming at `first` (a multiple of 4) with the cells of a kept
// prompt of `kept_length` tokens computes the fresh bits. The kept rows of
// the batch that holds `first` were computed in the kept prompt's batch,
// with its kernels: they must be the fresh batch's.
bool first_piece_fits(std::size_t first, std::size_t prompt_length, std::size_t kept_length, ReuseGrain grain) {
    if (first_piece_end(first, prompt_length) - first < first_piece_min_rows) return false;
    const std::size_t kept_batch = fresh_batch_rows(first, kept_length);
    if (kept_batch < first_piece_min_rows ||
        (kept_batch >= attention_tile_rows) != (fresh_batch_rows(first, prompt_length) >= attention_tile_rows)) {
        return false;
    }
    return grain == ReuseGrain::row_group_tiled || !first_piece_needs_tiles(first, prompt_length);
}

}  // namespace

bool first_piece_needs_tiles(std::size_t first, std::size_t prompt_length) {
    return first_piece_end(first, prompt_length) - first < attention_tile_rows &&
           fresh_batch_rows(first, prompt_length) >= attention_tile_rows;
}

PromptDecode first_decode(std::size_t first, std::size_t prompt_length, bool tiled_attention_switch) {
    if (first == 0) return {std::min(prompt_length, std::size_t{logical_batch_size}), 0};
    const std::size_t piece_end = first_piece_end(first, prompt_length);
    const std::size_t piece_rows = piece_end - first;
    const std::size_t rest = prompt_length - piece_end;
    if (tiled_attention_switch && rest >= first_piece_min_rows && prompt_length - first <= physical_batch_size) {
        return {prompt_length, piece_rows};
    }
    const bool tiles = tiled_attention_switch && first_piece_needs_tiles(first, prompt_length);
    return {piece_end, tiles ? piece_rows : 0};
}

std::size_t reusable_prompt_length(std::span<const llama_token> cached, std::span<const llama_token> prompt,
                                   ReuseGrain grain) {
    if (prompt.empty() || grain == ReuseGrain::none) return 0;
    const auto shared = static_cast<std::size_t>(
        std::mismatch(cached.begin(), cached.end(), prompt.begin(), prompt.end()).first - cached.begin());
    const std::size_t usable = std::min(shared, prompt.size() - 1);
    const std::size_t on_batch_line = usable - usable % physical_batch_size;
    if (grain == ReuseGrain::physical_batch) return on_batch_line;
    // The largest multiple of 4 whose first batch fits; a batch line always
    // serves, as the fresh path decodes from there too.
    for (std::size_t reused = usable - usable % row_group_rows; reused > on_batch_line; reused -= row_group_rows) {
        if (first_piece_fits(reused, prompt.size(), cached.size(), grain)) return reused;
    }
    return on_batch_line;
}

std::size_t restorable_prompt_length(std::span<const llama_token> cached, bool with_logits,
                                     std::span<const llama_token> prompt, ReuseGrain grain) {
    if (with_logits && grain != ReuseGrain::none && !prompt.empty() && std::ranges::equal(cached, prompt)) {
        return prompt.size();
    }
    return reusable_prompt_length(cached, prompt, grain);
}

bool past_original_context(std::uint32_t length, std::uint32_t original_context_length) {
    const std::uint64_t padded = (std::uint64_t{length} + 255) / 256 * 256;
    return padded > original_context_length;
}

bool kept_context_fits(std::uint32_t kept_cells, std::uint32_t needed_length, std::uint32_t original_context_length) {
    return kept_cells >= needed_length && kept_cells / 2 <= needed_length &&
           past_original_context(kept_cells, original_context_length) ==
               past_original_context(needed_length, original_context_length);
}

}  // namespace debrindle
