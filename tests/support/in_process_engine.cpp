#include "support/in_process_engine.hpp"

#include "diag/diagnostics.hpp"

namespace debrindle::testing {

void InProcessEngine::SetUp() {
    silence_engine_log();
    auto started = backend_start();
    ASSERT_TRUE(started.ok()) << started.error().text();
    backend_.emplace(std::move(started).value());
}

}  // namespace debrindle::testing
