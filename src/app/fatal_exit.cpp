#include "app/fatal_exit.hpp"

#include <string>

#include "common/platform.hpp"

namespace debrindle {

int fatal_exit(std::string_view message) {
    std::string line(message);
    line.push_back('\n');
    // Nothing more can be reported if standard error itself fails; the
    // status still says the run failed.
    (void)write_standard_error(line);
    return exit_failure;
}

}  // namespace debrindle
