#pragma once
// Model parameters and the owned model handle.

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include <llama.h>

#include "common/result.hpp"
#include "engine/backend/backend.hpp"
#include "engine/engine_error.hpp"
#include "engine/model/model_file_reader.hpp"
#include "engine/placement/placement.hpp"

namespace debrindle {

// llama.cpp's model parameters; the helper changes only the GPU layer count.
struct ModelParams {
    llama_model_params raw;
};

ModelParams model_params_default();

// Sets n_gpu_layers to `count`, capped at the largest signed 32-bit value
// because llama.cpp's field is signed.
ModelParams set_gpu_layers(ModelParams params, std::uint32_t count);

// Sets the GPU layer count of `placement`; for the CPU alone also an empty
// device list.
ModelParams set_placement(ModelParams params, Placement placement);

struct ModelDeleter {
    void operator()(llama_model* model) const;
};

// Owns one loaded model, released exactly once by llama_model_free, and
// every file it was loaded from (the first, then a split model's others).
class LoadedModel {
public:
    LoadedModel(llama_model* model, std::vector<HeldModelFile> files) : model_(model), files_(std::move(files)) {}
    llama_model* get() const { return model_.get(); }
    const llama_vocab* vocab() const;
    // Whether one of its files is now shorter than at the load (or its
    // length cannot be told). llama.cpp maps the files, so pages beyond a new
    // end are gone and a generation that reads them faults.
    bool file_cut_short() const;
    // Whether one of its files was written since the load or the last call
    // (or when it was cannot be told): the mapped weights may be new ones.
    bool file_written_since_last_look();

private:
    std::unique_ptr<llama_model, ModelDeleter> model_;
    std::vector<HeldModelFile> files_;
};

// Loads the model at `path` (UTF-8; see openable_path for a path too long
// for the system's default rules), with every file of a split model named
// by the helper (split_part_paths). Its files are held and read first
// (read_model_files); on Linux llama.cpp loads those very files (through
// /proc/self/fd), on Windows it opens them again by name. A model that
// llama.cpp would refuse or stop the process on, by the files' headers and
// tensor tables, is refused before llama.cpp sees it, with the same error as
// a missing file; so is a path that names no regular file with content, and
// never read. The backend is taken as proof that the engine runs.
Result<LoadedModel, EngineError> model_load(const EngineBackend& backend, std::string_view path,
                                            const ModelParams& params);

}  // namespace debrindle
