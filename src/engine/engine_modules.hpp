#pragma once
// llama.cpp's backends are modules (shared libraries) that stand beside the
// helper: the Vulkan module for GPUs and one CPU module per x86-64
// instruction-set level.

namespace debrindle {

// Loads, from the helper's own folder only, the GPU modules there and the
// best CPU module that this processor and its system can run, once per
// process. A module that is missing or cannot load is left out; with no CPU
// module a later model load fails.
void load_engine_modules();

}  // namespace debrindle
