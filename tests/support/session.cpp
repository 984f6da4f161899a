#include "support/session.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <utility>

#include "support/process.hpp"

namespace debrindle::testing {
namespace {

using Clock = std::chrono::steady_clock;

int milliseconds_until(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

int anonymous_file() {
    std::string pattern = (std::filesystem::temp_directory_path() / "debrindle-session-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    unlink(pattern.c_str());
    return fd;
}

}  // namespace

HelperSession::HelperSession(const std::vector<std::string>& arguments,
                             const std::map<std::string, std::optional<std::string>>& environment,
                             std::chrono::seconds deadline, const std::vector<std::string>& launcher,
                             SessionHelper helper)
    : deadline_(deadline) {
    signal(SIGPIPE, SIG_IGN);
    int in_pipe[2], out_pipe[2];
    // Not inherited by the helpers of later sessions, which would hold this
    // helper's input open.
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    err_fd_ = anonymous_file();
    fcntl(err_fd_, F_SETFD, FD_CLOEXEC);

    std::vector<std::string> words = launcher;
    if (helper == SessionHelper::under_test) {
        for (auto& word : helper_command()) words.push_back(std::move(word));
    } else {
        words.push_back(helper_path());
    }
    words.insert(words.end(), arguments.begin(), arguments.end());
    pid_ = start_process(std::move(words), environment, ChildStreams{in_pipe[0], out_pipe[1], err_fd_},
                         {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_fd_});
    close(in_pipe[0]);
    close(out_pipe[1]);
    in_fd_ = in_pipe[1];
    out_fd_ = out_pipe[0];
    fcntl(in_fd_, F_SETFL, fcntl(in_fd_, F_GETFL) | O_NONBLOCK);
    fcntl(out_fd_, F_SETFL, fcntl(out_fd_, F_GETFL) | O_NONBLOCK);
}

HelperSession::~HelperSession() {
    if (!ended_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_fd_, out_fd_, err_fd_}) {
        if (fd >= 0) close(fd);
    }
}

void HelperSession::kill_for_hang() {
    hung_ = true;
    if (!ended_) kill(pid_, SIGKILL);
}

bool HelperSession::pump(std::string_view* bytes) {
    const auto until = Clock::now() + deadline_;
    for (;;) {
        pollfd fds[2] = {{bytes != nullptr ? in_fd_ : -1, POLLOUT, 0}, {out_fd_, POLLIN, 0}};
        const int ready = poll(fds, 2, milliseconds_until(until));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        if (out_fd_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char buffer[65536];
            const ssize_t n = read(out_fd_, buffer, sizeof buffer);
            if (n > 0) {
                pending_out_.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EAGAIN) {
                close(out_fd_);
                out_fd_ = -1;
            }
            if (bytes == nullptr) return true;
        }
        if (bytes != nullptr && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t n = write(in_fd_, bytes->data(), bytes->size());
            if (n > 0) bytes->remove_prefix(static_cast<std::size_t>(n));
            if (n < 0 && errno != EAGAIN) bytes->remove_prefix(bytes->size());  // the helper closed its input
            return true;
        }
        if (bytes == nullptr && out_fd_ < 0) return true;
    }
}

void HelperSession::send(std::string_view bytes) {
    while (!bytes.empty() && !hung_) {
        if (in_fd_ < 0) return;
        if (!pump(&bytes)) kill_for_hang();
    }
}

void HelperSession::close_input() {
    if (in_fd_ >= 0) close(in_fd_);
    in_fd_ = -1;
}

std::optional<std::string> HelperSession::read_line() {
    for (;;) {
        const auto newline = pending_out_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_out_.substr(0, newline);
            pending_out_.erase(0, newline + 1);
            return line;
        }
        if (out_fd_ < 0 || hung_) return std::nullopt;
        if (!pump(nullptr)) kill_for_hang();
    }
}

std::string HelperSession::read_at_least(std::size_t count) {
    while (pending_out_.size() < count && out_fd_ >= 0 && !hung_) {
        if (!pump(nullptr)) kill_for_hang();
    }
    return std::exchange(pending_out_, std::string());
}

void HelperSession::close_output() {
    if (out_fd_ >= 0) close(out_fd_);
    out_fd_ = -1;
    pending_out_.clear();
}

void HelperSession::send_signal(int number) const { kill(pid_, number); }

SessionEnd HelperSession::finish() {
    close_input();
    while (out_fd_ >= 0 && !hung_) {
        if (!pump(nullptr)) kill_for_hang();
    }
    SessionEnd end;
    int status = 0;
    const auto until = Clock::now() + deadline_;
    while (!ended_) {
        const pid_t done = waitpid(pid_, &status, hung_ ? 0 : WNOHANG);
        if (done == pid_) {
            ended_ = true;
        } else if (Clock::now() >= until) {
            kill_for_hang();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    if (WIFEXITED(status)) end.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
    end.out = std::exchange(pending_out_, std::string());
    lseek(err_fd_, 0, SEEK_SET);
    char buffer[65536];
    for (ssize_t n; (n = read(err_fd_, buffer, sizeof buffer)) > 0;)
        end.err.append(buffer, static_cast<std::size_t>(n));
    return end;
}

}  // namespace debrindle::testing
