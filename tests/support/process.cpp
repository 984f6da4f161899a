#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace debrindle::testing {
namespace {

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// The variables that start the helper as `options` ask.
std::map<std::string, std::optional<std::string>> helper_environment(const ProcessOptions& options) {
    std::map<std::string, std::optional<std::string>> changes;
    // Under Wine a closed descriptor still becomes a handle; the Windows
    // starter (tests/windows/start_process.cpp) gives the helper none.
    if (helper_is_windows_build()) {
        if (options.close_stdin) changes["DEBRINDLE_START_WITHOUT_STDIN"] = "1";
        if (options.close_stdout) changes["DEBRINDLE_START_WITHOUT_STDOUT"] = "1";
    }
    for (const auto& [name, value] : options.environment) changes.insert_or_assign(name, value);
    return changes;
}

// This process's environment with `changes` applied, as NAME=VALUE texts.
std::vector<std::string> environment_texts(const std::map<std::string, std::optional<std::string>>& changes) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            variables[name] = *value;
        } else {
            variables.erase(name);
        }
    }
    std::vector<std::string> texts;
    for (const auto& [name, value] : variables) texts.push_back(name + "=" + value);
    return texts;
}

}  // namespace

pid_t start_process(std::vector<std::string> words,
                    const std::map<std::string, std::optional<std::string>>& environment, ChildStreams streams,
                    std::initializer_list<int> close_in_child, const std::string& working_directory) {
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables = environment_texts(environment);
    std::vector<char*> envp;
    for (auto& text : variables) envp.push_back(text.data());
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        for (const auto& [fd, stream] : {std::pair{streams.in, STDIN_FILENO}, std::pair{streams.out, STDOUT_FILENO},
                                         std::pair{streams.err, STDERR_FILENO}}) {
            if (fd < 0) {
                close(stream);
            } else {
                dup2(fd, stream);
            }
        }
        for (const int fd : close_in_child) close(fd);
        if (!working_directory.empty() && chdir(working_directory.c_str()) != 0) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

const char* helper_path() { return DEBRINDLE_HELPER_PATH; }

std::vector<std::string> helper_command() {
    const char* command = std::getenv("DEBRINDLE_HELPER_COMMAND");
    if (command == nullptr || *command == '\0') return {helper_path()};
    std::vector<std::string> words;
    std::istringstream stream(command);
    for (std::string word; stream >> word;) words.push_back(word);
    if (words.empty()) return {helper_path()};
    return words;
}

bool helper_is_windows_build() { return helper_command().back().ends_with(".exe"); }

bool is_closed_pipe_error(const std::string& err) {
    if (!helper_is_windows_build()) return err == "Broken pipe (os error 32)\n";
    return err.find('\n') == err.size() - 1 &&
           (err.ends_with(". (os error 232)\n") || err.ends_with(". (os error 233)\n"));
}

std::string temporary_directory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "debrindle-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    static std::vector<std::string> created;
    if (created.empty()) {
        std::atexit([] {
            for (const auto& dir : created) std::filesystem::remove_all(dir);
        });
    }
    created.push_back(pattern);
    return pattern;
}

std::vector<std::string> special_file_paths() {
    if (helper_is_windows_build()) return {R"(\\.\pipe\debrindle-no-writer)", temporary_directory(), R"(\\.\NUL)"};
    const std::string fifo = temporary_directory() + "/fifo.gguf";
    if (mkfifo(fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    return {fifo, temporary_directory(), "/dev/zero"};
}

namespace {

ProcessResult run_helper_once(const ProcessOptions& options) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");

    std::vector<std::string> words =
        options.program.empty() ? helper_command() : std::vector<std::string>{options.program};
    words.insert(words.begin(), options.launcher.begin(), options.launcher.end());
    words.insert(words.end(), options.arguments.begin(), options.arguments.end());
    const ChildStreams streams{options.close_stdin ? -1 : in_pipe[0], options.close_stdout ? -1 : out_pipe[1],
                               err_pipe[1]};
    const pid_t pid = start_process(std::move(words), helper_environment(options), streams,
                                    {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]},
                                    options.working_directory);
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    int out_fd = out_pipe[0], err_fd = err_pipe[0];
    if (options.stdout_reader_gone) {
        close(out_fd);
        out_fd = -1;
    }

    // Feed the input and drain both outputs together so that no pipe fills.
    signal(SIGPIPE, SIG_IGN);
    set_nonblocking(in_pipe[1]);
    ProcessResult result;
    std::size_t input_sent = 0;
    int in_fd = in_pipe[1];
    if (options.input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    char buffer[65536];
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3] = {{in_fd, POLLOUT, 0}, {out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll failed");
        }
        if (in_fd >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t n = write(in_fd, options.input.data() + input_sent, options.input.size() - input_sent);
            if (n > 0) input_sent += static_cast<std::size_t>(n);
            if (n < 0 && errno != EAGAIN) input_sent = options.input.size();  // reader gone
            if (input_sent == options.input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
        for (auto [index, fd, sink] : {std::tuple{1, &out_fd, &result.out}, std::tuple{2, &err_fd, &result.err}}) {
            if (*fd >= 0 && (fds[index].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const ssize_t n = read(*fd, buffer, sizeof buffer);
                if (n > 0) {
                    sink->append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EAGAIN) {
                    close(*fd);
                    *fd = -1;
                }
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

}  // namespace

// Now and then (a start in some hundreds, in bursts) a program started under
// Wine ends at once with status 1 and not a byte on either stream. The helper
// never ends so, since it says on standard error why it fails, so such a run
// of the Windows build is one Wine lost and is run again, once.
ProcessResult run_helper(const ProcessOptions& options) {
    ProcessResult result = run_helper_once(options);
    const bool lost = result.exit_status == 1 && result.out.empty() && result.err.empty();
    if (lost && options.program.empty() && helper_is_windows_build()) result = run_helper_once(options);
    return result;
}

}  // namespace debrindle::testing
