#include "app/engine_start.hpp"

#include "diag/diagnostics.hpp"

namespace debrindle {

Result<EngineBackend, std::string> start_engine() {
    const bool diagnostics = diagnostics_enabled();
    if (!diagnostics) silence_engine_standard_error();
    auto backend = backend_start();
    if (!backend) return Failure{backend.error().text()};
    if (diagnostics) {
        for (const auto& problem : backend->cpu_module_problems()) write_diagnostic_line(no_cpu_module_line(problem));
    } else {
        silence_engine_log();
    }
    return std::move(backend).value();
}

}  // namespace debrindle
