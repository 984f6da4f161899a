#pragma once

#include <string_view>

namespace debrindle {

// Ends the process with status 101 after writing `message` and a line feed
// to standard error. Reserved for broken internal limits that no ordinary
// request can reach; no response is written for the request in progress.
[[noreturn]] void abnormal_stop(std::string_view message);

}  // namespace debrindle
