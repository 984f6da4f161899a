#include "common/abnormal_stop.hpp"

#include <string>

#include "common/platform.hpp"

namespace debrindle {

void abnormal_stop(std::string_view message) {
    std::string line(message);
    line.push_back('\n');
    (void)write_standard_error(line);
    terminate_process(101);
}

}  // namespace debrindle
