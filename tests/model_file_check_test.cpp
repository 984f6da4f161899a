// What llama.cpp asserts on is refused at its edges; a step inside passes.
#include "engine/model_file_check.hpp"

#include <gtest/gtest.h>

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
        {{.layers = 1, .rope_scaling = "longrope", .vector_types = {GGML_TYPE_F16, GGML_TYPE_BF16}}, true},
        {{.layers = 1, .rope_scaling = "dynamic"}, false},
        {{.layers = 1, .vector_types = {GGML_TYPE_F32, GGML_TYPE_Q8_0}}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(model_file_acceptable(c.header), c.acceptable) << "case " << &c - cases;
}

}  // namespace
}  // namespace debrindle
