#include "model_writer/model_writer.hpp"

#include "llama_weights.hpp"
#include "random_weights.hpp"
#include "scripted_weights.hpp"
#include "vocabulary.hpp"

#include <ggml.h>
#include <gguf.h>
#include <llama.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>

namespace debrindle::model_writer {
namespace {

using GgufContext = std::unique_ptr<gguf_context, decltype(&gguf_free)>;
using GgmlContext = std::unique_ptr<ggml_context, decltype(&ggml_free)>;

struct StoredType {
    ggml_type tensor_type;
    std::uint32_t file_type;  // llama_ftype
};

StoredType stored_type(WeightType type) {
    switch (type) {
        case WeightType::f16: return {GGML_TYPE_F16, 1};       // LLAMA_FTYPE_MOSTLY_F16
        case WeightType::bf16: return {GGML_TYPE_BF16, 32};    // LLAMA_FTYPE_MOSTLY_BF16
        case WeightType::q8_0: return {GGML_TYPE_Q8_0, 7};     // LLAMA_FTYPE_MOSTLY_Q8_0
        case WeightType::q4_0: return {GGML_TYPE_Q4_0, 2};     // LLAMA_FTYPE_MOSTLY_Q4_0
        case WeightType::mxfp4: return {GGML_TYPE_MXFP4, 38};  // LLAMA_FTYPE_MOSTLY_MXFP4_MOE
        case WeightType::q4_k_m:                               // written in F16 first
        case WeightType::q6_k:
        case WeightType::iq4_nl:
        case WeightType::f32: break;
    }
    return {GGML_TYPE_F32, 0};  // LLAMA_FTYPE_ALL_F32
}
constexpr float kRopeFrequencyBase = 10000.0f;

std::uint32_t to_u32(std::int64_t value) { return static_cast<std::uint32_t>(value); }

void set_hyperparameters(gguf_context* gguf, const Dimensions& dims, const std::string& name, StoredType stored) {
    gguf_set_val_str(gguf, "general.name", name.c_str());
    gguf_set_val_u32(gguf, "general.file_type", stored.file_type);
    // Mamba's state spaces and Granite's sliding window come under their own
    // architecture's name, Granite's with the llama architecture's keys.
    const std::string arch = dims.recurrent ? "mamba" : dims.sliding_window > 0 ? "granite_swa" : "llama";
    const auto set_u32 = [&](const char* key, std::int64_t value) {
        gguf_set_val_u32(gguf, (arch + key).c_str(), to_u32(value));
    };
    const auto set_f32 = [&](const char* key, float value) { gguf_set_val_f32(gguf, (arch + key).c_str(), value); };
    gguf_set_val_str(gguf, "general.architecture", arch.c_str());
    set_u32(".vocab_size", dims.vocab_size);
    set_u32(".context_length", dims.context_length);
    set_u32(".embedding_length", dims.embedding_length);
    if (!dims.recurrent) set_u32(".feed_forward_length", dims.feed_forward_length);
    set_u32(".block_count", dims.layers);
    if (dims.recurrent) {
        set_u32(".ssm.conv_kernel", Dimensions::convolution_width);
        set_u32(".ssm.inner_size", dims.inner_length());
        set_u32(".ssm.state_size", Dimensions::state_size);
        set_u32(".ssm.time_step_rank", dims.time_step_rank());
    } else {
        set_u32(".attention.head_count", dims.heads);
        set_u32(".attention.head_count_kv", dims.kv_heads);
        // llama.cpp requires the llama architecture to rotate whole heads.
        set_u32(".rope.dimension_count", dims.head_length());
        set_f32(".rope.freq_base", kRopeFrequencyBase);
    }
    set_f32(".attention.layer_norm_rms_epsilon", dims.rms_epsilon);
    if (dims.experts > 0) {
        set_u32(".expert_count", dims.experts);
        set_u32(".expert_used_count", dims.used_experts);
    }
    if (dims.sliding_window > 0) {
        set_u32(".attention.sliding_window", dims.sliding_window);
        std::vector<std::uint32_t> pattern;
        for (std::int64_t layer = 0; layer < dims.layers; ++layer) pattern.push_back(layer % 2 == 0 ? 1 : 0);
        gguf_set_arr_data(gguf, (arch + ".attention.sliding_window_pattern").c_str(), GGUF_TYPE_UINT32, pattern.data(),
                          pattern.size());
        set_f32(".logit_scale", 1.0f);
    }
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

struct StoredTensor {
    ggml_tensor* description;
    const void* data;
};

// gguf takes tensor descriptions from a ggml context; the data stays in
// `weights`, or for tensors of another type in `converted`, and is only
// pointed at.
std::vector<StoredTensor> stored_tensors(ggml_context* ggml, LlamaWeights& weights, const ModelSpec& model_spec,
                                         std::vector<std::vector<std::uint8_t>>& converted) {
    std::vector<StoredTensor> stored;
    for (auto* tensor : weights.all()) {
        const auto named_type = model_spec.tensor_types.find(tensor->name);
        const ggml_type type = named_type != model_spec.tensor_types.end() ? stored_type(named_type->second).tensor_type
                               : tensor->rows != 1 ? stored_type(model_spec.weight_type).tensor_type
                                                   : GGML_TYPE_F32;
        if (tensor->columns % ggml_blck_size(type) != 0) {
            throw std::invalid_argument(tensor->name + ": rows of " + std::to_string(tensor->columns) +
                                        " values do not split into blocks of " + std::to_string(ggml_blck_size(type)));
        }
        ggml_tensor* description = tensor->planes > 1
                                       ? ggml_new_tensor_3d(ggml, type, tensor->columns, tensor->rows, tensor->planes)
                                   : tensor->rows == 1 ? ggml_new_tensor_1d(ggml, type, tensor->columns)
                                                       : ggml_new_tensor_2d(ggml, type, tensor->columns, tensor->rows);
        ggml_set_name(description, tensor->name.c_str());
        const void* data = tensor->values.data();
        if (type != GGML_TYPE_F32) {
            const std::int64_t rows = tensor->rows * tensor->planes;
            auto& bytes = converted.emplace_back(ggml_row_size(type, tensor->columns) * static_cast<std::size_t>(rows));
            ggml_quantize_chunk(type, tensor->values.data(), bytes.data(), 0, rows, tensor->columns, nullptr);
            data = bytes.data();
        }
        stored.push_back({description, data});
    }
    return stored;
}

void add_tensors(gguf_context* gguf, std::span<const StoredTensor> tensors) {
    for (const StoredTensor& tensor : tensors) {
        gguf_add_tensor(gguf, tensor.description);
        gguf_set_tensor_data(gguf, ggml_get_name(tensor.description), tensor.data);
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

// Writes the model as llama.cpp's split tool does (its keys, their types,
// the file names), the tensors shared out evenly among the files that hold
// tensors.
std::optional<std::string> write_split_files(const gguf_context* header, const std::vector<StoredTensor>& tensors,
                                             std::uint16_t files, bool header_only_first_file,
                                             const std::string& path) {
    const std::uint16_t first_holder = header_only_first_file ? 1 : 0;
    const std::size_t holders = files - first_holder;
    if (holders > tensors.size()) throw std::invalid_argument("more files than tensors");
    for (std::uint16_t file = 0; file < files; ++file) {
        const GgufContext part(gguf_init_empty(), gguf_free);
        if (file == 0) gguf_set_kv(part.get(), header);
        gguf_set_val_u16(part.get(), "split.no", file);
        gguf_set_val_u16(part.get(), "split.count", files);
        gguf_set_val_i32(part.get(), "split.tensors.count", static_cast<std::int32_t>(tensors.size()));
        if (file >= first_holder) {
            const std::size_t holder = file - first_holder;
            const std::size_t begin = tensors.size() * holder / holders;
            const std::size_t end = tensors.size() * (holder + 1) / holders;
            add_tensors(part.get(), std::span(tensors).subspan(begin, end - begin));
        }
        if (auto error = write_file(part.get(), split_file_path(path, file, files))) return error;
    }
    return std::nullopt;
}

}  // namespace

std::string split_file_path(const std::string& path, std::uint16_t file, std::uint16_t files) {
    std::vector<char> name(path.size() + 32);
    const std::int32_t length = llama_split_path(name.data(), name.size(), path.c_str(), file, files);
    return std::string(name.data(), static_cast<std::size_t>(length));
}

// The types llama.cpp's quantizer makes from the model written in F16.
std::optional<std::pair<llama_ftype, const char*>> quantizer_type(WeightType type) {
    switch (type) {
        case WeightType::q4_k_m: return std::pair{LLAMA_FTYPE_MOSTLY_Q4_K_M, "Q4_K_M"};
        case WeightType::q6_k: return std::pair{LLAMA_FTYPE_MOSTLY_Q6_K, "Q6_K"};
        case WeightType::iq4_nl: return std::pair{LLAMA_FTYPE_MOSTLY_IQ4_NL, "IQ4_NL"};
        default: return std::nullopt;
    }
}

// The model in F16 beside `path`, then quantized by llama.cpp into `path`.
std::optional<std::string> write_quantized_model(const ModelSpec& model_spec, const std::string& path,
                                                 std::pair<llama_ftype, const char*> type) {
    ModelSpec unquantized = model_spec;
    unquantized.weight_type = WeightType::f16;
    const std::string f16_path = path + ".f16";
    if (auto error = write_model(unquantized, f16_path)) return error;
    llama_model_quantize_params params = llama_model_quantize_default_params();
    params.ftype = type.first;
    const std::uint32_t failed = llama_model_quantize(f16_path.c_str(), path.c_str(), &params);
    std::filesystem::remove(f16_path);
    if (failed != 0) {
        std::filesystem::remove(path);
        return std::string("llama.cpp could not quantize the model to ") + type.second;
    }
    return std::nullopt;
}

std::optional<std::string> write_model(const ModelSpec& model_spec, const std::string& path) {
    if (const auto type = quantizer_type(model_spec.weight_type)) {
        if (model_spec.files > 1 || !model_spec.tensor_types.empty()) {
            return std::string("a ") + type->second + " model is written in one file, without other tensor types";
        }
        return write_quantized_model(model_spec, path, *type);
    }
    try {
        if (model_spec.context_length < 1) {
            throw std::invalid_argument("context length must be at least 1");
        }
        if (model_spec.files < 1) throw std::invalid_argument("a model is written in one file or more");
        const Vocabulary vocabulary(model_spec);
        const bool random = std::holds_alternative<RandomWeights>(model_spec.weights);
        const auto dims =
            random ? random_dimensions(std::get<RandomWeights>(model_spec.weights), model_spec.context_length)
                   : scripted_dimensions(std::get<ScriptedWeights>(model_spec.weights), vocabulary,
                                         model_spec.context_length);
        auto weights = random ? random_weights(std::get<RandomWeights>(model_spec.weights), vocabulary, dims)
                              : scripted_weights(std::get<ScriptedWeights>(model_spec.weights), vocabulary, dims);
        for (const auto& bias : model_spec.zero_biases) weights.add_zero_bias(bias, dims);

        const GgufContext gguf(gguf_init_empty(), gguf_free);
        const StoredType stored = stored_type(model_spec.weight_type);
        set_hyperparameters(gguf.get(), dims, random ? "debrindle random model" : "debrindle scripted model", stored);
        set_tokenizer(gguf.get(), vocabulary, model_spec.chat_template);
        for (const auto& [key, value] : model_spec.header_numbers) gguf_set_val_u32(gguf.get(), key.c_str(), value);
        if (std::ranges::find(model_spec.zero_biases, "rope_factors_long.weight") != model_spec.zero_biases.end()) {
            gguf_set_val_str(gguf.get(), "llama.rope.scaling.type", "longrope");
        }

        const auto tensor_count = weights.all().size();
        const ggml_init_params params{
            .mem_size = tensor_count * ggml_tensor_overhead(),
            .mem_buffer = nullptr,
            .no_alloc = true,
        };
        const GgmlContext ggml(ggml_init(params), ggml_free);
        std::vector<std::vector<std::uint8_t>> converted;
        const auto tensors = stored_tensors(ggml.get(), weights, model_spec, converted);
        if (model_spec.files > 1) {
            return write_split_files(gguf.get(), tensors, model_spec.files, model_spec.header_only_first_file, path);
        }
        add_tensors(gguf.get(), tensors);
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
