#include "engine/generation.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include <llama.h>

#include "common/platform.hpp"
#include "common/white_space.hpp"
#include "engine/batch.hpp"
#include "engine/context.hpp"
#include "engine/generation_plan.hpp"
#include "engine/piece_decoder.hpp"
#include "engine/prompt.hpp"
#include "engine/prompt_reuse.hpp"
#include "engine/sequence_state.hpp"
#include "engine/thread_pool.hpp"
#include "engine/token_piece.hpp"

namespace debrindle {
namespace {

struct SamplerDeleter {
    void operator()(llama_sampler* sampler) const { llama_sampler_free(sampler); }
};
using Sampler = std::unique_ptr<llama_sampler, SamplerDeleter>;

// Greedy at low temperatures; otherwise top-p, temperature and a seeded
// draw, so the same request samples the same way every time.
Sampler build_sampler(float temperature) {
    const std::optional<float> chain_temp = chain_temperature(temperature);
    if (!chain_temp) return Sampler(llama_sampler_init_greedy());
    llama_sampler_chain_params chain_params = llama_sampler_chain_default_params();
    chain_params.no_perf = false;
    Sampler chain(llama_sampler_chain_init(chain_params));
    llama_sampler_chain_add(chain.get(), llama_sampler_init_top_p(top_p, top_p_min_keep));
    llama_sampler_chain_add(chain.get(), llama_sampler_init_temp(*chain_temp));
    llama_sampler_chain_add(chain.get(), llama_sampler_init_dist(sampler_seed));
    return chain;
}

Result<Done, EngineError> decode_one(const EngineContext& context, llama_token token, llama_pos position) {
    EngineBatch batch(1);
    auto added = batch.add(token, position, /*wants_logits=*/true);
    if (!added) return added;
    return batch.decode(context);
}

GenerationFailure failure(const EngineError& error) { return GenerationFailure{error.text(), false}; }

// A decode that found no room or no tokens is the request's own fault;
// anything else may be the device.
GenerationFailure decode_failure(const EngineError& error) {
    const bool request_fault =
        error.kind == EngineErrorKind::DecodeNoKvCacheSlot || error.kind == EngineErrorKind::DecodeNoTokens;
    return GenerationFailure{error.text(), !request_fault};
}

// The prompt the kept context holds with its cells as copied out (its
// reply's too: they are cut to the prompt when it is kept, and to the reused
// prefix when it is restored, each copy made once); nothing when there is none.
std::optional<KeptPrompt> copy_out_prompt(const KeptGeneration& kept) {
    const EngineContext* context = kept.context ? &*kept.context : nullptr;
    if (context == nullptr || context->cached_prompt().empty()) return std::nullopt;
    std::vector<std::uint8_t> state(llama_state_seq_get_size(context->get(), 0));
    state.resize(llama_state_seq_get_data(context->get(), state.data(), state.size(), 0));
    const auto tokens = context->cached_prompt();
    return KeptPrompt{{tokens.begin(), tokens.end()},
                      std::move(state),
                      past_original_context(context->cell_count(), kept.traits.original_context_length)};
}

// The kept context when it fits `length` cells, else a new one in its place
// (the old one goes first, so that the two never hold memory at once),
// computing on the engine's thread pool; emptied data and all, as a fresh one
// starts, with the longest prefix the prompt can take from the last prompt or
// a kept one restored. Gives the position the prompt is decoded from. The
// last prompt's cells are kept unless this prompt takes most of them.
Result<std::size_t, EngineError> prepare_context(const EngineBackend& backend, const LoadedModel& model,
                                                 std::uint32_t length, std::span<const llama_token> prompt,
                                                 KeptGeneration& kept) {
    ReuseConditions reuse = kept.traits.reuse;
    reuse.tiled_attention_switch = backend.thread_pool() != nullptr && tiled_attention_switch_available();
    const ReuseGrain grain = prefix_reuse_grain(reuse);
    const bool past = past_original_context(length, kept.traits.original_context_length);
    std::optional<KeptPrompt> last = grain == ReuseGrain::none ? std::nullopt : copy_out_prompt(kept);
    if (kept.context && &kept.context->model() == &model &&
        kept_context_fits(kept.context->cell_count(), length, kept.traits.original_context_length)) {
        llama_memory_clear(llama_get_memory(kept.context->get()), /*data=*/true);
        kept.context->set_cached_prompt({});
    } else {
        kept.context.reset();
        auto context =
            context_create(model, generation_context_params(length, thread_count(logical_processor_count())));
        if (!context) return Failure{context.error()};
        // Without a pool (no CPU module) this leaves llama.cpp's own threads.
        context->attach_thread_pool(backend.thread_pool());
        kept.context.emplace(std::move(context).value());
    }
    EngineContext& context = *kept.context;

    const std::size_t from_last =
        last && last->past_original_context == past ? reusable_prompt_length(last->tokens, prompt, grain) : 0;
    std::optional<KeptPrompt> source;
    if (last && 2 * from_last < last->tokens.size()) {
        if (auto cells = sequence_state_prefix(last->cells, last->tokens.size())) {
            last->cells = std::move(*cells);
            kept.prompts.keep(std::move(*last));
        }
    } else if (last) {
        source = std::move(last);
    }
    const KeptPrompts::Match match = kept.prompts.best_for(prompt, grain, past);
    const KeptPrompt* restored = match.prompt;
    std::size_t reused = match.length;
    if (source && from_last > reused) {
        restored = &*source;
        reused = from_last;
    }
    if (reused == 0) return std::size_t{0};
    const auto cells = sequence_state_prefix(restored->cells, reused);
    if (!cells || llama_state_seq_set_data(context.get(), cells->data(), cells->size(), 0) != cells->size()) {
        llama_memory_clear(llama_get_memory(context.get()), /*data=*/true);
        return std::size_t{0};
    }
    context.set_cached_prompt(prompt.first(reused));
    return reused;
}

bool logits_finite(const EngineContext& context, const LoadedModel& model) {
    const float* logits = llama_get_logits_ith(context.get(), -1);
    const auto count = static_cast<std::size_t>(llama_vocab_n_tokens(model.vocab()));
    return logits != nullptr && std::all_of(logits, logits + count, [](float value) { return std::isfinite(value); });
}

Result<std::string, GenerationFailure> generate(const EngineBackend& backend, const LoadedModel& model,
                                                const GenerationInput& input, KeptGeneration& kept) {
    auto prompt = build_prompt_tokens(model, input.system_prompt, input.user_prompt);
    if (!prompt) return Failure{failure(prompt.error())};
    const auto prompt_tokens = static_cast<std::uint32_t>(prompt->size());

    const std::uint32_t budget = token_budget(count_words(input.user_prompt), input.max_tokens);

    auto reused = prepare_context(backend, model, context_length(budget, prompt_tokens), *prompt, kept);
    if (!reused) return Failure{GenerationFailure{reused.error().text(), true}};
    EngineContext* context = &*kept.context;
    if (prompt_tokens == 0) return Failure{GenerationFailure{"De-Brindle prompt tokenized to no tokens."}};

    if (auto decoded = decode_prompt(*context, *prompt, *reused); !decoded) {
        return Failure{decode_failure(decoded.error())};
    }
    // Resumed inside a physical batch, the prompt's bits are the fresh ones
    // only over finite cells; a non-finite cell shows in the last row's logits,
    // and the prompt is then decoded afresh.
    if (*reused % physical_batch_size != 0 && !logits_finite(*context, model)) {
        llama_memory_clear(llama_get_memory(context->get()), /*data=*/true);
        if (auto decoded = decode_prompt(*context, *prompt, 0); !decoded) {
            return Failure{decode_failure(decoded.error())};
        }
    }
    context->set_cached_prompt(*prompt);

    Sampler sampler = build_sampler(input.temperature);
    for (const llama_token token : *prompt) llama_sampler_accept(sampler.get(), token);

    PieceDecoder decoder;
    std::string output;
    const llama_vocab* vocab = model.vocab();
    auto position = static_cast<llama_pos>(prompt_tokens);
    for (std::uint32_t i = 0; i < budget; ++i) {
        const llama_token token = llama_sampler_sample(sampler.get(), context->get(), -1);
        if (llama_vocab_is_eog(vocab, token)) break;
        llama_sampler_accept(sampler.get(), token);

        auto piece = token_piece_bytes(model, token);
        if (!piece) return Failure{failure(piece.error())};
        decoder.decode(*piece, output);

        // Nothing is sampled after the last token: its logits would go unread.
        if (i + 1 == budget) break;
        if (auto decoded = decode_one(*context, token, position); !decoded) {
            return Failure{decode_failure(decoded.error())};
        }
        ++position;
    }
    return output;
}

}  // namespace

Result<Done, EngineError> decode_prompt(const EngineContext& context, std::span<const llama_token> prompt,
                                        std::size_t first) {
    for (std::size_t start = first; start < prompt.size();) {
        const std::size_t end = start == first && first > 0 ? first_piece_end(first, prompt.size())
                                                            : std::min(prompt.size(), start + logical_batch_size);
        EngineBatch batch(end - start);
        for (std::size_t position = start; position < end; ++position) {
            auto added = batch.add(prompt[position], static_cast<llama_pos>(position), position + 1 == prompt.size());
            if (!added) return added;
        }
        const bool tiles = start == first && first_piece_needs_tiles(first, prompt.size());
        const TiledAttentionScope tiled(tiles ? context.thread_pool() : nullptr);
        auto decoded = batch.decode(context);
        if (!decoded) return decoded;
        start = end;
    }
    return Done{};
}

llama_context_params generation_context_params(std::uint32_t length, std::int32_t threads) {
    llama_context_params params = llama_context_default_params();
    params.n_ctx = length;
    params.n_batch = logical_batch_size;
    params.n_ubatch = physical_batch_size;
    params.n_threads = threads;
    params.n_threads_batch = threads;
    return params;
}

Result<std::string, GenerationFailure> generate_text(const EngineBackend& backend, const LoadedModel& model,
                                                     const GenerationInput& input, KeptGeneration& kept) {
    // The tokenizer, the template and the samplers throw too, for instance
    // on a vocabulary without byte tokens.
    try {
        std::optional<Result<std::string, GenerationFailure>> generated;
        auto run = [&] { generated.emplace(generate(backend, model, input, kept)); };
        if (!call_guarding_foreign_exceptions(run)) generated.emplace(Failure{failure(engine_exception_error())});
        // A context that saw a failure is not trusted with the next request.
        if (!*generated) kept.context.reset();
        return std::move(*generated);
    } catch (const std::bad_alloc&) {
        kept.context.reset();
        throw;  // memory that ran out is the request's own error, made by the caller
    } catch (const std::exception& exception) {
        kept.context.reset();
        return Failure{failure(engine_exception_error(exception))};
    } catch (...) {
        kept.context.reset();
        return Failure{failure(engine_exception_error())};
    }
}

}  // namespace debrindle
