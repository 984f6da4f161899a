#include "engine/generation/prompt.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "common/abnormal_stop.hpp"

namespace debrindle {
namespace {

constexpr std::size_t int32_limit = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

Result<ChatMessage, EngineError> make_message(const char* role, std::string_view content) {
    if (const auto nul = content.find('\0'); nul != std::string_view::npos) {
        return Failure{EngineError{EngineErrorKind::TextNul, static_cast<std::int64_t>(nul)}};
    }
    return ChatMessage{role, std::string(content)};
}

std::int32_t apply_template(const std::string& chat_template, const ChatMessages& messages, std::string& buffer) {
    if (buffer.size() > int32_limit) abnormal_stop("Buffer size exceeds i32::MAX");
    const std::array<llama_chat_message, 2> chat = {{
        {messages[0].role.c_str(), messages[0].content.c_str()},
        {messages[1].role.c_str(), messages[1].content.c_str()},
    }};
    return llama_chat_apply_template(chat_template.c_str(), chat.data(), chat.size(), /*add_ass=*/true, buffer.data(),
                                     static_cast<std::int32_t>(buffer.size()));
}

}  // namespace

std::string select_chat_template(const LoadedModel& model) {
    const char* own = llama_model_chat_template(model.get(), /*name=*/nullptr);
    return own != nullptr ? std::string(own) : std::string("llama3");
}

Result<ChatMessages, EngineError> build_chat_messages(std::string_view system_prompt, std::string_view user_prompt) {
    auto system = make_message("system", system_prompt);
    if (!system) return Failure{system.error()};
    auto user = make_message("user", user_prompt);
    if (!user) return Failure{user.error()};
    return ChatMessages{std::move(system).value(), std::move(user).value()};
}

Result<std::string, EngineError> render_chat_prompt(const std::string& chat_template, const ChatMessages& messages) {
    std::size_t text_bytes = 0;
    for (const ChatMessage& message : messages) text_bytes += message.role.size() + message.content.size();

    // Twice the input is enough for most templates; a longer rendering is
    // asked for once more with exactly the size the engine reported.
    std::string buffer(2 * text_bytes, '\0');
    std::int32_t length = apply_template(chat_template, messages, buffer);
    if (length < 0) return Failure{EngineError{EngineErrorKind::TemplateApplyFailed, length}};
    if (static_cast<std::size_t>(length) > buffer.size()) {
        buffer.assign(static_cast<std::size_t>(length), '\0');
        const std::int32_t second = apply_template(chat_template, messages, buffer);
        if (second < 0) return Failure{EngineError{EngineErrorKind::TemplateApplyFailed, second}};
        if (second != length) {
            abnormal_stop("assertion failed: the second rendering is " + std::to_string(second) +
                          " bytes long, not the " + std::to_string(length) + " bytes it asked for");
        }
    }
    buffer.resize(static_cast<std::size_t>(length));
    if (auto error = utf8_error(buffer)) return Failure{*error};
    return buffer;
}

Result<std::vector<llama_token>, EngineError> tokenize_prompt(const LoadedModel& model, std::string_view text) {
    const std::size_t capacity = std::max<std::size_t>(8, text.size() / 2);
    if (capacity > int32_limit) abnormal_stop("buffer capacity should fit into a c_int");
    if (text.size() > int32_limit) return Failure{EngineError{EngineErrorKind::TextTooLong}};

    std::vector<llama_token> tokens(capacity);
    const auto tokenize = [&] {
        const std::int32_t count =
            llama_tokenize(model.vocab(), text.data(), static_cast<std::int32_t>(text.size()), tokens.data(),
                           static_cast<std::int32_t>(tokens.size()), /*add_special=*/false, /*parse_special=*/true);
        if (count == std::numeric_limits<std::int32_t>::min()) abnormal_stop("usize's are larger ");
        return count;
    };
    std::int32_t count = tokenize();
    if (count < 0) {
        tokens.resize(static_cast<std::size_t>(-static_cast<std::int64_t>(count)));
        count = tokenize();
        if (count < 0) abnormal_stop("size is positive and usize ");
    }
    tokens.resize(static_cast<std::size_t>(count));
    return tokens;
}

Result<std::vector<llama_token>, EngineError> build_prompt_tokens(const LoadedModel& model,
                                                                  std::string_view system_prompt,
                                                                  std::string_view user_prompt) {
    const std::string chat_template = select_chat_template(model);
    auto messages = build_chat_messages(system_prompt, user_prompt);
    if (!messages) return Failure{messages.error()};
    auto rendered = render_chat_prompt(chat_template, *messages);
    if (!rendered) return Failure{rendered.error()};
    return tokenize_prompt(model, *rendered);
}

}  // namespace debrindle
