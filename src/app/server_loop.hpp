#pragma once

namespace debrindle {

// One JSON request per line of standard input, one JSON response per line
// of standard output, with the last loaded model kept. Returns the exit
// status.
int run_server();

}  // namespace debrindle
