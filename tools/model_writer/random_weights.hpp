// Deterministic random weights of a chosen size, for benchmarks.
#pragma once

#include "llama_weights.hpp"
#include "model_writer/model_writer.hpp"
#include "vocabulary.hpp"

namespace debrindle::model_writer {

// Throws std::invalid_argument for dimensions llama.cpp cannot load.
Dimensions random_dimensions(const RandomWeights& random, std::uint32_t context_length);
LlamaWeights random_weights(const RandomWeights& random, const Vocabulary& vocabulary, const Dimensions& dims);

}  // namespace debrindle::model_writer
