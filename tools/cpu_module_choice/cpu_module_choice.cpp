// Prints the file name of the CPU module that the helper would load on this
// machine, given libraries that answer `ggml_backend_score` as the modules
// do (the build script links each module's own feature-detection object into
// one). It asks and chooses exactly as the helper does at start, so the
// engine can be built with that one module before any other is compiled.
//
// Usage: debrindle-cpu-module-choice LIBRARY...

#include <cstdio>
#include <vector>

#include "common/platform.hpp"
#include "engine/backend/cpu_variant.hpp"

int main(int argc, char** argv) {
    std::vector<debrindle::CpuVariant> variants;
    for (int i = 1; i < argc; ++i) {
        const auto score = debrindle::call_library_function(argv[i], "ggml_backend_score");
        if (!score) {
            std::fprintf(stderr, "cpu-module-choice: %s: %s\n", argv[i], score.error().c_str());
            return 1;
        }
        variants.push_back(debrindle::CpuVariant{argv[i], *score});
    }
    const auto state = debrindle::enabled_register_state(debrindle::any_cpu_variant_needs_tiles(variants));
    const auto best = debrindle::best_cpu_variant(variants, state);
    if (!best) {
        std::fprintf(stderr, "cpu-module-choice: no CPU module runs on this processor\n");
        return 1;
    }
    std::printf("%s\n", best->filename().c_str());
    return 0;
}
