#include "app/model_cache.hpp"

#include "app/path_equality.hpp"
#include "common/platform.hpp"
#include "diag/diagnostics.hpp"
#include "engine/placement/gpu_devices.hpp"

namespace debrindle {

Result<Done, std::string> ModelCache::ensure_loaded(std::string_view model_path) {
    if (model_ && paths_equal(path_, model_path)) {
        if (!model_->model.file_cut_short()) {
            // Written over in place, the mapped weights are the new ones at
            // once; what was computed from the old ones goes.
            if (model_->model.file_written_since_last_look()) model_->kept.drop_computed();
            return Done{};
        }
        // Generating from it would fault on the pages that are gone. The
        // model goes, and the next request for the path loads it afresh.
        model_.reset();
        path_.clear();
        return Failure{EngineError{EngineErrorKind::ModelFileTruncated}.text()};
    }

    const std::uint64_t start = monotonic_nanoseconds();
    write_loading_line(model_path);
    const PlacementPlan plan = plan_model_placement(model_path, model_ ? model_->device_bytes : 0);
    auto loaded = [&] {
        if (!model_ || !plan.fits_beside) return load_in_place_of_cached(model_path, plan);
        auto beside = load_planned_model(backend_, model_path, plan, /*step_down=*/false);
        // A plan that should have fitted beside the old model did not: the
        // old one may be what is in the way, and the new one is not placed
        // lower for memory it would share only for a moment.
        if (beside || !plan.footprint()) return beside;
        return load_in_place_of_cached(model_path, plan);
    }();
    if (!loaded) {
        release_free_heap_memory();
        return Failure{loaded.error().text()};
    }
    write_loaded_lines(model_path, *loaded, start);

    // Copied before the cache changes, so that memory running out here
    // leaves the old model with its own path.
    std::string path(model_path);
    model_.reset();  // the old model goes only once the new one is in memory
    model_.emplace(std::move(loaded).value());
    path_ = std::move(path);
    // A load and the model it replaces free many large blocks: handed back,
    // a server's memory stays flat over any number of switches.
    release_free_heap_memory();
    return Done{};
}

Result<PlacedModel, EngineError> ModelCache::load_in_place_of_cached(std::string_view path, const PlacementPlan& plan) {
    if (!model_) return load_planned_model(backend_, path, plan, /*step_down=*/true);
    const Placement cached_placement = model_->placement;
    model_.reset();
    auto loaded = load_planned_model(backend_, path, plan, /*step_down=*/true);
    if (!loaded) {
        // A load like any other, and so written like one: a host that reads
        // the diagnostics knows what is in memory.
        const std::uint64_t start = monotonic_nanoseconds();
        write_loading_line(path_);
        if (auto again = load_placed_at(backend_, path_, cached_placement)) {
            write_loaded_lines(path_, *again, start);
            model_.emplace(std::move(again).value());
        } else {
            path_.clear();
        }
    }
    return loaded;
}

Result<std::string, std::string> ModelCache::generate(const GenerationInput& input) {
    if (!model_) return Failure{std::string("De-Brindle helper model is not loaded.")};
    for (;;) {
        auto text = generate_text(backend_, model_->model, input, model_->kept);
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

void ModelCache::write_loading_line(std::string_view path) const {
    if (!diagnostics_enabled()) return;
    const std::uint32_t layers = requested_placement.gpu_layers;
    write_diagnostic_line(lines_ == LoadLines::server ? server_loading_line(path, layers)
                                                      : one_shot_loading_line(path, layers));
}

void ModelCache::write_loaded_lines(std::string_view path, const PlacedModel& placed, std::uint64_t start) const {
    write_placement_line(path, placed);
    if (lines_ == LoadLines::server && diagnostics_enabled()) {
        write_diagnostic_line(server_loaded_line(path, elapsed_milliseconds(start, monotonic_nanoseconds())));
    }
}

void ModelCache::write_placement_line(std::string_view path, const PlacedModel& placed) const {
    if (!diagnostics_enabled()) return;
    const auto devices = gpu_devices();
    if (devices.empty()) return;
    const std::string names = placed.placement.cpu_only ? std::string() : gpu_device_names(devices);
    write_diagnostic_line(placement_line(path, placed.gpu_layers, names, placed.device_bytes, placed.available_bytes));
}

}  // namespace debrindle
