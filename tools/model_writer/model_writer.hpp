// Writes small llama-architecture GGUF models whose behaviour a test can
// predict exactly, or random ones of a chosen size for benchmarks.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace debrindle::model_writer {

// The fixed head of every vocabulary, in SentencePiece order. The 256 byte
// tokens <0x00>..<0xFF> follow, then the special tokens, then the words.
inline constexpr std::int32_t kUnknownToken = 0;  // <unk>
inline constexpr std::int32_t kBeginToken = 1;    // <s>
inline constexpr std::int32_t kEndToken = 2;      // </s>, the end of generation
inline constexpr std::int32_t kFirstByteToken = 3;

inline constexpr std::string_view kEndTokenText = "</s>";

// Weights that make greedy generation walk a chain of tokens: after chain[k]
// comes chain[k + 1], after the last one comes `end`, and after any token
// outside the chain comes chain[0]. Tokens are named by their text: a word,
// a special token, "<0x0A>" or "</s>".
struct ScriptedWeights {
    std::vector<std::string> chain;
    // "</s>" stops generation; chain.front() cycles for ever.
    std::string end{kEndTokenText};
    // The logit of the scripted next token; every other logit is zero. The
    // default leaves no room for sampling to stray; small values let it.
    float strength = 100.0f;
    std::uint32_t layers = 1;
    std::uint32_t heads = 2;
    // A token whose values overflow an F16 cache (infinite there), which
    // makes every row that attends to its cell not a number, and greedy
    // sampling then take token 0, <unk>, made a normal token; none if empty.
    std::string overflowing_token{};
};

// Small random weights of a chosen size, for benchmarks. Synthetic words fill
// the vocabulary up to vocab_size. Greedy generation never picks <s>, </s> or
// a special token, so it never ends by itself.
struct RandomWeights {
    std::uint64_t seed = 1;
    std::uint32_t vocab_size = 32000;
    std::uint32_t embedding_length = 512;
    std::uint32_t layers = 8;
    std::uint32_t feed_forward_length = 1408;
    std::uint32_t heads = 8;
    // Heads of keys and values, each shared by heads / kv_heads query heads;
    // 0 for as many as there are heads.
    std::uint32_t kv_heads = 0;
    // A mixture of this many experts in every block's feed-forward, of
    // which each token takes `used_experts`; 0 for none.
    std::uint32_t experts = 0;
    std::uint32_t used_experts = 2;
    // A Mamba model: each block a selective state space (a recurrent
    // state), with no attention and no feed-forward.
    bool recurrent = false;
    // A Granite model whose first layer, and every other one after it,
    // attends to this many tokens back at most (with an attention sink per
    // head); 0 for none.
    std::uint32_t sliding_window = 0;
};

// How tensors are stored. Quantized rows hold blocks of 32 values, so every
// quantized tensor's row length must be a multiple of 32.
// q4_k_m (llama.cpp's own mix of 4- and 6-bit types), q6_k and iq4_nl are made
// by its quantizer
// from the model written in F16; its rows must hold multiples of 256 values.
enum class WeightType { f32, f16, bf16, q8_0, q4_0, mxfp4, q4_k_m, q6_k, iq4_nl };

struct ModelSpec {
    // Control tokens, e.g. "<|marker|>"; llama.cpp treats some names, such as
    // "<|im_end|>" or "<|eot_id|>", as end of generation.
    std::vector<std::string> special_tokens;
    // Normal tokens. A space, written ' ' or as SentencePiece's U+2581 ("▁"),
    // is stored as U+2581, so " Hello" and "▁Hello" are the same word.
    std::vector<std::string> words;
    // Whether the 256 "<0xNN>" byte tokens follow the first three. Without
    // them llama.cpp cannot spell a character that no token covers.
    bool byte_tokens = true;
    std::optional<std::string> chat_template;
    std::uint32_t context_length = 4096;
    // How the weight matrices are stored; norm vectors stay F32. A tensor
    // named in tensor_types is stored in that type instead: a norm in a type
    // llama.cpp must not be given, or a layer of another size.
    WeightType weight_type = WeightType::f32;
    std::map<std::string, WeightType> tensor_types;
    // Header numbers written over the ones the model implies, e.g.
    // {"llama.block_count", 0}: for files llama.cpp must not be given.
    std::map<std::string, std::uint32_t> header_numbers;
    // Bias vectors of zeros added to the model, each as long as the rows of
    // the matrix it names: "blk.0.attn_output.bias" goes with
    // "blk.0.attn_output.weight"; or "rope_freqs.weight", the rope's
    // frequency factors (ones), or "rope_factors_short.weight" (ones) and
    // "rope_factors_long.weight" (fours), which make the rope LongRoPE, taken
    // long past llama.rope.scaling.original_context_length (a header number).
    // F32, unless tensor_types names another type (one llama.cpp's CPU
    // backend cannot add: F16, BF16).
    std::vector<std::string> zero_biases;
    std::variant<ScriptedWeights, RandomWeights> weights;
    // The files the model is written in. With more than one, as llama.cpp's
    // split tool writes them: the path given names what they share
    // (split_file_path), the first file holds the header, and each file its
    // number, the file count, the tensor count and its share of the tensors,
    // in order.
    std::uint16_t files = 1;
    // With more than one file, the first holds the header alone and the
    // others share the tensors, as the split tool's --no-tensor-first-split
    // writes them.
    bool header_only_first_file = false;
};

// Writes the model to `path`. Returns an error text when the ModelSpec is invalid
// or the file cannot be written; nothing is left at `path` then.
std::optional<std::string> write_model(const ModelSpec& model_spec, const std::string& path);

// The path of file `file` (from 0) of a model written in `files` files at
// `path`, as llama.cpp names it: PATH-00001-of-00003.gguf for the first of three.
std::string split_file_path(const std::string& path, std::uint16_t file, std::uint16_t files);

// The id that `text` (spelled as in ModelSpec) has in the vocabulary of `model_spec`,
// or nullopt if it is not a token. Throws std::invalid_argument if the
// vocabulary itself is invalid (e.g. a word given twice).
std::optional<std::int32_t> token_id(const ModelSpec& model_spec, std::string_view text);

// The number of tokens the written model will have.
std::int32_t vocabulary_size(const ModelSpec& model_spec);

}  // namespace debrindle::model_writer
