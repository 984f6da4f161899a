#pragma once

#include <string_view>

namespace debrindle {

// Ends the process with status 101 after writing `message` and a line feed
// to standard error. Reserved for broken internal limits that no ordinary
// request can reach; no response is written for the request in progress.
[[noreturn]] void abnormal_stop(std::string_view message);

// Makes an exception that nothing caught an abnormal stop with its text.
// llama.cpp's own terminate handler would run gdb and print a backtrace on
// standard output, in the middle of the host's answers. Installed at start
// and again after the engine's modules have loaded.
void stop_on_uncaught_exception();

}  // namespace debrindle
