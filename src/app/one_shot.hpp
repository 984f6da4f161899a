#pragma once

namespace debrindle {

// One request from the whole of standard input; the bare generated text on
// standard output. Returns the exit status.
int run_one_shot();

}  // namespace debrindle
