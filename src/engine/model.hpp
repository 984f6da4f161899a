#pragma once
// Model parameters and the owned model handle.

#include <cstdint>
#include <memory>
#include <string_view>

#include <llama.h>

#include "common/platform.hpp"
#include "common/result.hpp"
#include "engine/backend.hpp"
#include "engine/engine_error.hpp"
#include "engine/model_file_check.hpp"
#include "engine/placement.hpp"

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

// Owns one loaded model, released exactly once by llama_model_free, and its
// file, held open with the length it had once loaded.
class LoadedModel {
public:
    LoadedModel(llama_model* model, HeldFile file, std::uint64_t length_at_load)
        : model_(model), file_(std::move(file)), length_at_load_(length_at_load) {}
    llama_model* get() const { return model_.get(); }
    const llama_vocab* vocab() const;
    // Whether the file is now shorter than at the load (or its length cannot
    // be told). llama.cpp maps the file, so pages beyond the new end are gone
    // and a generation that reads them faults.
    bool file_cut_short() const;

private:
    std::unique_ptr<llama_model, ModelDeleter> model_;
    HeldFile file_;
    std::uint64_t length_at_load_;
};

// Loads the model at `path` (UTF-8, passed to llama.cpp unchanged but for a
// Windows path too long for the system's default rules, see openable_path). A path
// that names no regular file with content is refused before llama.cpp sees
// it, with the same error as a missing file, and so is a file whose header
// llama.cpp would stop the process on: `header`, when the caller has read
// it already, or else read here. The backend is taken as proof that the
// engine runs.
Result<LoadedModel, EngineError> model_load(const EngineBackend& backend, std::string_view path,
                                            const ModelParams& params, const ModelFileHeader* header = nullptr);

}  // namespace debrindle
