#pragma once
// Runs the real helper binary through real pipes.

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
    std::vector<std::string> arguments;  // after the program name
    std::string input;
    // Variables set (or, with nullopt, removed) on top of this environment.
    std::map<std::string, std::optional<std::string>> environment;
    bool close_stdin = false;   // start with no standard input at all
    bool close_stdout = false;  // start with no standard output at all
    bool stdout_reader_gone = false;  // standard output is a pipe nobody reads
};

ProcessResult run_helper(const ProcessOptions& options);

// The path of the helper binary under test.
const char* helper_path();

// A fresh directory for one test's files, removed at exit.
std::string temporary_directory();

}  // namespace debrindle::testing
