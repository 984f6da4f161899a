#pragma once
// Reads what the model file check and the placement plan need from a model's
// files: the header of the first, and the tensor tables of all of them (a
// split model's other files found as llama.cpp finds them). No tensor data
// is read.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/platform.hpp"
#include "engine/model/model_file_check.hpp"

namespace debrindle {

// One of a model's files, held open; the path the engine is to open it by:
// the held file's own path where the system has one, so that a file swapped
// by name after the check is never the one loaded, else its name; and once
// loaded, the length it had then.
struct HeldModelFile {
    HeldFile file;
    std::string engine_path;
    std::uint64_t length_at_load = 0;
    std::optional<std::uint64_t> last_written_seen = std::nullopt;
};

// A model's files as they were read: the header and tables, and every file
// held (the first, then a split model's others in order).
struct ModelFiles {
    ModelFileHeader header{};
    std::vector<HeldModelFile> parts{};
};

// Reads the model whose (first) file is at `path`; nothing where llama.cpp,
// reading the files the same way, refuses the model: a file is missing or
// gguf cannot parse it, or a split model's files do not match as llama.cpp
// requires (a file numbered out of place, the tensors fewer or more than the
// first file counts). Nothing, too, where llama.cpp would not refuse but
// stop the process (a later file's number in another type than it reads) or
// wait (a later file that is a pipe).
// Each file is read through the file held for it.
std::optional<ModelFiles> read_model_files(const char* path);

// The header alone, the files let go.
std::optional<ModelFileHeader> read_model_file_header(const char* path);

}  // namespace debrindle
