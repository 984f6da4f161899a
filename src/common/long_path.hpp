#pragma once
// Windows opens a path of MAX_PATH (260) UTF-16 units or more only in its
// verbatim form ("\\?\"), unless the system and the program have both opted
// into long paths. The system takes a verbatim path as it is: it turns no
// "/" into "\" and resolves no "." or "..". So only full paths as
// GetFullPathNameW gives them, where that is done already, are turned into
// it. Kept apart from the Windows platform file so that it is built and
// tested everywhere.

#include <optional>
#include <string>
#include <string_view>

namespace debrindle {

// The verbatim form of a full path (UTF-8) that needs it: from 260 UTF-16
// units on, "C:\m\a.gguf" becomes "\\?\C:\m\a.gguf" and
// "\\server\share\a.gguf" becomes "\\?\UNC\server\share\a.gguf". Nothing for
// a shorter path, for one already verbatim or naming a device ("\\?\",
// "\\.\"), and for one that is not full (relative, or rooted without a
// drive).
std::optional<std::string> long_path_form(std::string_view full_path);

}  // namespace debrindle
