// Writes models with the model writer and checks, through the real llama.cpp,
// that they load, tokenize and generate exactly as scripted.
#include "model_writer/model_writer.hpp"
#include "model_writer/command_line.hpp"
#include "support/in_process_engine.hpp"

#include <gtest/gtest.h>
#include <llama.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace mw = debrindle::model_writer;

namespace {

using ModelPtr = std::unique_ptr<llama_model, decltype(&llama_model_free)>;
using ContextPtr = std::unique_ptr<llama_context, decltype(&llama_free)>;
using SamplerPtr = std::unique_ptr<llama_sampler, decltype(&llama_sampler_free)>;

constexpr const char* kTemplate = "{% for m in messages %}<|marker|>{{ m['role'] }}\n{{ m['content'] }}{% endfor %}";

// The suites that load models start the engine as the helper does.
class ScriptedModelFile : public debrindle::testing::InProcessEngine {};
class RandomModelFile : public debrindle::testing::InProcessEngine {};

std::filesystem::path temp_model_path(const std::string& tag) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const auto name = std::string(test->test_suite_name()) + "." + test->name() + "." + tag + ".gguf";
    // The clock keeps two test runs at the same time apart.
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::filesystem::temp_directory_path() / ("debrindle-model-writer-" + std::to_string(stamp) + "-" + name);
}

// Writes `model_spec`, loads it and removes the file again.
ModelPtr write_and_load(const mw::ModelSpec& model_spec, const std::string& tag = "model") {
    const auto path = temp_model_path(tag);
    const auto error = mw::write_model(model_spec, path.string());
    EXPECT_FALSE(error) << *error;
    auto params = llama_model_default_params();
    ModelPtr model(llama_model_load_from_file(path.string().c_str(), params), llama_model_free);
    std::filesystem::remove(path);
    EXPECT_NE(model, nullptr);
    return model;
}

std::vector<llama_token> tokenize(const llama_vocab* vocab, const std::string& text, bool parse_special) {
    std::vector<llama_token> tokens(text.size() + 8);
    const auto count = llama_tokenize(vocab, text.data(), static_cast<int32_t>(text.size()), tokens.data(),
                                      static_cast<int32_t>(tokens.size()), /*add_special=*/true, parse_special);
    tokens.resize(static_cast<std::size_t>(std::max(count, 0)));
    return tokens;
}

std::string render(const llama_vocab* vocab, const std::vector<llama_token>& tokens, bool special) {
    std::string text;
    for (const auto token : tokens) {
        char piece[64];
        const auto length = llama_token_to_piece(vocab, token, piece, sizeof piece, 0, special);
        text.append(piece, static_cast<std::size_t>(std::max(length, 0)));
    }
    return text;
}

struct Generation {
    std::vector<llama_token> tokens;  // without the end-of-generation token
    bool ended = false;
};

ContextPtr make_context(llama_model* model) {
    auto params = llama_context_default_params();
    params.n_ctx = 512;
    params.n_batch = 512;
    params.n_threads = 2;
    params.n_threads_batch = 2;
    params.no_perf = true;
    ContextPtr context(llama_init_from_model(model, params), llama_free);
    EXPECT_NE(context, nullptr);
    return context;
}

void decode_prompt(llama_context* context, const std::string& prompt) {
    auto input = tokenize(llama_model_get_vocab(llama_get_model(context)), prompt, /*parse_special=*/true);
    ASSERT_FALSE(input.empty());
    EXPECT_EQ(llama_decode(context, llama_batch_get_one(input.data(), static_cast<int32_t>(input.size()))), 0);
}

std::vector<float> logits_after(llama_model* model, const std::string& prompt) {
    const auto context = make_context(model);
    decode_prompt(context.get(), prompt);
    const float* logits = llama_get_logits_ith(context.get(), -1);
    return {logits, logits + llama_vocab_n_tokens(llama_model_get_vocab(model))};
}

Generation generate(llama_model* model, const std::string& prompt, llama_sampler* sampler, int max_tokens) {
    const auto context = make_context(model);
    const auto* vocab = llama_model_get_vocab(model);
    decode_prompt(context.get(), prompt);
    Generation generation;
    while (static_cast<int>(generation.tokens.size()) < max_tokens) {
        llama_token token = llama_sampler_sample(sampler, context.get(), -1);
        if (llama_vocab_is_eog(vocab, token)) {
            generation.ended = true;
            break;
        }
        generation.tokens.push_back(token);
        EXPECT_EQ(llama_decode(context.get(), llama_batch_get_one(&token, 1)), 0);
    }
    return generation;
}

Generation generate_greedy(llama_model* model, const std::string& prompt, int max_tokens) {
    SamplerPtr sampler(llama_sampler_init_greedy(), llama_sampler_free);
    return generate(model, prompt, sampler.get(), max_tokens);
}

mw::ModelSpec greeting_spec(std::vector<std::string> chain, std::string end = std::string(mw::kEndTokenText)) {
    mw::ModelSpec model_spec;
    model_spec.special_tokens = {"<|marker|>", "<|silent|>"};
    model_spec.words = {" Hello", "▁world", "!", "▁Hi"};
    model_spec.chat_template = kTemplate;
    model_spec.weights = mw::ScriptedWeights{.chain = std::move(chain), .end = std::move(end)};
    return model_spec;
}

std::vector<llama_token> ids_of(const mw::ModelSpec& model_spec, const std::vector<std::string>& texts) {
    std::vector<llama_token> ids;
    for (const auto& text : texts) {
        const auto id = mw::token_id(model_spec, text);
        EXPECT_TRUE(id) << text;
        ids.push_back(id.value_or(-1));
    }
    return ids;
}

std::vector<llama_token> byte_tokens(const std::string& bytes) {
    std::vector<llama_token> ids;
    for (const unsigned char byte : bytes) {
        ids.push_back(mw::kFirstByteToken + byte);
    }
    return ids;
}

std::string read_bytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

TEST_F(ScriptedModelFile, LoadsWithTheWrittenVocabularyAndTemplate) {
    const auto model_spec = greeting_spec({"▁Hello"});
    const auto model = write_and_load(model_spec);
    ASSERT_NE(model, nullptr);
    const auto* vocab = llama_model_get_vocab(model.get());

    EXPECT_EQ(llama_vocab_n_tokens(vocab), mw::vocabulary_size(model_spec));
    EXPECT_EQ(llama_vocab_bos(vocab), mw::kBeginToken);
    EXPECT_EQ(llama_vocab_eos(vocab), mw::kEndToken);
    EXPECT_TRUE(llama_vocab_is_eog(vocab, mw::kEndToken));
    EXPECT_FALSE(llama_vocab_is_eog(vocab, *mw::token_id(model_spec, "<|marker|>")));
    EXPECT_FALSE(llama_vocab_is_eog(vocab, *mw::token_id(model_spec, "<|silent|>")));
    // One embedding dimension per token, in whole 32-value heads.
    EXPECT_GE(llama_model_n_embd(model.get()), llama_vocab_n_tokens(vocab));
    EXPECT_EQ(llama_model_n_embd(model.get()) % 64, 0);

    const char* chat_template = llama_model_chat_template(model.get(), nullptr);
    ASSERT_NE(chat_template, nullptr);
    EXPECT_STREQ(chat_template, kTemplate);

    auto without_template = model_spec;
    without_template.chat_template.reset();
    const auto bare = write_and_load(without_template, "bare");
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(llama_model_chat_template(bare.get(), nullptr), nullptr);
}

TEST_F(ScriptedModelFile, TokenizesWordsSpecialTokensAndBytes) {
    const auto model_spec = greeting_spec({"▁Hello"});
    const auto model = write_and_load(model_spec);
    ASSERT_NE(model, nullptr);
    const auto* vocab = llama_model_get_vocab(model.get());

    const auto marker = ids_of(model_spec, {"<|marker|>"});
    auto marker_as_text = byte_tokens("\xE2\x96\x81<|marker|>");  // "▁" is not a token of its own
    const struct {
        std::string text;
        bool parse_special;
        std::vector<llama_token> expected;
    } cases[] = {
        {"Hello world", true, ids_of(model_spec, {"▁Hello", "▁world"})},
        {"Hello world!", false, ids_of(model_spec, {"▁Hello", "▁world", "!"})},
        {"Hi", true, ids_of(model_spec, {"▁Hi"})},
        {"Hel", true, ids_of(model_spec, {"▁Hel"})},  // a piece the word is merged from
        {"xy", true, byte_tokens("\xE2\x96\x81xy")},
        {"<|marker|>", true, marker},
        {"<|marker|>", false, marker_as_text},
        {"<|marker|>Hello", true, ids_of(model_spec, {"<|marker|>", "▁Hello"})},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tokenize(vocab, c.text, c.parse_special), c.expected)
            << "'" << c.text << "' parse_special=" << c.parse_special;
    }
}

TEST_F(ScriptedModelFile, GreedyGenerationWalksTheChain) {
    const struct {
        std::vector<std::string> chain;
        std::string end;
        std::string prompt;
        int max_tokens;
        std::vector<std::string> expected;
        bool ended;
    } cases[] = {
        {{"▁Hello", "▁world", "!"}, "</s>", "Hi", 16, {"▁Hello", "▁world", "!"}, true},
        // A prompt ending inside the chain continues from there.
        {{"▁Hello", "▁world", "!"}, "</s>", "Hi Hello", 16, {"▁world", "!"}, true},
        {{"▁Hello", "▁world", "!"},
         "▁Hello",
         "Hi",
         7,
         {"▁Hello", "▁world", "!", "▁Hello", "▁world", "!", "▁Hello"},
         false},
        {{"▁Hello", "▁world", "!"}, "▁world", "<|marker|>", 5, {"▁Hello", "▁world", "!", "▁world", "!"}, false},
        // The end token, outside the chain, is followed by the chain's start.
        {{"▁Hello", "<|silent|>"},
         "▁world",
         "Hi",
         5,
         {"▁Hello", "<|silent|>", "▁world", "▁Hello", "<|silent|>"},
         false},
    };
    for (const auto& c : cases) {
        const auto model_spec = greeting_spec(c.chain, c.end);
        const auto model = write_and_load(model_spec);
        ASSERT_NE(model, nullptr);
        const auto generation = generate_greedy(model.get(), c.prompt, c.max_tokens);
        EXPECT_EQ(generation.tokens, ids_of(model_spec, c.expected)) << "end " << c.end << ", prompt " << c.prompt;
        EXPECT_EQ(generation.ended, c.ended) << "end " << c.end << ", prompt " << c.prompt;
    }
}

TEST_F(ScriptedModelFile, RendersTheChainAsText) {
    const auto model_spec = greeting_spec({"▁Hello", "<|silent|>", "▁world", "!"});
    const auto model = write_and_load(model_spec);
    ASSERT_NE(model, nullptr);
    const auto* vocab = llama_model_get_vocab(model.get());
    const auto generation = generate_greedy(model.get(), "Hi", 16);
    EXPECT_EQ(render(vocab, generation.tokens, /*special=*/false), " Hello world!");
    EXPECT_EQ(render(vocab, generation.tokens, /*special=*/true), " Hello<|silent|> world!");
}

TEST_F(ScriptedModelFile, StrengthIsTheOnlyNonZeroLogit) {
    for (const float strength : {100.0f, 7.5f, 0.25f}) {
        auto model_spec = greeting_spec({"▁Hello", "▁world"});
        std::get<mw::ScriptedWeights>(model_spec.weights).strength = strength;
        const auto model = write_and_load(model_spec);
        ASSERT_NE(model, nullptr);
        const auto logits = logits_after(model.get(), "Hi");
        const auto next = static_cast<std::size_t>(*mw::token_id(model_spec, "▁Hello"));
        ASSERT_EQ(logits.size(), static_cast<std::size_t>(mw::vocabulary_size(model_spec)));
        EXPECT_NEAR(logits[next], strength, strength * 1e-5f);
        for (std::size_t token = 0; token < logits.size(); ++token) {
            if (token != next) {
                EXPECT_EQ(logits[token], 0.0f) << "token " << token << ", strength " << strength;
            }
        }
    }
}

TEST_F(ScriptedModelFile, StrengthDecidesWhetherSamplingFollowsTheChain) {
    const struct {
        float strength;
        bool follows_chain;
    } cases[] = {{100.0f, true}, {1.0f, false}};
    for (const auto& c : cases) {
        auto model_spec = greeting_spec({"▁Hello", "▁world", "!"}, "▁Hello");
        std::get<mw::ScriptedWeights>(model_spec.weights).strength = c.strength;
        const auto model = write_and_load(model_spec);
        ASSERT_NE(model, nullptr);
        const auto chain = ids_of(model_spec, {"▁Hello", "▁world", "!", "▁Hello", "▁world", "!"});

        std::set<std::vector<llama_token>> outcomes;
        for (std::uint32_t seed = 1; seed <= 5; ++seed) {
            SamplerPtr sampler(llama_sampler_chain_init(llama_sampler_chain_default_params()), llama_sampler_free);
            llama_sampler_chain_add(sampler.get(), llama_sampler_init_top_p(0.95f, 1));
            llama_sampler_chain_add(sampler.get(), llama_sampler_init_temp(1.5f));
            llama_sampler_chain_add(sampler.get(), llama_sampler_init_dist(seed));
            outcomes.insert(generate(model.get(), "Hi", sampler.get(), 6).tokens);
        }
        if (c.follows_chain) {
            EXPECT_EQ(outcomes, std::set{chain}) << "strength " << c.strength;
        } else {
            EXPECT_GT(outcomes.size(), 1u) << "strength " << c.strength;
            EXPECT_FALSE(outcomes.contains(chain)) << "strength " << c.strength;
        }
    }
}

TEST_F(RandomModelFile, GeneratesWithoutEndingAndIsReproducible) {
    mw::ModelSpec model_spec;
    model_spec.special_tokens = {"<|im_end|>"};  // an end-of-generation token by its name
    model_spec.weights = mw::RandomWeights{
        .seed = 7, .vocab_size = 4000, .embedding_length = 256, .layers = 2, .feed_forward_length = 512, .heads = 4};
    const auto model = write_and_load(model_spec);
    ASSERT_NE(model, nullptr);
    const auto* vocab = llama_model_get_vocab(model.get());
    EXPECT_EQ(llama_vocab_n_tokens(vocab), 4000);
    EXPECT_TRUE(llama_vocab_is_eog(vocab, *mw::token_id(model_spec, "<|im_end|>")));
    const std::uint64_t block_params = 4 * 256 * 256 + 3 * 256 * 512 + 2 * 256;
    EXPECT_EQ(llama_model_n_params(model.get()), 2 * 4000 * 256 + 256 + 2 * block_params);

    // Control tokens, the end-of-generation ones among them, get a zero logit
    // below the largest random one.
    const auto logits = logits_after(model.get(), "hello world");
    for (const auto token : {mw::kBeginToken, mw::kEndToken, *mw::token_id(model_spec, "<|im_end|>")}) {
        EXPECT_EQ(logits[static_cast<std::size_t>(token)], 0.0f) << "token " << token;
    }
    EXPECT_GT(*std::max_element(logits.begin(), logits.end()), 0.0f);

    const auto generation = generate_greedy(model.get(), "hello world", 48);
    EXPECT_FALSE(generation.ended);
    EXPECT_EQ(generation.tokens.size(), 48u);

    const auto first = temp_model_path("first"), again = temp_model_path("again"), other = temp_model_path("other");
    auto other_spec = model_spec;
    std::get<mw::RandomWeights>(other_spec.weights).seed = 8;
    ASSERT_FALSE(mw::write_model(model_spec, first.string()));
    ASSERT_FALSE(mw::write_model(model_spec, again.string()));
    ASSERT_FALSE(mw::write_model(other_spec, other.string()));
    EXPECT_EQ(read_bytes(first), read_bytes(again));
    EXPECT_NE(read_bytes(first), read_bytes(other));
    for (const auto& path : {first, again, other}) {
        std::filesystem::remove(path);
    }
}

TEST(ModelWriterErrors, RejectsInvalidSpecsAndLeavesNoFile) {
    const auto with_chain = [](std::vector<std::string> chain, std::string end = "</s>") {
        return greeting_spec(std::move(chain), std::move(end));
    };
    auto duplicate_word = with_chain({"▁Hello"});
    duplicate_word.words.push_back("▁world");
    auto special_clash = with_chain({"▁Hello"});
    special_clash.special_tokens.push_back("</s>");
    auto weak = with_chain({"▁Hello"});
    std::get<mw::ScriptedWeights>(weak.weights).strength = 0.0f;
    auto small_vocab = with_chain({"▁Hello"});
    small_vocab.weights = mw::RandomWeights{.vocab_size = 262};
    auto odd_heads = with_chain({"▁Hello"});
    odd_heads.weights = mw::RandomWeights{.vocab_size = 300, .embedding_length = 100, .heads = 8};
    auto odd_kv_heads = with_chain({"▁Hello"});
    odd_kv_heads.weights = mw::RandomWeights{.vocab_size = 300, .embedding_length = 96, .heads = 6, .kv_heads = 4};

    const struct {
        mw::ModelSpec model_spec;
        std::string error;
    } cases[] = {
        {duplicate_word, "given twice"},
        {special_clash, "given twice"},
        {with_chain({}), "at least one token"},
        {with_chain({"▁Hello", "▁nowhere"}), "chain token '▁nowhere' is not in the vocabulary"},
        {with_chain({"▁Hello", "!", "▁Hello"}), "occurs twice"},
        {with_chain({"▁Hello"}, "▁nowhere"), "end token"},
        {weak, "strength"},
        {small_vocab, "smaller than"},
        {odd_heads, "multiple of twice the head count"},
        {odd_kv_heads, "multiple of the key and value head count"},
    };
    for (const auto& c : cases) {
        const auto path = temp_model_path("invalid");
        const auto error = mw::write_model(c.model_spec, path.string());
        ASSERT_TRUE(error) << c.error;
        EXPECT_NE(error->find(c.error), std::string::npos) << *error;
        EXPECT_FALSE(std::filesystem::exists(path)) << c.error;
    }
    const auto error = mw::write_model(with_chain({"▁Hello"}), "/nonexistent-directory/model.gguf");
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("cannot open"), std::string::npos) << *error;
}

TEST(MakeModelCommandLine, BuildsScriptedAndRandomSpecs) {
    const auto scripted =
        mw::parse_command_line({"--out", "m.gguf", "--specials", "<|marker|>", "--words", "▁Hello  !", "--chain",
                                "▁Hello !", "--end", "cycle", "--strength", "2.5", "--template", "T"});
    EXPECT_EQ(scripted.out_path, "m.gguf");
    EXPECT_EQ(scripted.model_spec.special_tokens, std::vector<std::string>{"<|marker|>"});
    EXPECT_EQ(scripted.model_spec.words, (std::vector<std::string>{"▁Hello", "!"}));
    EXPECT_EQ(scripted.model_spec.chat_template, "T");
    const auto& chain = std::get<mw::ScriptedWeights>(scripted.model_spec.weights);
    EXPECT_EQ(chain.chain, (std::vector<std::string>{"▁Hello", "!"}));
    EXPECT_EQ(chain.end, "▁Hello");
    EXPECT_EQ(chain.strength, 2.5f);

    const auto random = mw::parse_command_line({"--out", "r.gguf", "--random", "42", "--vocab-size", "1000", "--embd",
                                                "64", "--layers", "3", "--heads", "4", "--kv-heads", "2"});
    const auto& weights = std::get<mw::RandomWeights>(random.model_spec.weights);
    EXPECT_EQ(weights.seed, 42u);
    EXPECT_EQ(weights.vocab_size, 1000u);
    EXPECT_EQ(weights.embedding_length, 64u);
    EXPECT_EQ(weights.layers, 3u);
    EXPECT_EQ(weights.heads, 4u);
    EXPECT_EQ(weights.kv_heads, 2u);
    EXPECT_EQ(weights.feed_forward_length, mw::RandomWeights{}.feed_forward_length);

    EXPECT_TRUE(mw::parse_command_line({"--help"}).show_help);
}

TEST(MakeModelCommandLine, RejectsBadFlags) {
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--chain", "a"}, "--out PATH is required"},
        {{"--out", "m", "--colour", "red"}, "unknown option '--colour'"},
        {{"--out"}, "--out needs a value"},
        {{"--out", "m", "--out", "n"}, "given twice"},
        {{"--out", "m", "--embd", "64"}, "--embd needs --random"},
        {{"--out", "m", "--random", "1", "--chain", "a"}, "--chain does not go with --random"},
        {{"--out", "m", "--random", "12x"}, "--random needs a number, not '12x'"},
        {{"--out", "m", "--random", "1", "--layers", "-1"}, "--layers needs a number"},
        {{"--out", "m", "--strength", ""}, "--strength needs a number"},
        {{"--out", "m", "--end", "cycle"}, "--end cycle needs --chain"},
        {{"--out", "m", "--template", "T", "--template-file", "f"}, "either --template or --template-file"},
        {{"--out", "m", "--template-file", "/nonexistent/template.jinja"}, "cannot read template file"},
    };
    for (const auto& c : cases) {
        try {
            mw::parse_command_line(c.args);
            ADD_FAILURE() << "accepted, expected: " << c.error;
        } catch (const mw::UsageError& error) {
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
        }
    }
}

}  // namespace
