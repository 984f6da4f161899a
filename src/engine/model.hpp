#pragma once
// Model parameters and the owned model handle.

#include <cstdint>
#include <memory>
#include <string_view>

#include <llama.h>

#include "common/result.hpp"
#include "engine/backend.hpp"
#include "engine/engine_error.hpp"

namespace debrindle {

// llama.cpp's model parameters; the helper changes only the GPU layer count.
struct ModelParams {
    llama_model_params raw;
};

ModelParams model_params_default();

// Sets n_gpu_layers to `count`, capped at the largest signed 32-bit value
// because llama.cpp's field is signed.
ModelParams set_gpu_layers(ModelParams params, std::uint32_t count);

// The layer count the helper asks for: all of them.
inline constexpr std::uint32_t all_gpu_layers = 4294967295U;

struct ModelDeleter {
    void operator()(llama_model* model) const;
};

// Owns one loaded model; released exactly once, by llama_model_free.
class LoadedModel {
public:
    explicit LoadedModel(llama_model* model) : model_(model) {}
    llama_model* get() const { return model_.get(); }
    const llama_vocab* vocab() const;

private:
    std::unique_ptr<llama_model, ModelDeleter> model_;
};

// Loads the model at `path` (UTF-8, passed to llama.cpp unchanged). The
// backend is taken as proof that the engine runs.
Result<LoadedModel, EngineError> model_load(const EngineBackend& backend, std::string_view path,
                                            const ModelParams& params);

}  // namespace debrindle
