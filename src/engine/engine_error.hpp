#pragma once
// The engine's failures, each with one fixed text that reaches the host
// unchanged.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace debrindle {

enum class EngineErrorKind {
    BackendAlreadyInitialized,
    ModelPathNul,
    ModelLoadNull,
    ModelFileTruncated,
    ContextCreateNull,
    TextNul,
    TemplateApplyFailed,
    TemplateOutputNotUtf8,
    TextTooLong,
    BatchFull,
    DecodeNoKvCacheSlot,
    DecodeNoTokens,
    DecodeFailed,
    UnknownTokenType,
    PieceBufferTooSmall,
    ChatTemplateMissing,
    EngineException,
};

struct EngineError {
    EngineErrorKind kind;
    // The number the text needs: a byte position (ModelPathNul, TextNul), a
    // status code (TemplateApplyFailed, DecodeFailed, PieceBufferTooSmall), a
    // capacity (BatchFull), or the start of the bad bytes
    // (TemplateOutputNotUtf8).
    std::int64_t value = 0;
    // TemplateOutputNotUtf8 only: the length of the broken sequence, or 0
    // when the bytes end inside a sequence that is valid so far.
    std::int64_t length = 0;
    // EngineException only: what the exception said.
    std::string what{};

    std::string text() const;

    bool operator==(const EngineError&) const = default;
};

// The TemplateOutputNotUtf8 error for bytes that are not valid UTF-8, or
// nothing when they are.
std::optional<EngineError> utf8_error(std::string_view bytes);

// The error for an exception that a llama.cpp call threw. One that is no
// std::exception of ours (on Windows llama.cpp's run time is not the
// helper's) is told by that alone.
EngineError engine_exception_error(const std::exception& exception);
EngineError engine_exception_error();

// Maps a non-zero result of llama_decode to its error.
EngineError decode_status_error(std::int32_t status);

}  // namespace debrindle
