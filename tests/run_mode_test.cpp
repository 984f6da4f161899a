// The command-line scan that picks the run mode, alone and in the real
// binary.

#include <gtest/gtest.h>

#include <vector>

#include "app/run_mode.hpp"
#include "support/process.hpp"

namespace debrindle {
namespace {

struct Scan {
    std::optional<RunMode> mode;
    std::size_t words_fetched = 0;
};

// Words given as nullopt cannot be converted to text.
Scan scan(const std::vector<std::optional<std::string>>& words) {
    Scan result;
    result.mode = select_run_mode(words.size(), [&](std::size_t index) {
        result.words_fetched = index + 1;
        return words[index];
    });
    return result;
}

TEST(RunMode, Scan) {
    using W = std::vector<std::optional<std::string>>;
    const std::pair<W, std::optional<RunMode>> cases[] = {
        {{"helper"}, RunMode::one_shot},
        {{"helper", "--server"}, RunMode::server},
        {{"helper", "-v", "x", "--server"}, RunMode::server},
        {{"--server"}, RunMode::server},  // the program's own name counts
        {{"helper", "--Server"}, RunMode::one_shot},
        {{"helper", "--server=1"}, RunMode::one_shot},
        {{"helper", "-server"}, RunMode::one_shot},
        {{"helper", "--serve"}, RunMode::one_shot},
        {{"helper", "--serverx"}, RunMode::one_shot},
        {{"helper", " --server"}, RunMode::one_shot},
        {{"helper", std::nullopt, "--server"}, std::nullopt},
        {{"helper", "--server", std::nullopt}, RunMode::server},
        {{"helper", std::nullopt}, std::nullopt},
    };
    for (const auto& [words, expected] : cases) EXPECT_EQ(scan(words).mode, expected) << words.size();
}

TEST(RunMode, WordsAfterTheOptionAreNeverLookedAt) {
    EXPECT_EQ(scan({"helper", "--server", "a", "b"}).words_fetched, 2U);
}

}  // namespace
}  // namespace debrindle

namespace debrindle::testing {
namespace {

// A word that cannot be converted to UTF-8: bytes that are not UTF-8 on
// Linux; on Windows, whose words are UTF-16, an unpaired surrogate (written
// as an escape that the Windows starter of the tests turns into the code
// unit, since no UTF-8 command line can carry one).
std::string word_that_is_not_text(bool low) {
    if (helper_is_windows_build()) return low ? "a\\uDC00" : "\\uD800b";
    return low ? "\xFF" : "\xFF\xFE";
}

TEST(CommandLine, InvalidWordStopsBeforeReadingInput) {
    ProcessOptions options;
    options.arguments = {word_that_is_not_text(false), "--server"};
    options.input = R"({"modelPath":"m","systemPrompt":"","userPrompt":"hi","temperature":0,"maxTokens":8})";
    const ProcessResult result = run_helper(options);
    EXPECT_EQ(result.exit_status, 101);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("not valid UTF-8"), std::string::npos);
}

TEST(CommandLine, InvalidWordAfterServerIsNeverLookedAt) {
    ProcessOptions options;
    options.arguments = {"--server", word_that_is_not_text(true)};
    EXPECT_NE(run_helper(options).exit_status, 101);
}

TEST(CommandLine, LookalikesOfTheOptionRunOneShot) {
    for (const char* word : {"--Server", "--server=1", "-server", "--serve"}) {
        ProcessOptions options;
        options.arguments = {"x", word};
        const ProcessResult result = run_helper(options);
        EXPECT_EQ(result.exit_status, 1) << word;
        EXPECT_EQ(result.err, "EOF while parsing a value at line 1 column 0\n") << word;
    }
}

}  // namespace
}  // namespace debrindle::testing
