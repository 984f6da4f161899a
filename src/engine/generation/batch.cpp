#include "engine/generation/batch.hpp"

#include <cstdint>
#include <limits>
#include <new>

#include "common/abnormal_stop.hpp"
#include "common/platform.hpp"

namespace debrindle {

EngineBatch::EngineBatch(std::size_t capacity) {
    if (capacity > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        abnormal_stop("cannot fit n_tokens into a i32");
    }
    capacity_ = static_cast<std::int32_t>(capacity);
    batch_ = llama_batch_init(capacity_, /*embd=*/0, /*n_seq_max=*/1);
}

EngineBatch::~EngineBatch() { llama_batch_free(batch_); }

Result<Done, EngineError> EngineBatch::add(llama_token token, llama_pos position, bool wants_logits) {
    const std::int32_t index = batch_.n_tokens;
    if (index >= capacity_) return Failure{EngineError{EngineErrorKind::BatchFull, capacity_}};
    batch_.token[index] = token;
    batch_.pos[index] = position;
    batch_.n_seq_id[index] = 1;
    batch_.seq_id[index][0] = 0;
    batch_.logits[index] = wants_logits ? 1 : 0;
    batch_.n_tokens = index + 1;
    return Done{};
}

Result<Done, EngineError> EngineBatch::decode(const EngineContext& context) {
    // A GPU backend reports device memory that ran out during the compute by
    // throwing (ggml-vulkan's vk::SystemError).
    try {
        std::int32_t status = 0;
        auto decode_batch = [&] { status = llama_decode(context.get(), batch_); };
        if (!call_guarding_foreign_exceptions(decode_batch)) return Failure{engine_exception_error()};
        if (status != 0) return Failure{decode_status_error(status)};
    } catch (const std::bad_alloc&) {
        throw;  // memory that ran out is the request's own error, made by the caller
    } catch (const std::exception& exception) {
        return Failure{engine_exception_error(exception)};
    } catch (...) {
        return Failure{engine_exception_error()};
    }
    return Done{};
}

}  // namespace debrindle
