#pragma once
// From the two prompts of a request to the tokens generation starts with:
// the model's chat template (or llama.cpp's built-in "llama3" format),
// a system and a user message, the engine's rendering, and tokenization.

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include <llama.h>

#include "common/result.hpp"
#include "engine/engine_error.hpp"
#include "engine/model/model.hpp"

namespace debrindle {

// The model's own template text, or "llama3" when it carries none.
std::string select_chat_template(const LoadedModel& model);

struct ChatMessage {
    std::string role;
    std::string content;
};
using ChatMessages = std::array<ChatMessage, 2>;

// The system and the user message; a prompt holding a NUL byte is refused
// with the position of its first NUL.
Result<ChatMessages, EngineError> build_chat_messages(std::string_view system_prompt, std::string_view user_prompt);

// Renders the two messages with the template, ending with the opening of the
// assistant's turn. The result must be UTF-8.
Result<std::string, EngineError> render_chat_prompt(const std::string& chat_template, const ChatMessages& messages);

// Tokenizes exactly what the text spells (no automatic BOS), turning the text
// of special tokens into those tokens.
Result<std::vector<llama_token>, EngineError> tokenize_prompt(const LoadedModel& model, std::string_view text);

Result<std::vector<llama_token>, EngineError> build_prompt_tokens(const LoadedModel& model,
                                                                  std::string_view system_prompt,
                                                                  std::string_view user_prompt);

}  // namespace debrindle
