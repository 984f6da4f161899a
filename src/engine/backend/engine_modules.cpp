#include "engine/backend/engine_modules.hpp"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <ggml-backend.h>

#include "common/platform.hpp"
#include "engine/backend/cpu_variant.hpp"

namespace debrindle {
namespace {

#ifdef _WIN32
constexpr std::string_view module_prefix = "ggml-";
constexpr std::string_view module_extension = ".dll";
#else
constexpr std::string_view module_prefix = "libggml-";
constexpr std::string_view module_extension = ".so";
#endif

// GPU backends whose module the helper loads when it stands beside it.
constexpr std::string_view gpu_backends[] = {"vulkan"};

std::filesystem::path module_path(const std::filesystem::path& folder, std::string_view backend) {
    return folder / (std::string(module_prefix) + std::string(backend) + std::string(module_extension));
}

bool is_cpu_variant(const std::filesystem::path& file) {
    const std::string name = file.filename().string();
    const std::string prefix = std::string(module_prefix) + "cpu-";
    return name.size() > prefix.size() + module_extension.size() && name.starts_with(prefix) &&
           name.ends_with(module_extension);
}

// A path as UTF-8 text, as ggml takes it on Linux and as messages give it.
std::string utf8_text(const std::filesystem::path& path) {
    const std::u8string utf8 = path.u8string();
    return {reinterpret_cast<const char*>(utf8.data()), utf8.size()};
}

bool load_module(const std::filesystem::path& path) {
#ifdef _WIN32
    // ggml_backend_load reads its path in the system's ANSI code page here,
    // which cannot name every folder; the module is loaded by its wide path
    // instead, and the backend it starts registered.
    const auto init = load_library_function(path, "ggml_backend_init");
    if (!init) return false;
    ggml_backend_reg_t backend = reinterpret_cast<ggml_backend_reg_t (*)()>(*init)();
    if (backend == nullptr) return false;
    ggml_backend_register(backend);
    return true;
#else
    return ggml_backend_load(utf8_text(path).c_str()) != nullptr;
#endif
}

// The CPU modules in `folder` with their scores; why any other could not be
// asked for its score goes to `problems`.
std::vector<CpuVariant> cpu_variants(const std::filesystem::path& folder, std::vector<std::string>& problems) {
    std::vector<CpuVariant> variants;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        if (!entry->is_regular_file(error) || !is_cpu_variant(entry->path())) continue;
        auto score = call_library_function(entry->path(), "ggml_backend_score");
        if (score) {
            variants.push_back(CpuVariant{entry->path(), *score});
        } else {
            problems.push_back(utf8_text(entry->path().filename()) + ": " + score.error());
        }
    }
    return variants;
}

// Why no CPU module loaded: the one chosen, which llama.cpp's log says more
// about, or else every module and what kept it out.
std::vector<std::string> no_cpu_module_problems(const std::filesystem::path& folder,
                                                const std::vector<CpuVariant>& variants,
                                                const std::optional<std::filesystem::path>& chosen,
                                                std::vector<std::string> problems) {
    if (chosen) return {utf8_text(chosen->filename()) + ": llama.cpp could not load it"};
    for (const auto& variant : variants) {
        problems.push_back(utf8_text(variant.path.filename()) + ": this processor or its system cannot run it (score " +
                           std::to_string(variant.score) + ")");
    }
    if (problems.empty()) problems.push_back("there is none in " + utf8_text(folder));
    return problems;
}

}  // namespace

std::vector<std::string> load_engine_modules() {
    static bool loaded = false;
    if (loaded) return {};
    loaded = true;

    const auto folder = executable_folder();
    if (!folder) return {};
    const auto modules = loadable_folder(*folder);
    // GPU backends first, as llama.cpp orders them, so that a GPU is the
    // first device it finds. Starting the Vulkan module loads the system's
    // Vulkan drivers, and with them LLVM: without a GPU that is a cost for
    // nothing. Naming devices explicitly still reaches a software one.
    const bool gpu_wanted = gpu_device_present() || environment_variable("GGML_VK_VISIBLE_DEVICES").has_value();
    for (const auto backend : gpu_wanted ? std::span(gpu_backends) : std::span<const std::string_view>()) {
        const auto path = module_path(modules, backend);
        std::error_code error;
        if (std::filesystem::is_regular_file(path, error)) (void)load_module(path);
    }
    std::vector<std::string> problems;
    const auto variants = cpu_variants(modules, problems);
    const auto best = best_cpu_variant(variants, enabled_register_state(any_cpu_variant_needs_tiles(variants)));
    if (best && load_module(*best)) return {};
    return no_cpu_module_problems(*folder, variants, best, std::move(problems));
}

}  // namespace debrindle
