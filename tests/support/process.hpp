#pragma once
// Runs the real helper binary through real pipes.

#include <sys/types.h>

#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace debrindle::testing {

struct ProcessResult {
    int exit_status = -1;  // -1 when killed by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::vector<std::string> launcher;   // words before the helper's, e.g. an emulator
    std::string program;                 // empty: the helper under test (helper_command())
    std::vector<std::string> arguments;  // after the program name
    std::string working_directory;       // empty: this process's
    std::string input;
    // Variables set (or, with nullopt, removed) on top of this environment.
    std::map<std::string, std::optional<std::string>> environment;
    bool close_stdin = false;         // start with no standard input at all
    bool close_stdout = false;        // start with no standard output at all
    bool stdout_reader_gone = false;  // standard output is a pipe nobody reads
};

ProcessResult run_helper(const ProcessOptions& options);

// The descriptors a started process gets as its standard streams; -1 starts
// it without that stream.
struct ChildStreams {
    int in = -1;
    int out = -1;
    int err = -1;
};

// Starts `words` (the program's path first) with `environment` changes on
// top of this process's (nullopt removes a variable) and `streams`, in
// `working_directory` unless it is empty. The child closes the descriptors
// of `close_in_child` (its pipes' ends) once its streams are set. Gives the
// child's process id.
pid_t start_process(std::vector<std::string> words,
                    const std::map<std::string, std::optional<std::string>>& environment, ChildStreams streams,
                    std::initializer_list<int> close_in_child, const std::string& working_directory = "");

// The path of the helper binary under test.
const char* helper_path();

// The words that start the helper: the binary built beside these tests, or,
// when the environment variable DEBRINDLE_HELPER_COMMAND is set, its words
// (separated by spaces), such as Wine's loader, the Windows starter of
// tests/windows and the Windows build (scripts/test-windows.sh):
//   DEBRINDLE_HELPER_COMMAND="/usr/lib/wine/wine64 .../start-process.exe .../debrindle-llama-helper.exe"
std::vector<std::string> helper_command();

// Whether the helper under test is a Windows program (its command ends in
// ".exe"), for the few expectations that differ by platform.
bool helper_is_windows_build();

// Whether standard error holds the system's description of a write to a pipe
// whose reader is gone: "Broken pipe (os error 32)" on Linux; on Windows
// error 232 (233 under Wine) with the system's own text before it.
bool is_closed_pipe_error(const std::string& err);

// A fresh directory for one test's files, removed at exit.
std::string temporary_directory();

// Paths of a pipe no one writes to (for Windows the one its starter holds), a
// directory and a device.
std::vector<std::string> special_file_paths();

}  // namespace debrindle::testing
