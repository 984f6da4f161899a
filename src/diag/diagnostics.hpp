#pragma once
// The diagnostics switch, the silencing of llama.cpp's log, and the helper's
// own load lines on standard error.

#include <cstdint>
#include <string>
#include <string_view>

namespace debrindle {

inline constexpr const char* diagnostics_variable = "BRINDLE_DEBRINDLE_LLAMA_LOGS";

// Whether a value of the variable turns diagnostics on: after trimming white
// space it must be one of 1, on, ON, yes, YES, true, TRUE.
bool is_diagnostics_on_value(std::string_view value);

// Reads the variable afresh on every call; unset or not UTF-8 means off.
bool diagnostics_enabled();

// Installs a log callback that drops everything llama.cpp and ggml log.
void silence_engine_log();

// Sends what the engine writes to standard error by other roads than its log
// (C++ streams, GPU drivers, module discovery) to the null device, before the
// engine starts; the helper's own texts still reach standard error.
void silence_engine_standard_error();

// Before a load that asks for `gpu_layers` on the GPU.
std::string one_shot_loading_line(std::string_view path, std::uint32_t gpu_layers);
std::string server_loading_line(std::string_view path, std::uint32_t gpu_layers);
std::string server_loaded_line(std::string_view path, std::uint64_t elapsed_ms);
// Where a model went with a GPU present: `gpu_layers` on `devices`, or the
// CPU alone when `devices` is empty, with the device memory it takes by
// estimate and the memory it was planned for.
std::string placement_line(std::string_view path, std::uint32_t gpu_layers, std::string_view devices,
                           std::uint64_t estimate_bytes, std::uint64_t available_bytes);
// One reason why no CPU module loaded.
std::string no_cpu_module_line(std::string_view problem);

// Writes a diagnostic line to standard error; a failed write ends the process
// with an abnormal stop.
void write_diagnostic_line(std::string_view line);

// Whole milliseconds from `start_ns` to `now_ns`, 0 if the clock went back.
std::uint64_t elapsed_milliseconds(std::uint64_t start_ns, std::uint64_t now_ns);

}  // namespace debrindle
