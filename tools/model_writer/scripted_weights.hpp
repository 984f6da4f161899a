// One-hot chain weights: the hidden state is the current token's unit vector,
// and the output matrix picks the token that follows it.
#pragma once

#include "llama_weights.hpp"
#include "model_writer/model_writer.hpp"
#include "vocabulary.hpp"

namespace debrindle::model_writer {

// Throws std::invalid_argument when the chain does not fit the vocabulary.
Dimensions scripted_dimensions(const ScriptedWeights& scripted, const Vocabulary& vocabulary,
                               std::uint32_t context_length);
LlamaWeights scripted_weights(const ScriptedWeights& scripted, const Vocabulary& vocabulary, const Dimensions& dims);

}  // namespace debrindle::model_writer
