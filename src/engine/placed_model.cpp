#include "engine/placed_model.hpp"

#include "engine/gpu_devices.hpp"

namespace debrindle {
namespace {

Result<PlacedModel, EngineError> load_at(const EngineBackend& backend, std::string_view path, Placement placement,
                                         bool gpu_present) {
    auto model = model_load(backend, path, set_placement(model_params_default(), placement));
    if (!model) return Failure{model.error()};
    return PlacedModel{std::move(model).value(), placement, gpu_present && !placement.cpu_only};
}

// The first placement below `failed` that loads.
std::optional<PlacedModel> first_below(const EngineBackend& backend, std::string_view path, Placement failed) {
    const auto devices = gpu_devices();
    if (devices.empty()) return std::nullopt;
    const std::uint64_t free = gpu_free_memory(devices);
    const auto footprint = read_model_footprint(std::string(path).c_str());
    if (!footprint) return std::nullopt;
    for (const Placement placement : placements_below(failed, *footprint, free)) {
        if (auto placed = load_at(backend, path, placement, true)) return std::move(placed).value();
    }
    return std::nullopt;
}

}  // namespace

Result<PlacedModel, EngineError> load_placed_model(const EngineBackend& backend, std::string_view path) {
    const bool gpu_present = !gpu_devices().empty();
    auto placed = load_at(backend, path, requested_placement, gpu_present);
    if (placed || !gpu_present || placed.error().kind != EngineErrorKind::ModelLoadNull) return placed;
    if (auto below = first_below(backend, path, requested_placement)) return std::move(*below);
    return placed;
}

Result<PlacedModel, EngineError> load_placed_below(const EngineBackend& backend, std::string_view path,
                                                   Placement failed) {
    if (auto below = first_below(backend, path, failed)) return std::move(*below);
    return Failure{EngineError{EngineErrorKind::ModelLoadNull}};
}

}  // namespace debrindle
