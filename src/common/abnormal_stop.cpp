#include "common/abnormal_stop.hpp"

#include "common/platform.hpp"

namespace debrindle {

void abnormal_stop(std::string_view message) {
    // Two writes rather than a copy with the line feed: the stop may come
    // because memory ran out.
    (void)write_standard_error(message);
    (void)write_standard_error("\n");
    terminate_process(101);
}

}  // namespace debrindle
