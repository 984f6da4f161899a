// What llama.cpp asserts on is refused at its edges; a step inside passes.
// The device memory a header's numbers ask for; split files named as
// llama.cpp names them.
#include "engine/model/model_file_check.hpp"

#include <gtest/gtest.h>
#include <llama.h>

#include <climits>
#include <tuple>

#include "engine/model/model_footprint.hpp"
#include "engine/model/split_model.hpp"

namespace debrindle {
namespace {

TEST(ModelFileCheck, RefusesWhatLlamaCppAssertsOnAtItsEdges) {
    const struct {
        ModelFileHeader header;
        bool acceptable;
    } cases[] = {
        {{.layers = 512, .next_token_layers = 512}, true},
        {{.layers = 513}, false},
        {{.layers = 2, .next_token_layers = 3}, false},
        {{.layers = 1, .experts = 1024, .used_experts = 1024}, true},
        {{.layers = 1, .experts = 1025, .used_experts = 1}, false},
        {{.layers = 1, .experts = 4}, false},
        {{.architecture = "hunyuan-dense", .layers = 1, .experts = 1, .used_experts = 2}, true},
        {{.layers = 1, .experts = 8, .used_experts = 2, .expert_groups = 4, .used_expert_groups = 3}, true},
        {{.layers = 1, .experts = 8, .used_experts = 2, .expert_groups = 3, .used_expert_groups = 1}, false},
        {{.layers = 1, .rope_scaling = "longrope", .tensors = {{"cls.output.weight", GGML_TYPE_BF16, true}}}, true},
        {{.layers = 1, .rope_scaling = "dynamic"}, false},
        {{.layers = 1, .tensors = {{"blk.0.attn_q.bias", GGML_TYPE_Q8_0, true}}}, false},
        // Biases and scales are F32 only too; a matrix of F16 is usable.
        {{.layers = 1, .tensors = {{"blk.0.attn_q.bias", GGML_TYPE_F32, true}, {"blk.0.attn_q.weight", GGML_TYPE_F16}}},
         true},
        {{.layers = 1, .tensors = {{"blk.0.attn_output.bias", GGML_TYPE_F16, true}}}, false},
        {{.layers = 1, .tensors = {{"blk.0.ffn_down.scale", GGML_TYPE_BF16, true}}}, false},
        // Norms, of any shape, are F32 only.
        {{.layers = 1, .tensors = {{"blk.0.attn_norm_2.bias", GGML_TYPE_F32, true}}}, true},
        {{.layers = 1, .tensors = {{"blk.0.ffn_norm.weight", GGML_TYPE_BF16, true}}}, false},
        {{.layers = 1, .tensors = {{"blk.0.ssm_norm.weight", GGML_TYPE_F16, false}}}, false},
        {{.layers = 1, .tensors = {{"blk.0.nextn.enorm.weight", GGML_TYPE_F16, true}}}, false},
        {{.layers = 1, .tensors = {{"blk.0.time_mix_ln.weight", GGML_TYPE_F16, true}}}, false},
        {{.layers = 1, .tensors = {{"cls.norm", GGML_TYPE_F16, true}}}, false},
        // Vectors computed with element-wise are F32 only; one a product takes is not.
        {{.layers = 1, .tensors = {{"rope_freqs.weight", GGML_TYPE_F16, true}}}, false},
        {{.layers = 1, .tensors = {{"blk.0.time_mix_w0.weight", GGML_TYPE_BF16, true}}}, false},
        {{.layers = 1, .tensors = {{"blk.0.ffn.act.scales", GGML_TYPE_F16, true}}}, false},
        // The scan's A as floats, of any shape.
        {{.layers = 1, .tensors = {{"blk.0.ssm_d", GGML_TYPE_F32, true}, {"blk.0.ssm_a", GGML_TYPE_F32}}}, true},
        {{.layers = 1, .tensors = {{"blk.0.ssm_d", GGML_TYPE_F32, true}, {"blk.0.ssm_a", GGML_TYPE_F16}}}, false},
        {{.layers = 1, .tensors = {{"blk.0.ffn_gate_inp_shexp.weight", GGML_TYPE_F16, true}}}, true},
        // Tensor data up to each file's end, and a byte past it.
        {{.layers = 1, .files = {{100, 100}, {60, 60}}}, true},
        {{.layers = 1, .files = {{100, 100}, {61, 60}}}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(model_file_acceptable(c.header), c.acceptable) << "case " << &c - cases;
    // A vector of each family computed element-wise: F32 only.
    for (const char* name : {"rope_factors_long.weight", "rope_factors_short.weight", "blk.0.attn_sinks.weight",
                             "blk.0.ssm_a", "blk.0.ssm_d", "blk.0.layer_output_scale.weight"}) {
        for (const auto& [type, acceptable] : {std::pair{GGML_TYPE_F32, true}, {GGML_TYPE_F16, false}}) {
            const ModelFileHeader header{.layers = 1, .tensors = {{name, type, true}}};
            EXPECT_EQ(model_file_acceptable(header), acceptable) << name;
        }
    }
}

// The cache per layer at the smallest context, F16 keys and values, from
// header numbers of any size: never wrapped into an under-estimate.
TEST(ModelFootprint, CacheFromHeaderNumbersOfAnySize) {
    constexpr std::uint32_t half = 0x80000000, most = 0xFFFFFFFF;
    for (const auto& [kv_heads, length, kv_bytes] : {std::tuple{2U, 32U, std::uint64_t{2 * 64 * 1024 * 2}},
                                                     {1U, half, (std::uint64_t{1} << 32) * 1024 * 2},
                                                     {most, most, std::uint64_t{1} << 48}}) {
        const ModelShape shape{
            .layers = 1, .heads = 1, .kv_heads = kv_heads, .key_length = length, .value_length = length};
        EXPECT_EQ(model_footprint(shape, {}).value_or(ModelFootprint{}).kv_bytes_per_layer, kv_bytes) << length;
    }
}

// Also past the PATH_MAX bytes of llama.cpp's own buffer, which the helper's
// names do not go through.
TEST(SplitModel, FilesAreNamedAsLlamaCppNamesThem) {
    const std::string long_name(PATH_MAX, 'm');
    for (const auto& [first, count] :
         std::vector<std::pair<std::string, std::uint16_t>>{{"/m/x-00001-of-00003.gguf", 3},
                                                            {"-00001-of-00002.gguf", 2},
                                                            {"x-00002-of-00003.gguf", 3},
                                                            {"x-00001-of-00002.gguf", 3},
                                                            {"x.gguf", 2},
                                                            {long_name + "-00001-of-00002.gguf", 2}}) {
        const std::size_t size = first.size() + 1;
        std::vector<char> prefix(size), path(size);
        std::vector<std::string> expected;
        for (std::uint16_t i = 0; i < count && llama_split_prefix(prefix.data(), size, first.c_str(), 0, count) > 0 &&
                                  llama_split_path(path.data(), size, prefix.data(), i, count) > 0;
             ++i) {
            expected.emplace_back(path.data());
        }
        if (expected.size() < count) expected.clear();
        EXPECT_EQ(split_part_paths(first, count).value_or(std::vector<std::string>{}), expected) << first;
    }
}

}  // namespace
}  // namespace debrindle
