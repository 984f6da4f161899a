#pragma once
// The check a model file passes before llama.cpp is given it: from the GGUF
// headers and tensor tables alone, the files that llama.cpp would stop the
// process on (an assertion while loading, a first decode that cannot run)
// rather than refuse, and those it is sure to refuse however the model is
// placed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <ggml.h>

#include "engine/placement/placement.hpp"

namespace debrindle {

// One entry of a tensor table.
struct TensorEntry {
    std::string name{};
    ggml_type type = GGML_TYPE_F32;
    bool one_row = false;  // a vector, or a matrix of a single row
    std::uint64_t bytes = 0;
};

// Where a file's tensor data ends, by its table, and the file's length.
struct FileExtent {
    std::uint64_t data_end = 0;
    std::uint64_t length = 0;
};

// What the check reads from a model's files: the numbers from the header of
// the first (a number the file lacks, or holds in a type llama.cpp does not
// read it as, is llama.cpp's default: 0 for the layer count, which llama.cpp
// requires and so refuses the file anyway), the tensors from all of them.
struct ModelFileHeader {
    std::string architecture{};            // general.architecture
    std::uint32_t layers = 0;              // {architecture}.block_count
    std::uint32_t next_token_layers = 0;   // .nextn_predict_layers
    std::uint32_t experts = 0;             // .expert_count
    std::uint32_t used_experts = 0;        // .expert_used_count, the largest of a per-layer array
    std::uint32_t expert_groups = 0;       // .expert_group_count
    std::uint32_t used_expert_groups = 0;  // .expert_group_used_count
    std::string rope_scaling = "linear";   // .rope.scaling.type
    std::vector<TensorEntry> tensors{};    // of every file, in llama.cpp's order
    std::vector<FileExtent> files{};       // of every file, in order
    // What the model takes on a GPU, read with the rest for the placement.
    std::optional<ModelFootprint> footprint{};
};

// Whether llama.cpp may be given a model with this header.
bool model_file_acceptable(const ModelFileHeader& header);

// Whether llama.cpp names the tensor `name` as a norm (of any layer, with its
// ".weight" or ".bias"): "output_norm", "blk.N.attn_norm_2", "blk.N.nextn.enorm",
// "cls.norm", and RWKV's "blk.N.time_mix_ln".
bool named_as_norm(std::string_view name);

}  // namespace debrindle
