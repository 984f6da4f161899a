#include <gtest/gtest.h>

#include <vector>

#include "engine/prompt_cache/kept_prompts.hpp"
#include "engine/prompt_cache/prompt_reuse.hpp"
#include "engine/prompt_cache/sequence_state.hpp"

namespace debrindle {
namespace {

std::vector<llama_token> tokens(std::size_t shared, std::size_t length, llama_token other = 8) {
    std::vector<llama_token> prompt(length, 7);
    for (std::size_t i = shared; i < length; ++i) prompt[i] = other;
    return prompt;
}

// Never the last prompt token; whole physical batches, or multiples of 4
// whose first batch (to the next multiple of 256, or the end) has 8 rows,
// whose kept rows' batch in the kept prompt has 8 and falls on the fresh
// batch's side of 64 rows, and without the pool's tiled attention has 64
// where the fresh batch has.
TEST(PromptReuse, ReusablePromptLengthByGrain) {
    const struct {
        std::size_t shared, length, kept, batches, groups, tiled;
    } cases[] = {{255, 600, 1300, 0, 192, 248},   {256, 600, 1300, 256, 256, 256},      {511, 600, 1300, 256, 448, 504},
                 {512, 600, 1300, 512, 512, 512}, {600, 600, 1300, 512, 536, 592},      {63, 600, 1300, 0, 60, 60},
                 {257, 257, 1300, 256, 256, 256}, {1300, 1400, 1300, 1280, 1280, 1280}, {700, 800, 1300, 512, 700, 700},
                 {700, 700, 1300, 512, 636, 692}, {540, 560, 1300, 512, 512, 512},      {600, 560, 540, 512, 540, 540},
                 {600, 566, 1300, 512, 512, 512}, {600, 560, 518, 512, 512, 512},       {0, 0, 1300, 0, 0, 0}};
    for (const auto& c : cases) {
        const auto prompt = tokens(c.shared, c.length);
        const std::vector<llama_token> cached(c.kept, 7);
        EXPECT_EQ(reusable_prompt_length(cached, prompt, ReuseGrain::physical_batch), c.batches) << c.shared;
        EXPECT_EQ(reusable_prompt_length(cached, prompt, ReuseGrain::row_group), c.groups) << c.shared;
        EXPECT_EQ(reusable_prompt_length(cached, prompt, ReuseGrain::row_group_tiled), c.tiled) << c.shared;
        EXPECT_EQ(reusable_prompt_length(cached, prompt, ReuseGrain::none), 0U);
    }
    // The same prompt again, its last logits kept: all of it, on any grain that resumes.
    const auto same = tokens(600, 600);
    EXPECT_EQ(restorable_prompt_length(same, true, same, ReuseGrain::physical_batch), 600U);
    EXPECT_EQ(restorable_prompt_length(same, false, same, ReuseGrain::row_group), 536U);
    EXPECT_EQ(restorable_prompt_length(same, true, same, ReuseGrain::none), 0U);
    EXPECT_EQ(restorable_prompt_length(tokens(600, 601), true, same, ReuseGrain::row_group), 536U);
    EXPECT_TRUE(first_piece_end(192, 600) == 256 && first_piece_end(576, 700) == 700);
    EXPECT_TRUE(first_piece_needs_tiles(240, 600) && !first_piece_needs_tiles(528, 560));
    // The first decode takes the rest with it where it has 8 rows and all fits in one physical batch.
    const struct {
        std::size_t first, length;
        bool tiles_switch;
        PromptDecode decode;
    } decodes[] = {{0, 600, true, {512, 0}},    {504, 520, true, {520, 8}}, {504, 519, true, {512, 8}},
                   {448, 704, true, {704, 64}}, {444, 704, true, {512, 0}}, {504, 520, false, {512, 0}},
                   {520, 540, true, {540, 0}},  {256, 400, true, {400, 0}}, {240, 600, true, {256, 16}}};
    for (const auto& d : decodes) EXPECT_EQ(first_decode(d.first, d.length, d.tiles_switch), d.decode) << d.first;
}

TEST(PromptReuse, GrainAndKeptContext) {
    EXPECT_EQ(prefix_reuse_grain({}), ReuseGrain::row_group);
    EXPECT_EQ(prefix_reuse_grain({.tiled_attention_switch = true}), ReuseGrain::row_group_tiled);
    EXPECT_EQ(prefix_reuse_grain({.plain_cache = false}), ReuseGrain::none);
    EXPECT_EQ(prefix_reuse_grain({.experts = true}), ReuseGrain::physical_batch);
    EXPECT_EQ(prefix_reuse_grain({.layers_on_gpu = true}), ReuseGrain::physical_batch);
    EXPECT_EQ(prefix_reuse_grain({.cpu_matrix_tiles = true}), ReuseGrain::physical_batch);
    EXPECT_TRUE(kept_context_fits(1024, 1024, 4096) && kept_context_fits(2048, 1024, 4096));
    EXPECT_FALSE(kept_context_fits(2304, 1024, 4096) || kept_context_fits(1024, 1025, 4096));
    // Long rope factors past 1024 cells: a kept context on the other side of
    // the original length is not used.
    EXPECT_FALSE(kept_context_fits(2048, 1024, 1024));
    EXPECT_TRUE(kept_context_fits(2048, 1100, 1024) && kept_context_fits(1024, 1000, 1024));
}

// Malformed or short states are never cut; real ones are cut in the engine
// tests, whose restored cells are compared bit for bit.
TEST(PromptReuse, StateThatIsNotACutSequenceGivesNothing) {
    const std::vector<std::uint8_t> stream_count_2 = {0xd8, 0x3c, 0x14, 0xaf, 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0};
    const std::vector<std::uint8_t> one_cell_cut_short = {0xd8, 0x3c, 0x14, 0xaf, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0};
    for (const auto& state : {std::vector<std::uint8_t>{}, stream_count_2, one_cell_cut_short}) {
        EXPECT_FALSE(sequence_state_prefix(state, 1));
    }
}

// One cell of one layer whose key and value are one value of `type` each:
// cells that overflowed, or whose values cannot be checked, are never kept.
TEST(PromptReuse, CellThatIsNotFiniteIsNeverCut) {
    const struct {
        std::uint8_t type, low, high;
        bool cut;
    } cases[] = {{1, 0x00, 0x3c, true},   {1, 0x00, 0x7c, false}, {1, 0x00, 0xfe, false},
                 {30, 0x80, 0x7f, false}, {30, 0x80, 0x3f, true}, {8, 0x00, 0x00, false}};
    for (const auto& c : cases) {
        std::vector<std::uint8_t> state = {0xd8, 0x3c, 0x14, 0xaf, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0,
                                           0,    0,    1,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
        for (int tensor = 0; tensor < 2; ++tensor) {
            state.insert(state.end(), {c.type, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, c.low, c.high});
        }
        EXPECT_EQ(sequence_state_prefix(state, 1).has_value(), c.cut) << int{c.type} << " " << int{c.high};
    }
}

TEST(PromptReuse, KeptPromptsNewestFirstWithinTheirLimits) {
    KeptPrompts kept;
    const auto keep = [&](std::size_t length, llama_token other, std::size_t bytes) {
        kept.keep({tokens(100, length, other), LargeBytes(bytes), false});
    };
    keep(400, 1, 10);
    keep(400, 2, 10);
    keep(200, 2, 10);  // the start of the last: not kept
    keep(600, 2, 30);  // begins as the last: takes its place
    EXPECT_TRUE(kept.size() == 2 && kept.bytes() == 40);
    EXPECT_EQ(kept.best_for({tokens(100, 700, 2), ReuseGrain::row_group, false}).length, 600U);
    EXPECT_EQ(kept.best_for({tokens(100, 700, 2), ReuseGrain::row_group, true}).prompt, nullptr);
    for (llama_token other = 10; other < 20; ++other) keep(300, other, 1);
    EXPECT_EQ(kept.size(), kept_prompts_limit);
    keep(300, 30, kept_prompt_bytes_limit);
    keep(300, 31, kept_prompt_bytes_limit + 1);  // too large alone
    EXPECT_TRUE(kept.size() == 1 && kept.bytes() == kept_prompt_bytes_limit);
    // The prompt a request takes becomes the most recent and outlives the rest.
    KeptPrompts promoted;
    const auto keep_other = [&](llama_token other) { promoted.keep({tokens(100, 300, other), LargeBytes(1), false}); };
    const auto best_length = [&](llama_token other) {
        return promoted.best_for({tokens(100, 300, other), ReuseGrain::row_group, false}).length;
    };
    for (llama_token other = 1; other <= static_cast<llama_token>(kept_prompts_limit); ++other) keep_other(other);
    EXPECT_GT(best_length(1), 256U);
    keep_other(20);
    EXPECT_TRUE(best_length(1) > 256U && best_length(2) <= 100U);
}

}  // namespace
}  // namespace debrindle
