#include "engine/placement/placed_model.hpp"

#include <algorithm>
#include <string>

#include "engine/model/model_file_reader.hpp"
#include "engine/model/model_traits.hpp"
#include "engine/placement/gpu_devices.hpp"

namespace debrindle {
namespace {

Result<PlacedModel, EngineError> load_at(const EngineBackend& backend, std::string_view path, Placement placement,
                                         const PlacementPlan& plan, std::uint64_t available_bytes) {
    auto model = model_load(backend, path, set_placement(model_params_default(), placement));
    if (!model) return Failure{model.error()};
    PlacedModel placed{.model = std::move(model).value(), .placement = placement};
    placed.on_gpu = plan.gpu_present && !placement.cpu_only;
    placed.gpu_layers = placement.cpu_only ? 0 : placement.gpu_layers;
    if (const ModelFootprint* footprint = plan.footprint(); footprint && placed.on_gpu) {
        placed.device_bytes = device_bytes(*footprint, placement);
        // llama.cpp places at most every repeating layer and the output layer.
        placed.gpu_layers = std::min(placed.gpu_layers, static_cast<std::uint32_t>(footprint->layer_bytes.size() + 1));
    }
    placed.available_bytes = available_bytes;
    placed.kept.traits = model_traits(placed.model, placed.on_gpu ? placed.gpu_layers : 0);
    return placed;
}

// The first placement below `failed` that loads.
std::optional<PlacedModel> first_below(const EngineBackend& backend, std::string_view path, Placement failed,
                                       const PlacementPlan& plan) {
    if (!plan.footprint()) return std::nullopt;
    for (const Placement placement : placements_below(failed, *plan.footprint(), plan.available_alone_bytes)) {
        if (auto placed = load_at(backend, path, placement, plan, plan.available_alone_bytes)) {
            return std::move(placed).value();
        }
    }
    return std::nullopt;
}

}  // namespace

PlacementPlan plan_model_placement(std::string_view path, std::uint64_t held_bytes) {
    PlacementPlan plan;
    const auto devices = gpu_devices();
    if (devices.empty()) return plan;
    plan.gpu_present = true;
    // Only a file the load itself would read: a path without a NUL that names
    // a regular file with content (a FIFO's open would wait for a writer).
    const OpenablePath openable = openable_path(std::string(path));
    if (path.find('\0') != std::string_view::npos || !hold_model_file(openable.c_str())) return plan;
    plan.header = read_model_file_header(openable.c_str());
    plan.acceptable = !plan.header || model_file_acceptable(*plan.header);
    if (!plan.footprint()) return plan;  // refused by the check, or by llama.cpp as well
    plan.available_bytes = gpu_memory_available(devices, held_bytes);
    plan.available_alone_bytes = plan.available_bytes + held_bytes;
    plan.placement = plan_placement(*plan.footprint(), plan.available_alone_bytes);
    plan.fits_beside = plan_placement(*plan.footprint(), plan.available_bytes) == plan.placement;
    return plan;
}

Result<PlacedModel, EngineError> load_planned_model(const EngineBackend& backend, std::string_view path,
                                                    const PlacementPlan& plan, bool step_down) {
    const std::uint64_t available = step_down ? plan.available_alone_bytes : plan.available_bytes;
    auto placed = load_at(backend, path, plan.placement, plan, available);
    if (placed || !step_down || placed.error().kind != EngineErrorKind::ModelLoadNull) return placed;
    if (auto below = first_below(backend, path, plan.placement, plan)) return std::move(*below);
    return placed;
}

Result<PlacedModel, EngineError> load_placed_at(const EngineBackend& backend, std::string_view path,
                                                Placement placement) {
    const PlacementPlan plan = plan_model_placement(path, 0);
    return load_at(backend, path, placement, plan, plan.available_bytes);
}

Result<PlacedModel, EngineError> load_placed_below(const EngineBackend& backend, std::string_view path,
                                                   Placement failed) {
    if (auto below = first_below(backend, path, failed, plan_model_placement(path, 0))) return std::move(*below);
    return Failure{EngineError{EngineErrorKind::ModelLoadNull}};
}

}  // namespace debrindle
