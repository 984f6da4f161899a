#include "engine/engine_modules.hpp"

#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <ggml-backend.h>

#include "common/platform.hpp"
#include "engine/cpu_variant.hpp"

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

// ggml takes a module's path as UTF-8, also on Windows.
void load_module(const std::filesystem::path& path) {
    const std::u8string utf8 = path.u8string();
    (void)ggml_backend_load(reinterpret_cast<const char*>(utf8.c_str()));
}

std::vector<CpuVariant> cpu_variants(const std::filesystem::path& folder) {
    std::vector<CpuVariant> variants;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        if (!entry->is_regular_file(error) || !is_cpu_variant(entry->path())) continue;
        if (const auto score = call_library_function(entry->path(), "ggml_backend_score")) {
            variants.push_back(CpuVariant{entry->path(), *score});
        }
    }
    return variants;
}

}  // namespace

void load_engine_modules() {
    static bool loaded = false;
    if (loaded) return;
    loaded = true;

    const auto folder = executable_folder();
    if (!folder) return;
    // GPU backends first, as llama.cpp orders them, so that a GPU is the
    // first device it finds. Starting the Vulkan module loads the system's
    // Vulkan drivers, and with them LLVM: without a GPU that is a cost for
    // nothing. Naming devices explicitly still reaches a software one.
    const bool gpu_wanted = gpu_device_present() || environment_variable("GGML_VK_VISIBLE_DEVICES").has_value();
    for (const auto backend : gpu_wanted ? std::span(gpu_backends) : std::span<const std::string_view>()) {
        const auto path = module_path(*folder, backend);
        std::error_code error;
        if (std::filesystem::is_regular_file(path, error)) load_module(path);
    }
    if (const auto best = best_cpu_variant(cpu_variants(*folder), enabled_register_state())) load_module(*best);
}

}  // namespace debrindle
