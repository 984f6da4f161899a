#include "app/server_loop.hpp"

#include "app/fatal_exit.hpp"

namespace debrindle {

int run_server() { return fatal_exit("server mode is not available in this build yet"); }

}  // namespace debrindle
