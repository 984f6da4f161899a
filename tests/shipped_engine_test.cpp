// The engine as it ships: one CPU module per processor level chosen at start,
// quantized models, the GPU module, and engine code taken only from the
// helper's own folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <tuple>

#include "common/platform.hpp"
#include "common/register_state.hpp"
#include "engine/backend/cpu_variant.hpp"
#include "engine/model/model_file_reader.hpp"
#include "engine/placement/placement.hpp"
#include "support/models.hpp"
#include "support/process.hpp"

namespace debrindle::testing {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> reply_chain = {"▁Hello", "▁world", "!"};
constexpr const char* reply = " Hello world!";

ProcessResult one_shot(const std::string& model, ProcessOptions options = {}) {
    options.input = request_json(model);
    options.environment.try_emplace("BRINDLE_DEBRINDLE_LLAMA_LOGS", std::nullopt);
    return run_helper(options);
}

std::string quantized_model(model_writer::WeightType type) {
    auto model_spec = chain_model(reply_chain);
    model_spec.weight_type = type;
    return write_test_model(model_spec);
}

struct ProcessorCase {
    const char* name;
    const char* qemu_cpu;  // nullptr: this machine itself
    const char* module;    // the CPU module it must choose
};

void PrintTo(const ProcessorCase& c, std::ostream* os) { *os << c.name; }

class Processor : public ::testing::TestWithParam<ProcessorCase> {};

TEST_P(Processor, QuantizedRepliesAreExact) {
    const auto& processor = GetParam();
    ProcessOptions options;
    if (processor.qemu_cpu != nullptr) {
        if (helper_is_windows_build() || !fs::exists("/usr/bin/qemu-x86_64")) GTEST_SKIP() << "needs qemu-user";
#ifdef DEBRINDLE_SANITIZED_BUILD
        GTEST_SKIP() << "the sanitizers' shadow memory does not map under qemu-user";
#endif
        options.launcher = {"/usr/bin/qemu-x86_64", "-cpu", processor.qemu_cpu};
        options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = "1";
    }
    for (const auto type : {model_writer::WeightType::q8_0, model_writer::WeightType::q4_0}) {
        const ProcessResult result = one_shot(quantized_model(type), options);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(result.out, reply);
        if (processor.module == nullptr) {
            EXPECT_EQ(result.err, "");
        } else {
            const auto folder = fs::path(helper_path()).parent_path().string();
            const auto line = "loaded CPU backend from " + folder + "/libggml-cpu-" + processor.module + ".so\n";
            EXPECT_NE(result.err.find(line), std::string::npos) << result.err;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shipped, Processor,
                         ::testing::Values(ProcessorCase{"this_machine", nullptr, nullptr},
                                           ProcessorCase{"nehalem", "Nehalem", "sse42"},
                                           ProcessorCase{"sandy_bridge", "SandyBridge", "sandybridge"},
                                           ProcessorCase{"haswell", "Haswell", "haswell"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Options that give the helper Mesa's software Vulkan device as its GPU;
// ggml-vulkan passes over devices of the CPU type unless they are named.
ProcessOptions software_gpu() {
    ProcessOptions options;
    options.environment["GGML_VK_VISIBLE_DEVICES"] = "0";
#ifdef DEBRINDLE_SANITIZED_BUILD
    // LeakSanitizer's tracer, stopping the helper's threads at its exit,
    // faults beside the threads of Mesa's device on a busy machine ("Tracer
    // caught signal 11"): the other tests look for leaks.
    options.environment["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=1:halt_on_error=1";
#endif
    return options;
}

TEST(ShippedEngine, GpuOffloadGivesTheCpuReplyQuietly) {
    if (!fs::exists("/usr/share/vulkan/icd.d/lvp_icd.x86_64.json")) GTEST_SKIP() << "needs Mesa's lavapipe";
    const std::string model = write_test_model(chain_model(reply_chain));
    ProcessOptions options = software_gpu();
    const ProcessResult quiet = one_shot(model, options);
    EXPECT_EQ(quiet.exit_status, 0);
    EXPECT_EQ(quiet.out, reply);
    EXPECT_EQ(quiet.err, "");
    options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = "1";
    const ProcessResult logged = one_shot(model, options);
    EXPECT_EQ(logged.out, reply);
    EXPECT_NE(logged.err.find("offloaded 2/2 layers to GPU"), std::string::npos) << logged.err;
}

// With every layer on the GPU, a server that reuses the cells of a shared
// system prompt replies as a process of its own does.
TEST(ShippedEngine, GpuServerRepliesWithAKeptPromptPrefixAsAlone) {
    if (!fs::exists("/usr/share/vulkan/icd.d/lvp_icd.x86_64.json")) GTEST_SKIP() << "needs Mesa's lavapipe";
    model_writer::ModelSpec model_spec;  // heads as long as the scripted models', as in the other GPU tests
    model_spec.weights = model_writer::RandomWeights{
        .vocab_size = 2000, .embedding_length = 320, .layers = 2, .feed_forward_length = 384, .heads = 2};
    const std::string model = write_test_model(model_spec);
    // 459 prompt tokens, then another prompt that shares 300 of them: 256
    // reused.
    const std::pair<std::string, std::string> prompts[] = {
        {vocabulary_words(0, 300), "hi"}, {vocabulary_words(0, 252) + " " + vocabulary_words(253, 47), "ab cd ef"}};
    std::string input, expected;
    for (const auto& [system, user] : prompts) {
        ProcessOptions options = software_gpu();
        options.input = request_json(model, user, "", 0, 4, system);
        input += options.input + "\n";
        expected += R"({"ok":true,"output":)" + json_string(run_helper(options).out) + R"(,"error":null})" + "\n";
    }
    ProcessOptions options = software_gpu();
    options.arguments = {"--server"};
    options.input = input;
    options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = "1";
    const ProcessResult served = run_helper(options);
    EXPECT_EQ(served.out, expected);
    EXPECT_NE(served.err.find("state_read_meta: cell_count = 256,"), std::string::npos);  // whole batches on a GPU
}

#ifdef DEBRINDLE_SMALL_GPU_LAYER_DIR
// Standard error without the layer's own lines: under Wine the layer is a
// library of the Linux side, whose writes the Windows helper cannot silence.
std::string without_layer_lines(const std::string& err) {
    return helper_is_windows_build() ? std::regex_replace(err, std::regex("small GPU: [^\n]*\n"), "") : err;
}

// lavapipe behind a layer that makes it a card of `kib` KiB: an allocation
// past that is refused as a real card refuses it or, paging, let through as
// a driver that pages device memory out does.
ProcessOptions small_gpu(const std::string& kib, const std::string& mode = "refuse") {
    if (!fs::exists("/usr/share/vulkan/icd.d/lvp_icd.x86_64.json")) return {};
    ProcessOptions options = software_gpu();
    options.environment.insert({{"VK_LAYER_PATH", DEBRINDLE_SMALL_GPU_LAYER_DIR},
                                {"VK_INSTANCE_LAYERS", "VK_LAYER_DEBRINDLE_small_gpu"},
                                {"DEBRINDLE_SMALL_GPU_KIB", kib},
                                {"DEBRINDLE_SMALL_GPU_MODE", mode},
                                {"DEBRINDLE_SMALL_GPU_LOG", "1"}});
    return options;
}

// This model's buffers on the device are weights 2201 KiB, cache 1280 KiB
// and compute 2118 + 1159 KiB: the placement is planned to fit each card in
// one load. A card that gives less than it reports (as would a prompt far
// past the smallest context, which needs more than planned) fails the
// planned context, and the fallback places the model lower for it. Every
// request is answered; the CPU reply comes from one process.
TEST(ShippedEngine, GpuTooSmallForTheModelStillAnswers) {
    if (small_gpu("0").environment.empty()) GTEST_SKIP() << "needs Mesa's lavapipe";
    const std::string model = write_test_model(chain_model(reply_chain));
    const struct {
        const char* kib;
        const char* gives_kib;  // nothing: all it reports
        const char* placed;
    } cases[] = {
        {"1000", nullptr, "n_gpu_layers=0 CPU only"},
        {"5000", nullptr, "n_gpu_layers=0 CPU only"},
        {"6762", nullptr, "n_gpu_layers=1 on Vulkan0"},
        {"10000", "4000", "n_gpu_layers=1 on Vulkan0"},
    };
    const std::string answer = R"({"ok":true,"output":" Hello world!","error":null})";
    for (const auto& c : cases) {
        ProcessOptions options = small_gpu(c.kib);
        if (c.gives_kib) options.environment["DEBRINDLE_SMALL_GPU_GIVES_KIB"] = c.gives_kib;
        options.input = request_json(model);
        const ProcessResult quiet = run_helper(options);
        EXPECT_EQ(quiet.exit_status, 0) << c.kib;
        EXPECT_EQ(quiet.out, reply) << c.kib;
        EXPECT_EQ(without_layer_lines(quiet.err), "") << c.kib;

        // The server finds a placement once and keeps it: one load, one line.
        // Where the fallback runs, the engine says why.
        options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = "1";
        options.arguments = {"--server"};
        options.input = request_json(model, "hi", R"("action":"warmup",)") + "\n" + request_json(model) + "\n" +
                        request_json(model) + "\n";
        const ProcessResult served = run_helper(options);
        EXPECT_EQ(served.exit_status, 0) << c.kib;
        EXPECT_NE(served.err.find("placed model path=" + model + " " + c.placed + " "), std::string::npos)
            << c.kib << served.err;
        EXPECT_EQ(served.out, R"({"ok":true,"output":"","error":null})"
                              "\n" +
                                  answer + "\n" + answer + "\n")
            << c.kib;
        if (c.gives_kib) {
            EXPECT_NE(served.err.find("failed to allocate"), std::string::npos) << c.kib << served.err;
            continue;
        }
        EXPECT_EQ(served.err.find(" refused"), std::string::npos) << c.kib << served.err;
        for (const char* line : {"loading model path=", "placed model path="}) {
            const auto first = served.err.find(line);
            EXPECT_TRUE(first != std::string::npos && served.err.find(line, first + 1) == std::string::npos) << line;
        }
    }
#ifndef DEBRINDLE_SANITIZED_BUILD  // the sanitizers reserve far more address space than any limit
    // Where neither holds the context of a prompt of 600,000 words (about
    // 730 MiB of cache and 300 MiB of compute buffers for the 976 MiB the
    // process may use), that request fails and the server goes on with the
    // model where it is. (Wine, too, reserves more address space than that.)
    if (helper_is_windows_build()) return;
    std::string words;
    for (int i = 0; i < 600000; ++i) words += "a ";
    ProcessOptions limited = small_gpu("1000");
    limited.launcher = {"/bin/sh", "-c", "ulimit -v 1000000 && exec \"$@\"", "sh"};
    limited.arguments = {"--server"};
    limited.input = request_json(model) + "\n" + request_json(model, words) + "\n" + request_json(model) + "\n";
    const ProcessResult result = run_helper(limited);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, answer + "\n" +
                              R"({"ok":false,"output":null,"error":"null reference from llama.cpp"})"
                              "\n" +
                              answer + "\n");
#endif
}

// A card (KiB) on which the plan gives `layers` layers of a model of this
// footprint: half way between their need and one more layer's, with the
// plan's margin of a sixteenth.
std::string card_for_layers(const ModelFootprint& footprint, std::uint32_t layers) {
    const std::uint64_t need = device_bytes(footprint, {layers, false});
    return std::to_string((need + device_bytes(footprint, {layers + 1, false})) / 2 * 16 / 15 / 1024);
}

// A model of two small layers and the output layer, F32 and with heads as
// long as the scripted models' so that the device compiles one set of
// shaders for all the GPU tests (lavapipe takes most of their time there);
// the cards are sized by its footprint. In three files it is planned and
// answers as in one.
TEST(ShippedEngine, PlacementIsPlannedForTheMemoryThereIs) {
    if (small_gpu("0").environment.empty()) GTEST_SKIP() << "needs Mesa's lavapipe";
    model_writer::ModelSpec model_spec;
    const model_writer::RandomWeights small{
        .vocab_size = 2000, .embedding_length = 320, .layers = 2, .feed_forward_length = 384, .heads = 2};
    model_spec.weights = small;
    const std::string model_a = write_test_model(model_spec, "a.gguf");
    auto other_seed = small;
    other_seed.seed = 3;
    model_spec.weights = other_seed;
    const std::string model_b = write_test_model(model_spec, "b.gguf");
    model_spec.weights = small;
    model_spec.files = 3;
    const std::string split_a = write_test_model(model_spec, "split-a");
    const auto header = read_model_file_header(model_a.c_str());
    ASSERT_TRUE(header && header->footprint);
    const ModelFootprint& footprint = *header->footprint;
    const auto request = [](const std::string& model) { return request_json(model, "hi", "", 0, 4); };
    const std::string peak_file = temporary_directory() + "/peak";
    const auto logged_run = [&](ProcessOptions options, const std::string& input, bool server = false) {
        options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = "1";
        options.environment["DEBRINDLE_SMALL_GPU_PEAK_FILE"] = peak_file;
        options.input = input;
        if (server) options.arguments = {"--server"};
        fs::remove(peak_file);
        return run_helper(options);
    };
    const auto peak_kib = [&] {
        std::uint64_t bytes = 0;
        std::ifstream(peak_file) >> bytes;
        return bytes / 1024;
    };
    // A driver that pages: a card where two of the three layers fit, for the
    // model in one file and in three, and one below a single layer's need;
    // and a refusing card where two layers fit.
    const std::string two = card_for_layers(footprint, 2);
    const std::string below_one = std::to_string(device_bytes(footprint, {1, false}) / 2 / 1024);
    std::map<std::string, std::string> replies;  // of the first run on each card
    for (const auto& [model, kib, mode, layers] : {std::tuple{model_a, two, "paging", "n_gpu_layers=2 on"},
                                                   {split_a, two, "paging", "n_gpu_layers=2 on"},
                                                   {model_a, below_one, "paging", "n_gpu_layers=0 CPU only"},
                                                   {model_a, two, "refuse", "n_gpu_layers=2 on"}}) {
        const ProcessResult result = logged_run(small_gpu(kib, mode), request(model));
        EXPECT_EQ(result.exit_status, 0) << kib << result.err;
        EXPECT_NE(result.out, "") << kib;
        EXPECT_EQ(result.out, replies.try_emplace(kib, result.out).first->second) << model;
        EXPECT_LE(peak_kib(), std::stoull(kib)) << kib;
        EXPECT_EQ(result.err.find(" refused"), std::string::npos) << kib;
        EXPECT_NE(result.err.find("placed model path=" + model + " " + layers), std::string::npos) << result.err;
    }
    // A card that holds either model, not both: a switch releases the old
    // model first, and each gets every layer, as in a process of its own;
    // so too where the driver reports its whole heap free however much the
    // helper holds there (the helper counts that itself).
    ProcessOptions card = small_gpu(std::to_string(device_bytes(footprint, requested_placement) * 17 / 15 / 1024));
    const std::string fresh_a = logged_run(card, request(model_a)).out;
    const std::string fresh_b = logged_run(card, request(model_b)).out;
    EXPECT_NE(fresh_a, fresh_b);
    const std::string lines = request(model_a) + "\n" + request(model_b) + "\n";
    const auto answer = [](const std::string& text) {
        return R"({"ok":true,"output":)" + json_string(text) +
               R"(,"error":null})"
               "\n";
    };
    for (const char* budget : {"capped", "whole"}) {
        card.environment["DEBRINDLE_SMALL_GPU_BUDGET"] = budget;
        const ProcessResult served = logged_run(card, lines + lines, true);
        EXPECT_EQ(served.out, answer(fresh_a) + answer(fresh_b) + answer(fresh_a) + answer(fresh_b)) << budget;
        std::size_t full_placements = 0;
        for (auto at = served.err.find("n_gpu_layers=3 on Vulkan0"); at != std::string::npos;
             at = served.err.find("n_gpu_layers=3 on Vulkan0", at + 1)) {
            ++full_placements;
        }
        EXPECT_EQ(full_placements, 4U) << served.err;
        EXPECT_EQ(served.err.find(" refused"), std::string::npos) << budget;
    }
    // Between two requests for A: B cut inside its tensor data, refused
    // before any load while A stays; then a B that only llama.cpp refuses
    // (a feed-forward length its tensors do not have), tried once A made
    // room, and A loaded again with the lines of any load.
    const std::string cut = temporary_directory() + "/cut.gguf";
    fs::copy_file(model_b, cut);
    fs::resize_file(cut, fs::file_size(cut) / 2);
    model_spec.files = 1;
    model_spec.header_numbers = {{"llama.feed_forward_length", 1000}};
    const std::string misfit = write_test_model(model_spec, "misfit.gguf");
    card.environment.erase("DEBRINDLE_SMALL_GPU_BUDGET");
    const ProcessResult switched = logged_run(
        card, request(model_a) + "\n" + request(cut) + "\n" + request(misfit) + "\n" + request(model_a) + "\n", true);
    const std::string failed = R"({"ok":false,"output":null,"error":"null result from llama cpp"})"
                               "\n";
    EXPECT_EQ(switched.out, answer(fresh_a) + failed + failed + answer(fresh_a));
    std::string load_lines;  // the helper's, up to their figures, each ending in '|'
    const std::regex load_line(R"((loading|placed|loaded) model path=\S+( n_gpu_layers=\d+( on \S+)?)?)");
    for (std::sregex_iterator it(switched.err.begin(), switched.err.end(), load_line), end; it != end; ++it) {
        load_lines += it->str() + "|";
    }
    const std::string a_loaded = "loading model path=" + model_a +
                                 " n_gpu_layers=4294967295|placed model path=" + model_a +
                                 " n_gpu_layers=3 on Vulkan0|loaded model path=" + model_a + "|";
    EXPECT_EQ(load_lines, a_loaded + "loading model path=" + cut + " n_gpu_layers=4294967295|loading model path=" +
                              misfit + " n_gpu_layers=4294967295|" + a_loaded);
}

// The estimate of a placement against llama.cpp's own buffers on the device,
// for models whose layers differ in size (the big one last or first, in one
// file or three), on a card the plan gives the output layer and the last two
// layers: their weights and cache as llama.cpp rounds them, and the compute
// buffers never below llama.cpp's, nor ten times above.
TEST(ShippedEngine, EstimateIsLlamaCppsBuffers) {
    if (small_gpu("0").environment.empty()) GTEST_SKIP() << "needs Mesa's lavapipe";
    model_writer::ModelSpec model_spec;
    model_spec.weight_type = model_writer::WeightType::q4_0;
    model_spec.weights = model_writer::RandomWeights{.vocab_size = 2000, .layers = 4};
    for (const auto& [big_layer, files] : {std::pair{"3", 1}, {"0", 1}, {"3", 3}}) {
        model_spec.tensor_types.clear();
        for (const char* matrix : {"ffn_gate", "ffn_up", "ffn_down"}) {
            model_spec.tensor_types["blk." + std::string(big_layer) + "." + matrix + ".weight"] =
                model_writer::WeightType::f32;
        }
        model_spec.files = static_cast<std::uint16_t>(files);
        const std::string model = write_test_model(model_spec, "layers");
        const auto header = read_model_file_header(model.c_str());
        ASSERT_TRUE(header && header->footprint) << big_layer << " in " << files;
        const ModelFootprint& footprint = *header->footprint;
        const std::uint64_t three = device_bytes(footprint, {3, false});
        ProcessOptions options = small_gpu(card_for_layers(footprint, 3), "paging");
        options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = "1";
        options.input = request_json(model, "hi", "", 0, 1);
        const ProcessResult result = run_helper(options);
        EXPECT_NE(result.err.find("n_gpu_layers=3 on Vulkan0 "), std::string::npos) << result.err;
        std::map<std::string, double> mib;  // "Vulkan0 model": the MiB of that buffer
        const std::regex buffer(R"((\S+) +(model|KV|compute) buffer size = +([0-9.]+) MiB)");
        for (std::sregex_iterator it(result.err.begin(), result.err.end(), buffer), end; it != end; ++it) {
            mib[(*it)[1].str() + " " + (*it)[2].str()] = std::stod((*it)[3].str());
        }
        ASSERT_TRUE(mib.contains("Vulkan0 model") && mib.contains("Vulkan0 KV") && mib.contains("Vulkan0 compute"))
            << result.err;
        const double compute_mib = static_cast<double>(footprint.compute_bytes) / (1 << 20);
        const double llama_compute_mib = mib["Vulkan0 compute"] + mib["Vulkan_Host compute"];
        EXPECT_NEAR(static_cast<double>(three - footprint.compute_bytes) / (1 << 20),
                    mib["Vulkan0 model"] + mib["Vulkan0 KV"], 0.03)
            << big_layer << " in " << files;
        EXPECT_GE(compute_mib, llama_compute_mib) << big_layer << " in " << files;
        EXPECT_LT(compute_mib, 10 * llama_compute_mib) << big_layer << " in " << files;
    }
}
#endif

// A copy of the helper's folder under `name`, without the files whose names
// begin with one of `left_out`, and options that start the helper there.
ProcessOptions copy_of_helper_folder(const std::string& name, const std::vector<std::string>& left_out) {
    const auto command = helper_command();
    const fs::path folder = fs::path(temporary_directory()) / name;
    fs::create_directory(folder);
    for (const auto& entry : fs::directory_iterator(fs::path(command.back()).parent_path())) {
        const auto file = entry.path().filename().string();
        const auto named = [&](const std::string& prefix) { return file.starts_with(prefix); };
        if (entry.is_regular_file() && std::none_of(left_out.begin(), left_out.end(), named)) {
            fs::copy(entry.path(), folder / file);
        }
    }
    ProcessOptions options;
    options.program = (folder / fs::path(command.back()).filename()).string();
    options.launcher.assign(command.begin(), command.end() - 1);  // Wine and its starter, if any
    return options;
}

// Each CPU module alone in a copy of the folder: those this processor runs
// answer exactly (under Wine too, where GCC's AVX spills would fault on a
// stack it cannot align), a server on them resumes a shared system prompt
// inside a physical batch (at 500 of 503 shared tokens, its first batch's
// attention in tiles) with the reply of a process of its own, and the others
// fail cleanly as the only module.
TEST(ShippedEngine, EachCpuModuleThisProcessorRunsAnswersExactly) {
    const std::string prefix = helper_is_windows_build() ? "ggml-cpu-" : "libggml-cpu-";
    std::vector<std::string> modules;
    for (const auto& entry : fs::directory_iterator(fs::path(helper_command().back()).parent_path())) {
        if (entry.path().filename().string().starts_with(prefix)) modules.push_back(entry.path().filename().string());
    }
    ASSERT_FALSE(modules.empty());
    std::vector<std::string> left_out = {"libggml-vulkan", "ggml-vulkan", "debrindle_"};
    left_out.insert(left_out.end(), modules.begin(), modules.end());
    model_writer::ModelSpec random_spec;
    random_spec.weights = model_writer::RandomWeights{
        .vocab_size = 2000, .embedding_length = 256, .layers = 2, .feed_forward_length = 512, .heads = 4};
    random_spec.weight_type = model_writer::WeightType::q4_k_m;
    const std::string random_model = write_test_model(random_spec);
    const std::string first = request_json(random_model, "hi", "", 0, 8, vocabulary_words(0, 600));
    const std::string second =
        request_json(random_model, "hi", "", 0, 8, vocabulary_words(0, 455) + " " + vocabulary_words(456, 99));
    for (const auto type : {model_writer::WeightType::q8_0, model_writer::WeightType::q4_0}) {
        const std::string model = quantized_model(type);
        for (const auto& module : modules) {
            std::erase(left_out, module);
            const auto folder = std::to_string(static_cast<int>(type)) + module;
            const ProcessOptions module_alone = copy_of_helper_folder(folder, left_out);
            const auto result = one_shot(model, module_alone);
            left_out.push_back(module);
            // Whether this processor runs it, by the module's own score (a
            // Windows module's is its Linux twin's, beside these tests) and
            // the helper's rule; where it cannot be asked, either way cleanly.
            const std::string level = module.substr(module.find("cpu-"), module.rfind('.') - module.find("cpu-"));
            const auto score = call_library_function(
                fs::path(helper_path()).parent_path() / ("libggml-" + level + ".so"), "ggml_backend_score");
            const bool runs = score
                                  ? cpu_variant_usable(
                                        *score, enabled_register_state(any_cpu_variant_needs_tiles({{module, *score}})))
                                  : result.exit_status == 0;
            EXPECT_EQ(result.exit_status, runs ? 0 : 1) << module;
            EXPECT_EQ(result.out, runs ? reply : "") << module;
            EXPECT_EQ(result.err, runs ? "" : "null result from llama cpp\n") << module;
            if (!runs || type != model_writer::WeightType::q4_0) continue;
            ProcessOptions options = module_alone;
            options.input = second;
            const std::string alone = run_helper(options).out;
            options.arguments = {"--server"};
            options.input = first + "\n" + second + "\n";
            options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = "1";
            const ProcessResult served = run_helper(options);
            EXPECT_NE(served.err.find("state_read_meta: cell_count = 500,"), std::string::npos) << module;
            EXPECT_TRUE(
                served.out.ends_with(R"({"ok":true,"output":)" + json_string(alone) + R"(,"error":null})" + "\n"))
                << module << served.out;
        }
    }
}

// A copy of the helper's folder without some modules, started in a folder
// where libraries are planted under the names of modules and of what they
// load: the helper answers on what its own folder holds (a broken CPU module
// left out), or fails cleanly without a usable one (saying why, with
// diagnostics on), and never loads a planted library. The folder's name may
// hold what glibc's loader would read as its own variables.
TEST(ShippedEngine, LoadsEngineCodeOnlyFromItsOwnFolder) {
    // The Windows build is checked with a DLL that test-windows.sh builds.
    const bool windows = helper_is_windows_build();
    const char* planted_library = windows ? std::getenv("DEBRINDLE_PLANTED_DLL") : DEBRINDLE_PLANTED_LIBRARY;
    if (planted_library == nullptr) GTEST_SKIP() << "no planted library for this build";
    const std::string lib = windows ? "" : "lib";
    const std::string extension = windows ? ".dll" : ".so";
    const std::string broken = lib + "ggml-cpu-x64" + extension;
    const std::string model = write_test_model(chain_model(reply_chain));
    const struct {
        std::string folder;
        std::vector<std::string> left_out;
        int status;
        std::string out, diagnostic;  // with a diagnostic, diagnostics are on
    } cases[] = {{"price$LIB", {lib + "ggml-vulkan"}, 0, reply, ""},
                 {"copy$PLATFORM", {lib + "ggml-vulkan", lib + "ggml-cpu-"}, 1, "", "no CPU module loaded: " + broken}};
    for (const auto& c : cases) {
        ProcessOptions options = copy_of_helper_folder(c.folder, c.left_out);
        std::ofstream(fs::path(options.program).parent_path() / broken) << "no library";
        if (!c.diagnostic.empty()) options.environment["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = "1";
        const fs::path planted = temporary_directory();
        for (const std::string& name :
             {lib + "ggml-cpu-x64" + extension, lib + "ggml-cpu-planted" + extension, lib + "ggml-vulkan" + extension,
              lib + "ggml-base" + extension, std::string(windows ? "vulkan-1.dll" : "libvulkan.so.1")}) {
            fs::copy(planted_library, planted / name);
        }
        options.working_directory = planted.string();
        const auto result = one_shot(model, options);
        EXPECT_EQ(result.exit_status, c.status) << c.folder;
        EXPECT_EQ(result.out, c.out) << c.folder;
        EXPECT_EQ(result.err.empty(), c.diagnostic.empty()) << result.err;
        EXPECT_NE(("\n" + result.err).find("\n" + c.diagnostic), std::string::npos) << result.err;
        EXPECT_TRUE(result.err.ends_with(c.status == 0 ? "" : "null result from llama cpp\n")) << result.err;
        EXPECT_FALSE(fs::exists(planted / "planted-library-ran")) << c.folder;
    }
}

// A module that faults while the helper asks it for its score (a module in
// a folder on a failing network share would): one line and status 101, never
// a dialog, and under Wine never its debugger's report on standard output.
TEST(ShippedEngine, FaultInsideAModuleIsAnAbnormalStop) {
    const char* faulting_module = std::getenv("DEBRINDLE_FAULTING_DLL");
    if (!helper_is_windows_build() || faulting_module == nullptr) GTEST_SKIP() << "the Windows build's faults";
    ProcessOptions options = copy_of_helper_folder("faults", {"ggml-vulkan"});
    fs::copy(faulting_module, fs::path(options.program).parent_path() / "ggml-cpu-faulting.dll");
    const std::string model = write_test_model(chain_model(reply_chain));
    for (const auto& [fault, line] : std::map<std::string, std::string>{
             {"in_page",
              "the model file changed while in use: reading a mapped page of it failed (EXCEPTION_IN_PAGE_ERROR)\n"},
             {"access_violation", "an unhandled exception stopped the helper: code 0xC0000005\n"},
             {"abort", "the engine's C run time aborted the helper\n"}}) {
        options.environment["DEBRINDLE_FAULT"] = fault;
        const auto result = one_shot(model, options);
        EXPECT_EQ(result.exit_status, 101) << fault;
        EXPECT_EQ(result.out, "") << fault;
        EXPECT_EQ(result.err, line);
    }
}

}  // namespace
}  // namespace debrindle::testing
