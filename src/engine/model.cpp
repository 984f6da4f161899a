#include "engine/model.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "engine/model_file_check.hpp"
#include "engine/model_file_reader.hpp"
#include "engine/split_model.hpp"

namespace debrindle {
namespace {

bool shorter_than_at_load(const HeldModelFile& file) {
    const std::optional<std::uint64_t> length_now = file.file.length();
    return !length_now || *length_now < file.length_at_load;
}

// Holds each of `paths` open with its length now; nothing when one of them
// names no regular file with content.
std::optional<std::vector<HeldModelFile>> hold_model_files(const std::vector<std::string>& paths) {
    std::vector<HeldModelFile> files;
    for (const std::string& path : paths) {
        auto file = hold_model_file(path.c_str());
        if (!file) return std::nullopt;
        const std::uint64_t length = file->length().value_or(0);
        files.push_back({std::move(*file), length});
    }
    return files;
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

Result<LoadedModel, EngineError> model_load(const EngineBackend& /*backend*/, std::string_view path,
                                            const ModelParams& params, const ModelFileHeader* header) {
    if (const auto nul = path.find('\0'); nul != std::string_view::npos) {
        return Failure{EngineError{EngineErrorKind::ModelPathNul, static_cast<std::int64_t>(nul)}};
    }
    const OpenablePath first = openable_path(std::string(path));
    std::optional<ModelFileHeader> read_here;
    if (header == nullptr && (read_here = read_model_file_header(first.c_str()))) header = &*read_here;
    if (header == nullptr || !model_file_acceptable(*header))
        return Failure{EngineError{EngineErrorKind::ModelLoadNull}};
    // llama.cpp would name a split model's later files in a buffer of
    // PATH_MAX bytes, too short for a long Windows path; it is given the
    // helper's names instead. Each file opens once more by its name there:
    // should one be replaced in between, the held file is not the one mapped.
    const auto paths = header->files.size() > 1
                           ? split_part_paths(first.path, static_cast<std::uint32_t>(header->files.size()))
                           : std::optional(std::vector{first.path});
    auto files = paths ? hold_model_files(*paths) : std::nullopt;
    if (!files) return Failure{EngineError{EngineErrorKind::ModelLoadNull}};
    std::vector<const char*> names;
    for (const std::string& name : *paths) names.push_back(name.c_str());
    llama_model* model = llama_model_load_from_splits(names.data(), names.size(), params.raw);
    if (model == nullptr) return Failure{EngineError{EngineErrorKind::ModelLoadNull}};
    // What llama.cpp mapped of a file is no longer than the file before or
    // after the load, unless the file both grew and shrank meanwhile.
    for (HeldModelFile& file : *files)
        file.length_at_load = std::max(file.length_at_load, file.file.length().value_or(0));
    return LoadedModel(model, std::move(*files));
}

}  // namespace debrindle
