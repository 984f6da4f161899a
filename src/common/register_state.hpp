#pragma once
// Which of the processor's wider register sets the system has turned on. A
// processor can report an instruction set (AVX-512, AMX) that its system,
// often a virtual machine's, has not enabled; code that uses it then dies
// with an illegal instruction.

namespace debrindle {

struct EnabledRegisterState {
    bool avx = false;     // the YMM registers: AVX, AVX2, FMA, F16C
    bool avx512 = false;  // the opmask and ZMM registers
    bool amx = false;     // the tile registers, and this process may use them
};

// Read from the processor's extended control register (XCR0). The tile
// registers are asked of the system only with `ask_for_tiles`, for a module
// that would use them; without it `amx` is false.
EnabledRegisterState enabled_register_state(bool ask_for_tiles);

}  // namespace debrindle
