// What the platform layer decides, seen through the real binary: standard
// streams that never translate bytes, and the platform's path rules for the
// server's model cache. The same cases run against the Linux build and,
// under Wine, the Windows build (scripts/test-windows.sh); where the two
// platforms differ, each case names the outcome on both.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "support/models.hpp"
#include "support/process.hpp"

namespace debrindle::testing {
namespace {

ProcessResult run(const std::vector<std::string>& arguments, const std::string& input, bool diagnostics = false) {
    ProcessOptions options;
    options.arguments = arguments;
    options.input = input;
    options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = diagnostics ? std::optional<std::string>("1") : std::nullopt;
    return run_helper(options);
}

TEST(PlatformStreams, LineEndsInTheOutputAreWrittenAsTheyAre) {
    // No LF may become CR LF on the way out, and a CR LF stays as it is. The
    // prompt ends in an LF token, so a chain with one goes on after it (and
    // cycles back to its start, until the token limit).
    const struct {
        std::vector<std::string> chain;
        std::string end;
        int max_tokens;
        std::string out;
    } cases[] = {
        {{"!", "<0x0A>"}, "!", 4, "!\n!\n"},
        {{"▁a", "<0x0D>", "<0x0A>"}, "▁a", 6, " a\r\n a\r\n"},
        {{"<0x0D>", "▁b"}, "</s>", 8, "\r b"},
    };
    for (const auto& c : cases) {
        const std::string model = write_test_model(chain_model(c.chain, c.end));
        const ProcessResult result = run({}, request_json(model, "hi", "", 0, c.max_tokens));
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
    }
}

TEST(PlatformFiles, ModelPathBeyondAsciiLoads) {
    // The path reaches llama.cpp as UTF-8, which it opens as such on every
    // platform (on Windows through the wide file functions); the diagnostic
    // line shows it byte for byte.
    const std::string dir = temporary_directory() + "/mod\xC3\xA8les \xE6\x97\xA5\xE6\x9C\xAC";  // "modèles 日本"
    std::filesystem::create_directory(dir);
    const std::string model = dir + "/m\xC3\xA9\xF0\x9F\x98\x80.gguf";  // "mé😀.gguf"
    if (auto error = model_writer::write_model(chain_model({"▁Hello", "!"}), model)) FAIL() << *error;
    const ProcessResult result = run({}, request_json(model), /*diagnostics=*/true);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, " Hello!");
    // The engine's own start-up lines (its modules) may come first.
    EXPECT_NE(result.err.find("loading one-shot model path=" + model + " n_gpu_layers=4294967295\n"), std::string::npos)
        << result.err;
}

struct InputCase {
    const char* name;
    std::string input;
    std::string error;  // standard error, whole
};

void PrintTo(const InputCase& c, std::ostream* os) { *os << c.name; }

class PlatformInput : public ::testing::TestWithParam<InputCase> {};

TEST_P(PlatformInput, BytesReachTheDecoderUnchanged) {
    const ProcessResult result = run({}, GetParam().input);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, GetParam().error);
}

// Text-mode input would end at a Ctrl+Z (1A) and turn CR LF into LF; only
// the first shows in what comes back, but all of these hold for the bytes as
// sent.
INSTANTIATE_TEST_SUITE_P(
    Streams, PlatformInput,
    ::testing::Values(
        InputCase{"ctrl_z_is_a_byte", "\x1A{}", "expected value at line 1 column 1\n"},
        InputCase{"ctrl_z_after_a_request", request_json("m.gguf") + "\x1A",
                  "trailing characters at line 1 column " + std::to_string(request_json("m.gguf").size() + 1) + "\n"},
        InputCase{"cr_lf_line_ends", "{\r\n\"a\":1,\r\n\"b\":2\r\n}", "missing field `modelPath` at line 4 column 1\n"},
        InputCase{"cr_alone_stays_in_the_line", "[\"generate\"\r,\r\r1]",
                  "invalid type: integer `1`, expected a string at line 1 column 16\n"}),
    [](const auto& info) { return std::string(info.param.name); });

std::string warmup(const std::string& path) { return request_json(path, "hi", R"("action":"warmup",)"); }

std::string with_backslashes(const std::string& path) {
    std::string result = path;
    std::replace(result.begin(), result.end(), '/', '\\');
    return result;
}

// A model path longer than the system takes whole (Linux: PATH_MAX, 4096
// bytes; Windows: MAX_PATH, 260 characters), absolute or relative, loads, in
// one file and in three. The Windows build's engine gets it (its log names
// it) full and verbatim, which opens whatever the system's settings (Wine
// opens long paths either way, though not past Linux's limit).
TEST(PlatformFiles, LongModelPathsLoad) {
    const bool windows = helper_is_windows_build();
    const std::string base = temporary_directory();
    const auto own_folder = std::filesystem::current_path();
    std::filesystem::current_path(base);
    std::string relative;  // made one name at a time, as no call takes it whole
    for (const std::string name(250, 'f'); base.size() + relative.size() < (windows ? 300U : 4200U);) {
        std::filesystem::create_directory(name);
        std::filesystem::current_path(name);
        relative += name + "/";
    }
    auto split = chain_model({"▁Hello", "!"});
    split.files = 3;
    const bool written =
        !model_writer::write_model(chain_model({"▁Hello", "!"}), "m.gguf") && !model_writer::write_model(split, "m");
    std::filesystem::current_path(own_folder);
    ASSERT_TRUE(written);
    for (const std::string name : {"m.gguf", "m-00001-of-00003.gguf"}) {
        const std::string absolute = base + "/" + relative + name;
        for (const auto& [path, working_directory] : {std::pair{absolute, std::string()}, {relative + name, base}}) {
            ProcessOptions options;
            options.input = request_json(path);
            options.working_directory = working_directory;
            options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = "1";
            const ProcessResult result = run_helper(options);
            EXPECT_EQ(result.out, " Hello!") << path;
            const std::string engine_path = R"(\\?\Z:)" + with_backslashes(absolute);
            EXPECT_TRUE(!windows || result.err.find(" tensors from " + engine_path + " (version") != std::string::npos);
        }
    }
}

const std::string warm = R"({"ok":true,"output":"","error":null})";
const std::string load_failed = R"({"ok":false,"output":null,"error":"null result from llama cpp"})";

std::size_t loading_lines(const std::string& err) {
    std::size_t count = 0;
    for (std::size_t at = err.find("loading model path="); at != std::string::npos;
         at = err.find("loading model path=", at + 1)) {
        if (at == 0 || err[at - 1] == '\n') ++count;
    }
    return count;
}

struct PathCase {
    const char* name;
    // The first and the second request's path, made from the model's
    // absolute path (which begins with "/").
    std::string (*first)(const std::string&);
    std::string (*second)(const std::string&);
    std::vector<std::string> windows_answers;
    std::size_t windows_loads;
    std::vector<std::string> posix_answers;
    std::size_t posix_loads;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

class PlatformPaths : public ::testing::TestWithParam<PathCase> {
protected:
    static void SetUpTestSuite() { model = new std::string(write_test_model(chain_model({"!"}), "m.gguf")); }
    static inline std::string* model = nullptr;
};

TEST_P(PlatformPaths, DecideWhetherTheCachedModelServes) {
    const PathCase& c = GetParam();
    const ProcessResult result =
        run({"--server"}, warmup(c.first(*model)) + "\n" + warmup(c.second(*model)) + "\n", /*diagnostics=*/true);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    const bool windows = helper_is_windows_build();
    std::string expected;
    for (const auto& line : windows ? c.windows_answers : c.posix_answers) expected += line + "\n";
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(loading_lines(result.err), windows ? c.windows_loads : c.posix_loads);
}

// Under Wine a path that begins with "/" or "\" names the current drive's
// root, Z:, where Linux's "/" is; so each of these names the model's file
// on Windows, and only the plain one does on Linux.
INSTANTIATE_TEST_SUITE_P(Cache, PlatformPaths,
                         ::testing::Values(PathCase{"same_path",
                                                    [](const std::string& p) { return p; },
                                                    [](const std::string& p) { return p; },
                                                    {warm, warm},
                                                    1,
                                                    {warm, warm},
                                                    1},
                                           PathCase{"backslashes_separate_on_windows",
                                                    [](const std::string& p) { return p; },
                                                    with_backslashes,
                                                    {warm, warm},
                                                    1,
                                                    {warm, load_failed},
                                                    2},
                                           PathCase{"mixed_separators_doubles_and_dots",
                                                    [](const std::string& p) { return p; },
                                                    [](const std::string& p) {
                                                        // "/tmp/x/m.gguf" becomes "/tmp\/./x/m.gguf"
                                                        return p.substr(0, p.find('/', 1)) + "\\/./" +
                                                               p.substr(p.find('/', 1) + 1);
                                                    },
                                                    {warm, warm},
                                                    1,
                                                    {warm, load_failed},
                                                    2},
                                           PathCase{"drive_letter_case_is_ignored",
                                                    [](const std::string& p) { return "Z:" + p; },
                                                    [](const std::string& p) { return "z:" + with_backslashes(p); },
                                                    {warm, warm},
                                                    1,
                                                    {load_failed, load_failed},
                                                    2},
                                           PathCase{"letter_case_elsewhere_counts",
                                                    [](const std::string& p) { return p; },
                                                    [](const std::string& p) {
                                                        std::string upper = p;
                                                        upper[1] = static_cast<char>(
                                                            std::toupper(static_cast<unsigned char>(upper[1])));
                                                        return upper;
                                                    },
                                                    // Wine finds the file whatever the case; Linux does not.
                                                    {warm, warm},
                                                    2,
                                                    {warm, load_failed},
                                                    2}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace debrindle::testing
