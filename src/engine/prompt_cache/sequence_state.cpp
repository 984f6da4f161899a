#include "engine/prompt_cache/sequence_state.hpp"

#include <cstring>

#include <ggml.h>

namespace debrindle {
namespace {

// What llama.cpp writes first: its sequence state's mark.
constexpr std::uint32_t state_magic = 0xaf143cd8;

// Reads the state in order and writes the prefix's bytes as it goes; any
// read past the end or any value out of place fails the whole cut.
class StateCutter {
public:
    StateCutter(std::span<const std::uint8_t> state, std::size_t cells) : state_(state), cells_(cells) {}

    std::optional<LargeBytes> cut() {
        out_.reserve(state_.size());  // the prefix is never larger: one allocation
        if (cells_ == 0 || !copy_value<std::uint32_t>(state_magic) || !copy_value<std::int32_t>(0) ||
            !copy_value<std::uint32_t>(1)) {
            return std::nullopt;
        }
        const auto cell_count = read<std::uint32_t>();
        if (!cell_count || *cell_count < cells_) return std::nullopt;
        write(static_cast<std::uint32_t>(cells_));
        for (std::uint32_t cell = 0; cell < *cell_count; ++cell) {
            // Position `cell`, one sequence, sequence 0: nothing else fits
            // this layout (cells with more to them would be read wrongly).
            const auto position = read<std::int32_t>();
            const auto sequences = read<std::uint32_t>();
            const auto sequence = read<std::int32_t>();
            if (!sequence || *position != static_cast<std::int32_t>(cell) || *sequences != 1 || *sequence != 0) {
                return std::nullopt;
            }
            if (cell < cells_) {
                write(*position);
                write(*sequences);
                write(*sequence);
            }
        }
        const auto transposed = read<std::uint32_t>();
        const auto layers = read<std::uint32_t>();
        if (!layers || *transposed > 1) return std::nullopt;
        write(*transposed);
        write(*layers);
        for (std::uint32_t layer = 0; layer < 2 * *layers; ++layer) {
            const bool rows = layer < *layers || *transposed == 0;
            if (!(rows ? copy_rows(*cell_count) : copy_element_runs(*cell_count))) return std::nullopt;
        }
        if (offset_ != state_.size()) return std::nullopt;
        return std::move(out_);
    }

private:
    // Type and row size, then a row per cell.
    bool copy_rows(std::uint32_t cell_count) {
        const auto type = read<std::int32_t>();
        const auto row_bytes = read<std::uint64_t>();
        if (!row_bytes) return false;
        write(*type);
        write(*row_bytes);
        return copy_runs(*type, 1, cell_count, *row_bytes);
    }

    // Type, element size and element count, then per element a run of one
    // value per cell.
    bool copy_element_runs(std::uint32_t cell_count) {
        const auto type = read<std::int32_t>();
        const auto element_bytes = read<std::uint32_t>();
        const auto elements = read<std::uint32_t>();
        if (!elements) return false;
        write(*type);
        write(*element_bytes);
        write(*elements);
        return copy_runs(*type, *elements, cell_count, *element_bytes);
    }

    // `runs` runs of `cell_count` items of `item_bytes`, values of `type`,
    // keeping each run's first `cells_` items.
    bool copy_runs(std::int32_t type, std::uint64_t runs, std::uint64_t cell_count, std::uint64_t item_bytes) {
        if (item_bytes == 0 || item_bytes > state_.size()) return false;
        for (std::uint64_t run = 0; run < runs; ++run) {
            if ((state_.size() - offset_) / item_bytes < cell_count) return false;
            const std::uint8_t* begin = state_.data() + offset_;
            if (!all_finite(type, std::span(begin, cells_ * item_bytes))) return false;
            out_.insert(out_.end(), begin, begin + cells_ * item_bytes);
            offset_ += cell_count * item_bytes;
        }
        return true;
    }

    // Whether `bytes`, values of `type`, are all finite: a cell that
    // overflowed gives a fresh decode other bits than a resumed one. Only
    // the float types can be checked; any other type is refused.
    static bool all_finite(std::int32_t type, std::span<const std::uint8_t> bytes) {
        const auto none_all_ones = [&]<typename T>(T exponent_mask) {
            if (bytes.size() % sizeof(T) != 0) return false;
            for (std::size_t at = 0; at < bytes.size(); at += sizeof(T)) {
                T value;
                std::memcpy(&value, bytes.data() + at, sizeof(T));
                if ((value & exponent_mask) == exponent_mask) return false;
            }
            return true;
        };
        switch (type) {
            case GGML_TYPE_F32: return none_all_ones(std::uint32_t{0x7f800000});
            case GGML_TYPE_F16: return none_all_ones(std::uint16_t{0x7c00});
            case GGML_TYPE_BF16: return none_all_ones(std::uint16_t{0x7f80});
            default: return false;
        }
    }

    template <typename T>
    std::optional<T> read() {
        if (state_.size() - offset_ < sizeof(T)) return std::nullopt;
        T value;
        std::memcpy(&value, state_.data() + offset_, sizeof(T));
        offset_ += sizeof(T);
        return value;
    }

    template <typename T>
    void write(T value) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
        out_.insert(out_.end(), bytes, bytes + sizeof(T));
    }

    template <typename T>
    bool copy_value(T expected) {
        const auto value = read<T>();
        if (!value || *value != expected) return false;
        write(*value);
        return true;
    }

    std::span<const std::uint8_t> state_;
    std::size_t cells_;
    std::size_t offset_ = 0;
    LargeBytes out_;
};

}  // namespace

std::optional<LargeBytes> sequence_state_prefix(std::span<const std::uint8_t> state, std::size_t cells) {
    return StateCutter(state, cells).cut();
}

}  // namespace debrindle
