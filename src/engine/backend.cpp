#include "engine/backend.hpp"

#include <atomic>

#include <llama.h>

#include "common/abnormal_stop.hpp"

namespace debrindle {
namespace {

std::atomic<bool> backend_flag{false};

void backend_release() {
    bool expected = true;
    if (!backend_flag.compare_exchange_strong(expected, false)) {
        abnormal_stop(
            "internal error: entered unreachable code: This should not be reachable as the only ways to obtain a "
            "llama backend involve marking the backend as initialized.");
    }
    llama_backend_free();
}

}  // namespace

Result<EngineBackend, EngineError> backend_start() {
    bool expected = false;
    if (!backend_flag.compare_exchange_strong(expected, true)) {
        return Failure{EngineError{EngineErrorKind::BackendAlreadyInitialized}};
    }
    llama_backend_init();
    return EngineBackend();
}

EngineBackend::EngineBackend(EngineBackend&& other) noexcept : owns_(other.owns_) { other.owns_ = false; }

EngineBackend::~EngineBackend() {
    if (owns_) backend_release();
}

}  // namespace debrindle
