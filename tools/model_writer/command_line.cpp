#include "command_line.hpp"

#include <charconv>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>

namespace debrindle::model_writer {
namespace {

const std::set<std::string, std::less<>> kCommonFlags = {
    "--out",   "--specials", "--words",          "--template",     "--template-file", "--context-length", "--layers",
    "--heads", "--type",     "--header-numbers", "--tensor-types", "--split",         "--zero-biases"};
const std::set<std::string, std::less<>> kScriptedFlags = {"--chain", "--end", "--strength", "--overflowing"};
const std::set<std::string, std::less<>> kRandomFlags = {"--random", "--vocab-size", "--embd", "--ff", "--kv-heads"};

using FlagValues = std::map<std::string, std::string, std::less<>>;

bool is_known_flag(const std::string& flag) {
    return kCommonFlags.contains(flag) || kScriptedFlags.contains(flag) || kRandomFlags.contains(flag);
}

std::vector<std::string> split_on_whitespace(const std::string& list) {
    std::vector<std::string> items;
    std::istringstream stream(list);
    for (std::string item; stream >> item;) {
        items.push_back(item);
    }
    return items;
}

template <typename Number>
Number parse_number(const std::string& flag, const std::string& text) {
    Number value{};
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        throw UsageError(flag + " needs a number, not '" + text + "'");
    }
    return value;
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw UsageError("cannot read template file " + path);
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

// "NAME=VALUE" split at its first '='.
std::pair<std::string, std::string> split_assignment(const std::string& flag, const std::string& item) {
    const auto equals = item.find('=');
    if (equals == std::string::npos) throw UsageError(flag + " needs NAME=VALUE, not '" + item + "'");
    return {item.substr(0, equals), item.substr(equals + 1)};
}

WeightType named_type(const std::string& name) {
    static const std::map<std::string, WeightType, std::less<>> types = {
        {"f32", WeightType::f32},   {"f16", WeightType::f16},   {"bf16", WeightType::bf16},
        {"q8_0", WeightType::q8_0}, {"q4_0", WeightType::q4_0}, {"mxfp4", WeightType::mxfp4}};
    const auto found = types.find(name);
    if (found == types.end()) throw UsageError("--tensor-types: no type '" + name + "'");
    return found->second;
}

FlagValues collect_flags(const std::vector<std::string>& args, bool& show_help) {
    FlagValues values;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto& flag = args[i];
        if (flag == "--help" || flag == "-h") {
            show_help = true;
            continue;
        }
        if (flag == "--no-byte-tokens" || flag == "--no-tensor-first-split") {
            values.emplace(flag, "");
            continue;
        }
        if (!is_known_flag(flag)) {
            throw UsageError("unknown option '" + flag + "'");
        }
        if (i + 1 == args.size()) {
            throw UsageError(flag + " needs a value");
        }
        if (!values.emplace(flag, args[++i]).second) {
            throw UsageError(flag + " is given twice");
        }
    }
    return values;
}

void reject_flags(const FlagValues& values, const std::set<std::string, std::less<>>& flags, const char* reason) {
    for (const auto& [flag, value] : values) {
        if (flags.contains(flag)) {
            throw UsageError(flag + " " + reason);
        }
    }
}

ScriptedWeights scripted_from(const FlagValues& values) {
    reject_flags(values, kRandomFlags, "needs --random");
    ScriptedWeights scripted;
    if (const auto it = values.find("--chain"); it != values.end()) {
        scripted.chain = split_on_whitespace(it->second);
    }
    if (const auto it = values.find("--end"); it != values.end()) {
        if (it->second == "cycle") {
            if (scripted.chain.empty()) throw UsageError("--end cycle needs --chain");
            scripted.end = scripted.chain.front();
        } else if (it->second != "eos") {
            scripted.end = it->second;
        }
    }
    if (const auto it = values.find("--strength"); it != values.end()) {
        scripted.strength = parse_number<float>(it->first, it->second);
    }
    if (const auto it = values.find("--overflowing"); it != values.end()) scripted.overflowing_token = it->second;
    if (const auto it = values.find("--layers"); it != values.end()) {
        scripted.layers = parse_number<std::uint32_t>(it->first, it->second);
    }
    if (const auto it = values.find("--heads"); it != values.end()) {
        scripted.heads = parse_number<std::uint32_t>(it->first, it->second);
    }
    return scripted;
}

RandomWeights random_from(const FlagValues& values) {
    reject_flags(values, kScriptedFlags, "does not go with --random");
    RandomWeights random;
    random.seed = parse_number<std::uint64_t>("--random", values.at("--random"));
    const std::pair<const char*, std::uint32_t*> sizes[] = {
        {"--vocab-size", &random.vocab_size},  {"--embd", &random.embedding_length}, {"--layers", &random.layers},
        {"--ff", &random.feed_forward_length}, {"--heads", &random.heads},           {"--kv-heads", &random.kv_heads},
    };
    for (const auto& [flag, field] : sizes) {
        if (const auto it = values.find(flag); it != values.end()) {
            *field = parse_number<std::uint32_t>(it->first, it->second);
        }
    }
    return random;
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& args) {
    CommandLine command;
    const auto values = collect_flags(args, command.show_help);
    if (command.show_help) return command;

    const auto out = values.find("--out");
    if (out == values.end()) {
        throw UsageError("--out PATH is required");
    }
    command.out_path = out->second;

    auto& model_spec = command.model_spec;
    if (const auto it = values.find("--specials"); it != values.end()) {
        model_spec.special_tokens = split_on_whitespace(it->second);
    }
    if (const auto it = values.find("--words"); it != values.end()) {
        model_spec.words = split_on_whitespace(it->second);
    }
    model_spec.byte_tokens = !values.contains("--no-byte-tokens");
    const auto inline_template = values.find("--template");
    const auto template_file = values.find("--template-file");
    if (inline_template != values.end() && template_file != values.end()) {
        throw UsageError("give either --template or --template-file");
    }
    if (inline_template != values.end()) {
        model_spec.chat_template = inline_template->second;
    } else if (template_file != values.end()) {
        model_spec.chat_template = read_file(template_file->second);
    }
    if (const auto it = values.find("--context-length"); it != values.end()) {
        model_spec.context_length = parse_number<std::uint32_t>(it->first, it->second);
    }

    if (const auto it = values.find("--type"); it != values.end()) {
        static const std::map<std::string, WeightType, std::less<>> types = {
            {"f32", WeightType::f32},      {"f16", WeightType::f16},       {"q8_0", WeightType::q8_0},
            {"q4_0", WeightType::q4_0},    {"q4_k_m", WeightType::q4_k_m}, {"q6_k", WeightType::q6_k},
            {"iq4_nl", WeightType::iq4_nl}};
        const auto type = types.find(it->second);
        if (type == types.end())
            throw UsageError("--type is f32, f16, q8_0, q4_0, q4_k_m, q6_k or iq4_nl, not '" + it->second + "'");
        model_spec.weight_type = type->second;
    }

    if (const auto it = values.find("--header-numbers"); it != values.end()) {
        for (const auto& item : split_on_whitespace(it->second)) {
            const auto [key, number] = split_assignment(it->first, item);
            model_spec.header_numbers[key] = parse_number<std::uint32_t>(it->first, number);
        }
    }
    if (const auto it = values.find("--tensor-types"); it != values.end()) {
        for (const auto& item : split_on_whitespace(it->second)) {
            const auto [name, type] = split_assignment(it->first, item);
            model_spec.tensor_types[name] = named_type(type);
        }
    }
    if (const auto it = values.find("--zero-biases"); it != values.end()) {
        model_spec.zero_biases = split_on_whitespace(it->second);
    }
    if (const auto it = values.find("--split"); it != values.end()) {
        model_spec.files = parse_number<std::uint16_t>(it->first, it->second);
    }
    model_spec.header_only_first_file = values.contains("--no-tensor-first-split");

    if (values.contains("--random")) {
        model_spec.weights = random_from(values);
    } else {
        model_spec.weights = scripted_from(values);
    }
    return command;
}

std::string usage_text() {
    return R"(Usage: debrindle-make-model --out PATH [options]

Writes a small llama-architecture GGUF model for tests, demos and benchmarks.
Lists are separated by spaces; inside a word, write a space as U+2581 ("▁").

Vocabulary (after <unk>, <s>, </s> and the 256 byte tokens):
  --specials "T ..."      control tokens, e.g. "<|marker|> <|silent|>"
  --words "W ..."         words, e.g. "▁Hello ▁world !"
  --no-byte-tokens        leave the byte tokens out
  --template TEXT         chat template
  --template-file FILE    chat template read from FILE
  --context-length N      training context length (default 4096)
  --type T                how the weight matrices are stored: f32 (default),
                          f16, q8_0, q4_0, or q4_k_m, q6_k or iq4_nl (llama.cpp's quantizer)
  --tensor-types "TENSOR=T ..."
                          tensors stored in another type (f32, f16, bf16,
                          q8_0, q4_0 or mxfp4), e.g. a layer of another
                          size, or a norm llama.cpp must not be given:
                          "blk.0.ffn_norm.weight=mxfp4"
  --split N               N files, as llama.cpp's split tool writes them:
                          PATH-00001-of-0000N.gguf and on (default 1)
  --no-tensor-first-split the first of them holds the header alone

For files llama.cpp must not be given:
  --header-numbers "KEY=N ..."
                          header numbers written over the model's own,
                          e.g. "llama.block_count=0"
  --zero-biases "NAME ..."
                          bias vectors of zeros, as long as the rows of
                          their matrix, e.g. "blk.0.attn_output.bias"; with
                          --tensor-types "blk.0.attn_output.bias=f16" one
                          that llama.cpp's CPU backend cannot add

Scripted weights (the default): greedy generation walks a chain of tokens.
  --chain "T ..."         the chain, e.g. "▁Hello ▁world !"; any token outside
                          it is followed by the first one
  --end eos|cycle|TOKEN   what follows the last token (default eos)
  --strength X            logit of the scripted next token (default 100)
  --overflowing TOKEN     a token whose values overflow an F16 cache
  --layers N              (default 1)
  --heads N               (default 2)

Random weights, for benchmarks:
  --random SEED           fill the weights from this seed
  --vocab-size N          synthetic words fill the vocabulary (default 32000)
  --embd N                embedding length (default 512)
  --layers N              (default 8)
  --ff N                  feed-forward length (default 1408)
  --heads N               (default 8)
  --kv-heads N            heads of keys and values (default: as many as --heads)
)";
}

}  // namespace debrindle::model_writer
