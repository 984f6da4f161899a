#include "app/model_cache.hpp"

#include "app/path_equality.hpp"
#include "common/platform.hpp"
#include "diag/diagnostics.hpp"

namespace debrindle {

Result<Done, std::string> ModelCache::ensure_loaded(std::string_view model_path) {
    if (model_ && paths_equal(path_, model_path)) {
        if (!model_->file_cut_short()) return Done{};
        // Generating from it would fault on the pages that are gone. The
        // model goes, and the next request for the path loads it afresh.
        model_.reset();
        path_.clear();
        return Failure{EngineError{EngineErrorKind::ModelFileTruncated}.text()};
    }

    const ModelParams params = set_gpu_layers(model_params_default(), all_gpu_layers);
    const std::uint64_t start = monotonic_nanoseconds();
    if (diagnostics_enabled()) write_diagnostic_line(server_loading_line(model_path));
    auto loaded = model_load(backend_, model_path, params);
    if (!loaded) return Failure{loaded.error().text()};
    const std::uint64_t elapsed_ms = elapsed_milliseconds(start, monotonic_nanoseconds());
    if (diagnostics_enabled()) write_diagnostic_line(server_loaded_line(model_path, elapsed_ms));

    // Copied before the cache changes, so that memory running out here
    // leaves the old model with its own path.
    std::string path(model_path);
    model_.reset();  // the old model goes only once the new one is in memory
    model_.emplace(std::move(loaded).value());
    path_ = std::move(path);
    return Done{};
}

}  // namespace debrindle
