// Choosing the CPU module from the scores the modules report and the
// register sets the system has turned on.

#include <gtest/gtest.h>

#include "engine/backend/cpu_variant.hpp"

namespace debrindle {
namespace {

// Scores as ggml's x86 modules give them: one, plus a bit per instruction set.
TEST(CpuVariant, BestIsTheHighestWhoseRegistersTheSystemTurnedOn) {
    const std::vector<CpuVariant> variants = {
        {"x64", 1}, {"haswell", 1 + 0x3F}, {"skylakex", 1 + 0xBF}, {"zen4", 1 + 0x7BF}, {"sapphirerapids", 1 + 0xFBF}};
    const struct {
        EnabledRegisterState state;
        const char* best;
    } cases[] = {{{false, false, false}, "x64"},
                 {{true, false, true}, "haswell"},
                 {{true, true, false}, "zen4"},
                 {{true, true, true}, "sapphirerapids"}};
    for (const auto& c : cases) EXPECT_EQ(best_cpu_variant(variants, c.state), std::filesystem::path(c.best)) << c.best;
    EXPECT_EQ(best_cpu_variant({{"unsupported", 0}}, {true, true, true}), std::nullopt);
    // Only a module that uses the tile registers makes the helper ask for them.
    EXPECT_TRUE(any_cpu_variant_needs_tiles(variants));
    EXPECT_FALSE(any_cpu_variant_needs_tiles({variants.begin(), variants.end() - 1}));
}

}  // namespace
}  // namespace debrindle
