#include "app/server_loop.hpp"

#include <new>

#include "app/fatal_exit.hpp"
#include "app/generation_input.hpp"
#include "app/model_cache.hpp"
#include "app/out_of_memory.hpp"
#include "common/buffered_writer.hpp"
#include "common/line_reader.hpp"
#include "common/utf8.hpp"
#include "common/white_space.hpp"
#include "diag/diagnostics.hpp"
#include "protocol/request_decoder.hpp"
#include "protocol/response_writer.hpp"

namespace debrindle {
namespace {

HelperResponse failure(std::string error) { return HelperResponse{false, std::nullopt, std::move(error)}; }

HelperResponse answer(ModelCache& cache, std::string_view line) {
    auto request = decode_request_text(trim_white_space(line));
    if (!request) return failure(request.error().text());

    auto loaded = cache.ensure_loaded(request->modelPath);
    if (!loaded) return failure(std::move(loaded).error());
    if (request->action == RequestAction::warmup) return HelperResponse{true, std::string(), std::nullopt};

    auto text = cache.generate(generation_input(*request));
    if (!text) return failure(std::move(text).error());
    return HelperResponse{true, std::move(text).value(), std::nullopt};
}

HelperResponse out_of_memory() { return failure(std::string(request_out_of_memory)); }

// A request whose storage cannot be allocated is answered with the memory
// error. The answer is built whole before any of it is written, so nothing
// of the failed one has gone out.
Result<Done, IoError> answer_line(ModelCache& cache, BufferedWriter& writer, std::string_view line) {
    try {
        return write_response_line(writer, answer(cache, line));
    } catch (const std::bad_alloc&) {
        return write_response_line(writer, out_of_memory());
    }
}

// Serves until the input ends (nothing) or a stream fails (its message).
std::optional<std::string> serve(ModelCache& cache, LineReader& reader, BufferedWriter& writer) {
    std::string line;
    for (;;) {
        auto read = reader.read_line(line);
        if (!read) return std::move(read).error().description;
        if (*read == LineRead::ended) return std::nullopt;
        // A line too large to hold is answered without being looked at.
        if (*read == LineRead::line && !is_valid_utf8(line)) return std::string("stream did not contain valid UTF-8");

        auto written =
            *read == LineRead::line ? answer_line(cache, writer, line) : write_response_line(writer, out_of_memory());
        if (!written) return std::move(written).error().description;
    }
}

}  // namespace

int run_server() {
    LineReader reader;
    BufferedWriter writer;
    if (!diagnostics_enabled()) silence_engine_standard_error();
    auto backend = backend_start();
    if (!backend) return fatal_exit(backend.error().text());
    if (!diagnostics_enabled()) silence_engine_log();

    std::optional<std::string> fatal;
    {
        ModelCache cache(std::move(backend).value(), LoadLines::server);
        fatal = serve(cache, reader, writer);
    }  // the cached model and the backend are released here
    (void)writer.flush();
    return fatal ? fatal_exit(*fatal) : exit_success;
}

}  // namespace debrindle
