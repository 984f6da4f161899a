#pragma once
// The started engine. At most one exists at a time; a process-wide flag,
// changed only by compare-and-swap, guards llama_backend_init and
// llama_backend_free so that neither runs twice.

#include "common/result.hpp"
#include "engine/engine_error.hpp"

namespace debrindle {

class EngineBackend {
public:
    EngineBackend(EngineBackend&& other) noexcept;
    EngineBackend& operator=(EngineBackend&&) = delete;
    EngineBackend(const EngineBackend&) = delete;
    EngineBackend& operator=(const EngineBackend&) = delete;
    // Releases the backend (llama_backend_free) unless moved from.
    ~EngineBackend();

private:
    friend Result<EngineBackend, EngineError> backend_start();
    EngineBackend() = default;
    bool owns_ = true;
};

// Starts llama.cpp's backend, or fails with BackendAlreadyInitialized while
// another EngineBackend lives.
Result<EngineBackend, EngineError> backend_start();

}  // namespace debrindle
