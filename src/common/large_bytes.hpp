#pragma once
// Bytes for buffers of megabytes that are filled at once: from the platform's
// large allocations (common/platform.hpp), and left as they come when the
// vector grows, since whatever fills them writes every byte.

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "common/platform.hpp"

namespace debrindle {

template <typename T>
struct LargeAllocator {
    using value_type = T;
    // Smaller blocks come from the heap, where a fault per page costs little.
    static constexpr std::size_t least_bytes = std::size_t{1} << 20U;

    LargeAllocator() = default;
    template <typename U>
    explicit LargeAllocator(const LargeAllocator<U>& /*other*/) noexcept {}

    T* allocate(std::size_t count) {
        const std::size_t bytes = count * sizeof(T);
        return static_cast<T*>(bytes < least_bytes ? ::operator new(bytes) : allocate_large(bytes));
    }
    void deallocate(T* memory, std::size_t count) noexcept {
        const std::size_t bytes = count * sizeof(T);
        if (bytes < least_bytes) {
            ::operator delete(memory);
        } else {
            release_large(memory, bytes);
        }
    }
    // Default-initialized: no zeros written that the copy overwrites.
    template <typename U>
    void construct(U* element) noexcept {
        ::new (static_cast<void*>(element)) U;
    }
    template <typename U, typename... Args>
    void construct(U* element, Args&&... args) {
        ::new (static_cast<void*>(element)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const LargeAllocator&, const LargeAllocator&) = default;
};

using LargeBytes = std::vector<std::uint8_t, LargeAllocator<std::uint8_t>>;

}  // namespace debrindle
