#include "support/models.hpp"

#include <stdexcept>

#include "support/process.hpp"

namespace debrindle::testing {

model_writer::ModelSpec chain_model(std::vector<std::string> chain, std::string end) {
    model_writer::ModelSpec model_spec;
    model_spec.special_tokens = {"<|marker|>"};
    model_spec.words = {"▁Hello", "▁world", "!", "▁a", "▁b", "▁extraordinary"};
    model_writer::ScriptedWeights weights;
    weights.chain = std::move(chain);
    weights.end = std::move(end);
    model_spec.weights = weights;
    return model_spec;
}

std::string write_test_model(const model_writer::ModelSpec& model_spec, const std::string& name) {
    const std::string path = temporary_directory() + "/" + name;
    if (auto error = model_writer::write_model(model_spec, path)) throw std::runtime_error("model writer: " + *error);
    return model_spec.files > 1 ? model_writer::split_file_path(path, 0, model_spec.files) : path;
}

std::string json_string(const std::string& text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20) {
            out += "\\u00";
            out.push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 0x0F]);
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

std::string request_json(const std::string& model_path, const std::string& user_prompt,
                         const std::string& extra_members, double temperature, int max_tokens,
                         const std::string& system_prompt) {
    return "{" + extra_members + "\"modelPath\":" + json_string(model_path) +
           ",\"systemPrompt\":" + json_string(system_prompt) + ",\"userPrompt\":" + json_string(user_prompt) +
           ",\"temperature\":" + std::to_string(temperature) + ",\"maxTokens\":" + std::to_string(max_tokens) + "}";
}

std::string vocabulary_words(std::size_t first, std::size_t count) {
    std::string text;
    for (std::size_t i = first; i < first + count; ++i) {
        const std::size_t letters = i < 676 ? 2 : 3, index = i < 676 ? i : i - 676;
        std::string word(letters, 'a');
        for (std::size_t place = letters, rest = index; place-- > 0; rest /= 26) word[place] = char('a' + rest % 26);
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

}  // namespace debrindle::testing
