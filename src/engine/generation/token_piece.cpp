#include "engine/generation/token_piece.hpp"

#include <cstdint>
#include <limits>

#include "common/abnormal_stop.hpp"

namespace debrindle {
namespace {

std::int32_t token_to_piece(const LoadedModel& model, llama_token token, std::string& buffer) {
    if (buffer.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        abnormal_stop("length fits into c_int");
    }
    const std::int32_t result = llama_token_to_piece(model.vocab(), token, buffer.data(),
                                                     static_cast<std::int32_t>(buffer.size()), /*lstrip=*/0,
                                                     /*special=*/false);
    if (result == std::numeric_limits<std::int32_t>::min()) abnormal_stop("Error buffer size is positive");
    return result;
}

}  // namespace

Result<std::string, EngineError> token_piece_bytes(const LoadedModel& model, llama_token token) {
    // Most pieces fit in 8 bytes; a longer one is asked for again with
    // exactly the size the engine reported.
    std::string buffer(8, '\0');
    std::int32_t length = token_to_piece(model, token, buffer);
    if (length < 0) {
        buffer.assign(static_cast<std::size_t>(-static_cast<std::int64_t>(length)), '\0');
        length = token_to_piece(model, token, buffer);
    }
    if (length == 0) return Failure{EngineError{EngineErrorKind::UnknownTokenType}};
    if (length < 0) return Failure{EngineError{EngineErrorKind::PieceBufferTooSmall, length}};
    buffer.resize(static_cast<std::size_t>(length));
    return buffer;
}

}  // namespace debrindle
