#pragma once
// The real helper binary driven step by step through real pipes, as a host
// drives it: write a line, read the answer, change something, go on. Every
// step that waits has a deadline; when it passes, the helper is killed and
// the session reports a hang instead of blocking the test for ever.
//
// It starts the helper built beside the tests (helper_path()), also when
// DEBRINDLE_HELPER_COMMAND names another: what the fault tests expect
// (signals, the system's error words, memory-mapped files) is this
// platform's. A session of the helper under test (helper_command(), the
// Windows build under Wine, say) is asked for by name.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace debrindle::testing {

enum class SessionHelper { built_beside_tests, under_test };

struct SessionEnd {
    int exit_status = -1;  // -1 when ended by a signal
    int signal = 0;
    std::string out;  // standard output not read before the end
    std::string err;  // all of standard error
};

class HelperSession {
public:
    // Starts the helper with `arguments` after its name and `environment`
    // changes on top of this process's (nullopt removes a variable), through
    // the words of `launcher` if any (a shell that sets limits or closes
    // descriptors and then execs it, keeping the process).
    explicit HelperSession(const std::vector<std::string>& arguments,
                           const std::map<std::string, std::optional<std::string>>& environment = {},
                           std::chrono::seconds deadline = std::chrono::seconds(120),
                           const std::vector<std::string>& launcher = {},
                           SessionHelper helper = SessionHelper::built_beside_tests);
    HelperSession(const HelperSession&) = delete;
    HelperSession& operator=(const HelperSession&) = delete;
    ~HelperSession();

    // Writes all bytes to the helper's standard input, reading its output
    // meanwhile so that neither side can block the other. Stops early if the
    // helper has closed its input.
    void send(std::string_view bytes);
    // Ends the helper's standard input.
    void close_input();
    // The next output line without its LF; nothing at the end of output or
    // when the deadline passes (then hung() is true).
    std::optional<std::string> read_line();
    // Reads at least `count` bytes of output (fewer at its end) and returns
    // them together with whatever else had already arrived.
    std::string read_at_least(std::size_t count);
    // Closes the reading end of the helper's standard output, as a host that
    // goes away does.
    void close_output();
    // Sends the helper a signal, as a fault inside it would raise one.
    void send_signal(int number) const;
    // Closes the input, reads the output to its end and waits for the exit.
    SessionEnd finish();

    // Whether a deadline passed and the helper was killed.
    bool hung() const { return hung_; }
    // The helper's process, for a look at /proc.
    pid_t pid() const { return pid_; }

private:
    // Waits for output (and, with `bytes`, input room); false on deadline.
    bool pump(std::string_view* bytes);
    void kill_for_hang();

    pid_t pid_ = -1;
    int in_fd_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;  // an unlinked temporary file
    std::string pending_out_;
    std::chrono::seconds deadline_;
    bool hung_ = false;
    bool ended_ = false;
};

}  // namespace debrindle::testing
