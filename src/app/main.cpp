// Entry point: pick the run mode from the command line and run it.

#include <new>

#include "app/one_shot.hpp"
#include "app/out_of_memory.hpp"
#include "app/run_mode.hpp"
#include "app/server_loop.hpp"
#include "common/abnormal_stop.hpp"
#include "common/platform.hpp"

int main(int argc, char** argv) {
    using namespace debrindle;
    prepare_process(argc, argv);
    stop_on_uncaught_exception();
    stop_on_faults("the model file changed while in use: reading a mapped page of it failed");
    // Memory that runs out for a request is that request's error; anywhere
    // else the helper cannot go on.
    try {
        const auto mode = select_run_mode(command_line_word_count(), command_line_word);
        if (!mode) abnormal_stop("a command-line word is not valid UTF-8 text");
        return *mode == RunMode::server ? run_server() : run_one_shot();
    } catch (const std::bad_alloc&) {
        abnormal_stop(helper_out_of_memory);
    }
}
