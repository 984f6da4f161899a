#pragma once
// The request a host sends, in both run modes.

#include <cstdint>
#include <string>

namespace debrindle {

enum class RequestAction : std::uint8_t { generate = 0, warmup = 1 };

struct LlamaHelperRequest {
    RequestAction action = RequestAction::generate;
    std::string modelPath;
    std::string systemPrompt;
    std::string userPrompt;
    float temperature = 0.0F;
    std::int32_t maxTokens = 0;

    bool operator==(const LlamaHelperRequest&) const = default;
};

// A failed decode: the message and the position it refers to. Lines count
// from 1, columns count bytes from 0.
struct DecodeError {
    std::string message;
    std::uint64_t line = 1;
    std::uint64_t column = 0;

    // "{message} at line {line} column {column}", the text a host sees.
    std::string text() const;

    bool operator==(const DecodeError&) const = default;
};

}  // namespace debrindle
