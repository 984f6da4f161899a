#pragma once
// What a loaded model and the CPU module say of themselves that decides how a
// server may reuse prompt cells (engine/prompt_cache/prompt_reuse.hpp).

#include <cstdint>

#include "engine/model/model.hpp"
#include "engine/prompt_cache/prompt_reuse.hpp"

namespace debrindle {

struct ModelTraits {
    // The context length past which llama.cpp takes a model's long rope
    // factors: its original context length, else its training length.
    std::uint32_t original_context_length = 0;
    ReuseConditions reuse;
};

// `layers_on_gpu`: how many of its layers llama.cpp put on a GPU.
ModelTraits model_traits(const LoadedModel& model, std::uint32_t layers_on_gpu);

}  // namespace debrindle
