#pragma once
// Loading a model where it fits: every layer on the GPU as asked, and, when
// the GPU is too small for that, fewer layers or the CPU alone.

#include <string>
#include <string_view>

#include "common/result.hpp"
#include "engine/backend.hpp"
#include "engine/engine_error.hpp"
#include "engine/model.hpp"
#include "engine/placement.hpp"

namespace debrindle {

struct PlacedModel {
    LoadedModel model;
    Placement placement;
    // A GPU device takes part: a failed context or decode may be device
    // memory that ran out, and a placement below this one may answer.
    bool on_gpu = false;
};

// Loads the model at `path` with every layer on the GPU. When that fails
// while a GPU takes part, the placements below it are tried in turn (at most
// three more loads; a failed one allocates but reads no weights). The error
// is the first attempt's.
Result<PlacedModel, EngineError> load_placed_model(const EngineBackend& backend, std::string_view path);

// Loads the model again, placed below `failed`, after a context or a decode
// failed on it. The caller has released the model placed at `failed`.
Result<PlacedModel, EngineError> load_placed_below(const EngineBackend& backend, std::string_view path,
                                                   Placement failed);

}  // namespace debrindle
