#include <gtest/gtest.h>

#include <vector>

#include "app/run_mode.hpp"

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
