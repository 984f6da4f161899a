#pragma once
// Choosing the run mode from the command line.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace debrindle {

enum class RunMode { one_shot, server };

// Scans the words in order, the program name included, for one that is
// exactly "--server". Words are fetched one at a time through `word`, which
// gives nothing for a word that is not valid text; the scan then stops and
// the result is nothing. Words after "--server" are never fetched.
std::optional<RunMode> select_run_mode(std::size_t word_count,
                                       const std::function<std::optional<std::string>(std::size_t)>& word);

}  // namespace debrindle
