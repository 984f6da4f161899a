#pragma once
// A model split across several files, as llama.cpp's split tool writes it:
// NAME-00001-of-0000N.gguf holds the header and the first tensors, the
// other files the rest of the tensors (or the first file holds the header
// alone). The helper names the other files as llama.cpp would find them, and
// gives llama.cpp every name.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace debrindle {

// The paths of the `count` files of the split model whose first file is
// `first_path`, formed as llama.cpp forms them (though of any length, where
// llama.cpp's buffer holds PATH_MAX bytes); nothing where llama.cpp refuses
// the model for its name: a path that does not end as the first of `count`
// files does.
std::optional<std::vector<std::string>> split_part_paths(std::string_view first_path, std::uint32_t count);

}  // namespace debrindle
