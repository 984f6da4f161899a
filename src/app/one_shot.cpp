#include "app/one_shot.hpp"

#include <new>
#include <string>

#include "app/fatal_exit.hpp"
#include "app/generation_input.hpp"
#include "app/model_cache.hpp"
#include "app/out_of_memory.hpp"
#include "common/platform.hpp"
#include "diag/diagnostics.hpp"
#include "engine/backend.hpp"
#include "protocol/request_decoder.hpp"

namespace debrindle {
namespace {

Result<std::string, IoError> read_all_standard_input() {
    std::string input;
    char chunk[65536];
    for (;;) {
        auto got = read_standard_input(chunk, sizeof chunk);
        if (!got) return Failure{std::move(got).error()};
        if (*got == 0) return input;
        input.append(chunk, *got);
    }
}

// Starts the engine, loads the model and generates. Every engine handle is
// released (the model, then the backend) before this returns, so the caller
// reports the outcome with nothing left running.
Result<std::string, std::string> generate_once(const LlamaHelperRequest& request) {
    if (!diagnostics_enabled()) silence_engine_standard_error();
    auto backend = backend_start();
    if (!backend) return Failure{backend.error().text()};
    if (!diagnostics_enabled()) silence_engine_log();

    ModelCache cache(std::move(backend).value(), LoadLines::one_shot);
    auto loaded = cache.ensure_loaded(request.modelPath);
    if (!loaded) return Failure{std::move(loaded).error()};
    return cache.generate(generation_input(request));
}

int answer_request() {
    auto input = read_all_standard_input();
    if (!input) return fatal_exit(input.error().description);

    auto request = decode_request_bytes(*input);
    if (!request) return fatal_exit(request.error().text());

    auto text = generate_once(*request);
    if (!text) return fatal_exit(text.error());

    auto written = write_standard_output(*text);
    if (!written) return fatal_exit(written.error().description);
    return exit_success;
}

}  // namespace

int run_one_shot() {
    // The engine, if it started, is released on the way out.
    try {
        return answer_request();
    } catch (const std::bad_alloc&) {
        return fatal_exit(request_out_of_memory);
    }
}

}  // namespace debrindle
