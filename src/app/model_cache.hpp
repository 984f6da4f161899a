#pragma once
// The backend and the one model kept loaded, with the path it was loaded
// from and where its layers went. Server mode keeps one for its whole life;
// one-shot mode uses one for its single request.

#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "engine/backend/backend.hpp"
#include "engine/generation/generation.hpp"
#include "engine/placement/placed_model.hpp"

namespace debrindle {

// Which diagnostic lines a load writes.
enum class LoadLines { one_shot, server };

class ModelCache {
public:
    ModelCache(EngineBackend backend, LoadLines lines) : backend_(std::move(backend)), lines_(lines) {}

    // Makes the cache hold the model of `model_path`, loading it only when
    // the cached path differs. The new model gets the placement it would get
    // alone. When that fits beside the old model, the new one loads first and
    // the old one goes after it, and a failed load leaves the cache as it
    // was; when it needs the old model's device memory, the old model goes
    // first and, should the new one then fail, is loaded again as it was,
    // with the lines of any load (failing that too, the cache is left empty).
    // A model the model file check refuses is never loaded in place of the
    // cached one. A cached model whose file
    // has been cut short since its load is dropped, and the request fails.
    Result<Done, std::string> ensure_loaded(std::string_view model_path);

    // Generates with the cached model. When its context or a decode fails
    // while it has layers on a GPU, it is placed again with fewer (the old
    // placement released first, to free the device) and the generation runs
    // again; should no placement load, the cache is left empty.
    Result<std::string, std::string> generate(const GenerationInput& input);

private:
    // Loads the new model in place of the cached one, which it needs the
    // device memory of.
    Result<PlacedModel, EngineError> load_in_place_of_cached(std::string_view path, const PlacementPlan& plan);
    // The diagnostic lines of a load: the loading line before it; once it
    // has loaded (`start` on the monotonic clock), the placement line and in
    // server mode the loaded line.
    void write_loading_line(std::string_view path) const;
    void write_loaded_lines(std::string_view path, const PlacedModel& placed, std::uint64_t start) const;
    void write_placement_line(std::string_view path, const PlacedModel& placed) const;

    // Declared first so that it is released last.
    EngineBackend backend_;
    LoadLines lines_;
    std::string path_;
    std::optional<PlacedModel> model_;
};

}  // namespace debrindle
