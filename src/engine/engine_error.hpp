#pragma once
// The engine's failures, each with one fixed text that reaches the host
// unchanged.

#include <cstdint>
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

    std::string text() const;

    bool operator==(const EngineError&) const = default;
};

// The TemplateOutputNotUtf8 error for bytes that are not valid UTF-8, or
// nothing when they are.
std::optional<EngineError> utf8_error(std::string_view bytes);

// Maps a non-zero result of llama_decode to its error.
EngineError decode_status_error(std::int32_t status);

}  // namespace debrindle
