#include "engine/model/model_traits.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include <ggml-backend.h>

namespace debrindle {
namespace {

std::optional<std::string> metadata(const llama_model* model, const std::string& key) {
    std::array<char, 128> value{};
    const std::int32_t length = llama_model_meta_val_str(model, key.c_str(), value.data(), value.size());
    if (length < 0 || static_cast<std::size_t>(length) >= value.size()) return std::nullopt;
    return std::string(value.data(), static_cast<std::size_t>(length));
}

std::optional<std::uint32_t> metadata_number(const llama_model* model, const std::string& key) {
    const auto text = metadata(model, key);
    std::uint32_t number = 0;
    if (!text || std::from_chars(text->data(), text->data() + text->size(), number).ec != std::errc{}) {
        return std::nullopt;
    }
    return number;
}

// The CPU module multiplies on AMX tiles or through KleidiAI, whose kernels
// are picked by row count.
bool cpu_matrix_tiles() {
    ggml_backend_dev_t cpu = ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU);
    if (cpu == nullptr) return false;
    auto* const features = reinterpret_cast<ggml_backend_get_features_t>(
        ggml_backend_reg_get_proc_address(ggml_backend_dev_backend_reg(cpu), "ggml_backend_get_features"));
    if (features == nullptr) return true;  // unknown: assume the worst
    for (const ggml_backend_feature* feature = features(ggml_backend_dev_backend_reg(cpu)); feature->name != nullptr;
         ++feature) {
        const std::string_view name = feature->name;
        if (name.starts_with("AMX") || name == "KLEIDIAI") return true;
    }
    return false;
}

}  // namespace

ModelTraits model_traits(const LoadedModel& loaded, std::uint32_t layers_on_gpu) {
    const llama_model* model = loaded.get();
    const std::string architecture = metadata(model, "general.architecture").value_or("");
    const std::int32_t rope = llama_model_rope_type(model);
    ModelTraits traits;
    traits.original_context_length =
        metadata_number(model, architecture + ".rope.scaling.original_context_length")
            .value_or(static_cast<std::uint32_t>(std::max(llama_model_n_ctx_train(model), 0)));
    traits.reuse.plain_cache = !llama_model_is_recurrent(model) && !llama_model_is_hybrid(model) &&
                               !llama_model_has_encoder(model) && !llama_model_is_diffusion(model) &&
                               llama_model_n_swa(model) == 0 && rope != LLAMA_ROPE_TYPE_MROPE &&
                               rope != LLAMA_ROPE_TYPE_IMROPE && rope != LLAMA_ROPE_TYPE_VISION;
    traits.reuse.experts = metadata_number(model, architecture + ".expert_count").value_or(0) > 0;
    traits.reuse.layers_on_gpu = layers_on_gpu > 0;
    traits.reuse.cpu_matrix_tiles = cpu_matrix_tiles();
    return traits;
}

}  // namespace debrindle
