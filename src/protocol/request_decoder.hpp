#pragma once
// Turns the JSON text of one host request into a LlamaHelperRequest.
//
// A request is an object with the members action (optional), modelPath,
// systemPrompt, userPrompt, temperature and maxTokens, or an array holding
// the same six values in that order. Unknown object members are skipped
// whatever their depth. The first fault ends decoding with a DecodeError
// whose message and position are exact, because hosts see its text.

#include <string_view>

#include "common/result.hpp"
#include "protocol/request.hpp"

namespace debrindle {

// One-shot mode: all of standard input, unchanged. Every string that is kept
// or compared must be valid UTF-8, else "invalid unicode code point".
Result<LlamaHelperRequest, DecodeError> decode_request_bytes(std::string_view bytes);

// Server mode: one trimmed line, already valid UTF-8. On valid UTF-8 input it
// gives exactly what decode_request_bytes gives.
Result<LlamaHelperRequest, DecodeError> decode_request_text(std::string_view text);

}  // namespace debrindle
