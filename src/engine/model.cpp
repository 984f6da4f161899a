#include "engine/model.hpp"

#include <limits>
#include <string>

namespace debrindle {

ModelParams model_params_default() { return ModelParams{llama_model_default_params()}; }

ModelParams set_gpu_layers(ModelParams params, std::uint32_t count) {
    constexpr auto largest = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
    params.raw.n_gpu_layers = static_cast<std::int32_t>(count > largest ? largest : count);
    return params;
}

void ModelDeleter::operator()(llama_model* model) const { llama_model_free(model); }

const llama_vocab* LoadedModel::vocab() const { return llama_model_get_vocab(model_.get()); }

Result<LoadedModel, EngineError> model_load(const EngineBackend& /*backend*/, std::string_view path,
                                            const ModelParams& params) {
    if (const auto nul = path.find('\0'); nul != std::string_view::npos) {
        return Failure{EngineError{EngineErrorKind::ModelPathNul, static_cast<std::int64_t>(nul)}};
    }
    const std::string terminated(path);
    llama_model* model = llama_model_load_from_file(terminated.c_str(), params.raw);
    if (model == nullptr) return Failure{EngineError{EngineErrorKind::ModelLoadNull}};
    return LoadedModel(model);
}

}  // namespace debrindle
