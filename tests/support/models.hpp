#pragma once
// Models written at test time with the project's model writer.

#include <string>

#include "model_writer/model_writer.hpp"

namespace debrindle::testing {

// A scripted model whose greedy reply walks `chain` and then stops (or
// cycles, with end = chain.front()).
model_writer::ModelSpec chain_model(std::vector<std::string> chain, std::string end = "</s>");

// Writes the model into a fresh temporary directory and gives its path (of
// its first file, when it is written in several).
std::string write_test_model(const model_writer::ModelSpec& model_spec, const std::string& name = "model.gguf");

// A one-shot or server request as JSON text.
std::string request_json(const std::string& model_path, const std::string& user_prompt = "hi",
                         const std::string& extra_members = "", double temperature = 0, int max_tokens = 256,
                         const std::string& system_prompt = "You are terse.");

// `count` words of the random models' vocabulary from the `first`, each a
// token of its own: "aa" to "zz", then "aaa" on.
std::string vocabulary_words(std::size_t first, std::size_t count);

// `text` as a JSON string literal.
std::string json_string(const std::string& text);

}  // namespace debrindle::testing
