#pragma once
// llama.cpp's backends are modules (shared libraries) that stand beside the
// helper: the Vulkan module for GPUs and one CPU module per x86-64
// instruction-set level.

#include <string>
#include <vector>

namespace debrindle {

// Loads, from the helper's own folder only, the GPU modules there and the
// best CPU module that this processor and its system can run, once per
// process (a later call does nothing). A module that is missing or cannot
// load is left out; with no CPU module a later model load fails, and the
// call gives why, one text a module (or one for the folder).
std::vector<std::string> load_engine_modules();

}  // namespace debrindle
