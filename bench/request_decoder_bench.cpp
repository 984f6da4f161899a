// Decoding speed of requests: plain prompts of growing size, escape-dense
// prompts, and deeply nested unknown members.

#include <benchmark/benchmark.h>

#include <string>

#include "protocol/request_decoder.hpp"

namespace {

using debrindle::decode_request_bytes;
using debrindle::decode_request_text;

std::string request_with_prompt(const std::string& prompt_json) {
    return R"({"action":"generate","modelPath":"C:\\models\\model.gguf","systemPrompt":"You are terse.",)"
           R"("userPrompt":")" +
           prompt_json + R"(","temperature":0.7,"maxTokens":256})";
}

std::string repeat_to_size(std::string_view unit, std::size_t size) {
    std::string text;
    text.reserve(size + unit.size());
    while (text.size() < size) text += unit;
    text.resize(size);
    return text;
}

std::string plain_request(std::size_t prompt_size) {
    return request_with_prompt(
        repeat_to_size("The quick brown fox jumps over the lazy dog, then rests a while. ", prompt_size));
}

template <class Decode>
void run(benchmark::State& state, const std::string& input, Decode decode) {
    for (auto _ : state) {
        auto result = decode(input);
        if (!result.ok()) {
            state.SkipWithError(result.error().text().c_str());
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(input.size()));
}

void plain_prompt_bytes(benchmark::State& state) {
    run(state, plain_request(static_cast<std::size_t>(state.range(0))), decode_request_bytes);
}
BENCHMARK(plain_prompt_bytes)->Arg(1 << 10)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMicrosecond);

void plain_prompt_text(benchmark::State& state) {
    run(state, plain_request(static_cast<std::size_t>(state.range(0))), decode_request_text);
}
BENCHMARK(plain_prompt_text)->Arg(1 << 10)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMicrosecond);

// Mostly non-ASCII prose, as a prompt in French or Japanese would be.
void accented_prompt_bytes(benchmark::State& state) {
    run(state,
        request_with_prompt(
            repeat_to_size("Caf\xC3\xA9 cr\xC3\xA8me, \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E. ", 1 << 20)),
        decode_request_bytes);
}
BENCHMARK(accented_prompt_bytes)->Unit(benchmark::kMicrosecond);

void escaped_prompt_bytes(benchmark::State& state) {
    run(state, request_with_prompt(repeat_to_size(R"(line\n\"quoted\"\tcaf\u00e9\\ )", 1 << 20)), decode_request_bytes);
}
BENCHMARK(escaped_prompt_bytes)->Unit(benchmark::kMicrosecond);

void deep_unknown_member(benchmark::State& state) {
    const auto depth = static_cast<std::size_t>(state.range(0));
    const std::string nested = std::string(depth, '[') + std::string(depth, ']');
    run(state, R"({"extra":)" + nested + "," + plain_request(16).substr(1), decode_request_bytes);
}
BENCHMARK(deep_unknown_member)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
