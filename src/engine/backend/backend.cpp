#include "engine/backend/backend.hpp"

#include <atomic>
#include <string>

#include <ggml-backend.h>
#include <ggml.h>
#include <llama.h>

#include "common/abnormal_stop.hpp"
#include "common/platform.hpp"
#include "engine/backend/engine_modules.hpp"
#include "engine/generation/generation_plan.hpp"

namespace debrindle {
namespace {

std::atomic<bool> backend_flag{false};

// llama.cpp's own assertions end the process. By default ggml would then run
// gdb, whose backtrace lands on standard output, in the middle of the host's
// answers; instead the failure is an abnormal stop with the engine's message
// on standard error.
void stop_on_engine_abort(const char* message) {
    abnormal_stop(std::string("llama.cpp stopped the helper: ") + message);
}

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
    ggml_set_abort_callback(stop_on_engine_abort);
    std::vector<std::string> cpu_module_problems = load_engine_modules();
    stop_on_uncaught_exception();
    // With no backend registered, llama_backend_init would look for modules
    // itself, in the program's folder and in the current directory, where
    // anyone who can write there could plant one. Without a backend a model
    // load fails anyway.
    if (ggml_backend_reg_count() > 0) llama_backend_init();
    return EngineBackend(std::move(cpu_module_problems), thread_pool_create(thread_count(logical_processor_count())));
}

EngineBackend::EngineBackend(EngineBackend&& other) noexcept
    : owns_(other.owns_),
      cpu_module_problems_(std::move(other.cpu_module_problems_)),
      thread_pool_(std::move(other.thread_pool_)) {
    other.owns_ = false;
}

EngineBackend::~EngineBackend() {
    if (!owns_) return;
    // The pool outlives every context, all of which are gone by now.
    thread_pool_.reset();
    backend_release();
}

}  // namespace debrindle
