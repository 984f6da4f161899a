#include "common/abnormal_stop.hpp"

#include <exception>
#include <string>

#include "common/platform.hpp"

namespace debrindle {

void abnormal_stop(std::string_view message) {
    // Two writes rather than a copy with the line feed: the stop may come
    // because memory ran out.
    (void)write_standard_error(message);
    (void)write_standard_error("\n");
    terminate_process(101);
}

namespace {

[[noreturn]] void stop_after_uncaught_exception() {
    std::string what = "unknown exception";
    try {
        if (const auto current = std::current_exception()) std::rethrow_exception(current);
    } catch (const std::exception& exception) {
        what = exception.what();
    } catch (...) {
    }
    abnormal_stop("an exception nothing caught ended the helper: " + what);
}

}  // namespace

void stop_on_uncaught_exception() { std::set_terminate(stop_after_uncaught_exception); }

}  // namespace debrindle
