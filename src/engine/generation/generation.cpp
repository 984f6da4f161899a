#include "engine/generation/generation.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include <llama.h>

#include "common/abnormal_stop.hpp"
#include "common/platform.hpp"
#include "common/white_space.hpp"
#include "engine/backend/thread_pool.hpp"
#include "engine/generation/batch.hpp"
#include "engine/generation/context.hpp"
#include "engine/generation/generation_plan.hpp"
#include "engine/generation/piece_decoder.hpp"
#include "engine/generation/prompt.hpp"
#include "engine/generation/token_piece.hpp"
#include "engine/prompt_cache/prompt_reuse.hpp"

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

// The kept context when it fits `length` cells, else a new one in its place
// (the old one goes first, so that the two never hold memory at once),
// computing on the engine's thread pool; emptied, as a fresh one starts,
// with the cells of the longest prefix the prompt takes exactly from the
// prompts the server kept restored. A kept context that holds this very
// prompt keeps its cells.
Result<RestoredPrompt, EngineError> prepare_context(const EngineBackend& backend, const LoadedModel& model,
                                                    std::uint32_t length, std::span<const llama_token> prompt,
                                                    KeptGeneration& kept) {
    ReuseConditions reuse = kept.traits.reuse;
    reuse.tiled_attention_switch = backend.thread_pool() != nullptr && tiled_attention_switch_available();
    const PromptToRestore to_restore{prompt, prefix_reuse_grain(reuse),
                                     past_original_context(length, kept.traits.original_context_length)};
    const bool fits = kept.context && &kept.context->model() == &model &&
                      kept_context_fits(kept.context->cell_count(), length, kept.traits.original_context_length);
    if (fits) {
        if (auto same = kept.prompts.resume_held(*kept.context, to_restore)) return std::move(*same);
    }
    if (kept.context) kept.prompts.set_aside(*kept.context, to_restore);
    if (fits) {
        llama_memory_clear(llama_get_memory(kept.context->get()), /*data=*/true);
    } else {
        kept.drop_context();
        auto context =
            context_create(model, generation_context_params(length, thread_count(logical_processor_count())));
        if (!context) return Failure{context.error()};
        // Without a pool (no CPU module) this leaves llama.cpp's own threads.
        context->attach_thread_pool(backend.thread_pool());
        kept.context.emplace(std::move(context).value());
    }
    return kept.prompts.restore(*kept.context, to_restore);
}

std::span<const float> last_logits(const EngineContext& context, const LoadedModel& model) {
    const float* logits = llama_get_logits_ith(context.get(), -1);
    if (logits == nullptr) return {};
    return {logits, static_cast<std::size_t>(llama_vocab_n_tokens(model.vocab()))};
}

bool all_finite(std::span<const float> logits) {
    return !logits.empty() && std::ranges::all_of(logits, [](float value) { return std::isfinite(value); });
}

// The token the sampler picks from `logits`, as llama_sampler_sample picks it
// from a context's last logits: every token a candidate, in vocabulary order.
llama_token sample(llama_sampler* sampler, std::span<const float> logits, std::vector<llama_token_data>& candidates) {
    candidates.resize(logits.size());
    for (std::size_t token = 0; token < logits.size(); ++token) {
        candidates[token] = llama_token_data{static_cast<llama_token>(token), logits[token], 0.0F};
    }
    llama_token_data_array array{candidates.data(), candidates.size(), /*selected=*/-1, /*sorted=*/false};
    llama_sampler_apply(sampler, &array);
    if (array.selected < 0 || static_cast<std::size_t>(array.selected) >= array.size) {
        abnormal_stop("the sampler selected no token");
    }
    const llama_token token = array.data[array.selected].id;
    llama_sampler_accept(sampler, token);
    return token;
}

Result<std::string, GenerationFailure> generate(const EngineBackend& backend, const LoadedModel& model,
                                                const GenerationInput& input, KeptGeneration& kept) {
    auto prompt = build_prompt_tokens(model, input.system_prompt, input.user_prompt);
    if (!prompt) return Failure{failure(prompt.error())};
    const auto prompt_tokens = static_cast<std::uint32_t>(prompt->size());

    const std::uint32_t budget = token_budget(count_words(input.user_prompt), input.max_tokens);

    auto restored = prepare_context(backend, model, context_length(budget, prompt_tokens), *prompt, kept);
    if (!restored) return Failure{GenerationFailure{restored.error().text(), true}};
    EngineContext* context = &*kept.context;
    if (prompt_tokens == 0) return Failure{GenerationFailure{"De-Brindle prompt tokenized to no tokens."}};

    std::span<const float> logits = restored->logits;
    if (restored->length < prompt->size()) {
        if (auto decoded = decode_prompt(*context, *prompt, restored->length); !decoded) {
            return Failure{decode_failure(decoded.error())};
        }
        logits = last_logits(*context, model);
        // Resumed inside a physical batch, the prompt's bits are the fresh
        // ones only over finite cells; a non-finite cell shows in the last
        // row's logits, and the prompt is then decoded afresh.
        if (restored->length % physical_batch_size != 0 && !all_finite(logits)) {
            llama_memory_clear(llama_get_memory(context->get()), /*data=*/true);
            if (auto decoded = decode_prompt(*context, *prompt, 0); !decoded) {
                return Failure{decode_failure(decoded.error())};
            }
            logits = last_logits(*context, model);
        }
    }
    kept.prompts.hold(*prompt, logits,
                      past_original_context(context->cell_count(), kept.traits.original_context_length));

    Sampler sampler = build_sampler(input.temperature);
    for (const llama_token token : *prompt) llama_sampler_accept(sampler.get(), token);

    std::vector<llama_token_data> candidates;
    PieceDecoder decoder;
    std::string output;
    const llama_vocab* vocab = model.vocab();
    auto position = static_cast<llama_pos>(prompt_tokens);
    for (std::uint32_t i = 0; i < budget; ++i) {
        const llama_token token = sample(sampler.get(), i == 0 ? logits : last_logits(*context, model), candidates);
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
    const bool tiled_attention_switch = context.thread_pool() != nullptr && tiled_attention_switch_available();
    for (std::size_t start = first; start < prompt.size();) {
        const PromptDecode decode = start == first ? first_decode(first, prompt.size(), tiled_attention_switch)
                                                   : PromptDecode{std::min(prompt.size(), start + logical_batch_size)};
        const std::size_t end = decode.end;
        EngineBatch batch(end - start);
        for (std::size_t position = start; position < end; ++position) {
            auto added = batch.add(prompt[position], static_cast<llama_pos>(position), position + 1 == prompt.size());
            if (!added) return added;
        }
        const TiledAttentionScope tiled(context.thread_pool(), decode.tiled_rows);
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
        if (!*generated) kept.drop_context();
        return std::move(*generated);
    } catch (const std::bad_alloc&) {
        kept.drop_context();
        throw;  // memory that ran out is the request's own error, made by the caller
    } catch (const std::exception& exception) {
        kept.drop_context();
        return Failure{failure(engine_exception_error(exception))};
    } catch (...) {
        kept.drop_context();
        return Failure{failure(engine_exception_error())};
    }
}

}  // namespace debrindle
