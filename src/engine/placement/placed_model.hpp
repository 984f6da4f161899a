#pragma once
// Loading a model where it fits: the placement planned from the model file
// and the memory the GPU has free, and, when the GPU still turns out too
// small, fewer layers or the CPU alone.

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/result.hpp"
#include "engine/backend/backend.hpp"
#include "engine/engine_error.hpp"
#include "engine/generation/generation.hpp"
#include "engine/model/model.hpp"
#include "engine/model/model_file_check.hpp"
#include "engine/placement/placement.hpp"

namespace debrindle {

// Where a model is to go, and what the plan was made from.
struct PlacementPlan {
    Placement placement = requested_placement;
    // A GPU device takes part, and the model file's header, read by name for
    // the plan alone (the load reads the files it holds again), with what it
    // says the model needs there.
    bool gpu_present = false;
    std::optional<ModelFileHeader> header;
    // The model file check passes the header. A model it refuses has no
    // footprint: it is tried once, at no placement below, and never in the
    // place of a cached model.
    bool acceptable = true;
    // The device memory the model may take without the memory the caller
    // holds there, and with it.
    std::uint64_t available_bytes = 0;
    std::uint64_t available_alone_bytes = 0;
    // The plan needs none of the memory the caller holds on the device.
    bool fits_beside = true;

    const ModelFootprint* footprint() const {
        return acceptable && header && header->footprint ? &*header->footprint : nullptr;
    }
};

struct PlacedModel {
    LoadedModel model;
    Placement placement;
    // A GPU device takes part: a failed context or decode may be device
    // memory that ran out, and a placement below this one may answer.
    bool on_gpu = false;
    // By estimate: the device memory it holds, and the memory there was for it.
    std::uint64_t device_bytes = 0;
    std::uint64_t available_bytes = 0;
    // The layers llama.cpp puts on the GPU.
    std::uint32_t gpu_layers = 0;
    // What its last generations left for the next ones: the context and the
    // prompt cells. Declared after the model, so that it always goes first.
    KeptGeneration kept = {};
};

// Plans the model at `path` for the memory the GPU devices have, counting
// `held_bytes` (what the caller holds there and would release for it) as
// theirs. Without a GPU device every layer is asked for, as llama.cpp then
// keeps them all on the CPU.
PlacementPlan plan_model_placement(std::string_view path, std::uint64_t held_bytes);

// Loads the model at its plan for the memory without what the caller holds.
// With `step_down`, when that fails while a GPU takes part, the placements
// below it are tried in turn, planned for the memory with what the caller
// held (at most three more loads; a failed one allocates but reads no
// weights). The error is the first attempt's.
Result<PlacedModel, EngineError> load_planned_model(const EngineBackend& backend, std::string_view path,
                                                    const PlacementPlan& plan, bool step_down);

// Loads the model at exactly `placement`, as it was placed before.
Result<PlacedModel, EngineError> load_placed_at(const EngineBackend& backend, std::string_view path,
                                                Placement placement);

// Loads the model again, placed below `failed`, after a context or a decode
// failed on it. The caller has released the model placed at `failed`.
Result<PlacedModel, EngineError> load_placed_below(const EngineBackend& backend, std::string_view path,
                                                   Placement failed);

}  // namespace debrindle
