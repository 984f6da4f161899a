#pragma once
// Reads what the model file check and the placement plan need from a model's
// files: the header of the first, and the tensor tables of all of them (a
// split model's other files found as llama.cpp finds them). No tensor data
// is read.

#include <optional>

#include "engine/model_file_check.hpp"

namespace debrindle {

// Reads the model whose (first) file is at `path`; nothing where llama.cpp,
// reading the files the same way, refuses the model: a file is missing or
// gguf cannot parse it, or a split model's files do not match as llama.cpp
// requires (a file numbered out of place, the tensors fewer or more than the
// first file counts). Nothing, too, where llama.cpp would not refuse but
// stop the process (a later file's number in another type than it reads) or
// wait (a later file that is a pipe).
std::optional<ModelFileHeader> read_model_file_header(const char* path);

}  // namespace debrindle
