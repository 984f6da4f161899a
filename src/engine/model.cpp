#include "engine/model.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "engine/model_file_check.hpp"
#include "engine/model_file_reader.hpp"

namespace debrindle {
namespace {

bool shorter_than_at_load(std::uint64_t length_at_load, std::optional<std::uint64_t> length_now) {
    return !length_now || *length_now < length_at_load;
}

}  // namespace

ModelParams model_params_default() { return ModelParams{llama_model_default_params()}; }

ModelParams set_gpu_layers(ModelParams params, std::uint32_t count) {
    constexpr auto largest = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
    params.raw.n_gpu_layers = static_cast<std::int32_t>(count > largest ? largest : count);
    return params;
}

ModelParams set_placement(ModelParams params, Placement placement) {
    // llama.cpp reads the list up to its null entry.
    static ggml_backend_dev_t no_devices[] = {nullptr};
    params = set_gpu_layers(params, placement.gpu_layers);
    if (placement.cpu_only) params.raw.devices = no_devices;
    return params;
}

void ModelDeleter::operator()(llama_model* model) const { llama_model_free(model); }

const llama_vocab* LoadedModel::vocab() const { return llama_model_get_vocab(model_.get()); }

bool LoadedModel::file_cut_short() const { return shorter_than_at_load(length_at_load_, file_.length()); }

Result<LoadedModel, EngineError> model_load(const EngineBackend& /*backend*/, std::string_view path,
                                            const ModelParams& params, const ModelFileHeader* header) {
    if (const auto nul = path.find('\0'); nul != std::string_view::npos) {
        return Failure{EngineError{EngineErrorKind::ModelPathNul, static_cast<std::int64_t>(nul)}};
    }
    const std::string terminated = openable_path(std::string(path));
    // llama.cpp opens the path once more by its name; should it be replaced
    // in between, the held file is not the one mapped.
    auto file = hold_model_file(terminated.c_str());
    if (!file) return Failure{EngineError{EngineErrorKind::ModelLoadNull}};
    // A file llama.cpp would stop the process on fails as one it cannot load.
    std::optional<ModelFileHeader> read_here;
    if (header == nullptr && (read_here = read_model_file_header(terminated.c_str()))) header = &*read_here;
    if (header != nullptr && !model_file_acceptable(*header))
        return Failure{EngineError{EngineErrorKind::ModelLoadNull}};
    const std::uint64_t length_before = file->length().value_or(0);
    llama_model* model = llama_model_load_from_file(terminated.c_str(), params.raw);
    if (model == nullptr) return Failure{EngineError{EngineErrorKind::ModelLoadNull}};
    // What llama.cpp mapped is no longer than the file before or after the
    // load, unless the file both grew and shrank meanwhile.
    const std::uint64_t length = std::max(length_before, file->length().value_or(0));
    return LoadedModel(model, std::move(*file), length);
}

}  // namespace debrindle
