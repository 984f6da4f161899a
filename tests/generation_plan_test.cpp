#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/generation/generation_plan.hpp"
#include "engine/placement/placement.hpp"

namespace debrindle {
namespace {

TEST(GenerationPlan, TokenBudget) {
    struct Case {
        std::uint64_t words;
        std::int32_t max_tokens;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {0, 256, 48},
        {5, 256, 48},
        {6, 256, 50},
        {20, 256, 92},
        {42, 256, 158},
        {43, 256, 160},
        {1000, 256, 160},
        {5, 0, 1},
        {5, -7, 1},
        {5, 1, 1},
        {5, 30, 30},
        {100, 1000, 160},
        {std::numeric_limits<std::uint64_t>::max(), 512, 160},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(token_budget(c.words, c.max_tokens), c.expected) << c.words << " words, maxTokens " << c.max_tokens;
    }
}

TEST(GenerationPlan, ContextLength) {
    EXPECT_EQ(context_length(48, 100), 1024U);
    EXPECT_EQ(context_length(160, 848), 1024U);
    EXPECT_EQ(context_length(160, 849), 1025U);
    EXPECT_EQ(context_length(48, 1300), 1364U);
}

TEST(GenerationPlan, ThreadCount) {
    EXPECT_EQ(thread_count(1U), 2);
    EXPECT_EQ(thread_count(2U), 2);
    EXPECT_EQ(thread_count(5U), 5);
    EXPECT_EQ(thread_count(16U), 8);
    EXPECT_EQ(thread_count(std::nullopt), 4);
}

TEST(GenerationPlan, SamplerChoice) {
    const float infinity = std::numeric_limits<float>::infinity();
    struct Case {
        float temperature;
        std::optional<float> expected;
    };
    const Case cases[] = {
        {0.0F, std::nullopt},  {0.15F, std::nullopt},
        {-1.0F, std::nullopt}, {-infinity, std::nullopt},
        {0.16F, 0.16F},        {0.7F, 0.7F},
        {1.0F, 1.0F},          {2.0F, 1.0F},
        {infinity, 1.0F},      {std::nextafter(0.15F, 1.0F), std::nextafter(0.15F, 1.0F)},
    };
    for (const Case& c : cases) EXPECT_EQ(chain_temperature(c.temperature), c.expected) << c.temperature;
}

// 10 layers of 10 MiB weights and 2 MiB cache, 4 MiB of output, 16 MiB of
// compute buffers (all of it 140 MiB); a sixteenth of the memory stays free.
TEST(GenerationPlan, PlacementsPlannedAndBelowAFailedOne) {
    constexpr std::uint64_t mib = 1024 * 1024;
    const ModelFootprint footprint{std::vector<std::uint64_t>(10, 10 * mib), 4 * mib, 2 * mib, 16 * mib};
    const Placement cpu = cpu_only_placement;
    struct Case {
        Placement failed;
        std::uint64_t available_mib;
        Placement planned;
        std::vector<Placement> below;
    };
    const Case cases[] = {
        {requested_placement, 120, {8, false}, {{8, false}, {4, false}, cpu}},  // 112.5 MiB usable: output and 7 layers
        {requested_placement, 16, cpu, {cpu}},                                  // not one layer beside the buffers
        {requested_placement, 1024, requested_placement, {{10, false}, {5, false}, cpu}},  // all fits, yet failed
        {{8, false}, 160, requested_placement, {{7, false}, {3, false}, cpu}},
        {{1, false}, 160, requested_placement, {cpu}},
        {{0, false}, 1024, requested_placement, {cpu}},
        {cpu, 1024, requested_placement, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plan_placement(footprint, c.available_mib * mib), c.planned) << c.available_mib << " MiB";
        EXPECT_EQ(placements_below(c.failed, footprint, c.available_mib * mib), c.below) << c.available_mib << " MiB";
    }
    EXPECT_EQ(device_bytes(footprint, {8, false}), 104 * mib);
    EXPECT_EQ(device_bytes(footprint, requested_placement), 140 * mib);
}

}  // namespace
}  // namespace debrindle
