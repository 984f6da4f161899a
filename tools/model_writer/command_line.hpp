// The flags of debrindle-make-model, turned into a ModelSpec.
#pragma once

#include "model_writer/model_writer.hpp"

#include <stdexcept>
#include <string>
#include <vector>

namespace debrindle::model_writer {

struct CommandLine {
    ModelSpec model_spec;
    std::string out_path;
    bool show_help = false;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// `args` excludes the program name. Throws UsageError on a bad flag or value.
CommandLine parse_command_line(const std::vector<std::string>& args);

std::string usage_text();

}  // namespace debrindle::model_writer
