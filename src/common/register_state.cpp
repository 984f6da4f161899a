#include "common/register_state.hpp"

#include <cstdint>

#include "common/platform.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#if defined(_MSC_VER)
#include <immintrin.h>
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace debrindle {
namespace {

#if defined(__x86_64__) || defined(_M_X64)

// Whether the system saves the extended state at all (CPUID.1:ECX.OSXSAVE);
// without it XGETBV is itself an illegal instruction.
bool system_saves_extended_state() {
#if defined(_MSC_VER)
    int registers[4] = {};
    __cpuid(registers, 1);
    const auto ecx = static_cast<std::uint32_t>(registers[2]);
#else
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
#endif
    return (ecx & (1U << 27U)) != 0;
}

std::uint64_t extended_control_register() {
#if defined(_MSC_VER)
    return _xgetbv(0);
#else
    std::uint32_t low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<std::uint64_t>(high) << 32U) | low;
#endif
}

bool all_set(std::uint64_t value, std::uint64_t bits) { return (value & bits) == bits; }

#endif

}  // namespace

EnabledRegisterState enabled_register_state(bool ask_for_tiles) {
#if defined(__x86_64__) || defined(_M_X64)
    if (!system_saves_extended_state()) return {};
    const std::uint64_t enabled = extended_control_register();
    constexpr std::uint64_t sse_and_ymm = 0x6;               // bits 1 and 2
    constexpr std::uint64_t opmask_and_zmm = 0xE0;           // bits 5 to 7
    constexpr std::uint64_t tile_config_and_data = 0x60000;  // bits 17 and 18
    EnabledRegisterState state;
    state.avx = all_set(enabled, sse_and_ymm);
    state.avx512 = state.avx && all_set(enabled, opmask_and_zmm);
    state.amx = ask_for_tiles && all_set(enabled, tile_config_and_data) && request_amx_tile_permission();
    return state;
#else
    // Other processors have no such register sets, and their modules' scores
    // mean other things: nothing is refused.
    return {true, true, true};
#endif
}

}  // namespace debrindle
