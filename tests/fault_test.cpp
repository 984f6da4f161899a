// Faults from outside, through the real binary and real pipes: damaged model
// files, model files that change under a running server, a host that stops
// reading, and input that ends in the middle of a line. Every run has a
// deadline (HelperSession), so a hang fails the test instead of stalling it.
//
// Where llama.cpp itself cannot cope (one of its assertions fails, which the
// helper turns into an abnormal stop with status 101, or the process gets a
// signal inside it) the case says so in its table entry, and the test asserts
// that very outcome, so that a change in llama.cpp shows up here.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <stdexcept>

#include "support/models.hpp"
#include "support/process.hpp"
#include "support/session.hpp"

namespace debrindle::testing {
namespace {

namespace fs = std::filesystem;

const std::string hello = R"({"ok":true,"output":" Hello!","error":null})";
const std::string world = R"({"ok":true,"output":" world!","error":null})";
const std::string load_failed = R"({"ok":false,"output":null,"error":"null result from llama cpp"})";

std::string error_line(const std::string& error) {
    return R"({"ok":false,"output":null,"error":)" + json_string(error) + "}";
}

// Under AddressSanitizer a SIGBUS is left to kill the process as it would
// without it. ggml's own backtrace (gdb, printed on standard output) stays
// enabled: the helper must keep it from ever running.
std::map<std::string, std::optional<std::string>> quiet_environment() {
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {{"BRINDLE_DEBRINDLE_LLAMA_LOGS", std::nullopt},
            {"GGML_NO_BACKTRACE", std::nullopt},
            {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":handle_sigbus=0"}};
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Where the fields of a GGUF file lie, found by walking it: the offset of
// each key's value (after its type), and per tensor the offsets of its
// dimension count, first dimension, type and data offset.
struct GgufLayout {
    std::map<std::string, std::size_t> value_at;
    std::size_t tensor_infos_begin = 0;
    std::size_t tensor_infos_end = 0;
    struct Tensor {
        std::size_t n_dims_at, first_dim_at, type_at, offset_at;
    };
    std::vector<Tensor> tensors;

    std::size_t value(const std::string& key) const {
        const auto found = value_at.find(key);
        if (found == value_at.end()) throw std::runtime_error("no key " + key);
        return found->second;
    }
};

GgufLayout walk_gguf(const std::string& bytes) {
    std::size_t at = 0;
    const auto u32 = [&] {
        std::uint32_t v;
        std::memcpy(&v, bytes.data() + at, 4);
        at += 4;
        return v;
    };
    const auto u64 = [&] {
        std::uint64_t v;
        std::memcpy(&v, bytes.data() + at, 8);
        at += 8;
        return v;
    };
    const auto text = [&] {
        const std::uint64_t length = u64();
        std::string s = bytes.substr(at, length);
        at += length;
        return s;
    };
    const auto skip_value = [&](std::uint32_t type) {
        static const std::map<std::uint32_t, std::size_t> scalar = {{0, 1}, {1, 1}, {2, 2},  {3, 2},  {4, 4}, {5, 4},
                                                                    {6, 4}, {7, 1}, {10, 8}, {11, 8}, {12, 8}};
        if (type == 8) {
            text();
        } else {
            at += scalar.at(type);
        }
    };
    GgufLayout layout;
    at = 8;
    const std::uint64_t tensors = u64();
    const std::uint64_t keys = u64();
    for (std::uint64_t k = 0; k < keys; ++k) {
        const std::string key = text();
        const std::uint32_t type = u32();
        layout.value_at[key] = at;
        if (type == 9) {
            const std::uint32_t element = u32();
            const std::uint64_t count = u64();
            for (std::uint64_t i = 0; i < count; ++i) skip_value(element);
        } else {
            skip_value(type);
        }
    }
    layout.tensor_infos_begin = at;
    for (std::uint64_t t = 0; t < tensors; ++t) {
        text();
        GgufLayout::Tensor tensor{};
        tensor.n_dims_at = at;
        const std::uint32_t dims = u32();
        tensor.first_dim_at = at;
        at += 8 * dims;
        tensor.type_at = at;
        at += 4;
        tensor.offset_at = at;
        at += 8;
        layout.tensors.push_back(tensor);
    }
    layout.tensor_infos_end = at;
    return layout;
}

// The intact model that every damaged file starts from: its greedy reply is
// " Hello!".
struct BaseModel {
    std::string bytes;
    GgufLayout layout;
};

const BaseModel& base_model() {
    static const BaseModel base = [] {
        BaseModel m;
        m.bytes = read_file(write_test_model(chain_model({"▁Hello", "!"}), "base.gguf"));
        m.layout = walk_gguf(m.bytes);
        return m;
    }();
    return base;
}

using Damage = std::function<std::string(std::string bytes, const GgufLayout& layout)>;

Damage cut_to(std::function<std::size_t(const std::string&, const GgufLayout&)> length) {
    return [length](std::string bytes, const GgufLayout& layout) {
        bytes.resize(length(bytes, layout));
        return bytes;
    };
}
Damage cut_to(std::size_t length) {
    return cut_to([length](const std::string&, const GgufLayout&) { return length; });
}

template <typename Unsigned>
Damage set_at(std::function<std::size_t(const GgufLayout&)> where, Unsigned value) {
    return [where, value](std::string bytes, const GgufLayout& layout) {
        std::memcpy(bytes.data() + where(layout), &value, sizeof value);
        return bytes;
    };
}
template <typename Unsigned>
Damage set_at(std::size_t where, Unsigned value) {
    return set_at<Unsigned>([where](const GgufLayout&) { return where; }, value);
}
// `shift` moves from the value's start: -4 is the value's type, 4 an array's
// length.
template <typename Unsigned>
Damage set_value(const std::string& key, Unsigned value, std::ptrdiff_t shift = 0) {
    return set_at<Unsigned>(
        [key, shift](const GgufLayout& layout) { return static_cast<std::size_t>(layout.value(key) + shift); }, value);
}
// Changes one of the two counts of the header by `delta`.
Damage count_off_by(std::size_t where, std::int64_t delta) {
    return [where, delta](std::string bytes, const GgufLayout&) {
        std::uint64_t count;
        std::memcpy(&count, bytes.data() + where, sizeof count);
        count += static_cast<std::uint64_t>(delta);
        std::memcpy(bytes.data() + where, &count, sizeof count);
        return bytes;
    };
}
template <typename Unsigned>
Damage set_tensor_field(std::size_t GgufLayout::Tensor::*field, Unsigned value, std::size_t tensor = 0) {
    return set_at<Unsigned>([field, tensor](const GgufLayout& layout) { return layout.tensors.at(tensor).*field; },
                            value);
}

enum class Outcome {
    load_error,    // "null result from llama cpp", status 1
    loads,         // a usable model after all: the normal reply
    llama_aborts,  // an assertion inside llama.cpp: abnormal stop (101); `note` is its message
};

struct DamageCase {
    const char* name;
    Damage damage;
    Outcome outcome;
    std::string note = "";
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

constexpr std::uint64_t all_ones = ~std::uint64_t{0};

Damage replaced_by(const model_writer::ModelSpec& model_spec) {
    return [model_spec](std::string, const GgufLayout&) { return read_file(write_test_model(model_spec)); };
}

// A token's text given twice, which llama.cpp asserts on as it reads the
// vocabulary, a part of the file the helper does not check.
std::string token_given_twice(std::string bytes, const GgufLayout&) {
    return bytes.replace(bytes.find("▁world"), 8, "▁Hello");
}

std::vector<DamageCase> damage_cases() {
    using Tensor = GgufLayout::Tensor;
    auto bf16_norm = chain_model({"▁Hello", "!"});
    bf16_norm.tensor_types["blk.0.ffn_norm.weight"] = model_writer::WeightType::bf16;
    auto f16_bias = chain_model({"▁Hello", "!"});
    f16_bias.zero_biases = {"blk.0.attn_output.bias"};
    f16_bias.tensor_types["blk.0.attn_output.bias"] = model_writer::WeightType::f16;
    auto f16_rope_factors = chain_model({"▁Hello", "!"});
    f16_rope_factors.zero_biases = {"rope_freqs.weight"};
    f16_rope_factors.tensor_types["rope_freqs.weight"] = model_writer::WeightType::f16;
    return {
        // Cut short at many points: inside the header, in the key-value
        // section, in the tensor table, in the tensor data, one byte short.
        {"cut_to_0", cut_to(0), Outcome::load_error},
        {"cut_to_1", cut_to(1), Outcome::load_error},
        {"cut_to_4", cut_to(4), Outcome::load_error},
        {"cut_to_8", cut_to(8), Outcome::load_error},
        {"cut_to_16", cut_to(16), Outcome::load_error},
        {"cut_to_24", cut_to(24), Outcome::load_error},
        {"cut_to_100", cut_to(100), Outcome::load_error},
        {"cut_before_tensor_table", cut_to([](auto&, auto& l) { return l.tensor_infos_begin; }), Outcome::load_error},
        {"cut_after_tensor_table", cut_to([](auto&, auto& l) { return l.tensor_infos_end; }), Outcome::load_error},
        {"cut_to_half", cut_to([](auto& b, auto&) { return b.size() / 2; }), Outcome::load_error},
        {"cut_by_one_byte", cut_to([](auto& b, auto&) { return b.size() - 1; }), Outcome::load_error},
        // The fixed header: magic, version, tensor count, key-value count.
        {"magic", set_at<std::uint8_t>(0, 'X'), Outcome::load_error},
        {"version_0", set_at<std::uint32_t>(4, 0), Outcome::load_error},
        {"version_1", set_at<std::uint32_t>(4, 1), Outcome::load_error},
        {"version_4", set_at<std::uint32_t>(4, 4), Outcome::load_error},
        {"version_all_ones", set_at<std::uint32_t>(4, 0xFFFFFFFF), Outcome::load_error},
        // Version 2 reads like version 3 (both have 64-bit counts and
        // lengths; only version 1 differs): still a good model.
        {"version_2", set_at<std::uint32_t>(4, 2), Outcome::loads},
        {"tensor_count_0", set_at<std::uint64_t>(8, 0), Outcome::load_error},
        {"tensor_count_one_less", count_off_by(8, -1), Outcome::load_error},
        {"tensor_count_one_more", count_off_by(8, 1), Outcome::load_error},
        {"tensor_count_huge", set_at<std::uint64_t>(8, std::uint64_t{1} << 62), Outcome::load_error},
        {"tensor_count_all_ones", set_at<std::uint64_t>(8, all_ones), Outcome::load_error},
        {"key_count_0", set_at<std::uint64_t>(16, 0), Outcome::load_error},
        {"key_count_one_less", count_off_by(16, -1), Outcome::load_error},
        {"key_count_one_more", count_off_by(16, 1), Outcome::load_error},
        {"key_count_huge", set_at<std::uint64_t>(16, std::uint64_t{1} << 62), Outcome::load_error},
        {"key_count_all_ones", set_at<std::uint64_t>(16, all_ones), Outcome::load_error},
        // Lengths and types inside the key-value section.
        {"first_key_length_all_ones", set_at<std::uint64_t>(24, all_ones), Outcome::load_error},
        {"first_key_length_huge", set_at<std::uint64_t>(24, std::uint64_t{1} << 40), Outcome::load_error},
        {"first_key_length_0", set_at<std::uint64_t>(24, 0), Outcome::load_error},
        {"string_value_length_huge", set_value<std::uint64_t>("general.architecture", std::uint64_t{1} << 63),
         Outcome::load_error},
        {"value_type_unknown", set_value<std::uint32_t>("general.architecture", 77, -4), Outcome::load_error},
        {"token_array_length_huge", set_value<std::uint64_t>("tokenizer.ggml.tokens", std::uint64_t{1} << 61, 4),
         Outcome::load_error},
        {"token_array_length_short", set_value<std::uint64_t>("tokenizer.ggml.tokens", 3, 4), Outcome::load_error},
        {"token_array_element_type", set_value<std::uint32_t>("tokenizer.ggml.tokens", 6), Outcome::load_error},
        // Hyperparameters. llama.cpp would assert on these layer counts; the
        // helper refuses them first.
        {"embedding_length_0", set_value<std::uint32_t>("llama.embedding_length", 0), Outcome::load_error},
        {"head_count_0", set_value<std::uint32_t>("llama.attention.head_count", 0), Outcome::load_error},
        {"block_count_0", set_value<std::uint32_t>("llama.block_count", 0), Outcome::load_error},
        {"block_count_all_ones", set_value<std::uint32_t>("llama.block_count", 0xFFFFFFFF), Outcome::load_error},
        // The tensor table.
        {"tensor_dimensions_0", set_tensor_field<std::uint32_t>(&Tensor::n_dims_at, 0), Outcome::load_error},
        {"tensor_dimensions_5", set_tensor_field<std::uint32_t>(&Tensor::n_dims_at, 5), Outcome::load_error},
        {"tensor_size_huge", set_tensor_field<std::uint64_t>(&Tensor::first_dim_at, std::uint64_t{1} << 62),
         Outcome::load_error},
        {"tensor_type_unknown", set_tensor_field<std::uint32_t>(&Tensor::type_at, 999), Outcome::load_error},
        {"tensor_data_beyond_file", set_tensor_field<std::uint64_t>(&Tensor::offset_at, std::uint64_t{1} << 62),
         Outcome::load_error},
        {"tensor_data_misaligned", set_tensor_field<std::uint64_t>(&Tensor::offset_at, 1, 1), Outcome::load_error},
        // Another file: a BF16 norm weight, which ggml cannot multiply by on
        // the CPU (binary_op: unsupported types), nor on Vulkan; refused by
        // its name, where a reranker's one-row head of that type is not.
        {"norm_weight_bf16", replaced_by(bf16_norm), Outcome::load_error},
        // A bias in F16, which the CPU backend cannot add at the first decode:
        // refused by its name too.
        {"bias_f16", replaced_by(f16_bias), Outcome::load_error},
        // Rope frequency factors in F16, which ggml asserts on as it builds
        // the first graph: refused by their name too.
        {"rope_factors_f16", replaced_by(f16_rope_factors), Outcome::load_error},
        {"token_given_twice", token_given_twice, Outcome::llama_aborts,
         "GGML_ASSERT(id_to_token.size() == token_to_id.size())"},
    };
}

class DamagedModel : public ::testing::TestWithParam<DamageCase> {
protected:
    std::string damaged_file() const {
        const BaseModel& base = base_model();
        const std::string path = temporary_directory() + "/damaged.gguf";
        write_file(path, GetParam().damage(base.bytes, base.layout));
        return path;
    }
};

TEST_P(DamagedModel, OneShotEndsAsRecorded) {
    HelperSession helper({}, quiet_environment());
    helper.send(request_json(damaged_file()));
    const SessionEnd end = helper.finish();
    ASSERT_FALSE(helper.hung()) << "the helper did not finish";
    switch (GetParam().outcome) {
        case Outcome::load_error:
            EXPECT_EQ(end.signal, 0);
            EXPECT_EQ(end.exit_status, 1);
            EXPECT_EQ(end.out, "");
            EXPECT_EQ(end.err, "null result from llama cpp\n");
            break;
        case Outcome::loads:
            EXPECT_EQ(end.exit_status, 0) << end.err;
            EXPECT_EQ(end.out, " Hello!");
            break;
        case Outcome::llama_aborts:
            EXPECT_EQ(end.signal, 0);
            EXPECT_EQ(end.exit_status, 101) << end.err;
            EXPECT_EQ(end.out, "");
            EXPECT_TRUE(end.err.starts_with("llama.cpp stopped the helper: ")) << end.err;
            EXPECT_NE(end.err.find(GetParam().note), std::string::npos) << end.err;
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, DamagedModel, ::testing::ValuesIn(damage_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// One server goes through every damaged file that llama.cpp refuses, with the
// intact model cached all along; a file that trips an assertion in llama.cpp,
// where the table holds one, comes last, and stops the server after every
// earlier answer, with nothing but those answers on standard output.
TEST(DamagedModelServer, RefusedFilesLeaveTheCachedModelServing) {
    const BaseModel& base = base_model();
    const std::string dir = temporary_directory();
    const std::string good = dir + "/good.gguf";
    write_file(good, base.bytes);
    HelperSession helper({"--server"}, quiet_environment());
    helper.send(request_json(good) + "\n");
    EXPECT_EQ(helper.read_line(), hello);
    std::string aborting;
    for (const DamageCase& c : damage_cases()) {
        const std::string path = dir + "/" + c.name + ".gguf";
        write_file(path, c.damage(base.bytes, base.layout));
        if (c.outcome == Outcome::llama_aborts) {
            aborting = path;
            continue;
        }
        helper.send(request_json(path) + "\n" + request_json(good) + "\n");
        EXPECT_EQ(helper.read_line(), c.outcome == Outcome::loads ? hello : load_failed) << c.name;
        EXPECT_EQ(helper.read_line(), hello) << "after " << c.name;
    }
    if (!aborting.empty()) helper.send(request_json(aborting) + "\n" + request_json(good) + "\n");
    const SessionEnd end = helper.finish();
    ASSERT_FALSE(helper.hung());
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.exit_status, aborting.empty() ? 0 : 101);
    EXPECT_EQ(end.out, "");
}

// The cached model's file is changed after it was loaded. The cache never
// looks at the file again while the path stays the same; what a change does
// to the loaded model is llama.cpp's memory mapping's affair.
struct LiveChangeCase {
    const char* name;
    std::function<void(const std::string& path, const std::string& other_model)> change;
    // The answer to the cached path right after the change.
    std::string cached_answer;
    // After another model has been loaded in between, the answer to a fresh
    // load of the changed path.
    std::string reloaded_answer;
    // The model's files, and the number of the one changed.
    std::uint16_t files = 1;
    int changed_file = 1;
};

// Noticed before a generation faults on the lost pages; the model is
// dropped, and the half file fails to load.
void cut_to_half(const std::string& path, const std::string& /*other_model*/) {
    fs::resize_file(path, fs::file_size(path) / 2);
}
const std::string truncated = error_line("model file was truncated while in use");

void PrintTo(const LiveChangeCase& c, std::ostream* os) { *os << c.name; }

class LiveModelFile : public ::testing::TestWithParam<LiveChangeCase> {};

TEST_P(LiveModelFile, CachedModelIsServedByPath) {
    const LiveChangeCase& c = GetParam();
    auto model_spec = chain_model({"▁Hello", "!"});
    model_spec.files = c.files;
    const std::string path = write_test_model(model_spec, "live.gguf");
    const std::string other = write_test_model(chain_model({"▁world", "!"}), "other.gguf");

    HelperSession helper({"--server"}, quiet_environment());
    helper.send(request_json(path) + "\n");
    ASSERT_EQ(helper.read_line(), hello);
    c.change(std::regex_replace(path, std::regex("-00001-"), "-0000" + std::to_string(c.changed_file) + "-"), other);
    helper.send(request_json(path) + "\n");
    EXPECT_EQ(helper.read_line(), c.cached_answer);
    helper.send(request_json(other) + "\n" + request_json(path) + "\n");
    EXPECT_EQ(helper.read_line(), world);
    EXPECT_EQ(helper.read_line(), c.reloaded_answer);
    const SessionEnd end = helper.finish();
    ASSERT_FALSE(helper.hung());
    EXPECT_EQ(end.exit_status, 0);
    EXPECT_EQ(end.out, "");
    EXPECT_EQ(end.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Changes, LiveModelFile,
    ::testing::Values(LiveChangeCase{"deleted", [](const std::string& path, const std::string&) { fs::remove(path); },
                                     hello, load_failed},
                      LiveChangeCase{"replaced_by_rename",
                                     [](const std::string& path, const std::string& other) {
                                         fs::copy_file(other, path + ".new");
                                         fs::rename(path + ".new", path);
                                     },
                                     hello, world},
                      // Written over in place: the loaded weights are the mapped file's
                      // pages, so the cached model answers with the new weights at once,
                      // without any load, and nothing computed from the old ones.
                      LiveChangeCase{"overwritten_in_place",
                                     [](const std::string& path, const std::string& other) {
                                         std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
                                         file << read_file(other);
                                     },
                                     world, world},
                      // Cut short in place, the only file or any of three.
                      LiveChangeCase{"cut_short_in_place", cut_to_half, truncated, load_failed},
                      LiveChangeCase{"first_of_three_cut_short", cut_to_half, truncated, load_failed, 3, 1},
                      LiveChangeCase{"second_of_three_cut_short", cut_to_half, truncated, load_failed, 3, 2},
                      LiveChangeCase{"third_of_three_cut_short", cut_to_half, truncated, load_failed, 3, 3}),
    [](const auto& info) { return std::string(info.param.name); });

#ifdef DEBRINDLE_SWAP_BEFORE_LOAD
// The model file is replaced by one llama.cpp stops on (a token given twice)
// after the helper checked it and before llama.cpp loads: the checked file
// is the one loaded, in one-shot mode and in a server.
TEST(ModelFileSwapped, BetweenTheCheckAndTheLoadTheCheckedFileLoads) {
    const BaseModel& base = base_model();
    const std::string dir = temporary_directory();
    for (const bool server : {false, true}) {
        const std::string path = dir + "/checked.gguf", swapped_in = dir + "/swapped-in.gguf";
        write_file(path, base.bytes);
        write_file(swapped_in, token_given_twice(base.bytes, base.layout));
        auto environment = quiet_environment();
        environment["LD_PRELOAD"] = DEBRINDLE_SWAP_BEFORE_LOAD;
        // The sanitizers' runtime must come first unless told that it need not.
        const char* sanitizer_options = std::getenv("ASAN_OPTIONS");
        environment["ASAN_OPTIONS"] =
            std::string(sanitizer_options ? sanitizer_options : "") + ":verify_asan_link_order=0";
        environment["DEBRINDLE_SWAP_PATH"] = path;
        environment["DEBRINDLE_SWAP_WITH"] = swapped_in;
        HelperSession helper(server ? std::vector<std::string>{"--server"} : std::vector<std::string>{}, environment);
        helper.send(request_json(path) + (server ? "\n" : ""));
        const SessionEnd end = helper.finish();
        EXPECT_EQ(end.exit_status, 0) << end.err;
        EXPECT_EQ(end.out, server ? hello + "\n" : " Hello!");
        EXPECT_FALSE(std::filesystem::exists(swapped_in)) << "the file was not swapped";
    }
}
#endif

// A file cut short during a generation faults inside llama.cpp; the signal is
// sent here at a known moment instead. No answer is begun.
TEST(ModelFileFault, BusErrorIsAnAbnormalStop) {
    HelperSession helper({"--server"}, quiet_environment());
    helper.send(request_json(write_test_model(chain_model({"▁Hello", "!"}))) + "\n");
    ASSERT_EQ(helper.read_line(), hello);
    helper.send_signal(SIGBUS);
    const SessionEnd end = helper.finish();
    ASSERT_FALSE(helper.hung());
    EXPECT_EQ(end.exit_status, 101);
    EXPECT_EQ(end.err, "the model file changed while in use: reading a mapped page of it failed (SIGBUS)\n");
    EXPECT_EQ(end.out, "");
}

// The host stops reading. The write fails, and the helper ends with status 1
// and the system's words for it, never by the signal.
TEST(HostStopsReading, ServerMidResponse) {
    // A decode error that quotes a 1 MiB string: far more than a pipe holds.
    const std::string huge(1U << 20U, 'x');
    HelperSession helper({"--server"}, quiet_environment());
    helper.send("{\"maxTokens\":\"" + huge + "\"}\n");
    const std::string start = helper.read_at_least(4096);
    EXPECT_TRUE(start.starts_with(R"({"ok":false,"output":null,"error":"invalid type: string \"xxxx)")) << start;
    helper.close_output();
    const SessionEnd end = helper.finish();
    ASSERT_FALSE(helper.hung());
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.exit_status, 1);
    EXPECT_EQ(end.err, "Broken pipe (os error 32)\n");
}

TEST(HostStopsReading, OneShotBeforeTheText) {
    const std::string model = write_test_model(chain_model({"▁Hello", "!"}));
    HelperSession helper({}, quiet_environment());
    helper.close_output();
    helper.send(request_json(model));
    const SessionEnd end = helper.finish();
    ASSERT_FALSE(helper.hung());
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.exit_status, 1);
    EXPECT_EQ(end.err, "Broken pipe (os error 32)\n");
}

// Standard input ends in the middle of a line: the partial line is a line
// like any other, answered before the server ends.
struct CutInputCase {
    const char* name;
    std::string tail;  // the bytes after one complete request line
    std::string last_line;
    int status;
    std::string err;
};

void PrintTo(const CutInputCase& c, std::ostream* os) { *os << c.name; }

class InputEndsMidLine : public ::testing::TestWithParam<CutInputCase> {};

TEST_P(InputEndsMidLine, PartialLineIsAnswered) {
    const std::string model = write_test_model(chain_model({"▁Hello", "!"}));
    HelperSession helper({"--server"}, quiet_environment());
    helper.send(request_json(model) + "\n");
    EXPECT_EQ(helper.read_line(), hello);
    std::string tail = GetParam().tail;
    const auto at = tail.find("MODEL");
    if (at != std::string::npos) tail.replace(at, 5, json_string(model));
    helper.send(tail);
    const SessionEnd end = helper.finish();
    ASSERT_FALSE(helper.hung());
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.exit_status, GetParam().status);
    EXPECT_EQ(end.out, GetParam().last_line);
    EXPECT_EQ(end.err, GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    Tails, InputEndsMidLine,
    ::testing::Values(
        CutInputCase{"inside_a_string", R"({"modelPath":"a)",
                     error_line("EOF while parsing a string at line 1 column 15") + "\n", 0, ""},
        CutInputCase{"after_a_member", R"({"modelPath":"m.gguf",)",
                     error_line("EOF while parsing a value at line 1 column 22") + "\n", 0, ""},
        CutInputCase{"complete_request_without_line_feed",
                     R"({"modelPath":MODEL,"systemPrompt":"","userPrompt":"hi","temperature":0,"maxTokens":8})",
                     hello + "\n", 0, ""},
        CutInputCase{"request_and_carriage_return",
                     R"({"modelPath":MODEL,"systemPrompt":"","userPrompt":"hi","temperature":0,"maxTokens":8})"
                     "\r",
                     hello + "\n", 0, ""},
        CutInputCase{"white_space_only", " \t ", error_line("EOF while parsing a value at line 1 column 0") + "\n", 0,
                     ""},
        // A line cut inside a character is not UTF-8: that ends the server.
        CutInputCase{"inside_a_character", "{\"userPrompt\":\"\xC3", "", 1, "stream did not contain valid UTF-8\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The descriptors of a process that point at `path`.
std::vector<int> descriptors_of(pid_t pid, const std::string& path) {
    std::vector<int> found;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error) == path) found.push_back(std::stoi(entry.path().filename()));
    }
    return found;
}

// A host may start the helper without a standard stream, and limit its
// memory. No file the helper opens takes a missing stream's number. Under a
// limit that leaves room for the model (measured: stacks and arenas grow
// with the processors), a line longer than the limit is answered.
TEST(HostileStart, MissingStreamsAndAMemoryLimit) {
    const std::string model = write_test_model(chain_model({"▁Hello", "!"}));
    const std::string error = "out of memory: the request does not fit in the memory the helper may use";
    rlim_t limit = 0;
    const auto send_huge_line = [&limit](HelperSession& helper) {
        helper.send(R"({"userPrompt":")");
        for (rlim_t sent = 0; sent <= limit; sent += 1U << 20U) helper.send(std::string(1U << 20U, 'x'));
        helper.send("\"}\n");
    };
    for (const std::string closing : {"2>&-", ">&-"}) {
        const std::vector<std::string> launcher = {"/bin/sh", "-c", "exec \"$@\" " + closing, "sh"};
        HelperSession server({"--server"}, quiet_environment(), std::chrono::seconds(120), launcher);
        server.send(request_json(model) + "\n");
        // Loaded once its file is held (the answer may have nowhere to go).
        for (int wait = 0; wait < 6000 && descriptors_of(server.pid(), model).empty(); ++wait) usleep(10000);
        ASSERT_FALSE(descriptors_of(server.pid(), model).empty());
        for (int fd : descriptors_of(server.pid(), model)) EXPECT_GT(fd, 2) << closing;
        if (closing == "2>&-") {
            EXPECT_EQ(server.read_line(), hello);
#ifndef DEBRINDLE_SANITIZED_BUILD  // the sanitizers reserve far more address space than any limit
            std::ifstream("/proc/" + std::to_string(server.pid()) + "/statm") >> limit;  // pages in use
            limit = limit * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (256U << 20U);
            const rlimit address_space{limit, limit};
            ASSERT_EQ(prlimit(server.pid(), RLIMIT_AS, &address_space, nullptr), 0);
            send_huge_line(server);
            server.send(request_json(model) + "\n");
            EXPECT_EQ(server.read_line(), error_line(error));
            EXPECT_EQ(server.read_line(), hello);
#endif
        }
        const SessionEnd served = server.finish();
        EXPECT_EQ(served.exit_status, 0) << closing;
        EXPECT_EQ(served.out, "");
        EXPECT_EQ(served.err, "");
    }
    if (limit == 0) return;
    HelperSession one_shot({}, quiet_environment());
    const rlimit address_space{limit, limit};
    ASSERT_EQ(prlimit(one_shot.pid(), RLIMIT_AS, &address_space, nullptr), 0);
    send_huge_line(one_shot);
    const SessionEnd failed = one_shot.finish();
    EXPECT_EQ(failed.exit_status, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.err, error + "\n");
}

// The guard behind every run above: a helper that keeps waiting (here, for
// the rest of a line that never comes) is killed at the deadline and the
// session says so.
TEST(SessionDeadline, TurnsAWaitingHelperIntoAFailure) {
    HelperSession helper({"--server"}, quiet_environment(), std::chrono::seconds(1));
    helper.send(R"({"modelPath":)");
    EXPECT_EQ(helper.read_line(), std::nullopt);
    EXPECT_TRUE(helper.hung());
    EXPECT_EQ(helper.finish().signal, SIGKILL);
}

}  // namespace
}  // namespace debrindle::testing
