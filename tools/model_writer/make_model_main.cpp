// debrindle-make-model: writes a test, demo or benchmark model from flags.
#include "command_line.hpp"
#include "model_writer/model_writer.hpp"

#include <iostream>

int main(int argc, char** argv) {
    using namespace debrindle::model_writer;
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        const auto command = parse_command_line(args);
        if (command.show_help) {
            std::cout << usage_text();
            return 0;
        }
        if (const auto error = write_model(command.model_spec, command.out_path)) {
            std::cerr << "debrindle-make-model: " << *error << "\n";
            return 1;
        }
        return 0;
    } catch (const UsageError& error) {
        std::cerr << "debrindle-make-model: " << error.what() << "\n(see --help)\n";
        return 1;
    }
}
