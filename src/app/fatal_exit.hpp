#pragma once

#include <string_view>

namespace debrindle {

inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;

// Writes `message` and a line feed to standard error and gives the exit
// status of a failed run, for the caller to return from main once its
// resources are released.
int fatal_exit(std::string_view message);

}  // namespace debrindle
