#include "engine/prompt_reuse.hpp"

#include <algorithm>

#include "engine/generation_plan.hpp"

namespace debrindle {

ReuseGrain prefix_reuse_grain(const ReuseConditions& conditions) {
    if (!conditions.plain_cache) return ReuseGrain::none;
    if (conditions.experts || conditions.layers_on_gpu || conditions.cpu_matrix_tiles) {
        return ReuseGrain::physical_batch;
    }
    return ReuseGrain::attention_tile;
}

std::size_t first_piece_end(std::size_t first, std::size_t prompt_length) {
    return std::min(prompt_length, (first / physical_batch_size + 1) * physical_batch_size);
}

std::size_t reusable_prompt_length(std::span<const llama_token> cached, std::span<const llama_token> prompt,
                                   ReuseGrain grain) {
    if (prompt.empty() || grain == ReuseGrain::none) return 0;
    const auto shared = static_cast<std::size_t>(
        std::mismatch(cached.begin(), cached.end(), prompt.begin(), prompt.end()).first - cached.begin());
    const std::size_t usable = std::min(shared, prompt.size() - 1);
    const std::size_t on_batch_line = usable - usable % physical_batch_size;
    if (grain == ReuseGrain::physical_batch) return on_batch_line;
    // The largest multiple of 64 whose first batch has 64 rows or more; a
    // batch line always serves, as the fresh path decodes from there too.
    for (std::size_t reused = usable - usable % attention_tile_rows; reused > on_batch_line;
         reused -= attention_tile_rows) {
        if (first_piece_end(reused, prompt.size()) - reused >= attention_tile_rows) return reused;
    }
    return on_batch_line;
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
