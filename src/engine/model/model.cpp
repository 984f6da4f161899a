#include "engine/model/model.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "engine/model/model_file_check.hpp"

namespace debrindle {
namespace {

bool shorter_than_at_load(const HeldModelFile& file) {
    const std::optional<std::uint64_t> length_now = file.file.length();
    return !length_now || *length_now < file.length_at_load;
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

bool LoadedModel::file_cut_short() const { return std::any_of(files_.begin(), files_.end(), shorter_than_at_load); }

bool LoadedModel::file_written_since_last_look() {
    bool written = false;
    for (HeldModelFile& file : files_) {
        const std::optional<std::uint64_t> now = file.file.last_written();
        written = written || !now || now != file.last_written_seen;
        file.last_written_seen = now;
    }
    return written;
}

Result<LoadedModel, EngineError> model_load(const EngineBackend& /*backend*/, std::string_view path,
                                            const ModelParams& params) {
    if (const auto nul = path.find('\0'); nul != std::string_view::npos) {
        return Failure{EngineError{EngineErrorKind::ModelPathNul, static_cast<std::int64_t>(nul)}};
    }
    // The files are held and checked, and llama.cpp opens the held files
    // themselves where the system names them (Linux), so a file swapped by
    // name in between is never the one loaded. A split model's later files
    // are given by the helper's names otherwise: llama.cpp would name them
    // in a buffer of PATH_MAX bytes, too short for a long Windows path.
    const OpenablePath first = openable_path(std::string(path));
    auto model_files = read_model_files(first.c_str());
    if (!model_files || !model_file_acceptable(model_files->header))
        return Failure{EngineError{EngineErrorKind::ModelLoadNull}};
    std::vector<HeldModelFile>& files = model_files->parts;
    std::vector<const char*> names;
    for (HeldModelFile& file : files) {
        names.push_back(file.engine_path.c_str());
        file.length_at_load = file.file.length().value_or(0);
        file.last_written_seen = file.file.last_written();
    }
    llama_model* model = llama_model_load_from_splits(names.data(), names.size(), params.raw);
    if (model == nullptr) return Failure{EngineError{EngineErrorKind::ModelLoadNull}};
    // What llama.cpp mapped of a file is no longer than the file before or
    // after the load, unless the file both grew and shrank meanwhile.
    for (HeldModelFile& file : files)
        file.length_at_load = std::max(file.length_at_load, file.file.length().value_or(0));
    return LoadedModel(model, std::move(files));
}

}  // namespace debrindle
