#include "engine/generation.hpp"

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
#include "engine/token_piece.hpp"

namespace debrindle {
namespace {

struct SamplerDeleter {
    void operator()(llama_sampler* sampler) const { llama_sampler_free(sampler); }
};
using Sampler = std::unique_ptr<llama_sampler, SamplerDeleter>;

llama_context_params context_params(std::uint32_t length) {
    llama_context_params params = llama_context_default_params();
    params.n_ctx = length;
    params.n_batch = logical_batch_size;
    params.n_ubatch = physical_batch_size;
    params.n_threads = thread_count(logical_processor_count());
    params.n_threads_batch = thread_count(logical_processor_count());
    return params;
}

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

// Feeds the prompt from `first` (the cells before it are in the cache) in
// chunks of at most one logical batch; only the last prompt token asks for
// logits.
Result<Done, EngineError> decode_prompt(const EngineContext& context, std::span<const llama_token> prompt,
                                        std::size_t first) {
    for (std::size_t start = first; start < prompt.size(); start += logical_batch_size) {
        const std::size_t end = std::min(prompt.size(), start + logical_batch_size);
        EngineBatch batch(end - start);
        for (std::size_t position = start; position < end; ++position) {
            auto added = batch.add(prompt[position], static_cast<llama_pos>(position), position + 1 == prompt.size());
            if (!added) return added;
        }
        auto decoded = batch.decode(context);
        if (!decoded) return decoded;
    }
    return Done{};
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

// The kept context when it fits `length` cells, its cache emptied from the
// prompt prefix it can give `prompt` on, else a new one in its place,
// computing on the engine's thread pool. Gives the position the prompt is
// decoded from. The old context goes first, so that the two never hold
// memory at once.
Result<std::size_t, EngineError> prepare_context(const EngineBackend& backend, const LoadedModel& model,
                                                 std::uint32_t length, std::span<const llama_token> prompt,
                                                 std::optional<EngineContext>& kept) {
    if (kept && &kept->model() == &model && kept_context_fits(kept->length(), length)) {
        llama_memory_t memory = llama_get_memory(kept->get());
        std::size_t reused = reusable_prompt_length(kept->cached_prompt(), prompt);
        // The cells from there on (the rest of the last prompt and its reply)
        // go. With none kept, or where a sequence cannot be cut, the cache is
        // emptied data and all, as before any reuse: a 1.1B model computed
        // its next prompt 3 % slower over the old data than over zeros.
        if (reused == 0 || !llama_memory_seq_rm(memory, 0, static_cast<llama_pos>(reused), -1)) {
            llama_memory_clear(memory, /*data=*/true);
            reused = 0;
        }
        kept->set_cached_prompt(prompt.first(reused));
        return reused;
    }
    kept.reset();
    auto context = context_create(model, context_params(length));
    if (!context) return Failure{context.error()};
    // Without a pool (no CPU module) this leaves llama.cpp's own threads.
    llama_attach_threadpool(context->get(), backend.thread_pool(), backend.thread_pool());
    kept.emplace(std::move(context).value());
    return std::size_t{0};
}

Result<std::string, GenerationFailure> generate(const EngineBackend& backend, const LoadedModel& model,
                                                const GenerationInput& input, std::optional<EngineContext>& kept) {
    auto prompt = build_prompt_tokens(model, input.system_prompt, input.user_prompt);
    if (!prompt) return Failure{failure(prompt.error())};
    const auto prompt_tokens = static_cast<std::uint32_t>(prompt->size());

    const std::uint32_t budget = token_budget(count_words(input.user_prompt), input.max_tokens);

    auto reused = prepare_context(backend, model, context_length(budget, prompt_tokens), *prompt, kept);
    if (!reused) return Failure{GenerationFailure{reused.error().text(), true}};
    EngineContext* context = &*kept;
    if (prompt_tokens == 0) return Failure{GenerationFailure{"De-Brindle prompt tokenized to no tokens."}};

    if (auto decoded = decode_prompt(*context, *prompt, *reused); !decoded) {
        return Failure{decode_failure(decoded.error())};
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

Result<std::string, GenerationFailure> generate_text(const EngineBackend& backend, const LoadedModel& model,
                                                     const GenerationInput& input, std::optional<EngineContext>& kept) {
    // The tokenizer, the template and the samplers throw too, for instance
    // on a vocabulary without byte tokens.
    try {
        std::optional<Result<std::string, GenerationFailure>> generated;
        auto run = [&] { generated.emplace(generate(backend, model, input, kept)); };
        if (!call_guarding_foreign_exceptions(run)) generated.emplace(Failure{failure(engine_exception_error())});
        // A context that saw a failure is not trusted with the next request.
        if (!*generated) kept.reset();
        return std::move(*generated);
    } catch (const std::bad_alloc&) {
        kept.reset();
        throw;  // memory that ran out is the request's own error, made by the caller
    } catch (const std::exception& exception) {
        kept.reset();
        return Failure{failure(engine_exception_error(exception))};
    } catch (...) {
        kept.reset();
        return Failure{failure(engine_exception_error())};
    }
}

}  // namespace debrindle
