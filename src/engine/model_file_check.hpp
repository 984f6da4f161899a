#pragma once
// The check a model file passes before llama.cpp is given it: from the GGUF
// header alone, the files that llama.cpp would stop the process on (an
// assertion while loading, a first decode that cannot run) rather than
// refuse.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <ggml.h>

#include "engine/placement.hpp"

namespace debrindle {

// What the check reads from a header. A number the file lacks, or holds in a
// type llama.cpp does not read it as, is llama.cpp's default (0 for the
// layer count, which llama.cpp requires and so refuses the file anyway).
struct ModelFileHeader {
    std::string architecture{};            // general.architecture
    std::uint32_t layers = 0;              // {architecture}.block_count
    std::uint32_t next_token_layers = 0;   // .nextn_predict_layers
    std::uint32_t experts = 0;             // .expert_count
    std::uint32_t used_experts = 0;        // .expert_used_count, the largest of a per-layer array
    std::uint32_t expert_groups = 0;       // .expert_group_count
    std::uint32_t used_expert_groups = 0;  // .expert_group_used_count
    std::string rope_scaling = "linear";   // .rope.scaling.type
    // The types of the one-dimensional tensors: norms, biases and scales.
    std::vector<ggml_type> vector_types{};
    // What the model takes on a GPU, read with the rest for the placement.
    std::optional<ModelFootprint> footprint{};
};

// Whether llama.cpp may be given a file with this header.
bool model_file_acceptable(const ModelFileHeader& header);

// Reads the header of the GGUF file at `path` (no tensor data); nothing when
// gguf cannot parse it, and llama.cpp, reading it the same way, refuses it.
std::optional<ModelFileHeader> read_model_file_header(const char* path);

}  // namespace debrindle
