// One-shot mode through the real binary and real pipes: failures before and
// at the model load, and standard streams that are missing or go away.

#include <gtest/gtest.h>

#include <fstream>

#include "support/models.hpp"
#include "support/process.hpp"

namespace debrindle::testing {
namespace {

std::string request_for(const std::string& model_path) {
    std::string escaped;
    for (char c : model_path) {
        if (c == '\0') {
            escaped += "\\u0000";
        } else {
            escaped.push_back(c);
        }
    }
    return R"({"modelPath":")" + escaped + R"(","systemPrompt":"","userPrompt":"hi","temperature":0,"maxTokens":8})";
}

std::string write_file(const std::string& name, const std::string& content) {
    const std::string path = temporary_directory() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

struct FailureCase {
    const char* name;
    std::string input;
    std::string expected_error;
};

// Test names carry the case name; print nothing more in listings.
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class OneShotFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(OneShotFailure, ReportsTheErrorWithStatusOne) {
    for (const char* diagnostics : {"", "1"}) {
        ProcessOptions options;
        options.input = GetParam().input;
        options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = diagnostics;
        const ProcessResult result = run_helper(options);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.out, "");
        if (*diagnostics == '\0') {
            EXPECT_EQ(result.err, GetParam().expected_error + "\n");
        } else {
            // llama.cpp's own log may come first; the error is the last line.
            const std::string tail = GetParam().expected_error + "\n";
            ASSERT_GE(result.err.size(), tail.size());
            EXPECT_EQ(result.err.substr(result.err.size() - tail.size()), tail);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, OneShotFailure,
    ::testing::Values(
        FailureCase{"empty_input", "", "EOF while parsing a value at line 1 column 0"},
        FailureCase{"two_requests", request_for("m") + request_for("m"),
                    "trailing characters at line 1 column " + std::to_string(request_for("m").size() + 1)},
        FailureCase{"missing_model", request_for("/nonexistent/model.gguf"), "null result from llama cpp"},
        FailureCase{"empty_path", request_for(""), "null result from llama cpp"},
        FailureCase{"nul_in_path", request_for(std::string("\0m.gguf", 7)),
                    "null byte in string nul byte found in provided data at position: 0"},
        FailureCase{"nul_inside_path", request_for(std::string("ab\0m.gguf", 9)),
                    "null byte in string nul byte found in provided data at position: 2"},
        FailureCase{"not_gguf", request_for(write_file("not-a-model.gguf", "this is not a model\n")),
                    "null result from llama cpp"},
        FailureCase{"pipe_without_writer", request_json(special_file_paths().front()), "null result from llama cpp"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OneShot, DecodeFailureStartsNoEngine) {
    // With diagnostics on, the loading line and llama.cpp's log would show
    // on standard error if the engine had started.
    ProcessOptions options;
    options.input = "{}";
    options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = "1";
    const ProcessResult result = run_helper(options);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "missing field `modelPath` at line 1 column 2\n");
}

TEST(OneShot, MissingStandardInputReadsAsEmpty) {
    ProcessOptions options;
    options.close_stdin = true;
    const ProcessResult result = run_helper(options);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "EOF while parsing a value at line 1 column 0\n");
}

TEST(OneShot, LoadingLineComesBeforeTheLoad) {
    ProcessOptions options;
    options.input = request_for("/nonexistent/m.gguf");
    options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = " yes\n";
    const ProcessResult result = run_helper(options);
    EXPECT_EQ(result.exit_status, 1);
    const std::string line = "loading one-shot model path=/nonexistent/m.gguf n_gpu_layers=4294967295\n";
    const auto at = result.err.find(line);
    ASSERT_NE(at, std::string::npos) << result.err;
    EXPECT_LT(at, result.err.find("null result from llama cpp\n"));
    EXPECT_EQ(result.err.find("elapsed_ms"), std::string::npos);
}

TEST(OneShot, SilentWithoutDiagnosticsAfterTheBackendStarts) {
    ProcessOptions options;
    options.input = request_for("/nonexistent/m.gguf");
    options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = std::nullopt;
    EXPECT_EQ(run_helper(options).err, "null result from llama cpp\n");
}

TEST(OneShot, ClosedStandardOutputCountsAsWritten) {
    const std::string model = write_test_model(chain_model({"▁Hello", "!"}));
    ProcessOptions options;
    options.input = request_json(model);
    options.close_stdout = true;
    const ProcessResult result = run_helper(options);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "");

    // A failure still reaches standard error.
    options.input = "[]";
    const ProcessResult failed = run_helper(options);
    EXPECT_EQ(failed.exit_status, 1);
    EXPECT_EQ(failed.err, "invalid length 1, expected struct LlamaHelperRequest with 6 elements at line 1 column 2\n");
}

TEST(OneShot, ReaderGoneIsAFatalExitNotASignal) {
    const std::string model = write_test_model(chain_model({"▁Hello", "!"}));
    ProcessOptions options;
    options.input = request_json(model);
    options.stdout_reader_gone = true;
    const ProcessResult result = run_helper(options);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_TRUE(is_closed_pipe_error(result.err)) << result.err;
}

}  // namespace
}  // namespace debrindle::testing
