#include "app/run_mode.hpp"

namespace debrindle {

std::optional<RunMode> select_run_mode(std::size_t word_count,
                                       const std::function<std::optional<std::string>(std::size_t)>& word) {
    for (std::size_t index = 0; index < word_count; ++index) {
        const std::optional<std::string> text = word(index);
        if (!text) return std::nullopt;
        if (*text == "--server") return RunMode::server;
    }
    return RunMode::one_shot;
}

}  // namespace debrindle
