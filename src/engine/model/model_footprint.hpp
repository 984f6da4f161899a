#pragma once
// What a model takes on a GPU device, estimated from its file: the numbers
// of its header and the tensor table of every file it is stored in.

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/model/model_file_check.hpp"
#include "engine/placement/placement.hpp"

namespace debrindle {

// The hyper-parameters the estimate needs, as the header gives them.
struct ModelShape {
    std::uint32_t layers = 0;
    std::uint32_t embedding = 0;
    std::uint32_t heads = 0;
    std::uint32_t kv_heads = 0;
    std::uint32_t key_length = 0;
    std::uint32_t value_length = 0;
    std::uint64_t vocabulary = 0;  // tokens
};

// The footprint of a model of `shape` whose tensors, from all its files, are
// `tensors`; nothing for a layer count llama.cpp cannot hold (the file is
// refused before any load) or a shape without heads.
std::optional<ModelFootprint> model_footprint(const ModelShape& shape, const std::vector<TensorEntry>& tensors);

}  // namespace debrindle
