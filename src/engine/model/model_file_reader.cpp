#include "engine/model/model_file_reader.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include <gguf.h>

#include "common/platform.hpp"
#include "engine/model/model_footprint.hpp"
#include "engine/model/split_model.hpp"

namespace debrindle {
namespace {

struct GgufDeleter {
    void operator()(gguf_context* context) const { gguf_free(context); }
};
using Gguf = std::unique_ptr<gguf_context, GgufDeleter>;

Gguf read_gguf(const char* path) { return Gguf(gguf_init_from_file(path, {/*no_alloc=*/true, nullptr})); }

// The key's id when the file holds it as a value of `type`.
std::optional<std::int64_t> key_of_type(const gguf_context* gguf, const std::string& key, gguf_type type) {
    const std::int64_t id = gguf_find_key(gguf, key.c_str());
    return id >= 0 && gguf_get_kv_type(gguf, id) == type ? std::optional(id) : std::nullopt;
}

std::optional<std::uint32_t> u32_value(const gguf_context* gguf, const std::string& key) {
    const auto id = key_of_type(gguf, key, GGUF_TYPE_UINT32);
    return id ? std::optional(gguf_get_val_u32(gguf, *id)) : std::nullopt;
}

std::string string_value(const gguf_context* gguf, const std::string& key, const std::string& absent) {
    const auto id = key_of_type(gguf, key, GGUF_TYPE_STRING);
    return id ? gguf_get_val_str(gguf, *id) : absent;
}

// A number, or the largest of a per-layer array of 32-bit integers or
// booleans, as llama.cpp reads the used experts.
std::uint32_t largest_u32_value(const gguf_context* gguf, const std::string& key) {
    const auto id = key_of_type(gguf, key, GGUF_TYPE_ARRAY);
    if (!id) return u32_value(gguf, key).value_or(0);
    const gguf_type element = gguf_get_arr_type(gguf, *id);
    if (element != GGUF_TYPE_UINT32 && element != GGUF_TYPE_INT32 && element != GGUF_TYPE_BOOL) return 0;
    const auto* bytes = static_cast<const char*>(gguf_get_arr_data(gguf, *id));
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < gguf_get_arr_n(gguf, *id); ++i) {
        std::uint32_t value = 0;
        if (element == GGUF_TYPE_BOOL) {
            value = bytes[i] != 0 ? 1 : 0;
        } else {
            std::memcpy(&value, bytes + i * sizeof value, sizeof value);
        }
        largest = std::max(largest, value);
    }
    return largest;
}

ModelFileHeader header_numbers(const gguf_context* gguf) {
    ModelFileHeader header;
    header.architecture = string_value(gguf, "general.architecture", "");
    const std::string prefix = header.architecture + ".";
    header.layers = u32_value(gguf, prefix + "block_count").value_or(0);
    header.next_token_layers = u32_value(gguf, prefix + "nextn_predict_layers").value_or(0);
    header.experts = u32_value(gguf, prefix + "expert_count").value_or(0);
    header.used_experts = largest_u32_value(gguf, prefix + "expert_used_count");
    header.expert_groups = u32_value(gguf, prefix + "expert_group_count").value_or(0);
    header.used_expert_groups = u32_value(gguf, prefix + "expert_group_used_count").value_or(0);
    header.rope_scaling = string_value(gguf, prefix + "rope.scaling.type", header.rope_scaling);
    return header;
}

// The hyper-parameters of the footprint; nothing when the header lacks one.
std::optional<ModelShape> model_shape(const gguf_context* gguf, const std::string& architecture) {
    const auto layers = u32_value(gguf, architecture + ".block_count");
    const auto embedding = u32_value(gguf, architecture + ".embedding_length");
    const auto heads = u32_value(gguf, architecture + ".attention.head_count");
    if (!layers || !embedding || !heads || *heads == 0) return std::nullopt;
    ModelShape shape{.layers = *layers, .embedding = *embedding, .heads = *heads};
    shape.kv_heads = u32_value(gguf, architecture + ".attention.head_count_kv").value_or(*heads);
    shape.key_length = u32_value(gguf, architecture + ".attention.key_length").value_or(*embedding / *heads);
    shape.value_length = u32_value(gguf, architecture + ".attention.value_length").value_or(shape.key_length);
    const std::int64_t tokens = gguf_find_key(gguf, "tokenizer.ggml.tokens");
    shape.vocabulary = tokens < 0 ? 0 : gguf_get_arr_n(gguf, tokens);
    return shape;
}

// Adds the tensor table of one of the model's files, and where its data ends.
void add_file(const gguf_context* gguf, const HeldFile& file, ModelFileHeader& header) {
    constexpr std::uint64_t unknown = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t tables_end = 0;
    for (std::int64_t i = 0; i < gguf_get_n_tensors(gguf); ++i) {
        const std::int64_t* shape = gguf_get_tensor_ne(gguf, i);
        const std::uint64_t bytes = gguf_get_tensor_size(gguf, i);
        header.tensors.push_back({.name = gguf_get_tensor_name(gguf, i),
                                  .type = gguf_get_tensor_type(gguf, i),
                                  .one_row = shape[1] == 1 && shape[2] == 1 && shape[3] == 1,
                                  .bytes = bytes});
        const std::uint64_t offset = gguf_get_tensor_offset(gguf, i);
        tables_end = std::max(tables_end, offset > unknown - bytes ? unknown : offset + bytes);
    }
    // For a file without tensors (a split model's first may hold the header
    // alone) that is where its header ends.
    const std::uint64_t data_offset = gguf_get_data_offset(gguf);
    header.files.push_back({.data_end = tables_end > unknown - data_offset ? unknown : data_offset + tables_end,
                            .length = file.length().value_or(unknown)});
}

// Holds the file at `path` and reads its GGUF header through the held file.
std::optional<std::pair<HeldModelFile, Gguf>> hold_and_read(const std::string& path) {
    auto file = hold_model_file(path.c_str());
    if (!file) return std::nullopt;
    std::string engine_path = file->own_path().value_or(path);
    Gguf gguf = read_gguf(engine_path.c_str());
    if (!gguf) return std::nullopt;
    return std::pair{HeldModelFile{std::move(*file), std::move(engine_path)}, std::move(gguf)};
}

// Reads the files after the first of a model split into `count`, in
// llama.cpp's order and with its checks; false where llama.cpp refuses the
// model for them, would stop the process on a file's number (given in
// another type than it reads), or would wait on a file that is no regular
// file with content (a pipe).
bool add_later_files(const char* first_path, std::uint16_t count, const gguf_context* first, ModelFiles& model) {
    const auto first_number = key_of_type(first, "split.no", GGUF_TYPE_UINT16);
    if (!first_number || gguf_get_val_u16(first, *first_number) != 0) return false;
    const auto paths = split_part_paths(first_path, count);
    if (!paths) return false;
    for (std::uint16_t number = 1; number < count; ++number) {
        auto part = hold_and_read((*paths)[number]);
        if (!part) return false;
        const auto part_number = key_of_type(part->second.get(), "split.no", GGUF_TYPE_UINT16);
        if (!part_number || gguf_get_val_u16(part->second.get(), *part_number) != number) return false;
        add_file(part->second.get(), part->first.file, model.header);
        model.parts.push_back(std::move(part->first));
    }
    const auto tensors = key_of_type(first, "split.tensors.count", GGUF_TYPE_INT32);
    return tensors && gguf_get_val_i32(first, *tensors) == static_cast<std::int64_t>(model.header.tensors.size());
}

}  // namespace

std::optional<ModelFiles> read_model_files(const char* path) {
    auto first = hold_and_read(path);
    if (!first) return std::nullopt;
    const gguf_context* gguf = first->second.get();
    ModelFiles model{.header = header_numbers(gguf)};
    add_file(gguf, first->first.file, model.header);
    model.parts.push_back(std::move(first->first));
    // llama.cpp reads the count as a 16-bit number and refuses another type.
    std::uint16_t count = 1;
    if (gguf_find_key(gguf, "split.count") >= 0) {
        const auto id = key_of_type(gguf, "split.count", GGUF_TYPE_UINT16);
        if (!id) return std::nullopt;
        count = gguf_get_val_u16(gguf, *id);
    }
    if (count > 1 && !add_later_files(path, count, gguf, model)) return std::nullopt;
    const auto shape = model_shape(gguf, model.header.architecture);
    if (shape) model.header.footprint = model_footprint(*shape, model.header.tensors);
    return model;
}

std::optional<ModelFileHeader> read_model_file_header(const char* path) {
    auto model = read_model_files(path);
    if (!model) return std::nullopt;
    return std::move(model->header);
}

}  // namespace debrindle
