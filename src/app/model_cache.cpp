#include "app/model_cache.hpp"

#include "app/path_equality.hpp"
#include "common/platform.hpp"
#include "diag/diagnostics.hpp"
#include "engine/gpu_devices.hpp"

namespace debrindle {

Result<Done, std::string> ModelCache::ensure_loaded(std::string_view model_path) {
    if (model_ && paths_equal(path_, model_path)) {
        if (!model_->model.file_cut_short()) return Done{};
        // Generating from it would fault on the pages that are gone. The
        // model goes, and the next request for the path loads it afresh.
        model_.reset();
        path_.clear();
        return Failure{EngineError{EngineErrorKind::ModelFileTruncated}.text()};
    }

    const std::uint64_t start = monotonic_nanoseconds();
    if (diagnostics_enabled()) {
        const std::uint32_t layers = requested_placement.gpu_layers;
        write_diagnostic_line(lines_ == LoadLines::server ? server_loading_line(model_path, layers)
                                                          : one_shot_loading_line(model_path, layers));
    }
    auto loaded = load_placed_model(backend_, model_path);
    if (!loaded) return Failure{loaded.error().text()};
    write_placement_line(model_path, *loaded);
    const std::uint64_t elapsed_ms = elapsed_milliseconds(start, monotonic_nanoseconds());
    if (lines_ == LoadLines::server && diagnostics_enabled()) {
        write_diagnostic_line(server_loaded_line(model_path, elapsed_ms));
    }

    // Copied before the cache changes, so that memory running out here
    // leaves the old model with its own path.
    std::string path(model_path);
    model_.reset();  // the old model goes only once the new one is in memory
    model_.emplace(std::move(loaded).value());
    path_ = std::move(path);
    return Done{};
}

Result<std::string, std::string> ModelCache::generate(const GenerationInput& input) {
    if (!model_) return Failure{std::string("De-Brindle helper model is not loaded.")};
    for (;;) {
        auto text = generate_text(backend_, model_->model, input);
        if (text) return std::move(text).value();
        if (!text.error().context_or_decode || !model_->on_gpu) return Failure{std::move(text).error().text};

        // The device may have run out of memory: each pass places the model
        // lower, down to the CPU alone, where this loop ends.
        const Placement failed = model_->placement;
        model_.reset();
        auto placed = load_placed_below(backend_, path_, failed);
        if (!placed) {
            path_.clear();
            return Failure{std::move(text).error().text};
        }
        write_placement_line(path_, *placed);
        model_.emplace(std::move(placed).value());
    }
}

void ModelCache::write_placement_line(std::string_view path, const PlacedModel& placed) const {
    if (placed.placement == requested_placement || !diagnostics_enabled()) return;
    const std::string devices = placed.placement.cpu_only ? std::string() : gpu_device_names(gpu_devices());
    write_diagnostic_line(placement_line(path, placed.placement.gpu_layers, devices));
}

}  // namespace debrindle
