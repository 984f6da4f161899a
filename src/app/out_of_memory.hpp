#pragma once
// What the helper says when memory runs out in its own code: std::bad_alloc,
// also where the system limits what the process may use (ulimit, cgroups,
// job objects).

#include <string_view>

namespace debrindle {

// A request line, or what a request needs, that cannot be allocated: the
// request's error (server mode: the answer; one-shot: the fatal exit).
inline constexpr std::string_view request_out_of_memory =
    "out of memory: the request does not fit in the memory the helper may use";

// Memory that runs out where no request is in hand: the abnormal stop's line.
inline constexpr std::string_view helper_out_of_memory = "out of memory: the helper cannot go on";

}  // namespace debrindle
