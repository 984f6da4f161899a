#pragma once
// The cells of one sequence as llama.cpp copies them out of a context
// (llama_state_seq_get_data), and the first of them alone.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/large_bytes.hpp"

namespace debrindle {

// The state of the first `cells` cells of `state`, a sequence whose cells
// hold the positions 0, 1, 2, ... in order, one stream, as llama.cpp writes
// it: its mark and the sequence, the stream count, the cell count, each cell's position and sequence,
// then each layer's key rows and each layer's value rows (or, transposed,
// each value element's run of cells). Nothing when the bytes are not such a
// state, when it holds fewer cells, when `cells` is 0, or when a kept cell
// holds a value that is not finite (or of a type that cannot be checked): a
// layout it does not know is never cut, and a cell that overflowed never kept.
std::optional<LargeBytes> sequence_state_prefix(std::span<const std::uint8_t> state, std::size_t cells);

}  // namespace debrindle
