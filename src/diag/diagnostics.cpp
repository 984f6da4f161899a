#include "diag/diagnostics.hpp"

#include <array>

#include <llama.h>

#include "common/abnormal_stop.hpp"
#include "common/platform.hpp"
#include "common/utf8.hpp"
#include "common/white_space.hpp"

namespace debrindle {

bool is_diagnostics_on_value(std::string_view value) {
    static constexpr std::array<std::string_view, 7> on_words = {"1", "on", "ON", "yes", "YES", "true", "TRUE"};
    const std::string_view trimmed = trim_white_space(value);
    for (const std::string_view word : on_words) {
        if (trimmed == word) return true;
    }
    return false;
}

bool diagnostics_enabled() {
    const auto value = environment_variable(diagnostics_variable);
    return value && is_valid_utf8(*value) && is_diagnostics_on_value(*value);
}

void silence_engine_log() {
    llama_log_set([](ggml_log_level, const char*, void*) {}, nullptr);
}

void silence_engine_standard_error() { redirect_standard_error_to_null(); }

std::string one_shot_loading_line(std::string_view path, std::uint32_t gpu_layers) {
    return "loading one-shot model path=" + std::string(path) + " n_gpu_layers=" + std::to_string(gpu_layers) + "\n";
}

std::string server_loading_line(std::string_view path, std::uint32_t gpu_layers) {
    return "loading model path=" + std::string(path) + " n_gpu_layers=" + std::to_string(gpu_layers) + "\n";
}

std::string server_loaded_line(std::string_view path, std::uint64_t elapsed_ms) {
    return "loaded model path=" + std::string(path) + " elapsed_ms=" + std::to_string(elapsed_ms) + "\n";
}

std::string placement_line(std::string_view path, std::uint32_t gpu_layers, std::string_view devices,
                           std::uint64_t estimate_bytes, std::uint64_t available_bytes) {
    const std::string where = devices.empty() ? "CPU only" : "on " + std::string(devices);
    constexpr std::uint64_t kib = 1024;
    return "placed model path=" + std::string(path) + " n_gpu_layers=" + std::to_string(gpu_layers) + " " + where +
           " estimate_kib=" + std::to_string(estimate_bytes / kib) +
           " available_kib=" + std::to_string(available_bytes / kib) + "\n";
}

std::string no_cpu_module_line(std::string_view problem) {
    return "no CPU module loaded: " + std::string(problem) + "\n";
}

void write_diagnostic_line(std::string_view line) {
    const auto written = write_standard_error(line);
    if (!written) abnormal_stop("failed printing to stderr: " + written.error().description);
}

std::uint64_t elapsed_milliseconds(std::uint64_t start_ns, std::uint64_t now_ns) {
    if (now_ns < start_ns) return 0;
    return (now_ns - start_ns) / 1'000'000ULL;
}

}  // namespace debrindle
