#pragma once
// The started engine. At most one exists at a time; a process-wide flag,
// changed only by compare-and-swap, guards llama_backend_init and
// llama_backend_free so that neither runs twice.

#include <string>
#include <utility>
#include <vector>

#include "common/result.hpp"
#include "engine/backend/thread_pool.hpp"
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

    // Why no CPU module loaded, one text each, when none did. The modules
    // load once per process, so only its first backend can say.
    const std::vector<std::string>& cpu_module_problems() const { return cpu_module_problems_; }

    // The engine's worker threads, attached to every context; none when no
    // CPU module loaded.
    ggml_threadpool* thread_pool() const { return thread_pool_.get(); }

private:
    friend Result<EngineBackend, EngineError> backend_start();
    EngineBackend(std::vector<std::string> cpu_module_problems, EngineThreadPool thread_pool)
        : cpu_module_problems_(std::move(cpu_module_problems)), thread_pool_(std::move(thread_pool)) {}
    bool owns_ = true;
    std::vector<std::string> cpu_module_problems_;
    EngineThreadPool thread_pool_;
};

// Starts llama.cpp's backend, or fails with BackendAlreadyInitialized while
// another EngineBackend lives.
Result<EngineBackend, EngineError> backend_start();

}  // namespace debrindle
