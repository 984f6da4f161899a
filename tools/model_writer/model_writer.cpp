#include "model_writer/model_writer.hpp"

#include "llama_weights.hpp"
#include "random_weights.hpp"
#include "scripted_weights.hpp"
#include "vocabulary.hpp"

#include <ggml.h>
#include <gguf.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace debrindle::model_writer {
namespace {

using GgufContext = std::unique_ptr<gguf_context, decltype(&gguf_free)>;
using GgmlContext = std::unique_ptr<ggml_context, decltype(&ggml_free)>;

constexpr std::uint32_t kAllF32FileType = 0;  // LLAMA_FTYPE_ALL_F32
constexpr float kRopeFrequencyBase = 10000.0f;

std::uint32_t to_u32(std::int64_t value) { return static_cast<std::uint32_t>(value); }

void set_hyperparameters(gguf_context* gguf, const Dimensions& dims, const std::string& name) {
    gguf_set_val_str(gguf, "general.architecture", "llama");
    gguf_set_val_str(gguf, "general.name", name.c_str());
    gguf_set_val_u32(gguf, "general.file_type", kAllF32FileType);
    gguf_set_val_u32(gguf, "llama.vocab_size", to_u32(dims.vocab_size));
    gguf_set_val_u32(gguf, "llama.context_length", to_u32(dims.context_length));
    gguf_set_val_u32(gguf, "llama.embedding_length", to_u32(dims.embedding_length));
    gguf_set_val_u32(gguf, "llama.feed_forward_length", to_u32(dims.feed_forward_length));
    gguf_set_val_u32(gguf, "llama.block_count", to_u32(dims.layers));
    gguf_set_val_u32(gguf, "llama.attention.head_count", to_u32(dims.heads));
    gguf_set_val_u32(gguf, "llama.attention.head_count_kv", to_u32(dims.heads));
    // llama.cpp requires the llama architecture to rotate whole heads.
    gguf_set_val_u32(gguf, "llama.rope.dimension_count", to_u32(dims.head_length()));
    gguf_set_val_f32(gguf, "llama.rope.freq_base", kRopeFrequencyBase);
    gguf_set_val_f32(gguf, "llama.attention.layer_norm_rms_epsilon", dims.rms_epsilon);
}

void set_tokenizer(gguf_context* gguf, const Vocabulary& vocabulary, const std::optional<std::string>& chat_template) {
    gguf_set_val_str(gguf, "tokenizer.ggml.model", "llama");

    std::vector<const char*> texts;
    texts.reserve(vocabulary.texts().size());
    for (const auto& text : vocabulary.texts()) {
        texts.push_back(text.c_str());
    }
    gguf_set_arr_str(gguf, "tokenizer.ggml.tokens", texts.data(), texts.size());
    gguf_set_arr_data(gguf, "tokenizer.ggml.scores", GGUF_TYPE_FLOAT32, vocabulary.scores().data(),
                      vocabulary.scores().size());
    static_assert(sizeof(TokenType) == sizeof(std::int32_t));
    gguf_set_arr_data(gguf, "tokenizer.ggml.token_type", GGUF_TYPE_INT32, vocabulary.types().data(),
                      vocabulary.types().size());

    gguf_set_val_u32(gguf, "tokenizer.ggml.unknown_token_id", kUnknownToken);
    gguf_set_val_u32(gguf, "tokenizer.ggml.bos_token_id", kBeginToken);
    gguf_set_val_u32(gguf, "tokenizer.ggml.eos_token_id", kEndToken);
    // Prompts arrive already formatted (by a chat template or a test), so
    // tokenizing must not add tokens of its own.
    gguf_set_val_bool(gguf, "tokenizer.ggml.add_bos_token", false);
    gguf_set_val_bool(gguf, "tokenizer.ggml.add_eos_token", false);
    if (chat_template) {
        gguf_set_val_str(gguf, "tokenizer.chat_template", chat_template->c_str());
    }
}

// gguf takes tensor descriptions from a ggml context; the data stays in
// `weights` and is only pointed at.
void add_tensors(gguf_context* gguf, ggml_context* ggml, LlamaWeights& weights) {
    for (auto* tensor : weights.all()) {
        ggml_tensor* description = tensor->rows == 1
                                       ? ggml_new_tensor_1d(ggml, GGML_TYPE_F32, tensor->columns)
                                       : ggml_new_tensor_2d(ggml, GGML_TYPE_F32, tensor->columns, tensor->rows);
        ggml_set_name(description, tensor->name.c_str());
        gguf_add_tensor(gguf, description);
        gguf_set_tensor_data(gguf, tensor->name.c_str(), tensor->values.data());
    }
}

// Opens the file here rather than in gguf_write_to_file so that a failed open
// leaves an existing file alone and a failed flush on close is noticed.
std::optional<std::string> write_file(const gguf_context* gguf, const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return "cannot open " + path + " for writing";
    }
    const bool written = gguf_write_to_file_ptr(gguf, file, /*only_meta=*/false);
    if (std::fclose(file) != 0 || !written) {
        // Only a truncated model is removed, never a device such as /dev/full.
        std::error_code ignored;
        if (std::filesystem::is_regular_file(path, ignored)) {
            std::filesystem::remove(path, ignored);
        }
        return "cannot write " + path;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> write_model(const ModelSpec& model_spec, const std::string& path) {
    try {
        if (model_spec.context_length < 1) {
            throw std::invalid_argument("context length must be at least 1");
        }
        const Vocabulary vocabulary(model_spec);
        const bool random = std::holds_alternative<RandomWeights>(model_spec.weights);
        const auto dims =
            random ? random_dimensions(std::get<RandomWeights>(model_spec.weights), model_spec.context_length)
                   : scripted_dimensions(std::get<ScriptedWeights>(model_spec.weights), vocabulary,
                                         model_spec.context_length);
        auto weights = random ? random_weights(std::get<RandomWeights>(model_spec.weights), vocabulary, dims)
                              : scripted_weights(std::get<ScriptedWeights>(model_spec.weights), vocabulary, dims);

        const GgufContext gguf(gguf_init_empty(), gguf_free);
        set_hyperparameters(gguf.get(), dims, random ? "debrindle random model" : "debrindle scripted model");
        set_tokenizer(gguf.get(), vocabulary, model_spec.chat_template);

        const auto tensor_count = weights.all().size();
        const ggml_init_params params{
            .mem_size = tensor_count * ggml_tensor_overhead(),
            .mem_buffer = nullptr,
            .no_alloc = true,
        };
        const GgmlContext ggml(ggml_init(params), ggml_free);
        add_tensors(gguf.get(), ggml.get(), weights);

        return write_file(gguf.get(), path);
    } catch (const std::exception& error) {
        return error.what();
    }
}

std::optional<std::int32_t> token_id(const ModelSpec& model_spec, std::string_view text) {
    return Vocabulary(model_spec).find(text);
}

std::int32_t vocabulary_size(const ModelSpec& model_spec) { return Vocabulary(model_spec).size(); }

}  // namespace debrindle::model_writer
