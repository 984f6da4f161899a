// Server mode through the real binary and real pipes.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <span>
#include <sstream>
#include <thread>

#include "common/platform.hpp"
#include "engine/generation/generation_plan.hpp"
#include "support/models.hpp"
#include "support/process.hpp"
#include "support/session.hpp"

namespace debrindle::testing {
namespace {

struct ServerRun {
    ProcessResult result;
    std::vector<std::string> lines;
};

ServerRun run_server(const std::string& input, bool diagnostics = false,
                     std::map<std::string, std::optional<std::string>> environment = {}) {
    ProcessOptions options;
    options.environment = std::move(environment);
    options.arguments = {"--server"};
    options.input = input;
    options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = diagnostics ? std::optional<std::string>("1") : std::nullopt;
    ServerRun run{run_helper(options), {}};
    std::size_t start = 0;
    while (start < run.result.out.size()) {
        const std::size_t end = run.result.out.find('\n', start);
        if (end == std::string::npos) {
            run.lines.push_back(run.result.out.substr(start) + "<no newline>");
            break;
        }
        run.lines.push_back(run.result.out.substr(start, end - start));
        start = end + 1;
    }
    return run;
}

std::string error_line(const std::string& error) {
    return R"({"ok":false,"output":null,"error":)" + json_string(error) + "}";
}
const std::string warm = R"({"ok":true,"output":"","error":null})";
const std::string hello = R"({"ok":true,"output":" Hello!","error":null})";

std::string warmup(const std::string& path) { return request_json(path, "hi", R"("action":"warmup",)"); }

// Diagnostic lines only; llama.cpp's own log lines are left out.
std::vector<std::string> helper_lines(const std::string& err) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        if (end == std::string::npos) end = err.size();
        const std::string line = err.substr(start, end - start);
        if (line.starts_with("loading model path=") || line.starts_with("loaded model path=")) {
            lines.push_back(line.substr(0, line.find(" elapsed_ms=")));
        }
        start = end + 1;
    }
    return lines;
}

class Server : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        model_a = new std::string(write_test_model(chain_model({"▁Hello", "!"}), "a.gguf"));
        model_b = new std::string(write_test_model(chain_model({"▁world", "!"}), "b.gguf"));
    }
    static inline std::string* model_a = nullptr;
    static inline std::string* model_b = nullptr;
};

TEST_F(Server, AnswersEveryLineInOrder) {
    const std::string a = *model_a;
    const auto run = run_server(
        "\n"                                        // empty line
        "   \t \n"                                  // blank line
        + request_json(a) + "\r\n"                  // CR LF
        + "  " + request_json(a) + "  \n"           // white space around
        + "{\n" + "}\n"                             // pretty-printed
        + request_json(a) + request_json(a) + "\n"  // two objects
        + "\xEF\xBB\xBF" + request_json(a) + "\n"   // byte-order mark
        + request_json(a));                         // no final newline
    EXPECT_EQ(run.result.exit_status, 0) << run.result.err;
    EXPECT_EQ(run.result.err, "");
    const std::vector<std::string> expected = {
        error_line("EOF while parsing a value at line 1 column 0"),
        error_line("EOF while parsing a value at line 1 column 0"),
        hello,
        hello,
        error_line("EOF while parsing an object at line 1 column 1"),
        error_line("expected value at line 1 column 1"),
        error_line("trailing characters at line 1 column " + std::to_string(request_json(a).size() + 1)),
        error_line("expected value at line 1 column 1"),
        hello,
    };
    EXPECT_EQ(run.lines, expected);
}

TEST_F(Server, LoadsOnlyWhenThePathChanges) {
    const std::string a = *model_a, b = *model_b;
    const std::string doubled = std::filesystem::path(a).parent_path().string() + "//a.gguf";
    const auto run = run_server(warmup(a) + "\n" + warmup(a) + "\n" + request_json(a) + "\n" + request_json(doubled) +
                                    "\n" + request_json(b) + "\n" + request_json(a) + "\n",
                                /*diagnostics=*/true);
    EXPECT_EQ(run.result.exit_status, 0);
    const std::vector<std::string> expected_lines = {
        warm, warm, hello, hello, R"({"ok":true,"output":" world!","error":null})", hello};
    EXPECT_EQ(run.lines, expected_lines);
    const std::vector<std::string> expected_diagnostics = {
        "loading model path=" + a + " n_gpu_layers=4294967295", "loaded model path=" + a,
        "loading model path=" + b + " n_gpu_layers=4294967295", "loaded model path=" + b,
        "loading model path=" + a + " n_gpu_layers=4294967295", "loaded model path=" + a,
    };
    EXPECT_EQ(helper_lines(run.result.err), expected_diagnostics);
}

// A server keeps the context of a generation for the next ones that fit it,
// and the cells of the last prompts: after requests of every kind, other
// lengths, shared prefixes on both sides of the 64-token and physical
// batches' bounds, system prompts in turn, the same request again (its
// first token from the kept logits), cells that overflowed past a shorter
// prompt or into the next layer's, another model and a failed
// request, each reply is byte for byte the reply of a process of its own,
// and the shared prefixes were restored (llama.cpp's own log says how many
// cells), cut as the rule cuts them.
TEST_F(Server, RepliesEqualThoseOfAFreshProcess) {
    model_writer::ModelSpec model_spec;
    model_spec.weights = model_writer::RandomWeights{
        .vocab_size = 2000, .embedding_length = 128, .layers = 2, .feed_forward_length = 352, .heads = 4};
    const std::string a = write_test_model(model_spec, "random-a.gguf");
    model_spec.weight_type = model_writer::WeightType::q4_0;
    const std::string q = write_test_model(model_spec, "random-q.gguf");
    model_spec.weight_type = model_writer::WeightType::f32;
    model_spec.weights = model_writer::RandomWeights{
        .seed = 5, .vocab_size = 2000, .embedding_length = 128, .layers = 2, .feed_forward_length = 352, .heads = 4};
    const std::string b = write_test_model(model_spec, "random-b.gguf");
    // "!" overflows the cache (not a number in a row that reads its cell);
    // the pairs below leave such cells in the last key tile past the second.
    auto overflowing_spec = chain_model({"▁Hello", "▁world"});
    std::get<model_writer::ScriptedWeights>(overflowing_spec.weights).overflowing_token = "!";
    const std::string o = write_test_model(overflowing_spec, "overflowing.gguf");
    // With two layers, a row that reads such a cell writes cells that are
    // not numbers: a prompt holding them is never kept, nor resumed from.
    std::get<model_writer::ScriptedWeights>(overflowing_spec.weights).layers = 2;
    const std::string o2 = write_test_model(overflowing_spec, "overflowing-2.gguf");
    const std::string overflowing = "hi" + std::string(57, 'x') + std::string(64, '!');
    std::string long_prompt;  // past the smallest context: a context of another length
    for (int i = 0; i < 1200; ++i) long_prompt += "word ";
    // A system prompt of 1,400 words, and one whose first `shared` + 48
    // tokens (the template's head) are its tokens.
    const std::string base = vocabulary_words(0, 1400);
    const auto sharing = [](std::size_t shared) {
        return vocabulary_words(0, shared - 48) + " " + vocabulary_words(shared - 47, 1400 - shared);
    };
    const struct {
        const std::string& model;
        std::string prompt;
        double temperature;
        int max_tokens;
        std::string system = "You are terse.";
    } requests[] = {{a, "hi", 0, 64},
                    {a, "hi", 0.7, 8},
                    {a, long_prompt, 0, 8},
                    {a, "hi there", 1, 1},
                    {a, long_prompt, 0.9, 4},
                    {b, "hi", 0, 64},
                    {b, "hi", 0.5, 16},
                    {a, "hi", 0, 64},
                    {a, "one two three", 0.3, 32},
                    {a, "hi", 0, 8, base},
                    {a, "hi", 0, 8, sharing(255)},
                    {a, "hi", 0, 8, base},
                    {a, "hi", 0.8, 8, sharing(256)},
                    {a, "hi", 0, 8, base},
                    {a, "hi", 0, 8, sharing(257)},
                    {a, "hi", 0, 8, base},
                    {a, "hi", 0, 8, sharing(511)},
                    {a, "hi", 0, 8, base},
                    {a, "hi", 0, 8, sharing(512)},
                    {a, "hi", 0, 8, base},
                    {a, "hi", 0.6, 8, sharing(513)},
                    {a, "hi", 0, 8, base},
                    {a, "hi", 0, 8, sharing(700)},
                    {a, "hi", 0, 8, sharing(700)},
                    {b, "hi", 0, 8, sharing(700)},
                    {a, "hi", 0, 8, sharing(1300)},
                    {a, "hi", 0, 8, base},
                    {a, "hi", 0, 8, vocabulary_words(1500, 600)},
                    {a, "hi", 0.4, 8, sharing(255)},
                    {"/missing.gguf", "hi", 0, 8, base},
                    {a, "hi", 0, 8, sharing(1300)},
                    {q, "hi", 0, 8, base},
                    {q, "hi there", 0, 8, base},
                    {q, "hi", 0.5, 8, sharing(600)},
                    {o, overflowing, 0, 8, std::string(300, 'y')},
                    {o, "hi", 0, 8, std::string(300, 'y')},
                    {o, overflowing, 0, 8, std::string(170, 'y')},
                    {o, "hi", 0, 8, std::string(170, 'y')},
                    {o2, overflowing, 0, 8, std::string(300, 'y')},
                    {o2, overflowing, 0, 8, std::string(300, 'y')},
                    {o2, "hi", 0, 8, std::string(300, 'y')},
                    {a, "hi", 0.7, 8, base},
                    {a, "hi", 0.7, 8, base}};
    std::string input;
    std::vector<std::string> expected;
    for (const auto& r : requests) {
        const std::string request = request_json(r.model, r.prompt, "", r.temperature, r.max_tokens, r.system);
        ProcessOptions one_shot;
        one_shot.input = request;
        const ProcessResult fresh = run_helper(one_shot);
        EXPECT_EQ(fresh.exit_status == 0, r.model != "/missing.gguf") << fresh.err;
        input += request + "\n";
        expected.push_back(fresh.exit_status == 0
                               ? R"({"ok":true,"output":)" + json_string(fresh.out) + R"(,"error":null})"
                               : error_line(fresh.err.substr(0, fresh.err.size() - 1)));
    }
    const ServerRun run = run_server(input + input, /*diagnostics=*/true);
    EXPECT_EQ(run.lines, [&] {
        auto twice = expected;
        twice.insert(twice.end(), expected.begin(), expected.end());
        return twice;
    }());
    std::multiset<std::size_t> restored;
    const std::regex restore_line("state_read_meta: cell_count = ([0-9]+)");
    for (std::sregex_iterator it(run.result.err.begin(), run.result.err.end(), restore_line), end; it != end; ++it) {
        restored.insert(std::stoul((*it)[1]));
    }
    // 255, 256, 511, 512, 513, 700 and 1300 shared tokens, and the whole
    // system prompt and template of `base`, kept while another system prompt
    // came between.
    for (const std::size_t cells : {248U, 256U, 504U, 512U, 700U, 1300U, 1500U}) {
        EXPECT_GE(restored.count(cells), 1U) << cells << " cells, from " << run.result.err.size() << " bytes of log";
    }
}

// Each class of model resumes where its kernels keep the fresh bits: a plain
// one at multiples of 4 tokens, a mixture of experts (whose products group the
// rows by expert) at multiples of 256 only, and either the same prompt again
// whole; a recurrent one (Mamba), whose state holds no cell per token, and
// one with a sliding window (Granite's), whose window drops cells, never.
// The replies are a fresh process's. Taking experts for a plain model fails here.
TEST_F(Server, EachClassOfModelResumesAtItsOwnGrain) {
    const std::string base = vocabulary_words(0, 1400);
    const std::string sharing = vocabulary_words(0, 652) + " " + vocabulary_words(653, 700);
    for (const auto& [experts, recurrent, window, cells] :  // cells: the shared 700 tokens, then base whole
         {std::tuple{0U, false, 0U, std::vector<std::size_t>{700, 1559}},
          {4U, false, 0U, {512, 1559}},
          {0U, true, 0U, {}},
          {0U, false, 64U, {}}}) {
        model_writer::ModelSpec model_spec;
        model_spec.weights = model_writer::RandomWeights{1, 2000, 128, 2, 352, 4, 0, experts, 2, recurrent, window};
        const std::string name = "class-" + std::to_string(experts + 10 * recurrent + 100 * window);
        const std::string model = write_test_model(model_spec, name + ".gguf");
        std::string input;
        std::vector<std::string> expected;
        for (const std::string& system : {base, sharing, base}) {
            const std::string request = request_json(model, "hi", "", 0, 8, system);
            ProcessOptions one_shot;
            one_shot.input = request;
            input += request + "\n";
            expected.push_back(R"({"ok":true,"output":)" + json_string(run_helper(one_shot).out) + R"(,"error":null})");
        }
        const ServerRun run = run_server(input, /*diagnostics=*/true);
        EXPECT_EQ(run.lines, expected) << experts << " experts";
        std::vector<std::size_t> restored;
        const std::regex restore_line("state_read_meta: cell_count = ([0-9]+)");
        for (std::sregex_iterator it(run.result.err.begin(), run.result.err.end(), restore_line), end; it != end;
             ++it) {
            restored.push_back(std::stoul((*it)[1]));
        }
        EXPECT_EQ(restored, cells) << name;
    }
}

// llama.cpp's tokenizer throws on a vocabulary without byte tokens: only
// that request fails, in either mode.
TEST_F(Server, ExceptionInsideLlamaCppFailsOnlyItsRequest) {
    auto model_spec = chain_model({"▁Hello", "!"});
    model_spec.byte_tokens = false;
    const std::string no_bytes = write_test_model(model_spec, "no-bytes.gguf");
    const auto run = run_server(request_json(*model_a) + "\n" + request_json(no_bytes) + "\n" + request_json(*model_a));
    EXPECT_EQ(run.result.exit_status, 0);
    ASSERT_EQ(run.lines.size(), 3U) << run.result.out;
    EXPECT_EQ(run.lines[0], hello);
    EXPECT_TRUE(run.lines[1].starts_with(R"({"ok":false,"output":null,"error":"llama.cpp failed: )")) << run.lines[1];
    EXPECT_EQ(run.lines[2], hello);
    ProcessOptions one_shot;
    one_shot.input = request_json(no_bytes);
    const ProcessResult result = run_helper(one_shot);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with("llama.cpp failed: ")) << result.err;
}

TEST_F(Server, ChangedLetterCaseIsAnotherKey) {
    // A directory whose name differs only in case holds a copy of model A.
    const std::string dir = temporary_directory();
    std::filesystem::create_directory(dir + "/Models");
    std::filesystem::create_directory(dir + "/models");
    std::filesystem::copy_file(*model_a, dir + "/Models/m.gguf");
    std::filesystem::copy_file(*model_a, dir + "/models/m.gguf");
    const auto run = run_server(warmup(dir + "/Models/m.gguf") + "\n" + warmup(dir + "/models/m.gguf") + "\n", true);
    EXPECT_EQ(run.lines, (std::vector<std::string>{warm, warm}));
    EXPECT_EQ(helper_lines(run.result.err).size(), 4U);
}

TEST_F(Server, FailedLoadKeepsTheCachedModel) {
    const std::string a = *model_a;
    const auto run = run_server(
        "{\"modelPath\":\"/missing.gguf\",\"systemPrompt\":\"\",\"userPrompt\":\"\","
        "\"temperature\":0,\"maxTokens\":1}\n" +
            warmup(a) + "\n" + request_json("/missing.gguf") + "\n" + request_json(a) + "\n",
        true);
    EXPECT_EQ(run.result.exit_status, 0);
    const std::vector<std::string> expected = {error_line("null result from llama cpp"), warm,
                                               error_line("null result from llama cpp"), hello};
    EXPECT_EQ(run.lines, expected);
    // A failed load writes its loading line but no loaded line; the cached
    // model is served again without a load.
    const std::vector<std::string> expected_diagnostics = {
        "loading model path=/missing.gguf n_gpu_layers=4294967295",
        "loading model path=" + a + " n_gpu_layers=4294967295",
        "loaded model path=" + a,
        "loading model path=/missing.gguf n_gpu_layers=4294967295",
    };
    EXPECT_EQ(helper_lines(run.result.err), expected_diagnostics);
}

// Writes `value` over the four bytes `offset` bytes after the name of `key`
// in the GGUF file at `path`: 0 for its type, 4 for a 32-bit value.
void write_after_key(const std::string& path, const std::string& key, std::size_t offset, std::uint32_t value) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    file.seekp(static_cast<std::streamoff>(bytes.find(key) + key.size() + offset));
    file.write(reinterpret_cast<const char*>(&value), sizeof value);
}

// Files llama.cpp would abort on (layer and expert counts its loader asserts
// on, a norm weight its CPU backend cannot multiply by) fail in either mode,
// and so do models in three files with such a norm in the last file, or
// whose second file is cut inside its tensor data, missing, a pipe (which
// llama.cpp would wait on), numbered in a type llama.cpp asserts on, or out
// of place, or whose first file counts another number of tensors: each
// refused before llama.cpp reads it (with diagnostics on, its log has no
// load). Whole, such a model answers, also with the header alone in its
// first file.
TEST_F(Server, FaultyModelsFailToLoadInEitherMode) {
    namespace fs = std::filesystem;
    std::vector<model_writer::ModelSpec> faulty(11, chain_model({"▁Hello", "!"}));
    faulty[0].header_numbers = {{"llama.block_count", 0}};
    faulty[1].header_numbers = {{"llama.block_count", 100000}};
    faulty[2].header_numbers = {{"llama.expert_count", 2}, {"llama.expert_used_count", 3}};
    faulty[3].tensor_types = {{"blk.0.ffn_norm.weight", model_writer::WeightType::mxfp4}};
    faulty[4].tensor_types = {{"blk.0.ffn_norm.weight", model_writer::WeightType::f16}};
    for (auto& model_spec : std::span(faulty).subspan(4)) model_spec.files = 3;
    using Files = std::vector<std::string>;
    const std::map<std::size_t, std::function<void(const Files&)>> changes = {
        {5, [](const Files& f) { fs::resize_file(f[1], fs::file_size(f[1]) - 1); }},
        {6, [](const Files& f) { fs::remove(f[1]); }},
        {7, [](const Files& f) { fs::remove(f[1]), mkfifo(f[1].c_str(), 0600); }},
        {8, [](const Files& f) { write_after_key(f[1], "split.no", 0, 3); }},  // GGUF_TYPE_INT16
        {9, [](const Files& f) { fs::rename(f[1], f[0] + "x"), fs::rename(f[2], f[1]), fs::rename(f[0] + "x", f[2]); }},
        {10, [](const Files& f) { write_after_key(f[0], "split.tensors.count", 4, 13); }}};
    model_writer::ModelSpec header_alone = faulty.back();
    header_alone.header_only_first_file = true;
    std::string input = request_json(write_test_model(faulty.back(), "whole")) + "\n" +
                        request_json(write_test_model(header_alone, "header-alone")) + "\n";
    std::vector<std::string> expected = {hello, hello};
    for (std::size_t i = 0; i < faulty.size(); ++i) {
        const std::string path = write_test_model(faulty[i], "faulty");
        if (changes.contains(i)) {
            changes.at(i)({path, std::regex_replace(path, std::regex("1-of-"), "2-of-"),
                           std::regex_replace(path, std::regex("1-of-"), "3-of-")});
        }
        ProcessOptions one_shot;
        one_shot.input = request_json(path);
        one_shot.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = "1";
        const ProcessResult result = run_helper(one_shot);
        EXPECT_EQ(result.exit_status, 1) << i << result.err;
        const std::string refused = "loading one-shot model path=" + path + " n_gpu_layers=4294967295\n";
        EXPECT_TRUE(result.err.ends_with(refused + "null result from llama cpp\n")) << i << result.err;
        input += request_json(path) + "\n" + request_json(*model_a) + "\n";
        expected.insert(expected.end(), {error_line("null result from llama cpp"), hello});
    }
    const auto run = run_server(input);
    EXPECT_EQ(run.result.exit_status, 0) << run.result.err;
    EXPECT_EQ(run.lines, expected);
}

// A pipe without a writer would block this load and every request after it.
TEST_F(Server, PathsOfSpecialFilesAreRefusedAtOnce) {
    const std::vector<std::string> paths = special_file_paths();
    std::string input = warmup(*model_a) + "\n";
    for (const std::string& path : paths) input += warmup(path) + "\n";
    // With a GPU device (lavapipe, where there is one) too, whose placement
    // plan reads a model file's header before the load; as the other tests
    // on it, without leak checks under the sanitizers.
    std::map<std::string, std::optional<std::string>> gpu = {{"GGML_VK_VISIBLE_DEVICES", "0"}};
#ifdef DEBRINDLE_SANITIZED_BUILD
    gpu["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=1:halt_on_error=1";
#endif
    const auto run = run_server(input + warmup(*model_a) + "\n", false, gpu);
    EXPECT_EQ(run.result.exit_status, 0);
    std::vector<std::string> expected(paths.size(), error_line("null result from llama cpp"));
    expected.insert(expected.begin(), warm);
    expected.push_back(warm);
    EXPECT_EQ(run.lines, expected);
}

TEST_F(Server, LineThatIsNotUtf8EndsTheServer) {
    const std::string a = *model_a;
    const auto run = run_server(warmup(a) + "\n" + "{\"x\":\"\xFF\"}\n" + warmup(a) + "\n");
    EXPECT_EQ(run.result.exit_status, 1);
    EXPECT_EQ(run.lines, (std::vector<std::string>{warm}));
    EXPECT_EQ(run.result.err, "stream did not contain valid UTF-8\n");
}

TEST_F(Server, InputClosedAtOnceEndsQuietly) {
    for (bool missing : {false, true}) {
        ProcessOptions options;
        options.arguments = {"--server"};
        options.close_stdin = missing;
        const ProcessResult result = run_helper(options);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(Server, ClosedOutputEndsWithStatusOne) {
    ProcessOptions options;
    options.arguments = {"--server"};
    options.input = warmup(*model_a) + "\n";
    options.stdout_reader_gone = true;
    const ProcessResult result = run_helper(options);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_TRUE(is_closed_pipe_error(result.err)) << result.err;
}

TEST_F(Server, HugeLineAndManyPipelinedRequests) {
    // One 100 MiB line (a decode error once read whole), then 10,000 cached
    // warmups written ahead of any answer.
    std::string input = "{\"userPrompt\":\"" + std::string(100U << 20U, 'x') + "\",\"z\":\n";
    const std::string line = warmup(*model_a) + "\n";
    for (int i = 0; i < 10000; ++i) input += line;
    const auto run = run_server(input);
    EXPECT_EQ(run.result.exit_status, 0);
    ASSERT_EQ(run.lines.size(), 10001U);
    EXPECT_EQ(run.lines[0],
              error_line("EOF while parsing a value at line 1 column " + std::to_string(100U * 1024 * 1024 + 21)));
    EXPECT_EQ(std::count(run.lines.begin(), run.lines.end(), warm), 10000);
}

// The Linux processes of a session's helper: its own, or under Wine the
// Windows helper's, whose parent is Wine's and not the session's (a Wine
// suite runs one test at a time).
std::vector<pid_t> helper_processes(pid_t session) {
    if (!helper_is_windows_build()) return {session};
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string program;
        std::getline(std::ifstream(entry.path() / "cmdline"), program, '\0');
        if (program.ends_with("debrindle-llama-helper.exe")) found.push_back(std::stoi(entry.path().filename()));
    }
    return found;
}

// The processor time of one thread (/proc/PID/task/TID), as the scheduler counts it.
std::uint64_t on_processor_nanoseconds(const std::filesystem::path& task) {
    std::uint64_t nanoseconds = 0;
    // Only a thread that has ended since it was listed has no count; any other
    // unread count would let an idle check pass for nothing.
    if (!(std::ifstream(task / "schedstat") >> nanoseconds) && std::filesystem::exists(task)) {
        ADD_FAILURE() << "cannot read " << task / "schedstat";
    }
    return nanoseconds;
}

// The processor time of every thread of `processes` now, to the nanosecond
// (the scheduler's own count, where /proc/PID/stat counts in clock ticks).
double processor_seconds(const std::vector<pid_t>& processes) {
    std::uint64_t nanoseconds = 0;
    for (const pid_t pid : processes) {
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
            nanoseconds += on_processor_nanoseconds(task.path());
        }
    }
    return static_cast<double>(nanoseconds) / 1e9;
}

// The engine's threads outnumber the processors they may run on: the helper
// started on one processor, and moved to one while it serves, answers as it
// does alone and in a time near its lone time (a pool that spins while the
// thread it waits for has no processor takes hundreds of times as long); an
// idle server takes no processor time once its threads' first spin of a
// millisecond or so is over (a pool that polls for the next graph, as ggml's
// and libgomp's do, spins through the first tenths of a second); the pool's
// threads outlive each request; and at nice 10 beside a nice-19 busy task the
// helper answers as alone.
TEST(ServerOnOneProcessor, AnswersAsAloneAndSleepsWhenIdle) {
    model_writer::ModelSpec model_spec;
    model_spec.weights = model_writer::RandomWeights{.seed = 1};
    model_spec.weight_type = model_writer::WeightType::f16;
    const std::string request =
        request_json(write_test_model(model_spec, "random.gguf"), "Say hello.", "", 0, 16) + "\n";
    const std::map<std::string, std::optional<std::string>> quiet{{"BRINDLE_DEBRINDLE_LLAMA_LOGS", std::nullopt}};
    HelperSession server({"--server"}, quiet, std::chrono::seconds(90), {}, SessionHelper::under_test);
    server.send(request);
    const auto alone = server.read_line();
    ASSERT_TRUE(alone && alone->starts_with(R"({"ok":true)")) << alone.value_or("no answer");
    const auto processes = helper_processes(server.pid());
    ASSERT_FALSE(processes.empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // each waiting thread's first spin
    const double busy_before = processor_seconds(processes);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(processor_seconds(processes) - busy_before, 0.005);
    if (!helper_is_windows_build() && !gpu_device_present()) {
        // The helper's thread and the pool's workers, each of which has
        // computed (a context without the pool makes threads for each graph
        // and leaves the pool's idle).
        std::int32_t threads = 0;
        for (const auto& task :
             std::filesystem::directory_iterator("/proc/" + std::to_string(server.pid()) + "/task")) {
            ++threads;
            if (task.path().filename() != std::to_string(server.pid())) {
                EXPECT_GT(on_processor_nanoseconds(task.path()), 5'000'000U);
            }
        }
        EXPECT_EQ(threads, thread_count(logical_processor_count()));
    }

    const auto timed_answer = [&](HelperSession& session) {
        const auto start = std::chrono::steady_clock::now();
        session.send(request);
        const auto answer = session.read_line();
        return std::pair{answer, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
    };
    const double lone_seconds = timed_answer(server).second;
    const double bound = 10 * lone_seconds + 1;
    const auto deadline = std::chrono::seconds(static_cast<int>(bound) + 30);  // for a load, and a hang
    HelperSession started_on_one({"--server"}, quiet, deadline, {"/usr/bin/taskset", "-c", "0"},
                                 SessionHelper::under_test);
    started_on_one.send(request);
    EXPECT_EQ(started_on_one.read_line(), alone);
    const auto [started_answer, started_seconds] = timed_answer(started_on_one);
    EXPECT_EQ(started_answer, alone);
    EXPECT_LT(started_seconds, bound) << "alone " << lone_seconds << " s";

    for (const pid_t pid : processes) {
        ASSERT_EQ(std::system(("taskset -a -p -c 0 " + std::to_string(pid) + " >/dev/null").c_str()), 0);
    }
    const auto [moved_answer, moved_seconds] = timed_answer(server);
    EXPECT_EQ(moved_answer, alone);
    EXPECT_LT(moved_seconds, bound) << "alone " << lone_seconds << " s";
    EXPECT_EQ(server.finish().exit_status, 0);

    // Below normal priority beside a busy task of lower priority still on its
    // one processor (where a pool whose threads hand each other the work at
    // every barrier lets that task run its turn each time), against its own
    // time there without that task: other work on the machine weighs on a
    // server below normal priority far more than on one at normal priority.
    HelperSession below_normal({"--server"}, quiet, deadline,
                               {"/usr/bin/nice", "-n", "10", "/usr/bin/taskset", "-c", "0"}, SessionHelper::under_test);
    below_normal.send(request);
    EXPECT_EQ(below_normal.read_line(), alone);
    const double low_alone_seconds = timed_answer(below_normal).second;
    std::atomic<bool> stop{false};
    std::thread busy([&stop] {
        cpu_set_t first;
        CPU_ZERO(&first);
        CPU_SET(0, &first);
        sched_setaffinity(0, sizeof first, &first);
        setpriority(PRIO_PROCESS, 0, 19);  // this thread alone, on Linux
        while (!stop.load(std::memory_order_relaxed)) {
        }
    });
    const auto [low_answer, low_seconds] = timed_answer(below_normal);
    stop = true;
    busy.join();
    EXPECT_EQ(low_answer, alone);
    EXPECT_LT(low_seconds, 10 * low_alone_seconds + 1) << "alone at nice 10 " << low_alone_seconds << " s";
}

}  // namespace
}  // namespace debrindle::testing
