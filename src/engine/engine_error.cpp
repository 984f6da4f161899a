#include "engine/engine_error.hpp"

#include "common/utf8.hpp"

namespace debrindle {

std::string EngineError::text() const {
    const std::string number = std::to_string(value);
    switch (kind) {
        case EngineErrorKind::BackendAlreadyInitialized: return "BackendAlreadyInitialized";
        case EngineErrorKind::ModelPathNul:
            return "null byte in string nul byte found in provided data at position: " + number;
        case EngineErrorKind::ModelLoadNull: return "null result from llama cpp";
        case EngineErrorKind::ModelFileTruncated: return "model file was truncated while in use";
        case EngineErrorKind::ContextCreateNull: return "null reference from llama.cpp";
        case EngineErrorKind::TextNul: return "nul byte found in provided data at position: " + number;
        case EngineErrorKind::TemplateApplyFailed: return "ffi error " + number;
        case EngineErrorKind::TemplateOutputNotUtf8:
            if (length == 0) return "incomplete utf-8 byte sequence from index " + number;
            return "invalid utf-8 sequence of " + std::to_string(length) + " bytes from index " + number;
        case EngineErrorKind::TextTooLong: return "out of range integral type conversion attempted";
        case EngineErrorKind::BatchFull: return "Insufficient Space of " + number;
        case EngineErrorKind::DecodeNoKvCacheSlot: return "Decode Error 1: NoKvCacheSlot";
        case EngineErrorKind::DecodeNoTokens: return "Decode Error -1: n_tokens == 0";
        case EngineErrorKind::DecodeFailed: return "Decode Error " + number + ": unknown";
        case EngineErrorKind::UnknownTokenType: return "Unknown Token Type";
        case EngineErrorKind::PieceBufferTooSmall: return "Insufficient Buffer Space " + number;
        case EngineErrorKind::ChatTemplateMissing: return "ChatTemplateMissing";
        case EngineErrorKind::EngineException: return "llama.cpp failed: " + what;
    }
    return "unknown engine error";
}

std::optional<EngineError> utf8_error(std::string_view bytes) {
    const Utf8Check check = check_utf8(bytes);
    if (check.valid) return std::nullopt;
    return EngineError{EngineErrorKind::TemplateOutputNotUtf8, static_cast<std::int64_t>(check.valid_up_to),
                       static_cast<std::int64_t>(check.error_length)};
}

EngineError engine_exception_error(const std::exception& exception) {
    return EngineError{EngineErrorKind::EngineException, 0, 0, exception.what()};
}

EngineError engine_exception_error() {
    return EngineError{EngineErrorKind::EngineException, 0, 0, "an exception of another run time"};
}

EngineError decode_status_error(std::int32_t status) {
    if (status == 1) return {EngineErrorKind::DecodeNoKvCacheSlot, status};
    if (status == -1) return {EngineErrorKind::DecodeNoTokens, status};
    return {EngineErrorKind::DecodeFailed, status};
}

}  // namespace debrindle
