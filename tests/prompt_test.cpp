// Prompt assembly and the engine binding, in process, against real
// llama.cpp and models written by the project's model writer.

#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/backend/thread_pool.hpp"
#include "engine/generation/batch.hpp"
#include "engine/generation/generation.hpp"
#include "engine/generation/prompt.hpp"
#include "engine/model/model.hpp"
#include "engine/model/model_traits.hpp"
#include "engine/prompt_cache/prompt_cache.hpp"
#include "engine/prompt_cache/prompt_reuse.hpp"
#include "engine/prompt_cache/sequence_state.hpp"
#include "support/in_process_engine.hpp"
#include "support/models.hpp"

namespace debrindle {
namespace {

using testing::chain_model;
using testing::vocabulary_words;
using testing::write_test_model;

class Engine : public testing::InProcessEngine {
protected:
    LoadedModel load(const model_writer::ModelSpec& model_spec) {
        auto model =
            model_load(*backend_, write_test_model(model_spec), set_gpu_layers(model_params_default(), all_gpu_layers));
        if (!model) throw std::runtime_error(model.error().text());
        return std::move(model).value();
    }
};

// The last token of a reply is not decoded, as nothing is sampled after it
// (llama.cpp counts no fewer than one); the kept context serves the next
// request of its length.
TEST_F(Engine, GenerationDecodesNoTokenAfterTheLast) {
    const LoadedModel model = load(chain_model({"▁a"}, "▁a"));
    KeptGeneration kept{.traits = model_traits(model, 0)};
    for (const auto& [max_tokens, single_token_decodes] : {std::pair{2, 1}, {4, 3}, {2, 1}}) {
        ASSERT_TRUE(generate_text(*backend_, model, {"", "hi", 0.0F, max_tokens}, kept));
        EXPECT_EQ(llama_perf_context(kept.context->get()).n_eval, single_token_decodes) << max_tokens;
        llama_perf_context_reset(kept.context->get());
    }
}

// A kept context up to twice the length a request needs computes its bits,
// but for a model whose rope takes long factors past its original length
// (1,024 here), whose kept context must take the factors a fresh one would.
TEST_F(Engine, KeptContextComputesAsAFreshOne) {
    model_writer::ModelSpec model_spec;
    model_spec.weights = model_writer::RandomWeights{
        .vocab_size = 2000, .embedding_length = 256, .layers = 2, .feed_forward_length = 512, .heads = 4};
    for (const bool long_rope : {false, true}) {
        if (long_rope) {
            model_spec.zero_biases = {"rope_factors_short.weight", "rope_factors_long.weight"};
            model_spec.header_numbers = {{"llama.rope.scaling.original_context_length", 1024}};
        }
        const LoadedModel model = load(model_spec);
        KeptGeneration kept{.traits = model_traits(model, 0)}, fresh{.traits = model_traits(model, 0)};
        ASSERT_TRUE(generate_text(*backend_, model, {vocabulary_words(0, 1400), "hi", 0.0F, 8}, kept));
        const GenerationInput input{"You are terse.", "hi", 0.0F, 8};
        ASSERT_TRUE(generate_text(*backend_, model, input, kept));
        ASSERT_TRUE(generate_text(*backend_, model, input, fresh));
        EXPECT_EQ(kept.context->cell_count() > fresh.context->cell_count(), !long_rope);
        const float* logits = llama_get_logits_ith(kept.context->get(), -1);
        const std::size_t bytes = llama_vocab_n_tokens(model.vocab()) * sizeof(float);
        EXPECT_EQ(std::memcmp(logits, llama_get_logits_ith(fresh.context->get(), -1), bytes), 0) << long_rope;
    }
}

std::vector<std::uint8_t> sequence_cells(llama_context* context) {
    std::vector<std::uint8_t> cells(llama_state_seq_get_size(context, 0));
    cells.resize(llama_state_seq_get_data(context, cells.data(), cells.size(), 0));
    return cells;
}

// A prompt resumed at the prefix a kept prompt gives it, with those cells
// restored into an emptied context, computes only the rest, and its cells and
// last logits are a fresh decode's bit for bit: for each weight type, head
// layout, thread count (on a pool of its own, as the helper's), a fresh last
// batch shorter and longer than 64 rows and shorter than 8 (whose kernels a
// first decode that took it with it would change), and every prefix the prompts share
// (multiples of 32 near the end of a batch after the first, of 128
// elsewhere, and 1 and 4 around those near a batch's end or on its line; the
// rules with and without the pool's tiled attention cut those down). The kept
// cells come from a prompt of another length.
TEST_F(Engine, PromptResumedAtAReusablePrefixIsTheFreshBits) {
    using model_writer::WeightType;
    const struct {
        WeightType type;
        std::uint32_t heads, kv_heads;
        std::int32_t threads;
        std::size_t length;
        std::size_t kept_length;  // its last batch longer or shorter than 64 rows
    } cases[] = {{WeightType::f32, 4, 4, 2, 700, 737},    {WeightType::f16, 8, 4, 3, 560, 540},
                 {WeightType::q8_0, 32, 4, 4, 700, 560},  {WeightType::q4_0, 32, 8, 8, 700, 737},
                 {WeightType::q4_k_m, 8, 4, 2, 700, 560}, {WeightType::q4_k_m, 32, 8, 3, 560, 597},
                 {WeightType::q6_k, 4, 4, 4, 560, 540},   {WeightType::iq4_nl, 32, 4, 2, 700, 737},
                 {WeightType::f32, 32, 8, 8, 560, 597},   {WeightType::f16, 8, 4, 2, 513, 540},
                 {WeightType::iq4_nl, 8, 4, 2, 518, 560}};
    for (const auto& c : cases) {
        model_writer::ModelSpec model_spec;
        // Seed, vocabulary, width, layers, feed-forward length, heads, KV heads.
        model_spec.weights = model_writer::RandomWeights{1, 2000, 512, 2, 1536, c.heads, c.kv_heads};
        model_spec.weight_type = c.type;
        const LoadedModel model = load(model_spec);
        const EngineThreadPool pool = thread_pool_create(c.threads);
        auto context = context_create(model, generation_context_params(2048, c.threads));
        ASSERT_TRUE(context && pool);
        context->attach_thread_pool(pool.get());
        llama_context* ctx = context->get();
        std::mt19937 random(static_cast<unsigned>(c.length + c.heads));
        std::uniform_int_distribution<llama_token> pick(100, 1999);
        std::vector<llama_token> prompt(c.length), kept(c.kept_length);
        for (auto& token : prompt) token = pick(random);
        for (std::size_t i = 0; i < kept.size(); ++i) kept[i] = i + 1 < c.length ? prompt[i] : pick(random);
        const auto decode_from = [&](std::span<const llama_token> tokens, std::size_t first) {
            ASSERT_TRUE(decode_prompt(*context, tokens, first));
        };
        llama_memory_t memory = llama_get_memory(ctx);
        decode_from(kept, 0);
        const std::vector<std::uint8_t> kept_cells = sequence_cells(ctx);
        llama_memory_clear(memory, true);
        decode_from(prompt, 0);
        const std::vector<std::uint8_t> fresh_cells = sequence_cells(ctx);
        const std::size_t logit_bytes = llama_vocab_n_tokens(model.vocab()) * sizeof(float);
        const std::vector<float> fresh_logits(llama_get_logits_ith(ctx, -1),
                                              llama_get_logits_ith(ctx, -1) + logit_bytes / sizeof(float));
        std::set<std::size_t> reuse_points;
        for (std::size_t shared = 32; shared < c.length; shared += 32) {
            // Steps of 32 where a first batch is short (the last 64 rows of a
            // batch after the first), with 1 and 4 either side there and on
            // batch lines; of 128 elsewhere: the test's time stays in bounds.
            const bool short_first_batch = shared > 256 && first_piece_end(shared, c.length) - shared <= 64;
            if (shared % 128 != 0 && !short_first_batch) continue;
            const std::size_t side = short_first_batch || shared % 256 == 0 ? 4 : 0;
            for (const std::size_t around :
                 {shared - side, shared - side / 4, shared, shared + side / 4, shared + side}) {
                std::vector<llama_token> cached = kept;  // sharing `around` tokens
                if (around < cached.size()) cached[around] = 1;
                for (const auto grain : {ReuseGrain::row_group, ReuseGrain::row_group_tiled}) {
                    const std::size_t reused = reusable_prompt_length(cached, prompt, grain);
                    EXPECT_TRUE(reused <= around && reused % row_group_rows == 0) << around;
                    if (reused > 0) reuse_points.insert(reused);
                }
            }
        }
        for (const std::size_t reused : reuse_points) {
            llama_memory_clear(memory, true);
            const auto cells = sequence_state_prefix(kept_cells, reused);
            ASSERT_TRUE(cells);
            ASSERT_EQ(llama_state_seq_set_data(ctx, cells->data(), cells->size(), 0), cells->size());
            llama_perf_context_reset(ctx);
            decode_from(prompt, reused);
            llama_synchronize(ctx);  // where the counts are taken
            EXPECT_EQ(llama_perf_context(ctx).n_p_eval, c.length - reused);
            EXPECT_EQ(sequence_cells(ctx), fresh_cells) << reused << " of " << c.length;
            EXPECT_EQ(std::memcmp(llama_get_logits_ith(ctx, -1), fresh_logits.data(), logit_bytes), 0)
                << reused << " of " << c.length << ", " << c.threads << " threads, " << c.heads << " heads";
        }
    }
}

// What a model says decides how its prompts may resume: its experts, and
// whether its cache holds a cell for every token (not a recurrent state, nor a sliding window).
TEST_F(Engine, ModelTraitsTellEachClassOfModel) {
    for (const auto& [experts, recurrent, window] :
         {std::tuple{0U, false, 0U}, {4U, false, 0U}, {0U, true, 0U}, {0U, false, 64U}}) {
        model_writer::ModelSpec model_spec;
        model_spec.weights = model_writer::RandomWeights{1, 2000, 128, 1, 352, 4, 0, experts, 2, recurrent, window};
        const ModelTraits traits = model_traits(load(model_spec), 0);
        EXPECT_TRUE(traits.reuse.plain_cache == (!recurrent && window == 0) && traits.reuse.experts == (experts > 0));
    }
}

// Cells llama.cpp refuses (a deeper model's) restore nothing, leaving the context empty.
TEST_F(Engine, RefusedRestoreLeavesTheContextEmpty) {
    model_writer::ModelSpec model_spec;
    model_spec.weights = model_writer::RandomWeights{1, 2000, 256, 2, 512, 4};
    const LoadedModel model = load(model_spec);
    model_spec.weights = model_writer::RandomWeights{1, 2000, 256, 3, 512, 4};
    const LoadedModel deeper = load(model_spec);
    auto context = context_create(model, generation_context_params(1024, 2));
    auto deeper_context = context_create(deeper, generation_context_params(1024, 2));
    const std::vector<llama_token> prompt(300, 100);
    ASSERT_TRUE(context && deeper_context && decode_prompt(*context, prompt, 0));
    PromptCache cache;
    const PromptToRestore to_restore{prompt, ReuseGrain::row_group, false};
    cache.hold(prompt, {}, false);
    cache.set_aside(*context, to_restore);
    EXPECT_EQ(cache.restore(*deeper_context, to_restore).length, 0U);
    EXPECT_EQ(llama_memory_seq_pos_max(llama_get_memory(deeper_context->get()), 0), -1);
}

// Every thread of the process onto the processors in `cpus` (the pool's
// threads as well as this one).
void move_process_to(const cpu_set_t& cpus) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        ASSERT_EQ(sched_setaffinity(std::stoi(task.path().filename()), sizeof cpus, &cpus), 0);
    }
}

// The pool's shares go to whichever of its threads runs, and give the bits
// of a quiet pool of the same thread count: a prompt of two batches (the
// tiled attention and the products split at their barrier, the repacked
// ones for Q4_K) and then one token (single-token attention, which splits
// the keys by share), with the whole process on one processor, where a
// thread takes the shares of the one that does not run, and beside a busy
// thread there too.
TEST_F(Engine, PoolSharesGiveTheQuietBitsWhicheverThreadTakesThem) {
    using model_writer::WeightType;
    const struct {
        WeightType type;
        std::int32_t threads;
    } cases[] = {{WeightType::f16, 2}, {WeightType::q4_k_m, 2}, {WeightType::q8_0, 3}, {WeightType::f32, 3}};
    cpu_set_t all_cpus, one_cpu;
    ASSERT_EQ(sched_getaffinity(0, sizeof all_cpus, &all_cpus), 0);
    CPU_ZERO(&one_cpu);
    CPU_SET(sched_getcpu(), &one_cpu);
    for (const auto& c : cases) {
        model_writer::ModelSpec model_spec;
        model_spec.weights = model_writer::RandomWeights{2, 2000, 512, 2, 1536, 8, 4};
        model_spec.weight_type = c.type;
        const LoadedModel model = load(model_spec);
        const EngineThreadPool pool = thread_pool_create(c.threads);
        auto context = context_create(model, generation_context_params(1024, c.threads));
        ASSERT_TRUE(context && pool);
        context->attach_thread_pool(pool.get());
        std::vector<llama_token> prompt(600);
        std::mt19937 random(7);
        for (auto& token : prompt) token = std::uniform_int_distribution<llama_token>(100, 1999)(random);
        const std::size_t logit_bytes = llama_vocab_n_tokens(model.vocab()) * sizeof(float);
        const auto bits = [&] {
            llama_memory_clear(llama_get_memory(context->get()), true);
            std::vector<std::uint8_t> out(logit_bytes * 2);
            EXPECT_TRUE(decode_prompt(*context, prompt, 0));
            std::memcpy(out.data(), llama_get_logits_ith(context->get(), -1), logit_bytes);
            EngineBatch next(1);
            EXPECT_TRUE(next.add(prompt[0], static_cast<llama_pos>(prompt.size()), true));
            EXPECT_TRUE(next.decode(*context));
            std::memcpy(out.data() + logit_bytes, llama_get_logits_ith(context->get(), -1), logit_bytes);
            const std::vector<std::uint8_t> cells = sequence_cells(context->get());
            out.insert(out.end(), cells.begin(), cells.end());
            return out;
        };
        const std::vector<std::uint8_t> quiet = bits();
        move_process_to(one_cpu);
        EXPECT_EQ(bits(), quiet) << "one processor, " << c.threads << " threads";
        std::atomic<bool> stop{false};
        std::thread busy([&] {  // on this thread's processor, as it was made here
            while (!stop.load(std::memory_order_relaxed)) {
            }
        });
        EXPECT_EQ(bits(), quiet) << "beside a busy thread, " << c.threads << " threads";
        stop = true;
        busy.join();
        move_process_to(all_cpus);
    }
}

TEST_F(Engine, SecondBackendStartIsRefusedAndTheFirstStaysUsable) {
    auto second = backend_start();
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().text(), "BackendAlreadyInitialized");
    const LoadedModel model = load(chain_model({"!"}));
    EXPECT_NE(model.get(), nullptr);
}

TEST_F(Engine, BackendCanStartAgainAfterRelease) {
    backend_.reset();
    auto again = backend_start();
    EXPECT_TRUE(again.ok());
}

TEST_F(Engine, ModelParamsDifferFromTheDefaultsOnlyInGpuLayers) {
    const llama_model_params d = llama_model_default_params();
    const llama_model_params p = set_gpu_layers(model_params_default(), all_gpu_layers).raw;
    EXPECT_EQ(p.n_gpu_layers, 2147483647);
    EXPECT_EQ(set_gpu_layers(model_params_default(), 12).raw.n_gpu_layers, 12);
    // Field by field: padding bytes make a byte comparison meaningless.
    EXPECT_EQ(p.devices, d.devices);
    EXPECT_EQ(p.tensor_buft_overrides, d.tensor_buft_overrides);
    EXPECT_EQ(p.split_mode, d.split_mode);
    EXPECT_EQ(p.load_mode, d.load_mode);
    EXPECT_EQ(p.lazy_mode, d.lazy_mode);
    EXPECT_EQ(p.main_gpu, d.main_gpu);
    EXPECT_EQ(p.tensor_split, d.tensor_split);
    EXPECT_EQ(p.progress_callback, d.progress_callback);
    EXPECT_EQ(p.progress_callback_user_data, d.progress_callback_user_data);
    EXPECT_EQ(p.kv_overrides, d.kv_overrides);
    EXPECT_EQ(p.vocab_only, d.vocab_only);
    EXPECT_EQ(p.check_tensors, d.check_tensors);
    EXPECT_EQ(p.use_extra_bufts, d.use_extra_bufts);
    EXPECT_EQ(p.no_host, d.no_host);
    EXPECT_EQ(p.no_alloc, d.no_alloc);
    EXPECT_EQ(p.load_mtp, d.load_mtp);
}

TEST_F(Engine, LoadFailures) {
    const ModelParams params = set_gpu_layers(model_params_default(), all_gpu_layers);
    const std::pair<std::string, const char*> cases[] = {
        {"/nonexistent/model.gguf", "null result from llama cpp"},
        {"", "null result from llama cpp"},
        {std::string("\0x", 2), "null byte in string nul byte found in provided data at position: 0"},
        {std::string("dir/\0x", 6), "null byte in string nul byte found in provided data at position: 4"},
    };
    for (const auto& [path, text] : cases) {
        auto model = model_load(*backend_, path, params);
        ASSERT_FALSE(model.ok());
        EXPECT_EQ(model.error().text(), text);
    }
}

TEST_F(Engine, TemplateFallsBackToLlama3) {
    const LoadedModel without = load(chain_model({"!"}));
    EXPECT_EQ(select_chat_template(without), "llama3");

    model_writer::ModelSpec model_spec = chain_model({"!"});
    model_spec.chat_template =
        "{% for m in messages %}<|im_start|>{{ m.role }}\n{{ m.content }}<|im_end|>\n{% endfor %}";
    const LoadedModel with = load(model_spec);
    EXPECT_EQ(select_chat_template(with), *model_spec.chat_template);
}

TEST(Prompt, RenderingWithBothTemplates) {
    auto messages = build_chat_messages("sys", "hello");
    ASSERT_TRUE(messages.ok());
    auto llama3 = render_chat_prompt("llama3", *messages);
    ASSERT_TRUE(llama3.ok());
    EXPECT_EQ(*llama3,
              "<|start_header_id|>system<|end_header_id|>\n\nsys<|eot_id|>"
              "<|start_header_id|>user<|end_header_id|>\n\nhello<|eot_id|>"
              "<|start_header_id|>assistant<|end_header_id|>\n\n");
    auto chatml = render_chat_prompt("<|im_start|>{{ role }}", *messages);
    ASSERT_TRUE(chatml.ok());
    EXPECT_EQ(*chatml, "<|im_start|>system\nsys<|im_end|>\n<|im_start|>user\nhello<|im_end|>\n<|im_start|>assistant\n");
}

TEST(Prompt, RenderingLongerThanTwiceTheInputIsFetchedWhole) {
    // Empty prompts give a 20-byte first buffer; the llama3 rendering is far
    // longer and comes from the second call.
    auto messages = build_chat_messages("", "");
    ASSERT_TRUE(messages.ok());
    auto rendered = render_chat_prompt("llama3", *messages);
    ASSERT_TRUE(rendered.ok());
    EXPECT_EQ(*rendered,
              "<|start_header_id|>system<|end_header_id|>\n\n<|eot_id|>"
              "<|start_header_id|>user<|end_header_id|>\n\n<|eot_id|>"
              "<|start_header_id|>assistant<|end_header_id|>\n\n");
}

TEST(Prompt, UnrenderableTemplateFails) {
    auto messages = build_chat_messages("s", "u");
    ASSERT_TRUE(messages.ok());
    auto rendered = render_chat_prompt("no template the engine knows", *messages);
    ASSERT_FALSE(rendered.ok());
    EXPECT_EQ(rendered.error().text(), "ffi error -1");
}

TEST(Prompt, NulBytesAreRefusedWithTheirPosition) {
    const std::tuple<std::string, std::string, const char*> cases[] = {
        {std::string("x\0y", 3), "u", "nul byte found in provided data at position: 1"},
        {"s", std::string("\0", 1), "nul byte found in provided data at position: 0"},
        {std::string("ab\0", 3), std::string("\0", 1), "nul byte found in provided data at position: 2"},
    };
    for (const auto& [system, user, text] : cases) {
        auto messages = build_chat_messages(system, user);
        ASSERT_FALSE(messages.ok());
        EXPECT_EQ(messages.error().text(), text);
    }
}

TEST_F(Engine, TokensSpellTheTextWithSpecialMarkersAndNoBos) {
    const model_writer::ModelSpec model_spec = chain_model({"!"});
    const LoadedModel model = load(model_spec);
    const auto marker = model_writer::token_id(model_spec, "<|marker|>");
    ASSERT_TRUE(marker);

    auto tokens = build_prompt_tokens(model, "", " Hello<|marker|>");
    ASSERT_TRUE(tokens.ok());
    EXPECT_NE(std::find(tokens->begin(), tokens->end(), *marker), tokens->end());
    EXPECT_EQ(std::find(tokens->begin(), tokens->end(), model_writer::kBeginToken), tokens->end());

    // Without the marker typed in, the marker token does not appear.
    auto plain = build_prompt_tokens(model, "", " Hello");
    ASSERT_TRUE(plain.ok());
    EXPECT_EQ(std::find(plain->begin(), plain->end(), *marker), plain->end());
}

TEST_F(Engine, TokenBufferGrowsToTheReportedSize) {
    const LoadedModel model = load(chain_model({"!"}));
    // Byte-fallback text needs far more tokens than half its length.
    const std::string text = "\xE4\xB8\x80\xE4\xB8\x81\xE4\xB8\x82\xE4\xB8\x83";
    auto tokens = tokenize_prompt(model, text);
    ASSERT_TRUE(tokens.ok());
    EXPECT_GE(tokens->size(), 12U);
    auto empty = tokenize_prompt(model, "");
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->empty());
}

}  // namespace
}  // namespace debrindle
