#pragma once
// Generating the reply to one request.

#include <string>

#include "common/result.hpp"
#include "engine/backend.hpp"
#include "engine/model.hpp"
#include "protocol/request.hpp"

namespace debrindle {

// The generated text (possibly empty), or the error text of the first
// failure; a failure discards whatever was generated before it.
Result<std::string, std::string> generate_text(const EngineBackend& backend, const LoadedModel& model,
                                               const LlamaHelperRequest& request);

}  // namespace debrindle
