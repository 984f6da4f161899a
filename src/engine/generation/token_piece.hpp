#pragma once

#include <string>

#include <llama.h>

#include "common/result.hpp"
#include "engine/engine_error.hpp"
#include "engine/model/model.hpp"

namespace debrindle {

// The bytes of one token's text, special tokens not rendered, no leading
// space stripped. A token that renders as nothing is an error.
Result<std::string, EngineError> token_piece_bytes(const LoadedModel& model, llama_token token);

}  // namespace debrindle
