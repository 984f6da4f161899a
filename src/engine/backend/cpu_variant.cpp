#include "engine/backend/cpu_variant.hpp"

namespace debrindle {
namespace {

// The score's bits, as ggml's x86 CPU modules add them up (after the one
// that every usable module starts with).
constexpr unsigned fma = 1U << 0U;
constexpr unsigned f16c = 1U << 1U;
constexpr unsigned avx = 1U << 4U;
constexpr unsigned avx2 = 1U << 5U;
constexpr unsigned avx_vnni = 1U << 6U;
constexpr unsigned avx512 = 1U << 7U;
constexpr unsigned avx512_vbmi = 1U << 8U;
constexpr unsigned avx512_bf16 = 1U << 9U;
constexpr unsigned avx512_vnni = 1U << 10U;
constexpr unsigned amx_int8 = 1U << 11U;

constexpr unsigned needs_ymm = fma | f16c | avx | avx2 | avx_vnni;
constexpr unsigned needs_zmm = avx512 | avx512_vbmi | avx512_bf16 | avx512_vnni;
constexpr unsigned needs_tiles = amx_int8;

// The instruction sets of a usable module's score.
unsigned features_of(int score) { return static_cast<unsigned>(score - 1); }

}  // namespace

bool cpu_variant_usable(int score, EnabledRegisterState state) {
    if (score <= 0) return false;
    const unsigned features = features_of(score);
    if ((features & needs_ymm) != 0 && !state.avx) return false;
    if ((features & needs_zmm) != 0 && !state.avx512) return false;
    if ((features & needs_tiles) != 0 && !state.amx) return false;
    return true;
}

bool any_cpu_variant_needs_tiles(const std::vector<CpuVariant>& variants) {
    for (const auto& variant : variants) {
        if (variant.score > 0 && (features_of(variant.score) & needs_tiles) != 0) return true;
    }
    return false;
}

std::optional<std::filesystem::path> best_cpu_variant(const std::vector<CpuVariant>& variants,
                                                      EnabledRegisterState state) {
    const CpuVariant* best = nullptr;
    for (const auto& variant : variants) {
        if (!cpu_variant_usable(variant.score, state)) continue;
        if (best == nullptr || variant.score > best->score ||
            (variant.score == best->score && variant.path < best->path)) {
            best = &variant;
        }
    }
    if (best == nullptr) return std::nullopt;
    return best->path;
}

}  // namespace debrindle
