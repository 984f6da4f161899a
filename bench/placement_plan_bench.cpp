// What planning a model's GPU placement costs against loading it: the plan
// (the model file's header read, as the load's check reads it anyway, and
// the device memory asked), the header read alone, a load at the plan, and
// a load that asks for every layer (which, on a card too small, fails after
// allocating: what finding the fit by failing cost). The model is the file named by
// DEBRINDLE_BENCH_MODEL; bench/gpu_fit.py runs this with and without a card.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "diag/diagnostics.hpp"
#include "engine/backend/backend.hpp"
#include "engine/model/model.hpp"
#include "engine/model/model_file_reader.hpp"
#include "engine/placement/gpu_devices.hpp"
#include "engine/placement/placed_model.hpp"

namespace {

using namespace debrindle;

std::string model_path() {
    const char* path = std::getenv("DEBRINDLE_BENCH_MODEL");
    if (path == nullptr) throw std::runtime_error("DEBRINDLE_BENCH_MODEL names no model");
    return path;
}

const EngineBackend& backend() {
    static std::optional<EngineBackend> started = [] {
        auto backend = backend_start();
        if (!backend) throw std::runtime_error(backend.error().text());
        silence_engine_log();
        return std::optional<EngineBackend>(std::move(backend).value());
    }();
    return *started;
}

void PlanFromModelFile(benchmark::State& state) {
    const std::string path = model_path();
    backend();
    for (auto _ : state) benchmark::DoNotOptimize(plan_model_placement(path, 0));
}
BENCHMARK(PlanFromModelFile)->Unit(benchmark::kMillisecond);

void ReadModelFileHeader(benchmark::State& state) {
    const std::string path = model_path();
    for (auto _ : state) benchmark::DoNotOptimize(read_model_file_header(path.c_str()));
}
BENCHMARK(ReadModelFileHeader)->Unit(benchmark::kMillisecond);

void LoadAtThePlan(benchmark::State& state) {
    const std::string path = model_path();
    const PlacementPlan plan = plan_model_placement(path, 0);
    for (auto _ : state) {
        auto placed = load_planned_model(backend(), path, plan, /*step_down=*/false);
        if (!placed) state.SkipWithError("the planned load failed");
    }
}
BENCHMARK(LoadAtThePlan)->Unit(benchmark::kMillisecond);

void LoadEveryLayer(benchmark::State& state) {
    const std::string path = model_path();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            model_load(backend(), path, set_placement(model_params_default(), requested_placement)));
    }
}
BENCHMARK(LoadEveryLayer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
