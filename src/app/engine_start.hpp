#pragma once
// Starting the engine, the same way in both run modes.

#include <string>

#include "common/result.hpp"
#include "engine/backend/backend.hpp"

namespace debrindle {

// Starts the backend, which loads the engine's modules. Unless diagnostics
// are on, what the engine writes to standard error goes to the null device
// from before the start, and its log is silenced after it; with them on,
// why no CPU module loaded (when none did) is written instead.
Result<EngineBackend, std::string> start_engine();

}  // namespace debrindle
