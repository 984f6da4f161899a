#pragma once
// Choosing among llama.cpp's CPU modules, one per x86-64 instruction-set
// level. Each module reports a score: zero when the processor lacks an
// instruction set it was built for, otherwise one plus a bit for each such
// set, so a higher score is a more capable module. The score comes from
// CPUID alone; these functions also refuse a module whose registers the
// system has not turned on.

#include <filesystem>
#include <optional>
#include <vector>

#include "common/register_state.hpp"

namespace debrindle {

// Whether a module with this score runs here: it needs every register set
// that the instruction sets in its score use.
bool cpu_variant_usable(int score, EnabledRegisterState state);

struct CpuVariant {
    std::filesystem::path path;
    int score = 0;
};

// Whether any of the variants uses the AMX tile registers, which a process
// must ask the system for.
bool any_cpu_variant_needs_tiles(const std::vector<CpuVariant>& variants);

// The usable variant with the highest score (on a tie, the first by path),
// or nothing when none is usable.
std::optional<std::filesystem::path> best_cpu_variant(const std::vector<CpuVariant>& variants,
                                                      EnabledRegisterState state);

}  // namespace debrindle
