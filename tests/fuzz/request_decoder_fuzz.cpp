// Feeds arbitrary bytes to the request decoder and checks, beyond the absence
// of crashes and hangs, that every failure points inside the input and that
// both decoders agree on valid UTF-8.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/utf8.hpp"
#include "protocol/request_decoder.hpp"

namespace {

using namespace debrindle;

void require(bool condition) {
    if (!condition) std::abort();
}

// The line and column must name an offset of the input: the line must exist
// and the column must not run past its end (the input's end included).
void require_position_inside(std::string_view input, const DecodeError& error) {
    require(error.line >= 1);
    std::size_t line_start = 0;
    for (std::uint64_t line = 1; line < error.line; ++line) {
        const std::size_t line_feed = input.find('\n', line_start);
        require(line_feed != std::string_view::npos);
        line_start = line_feed + 1;
    }
    require(error.column <= input.size() - line_start);
    const std::string_view before = input.substr(line_start, static_cast<std::size_t>(error.column));
    require(before.find('\n') == std::string_view::npos);
}

void require_same(const LlamaHelperRequest& a, const LlamaHelperRequest& b) {
    require(a == b);
    require(std::bit_cast<std::uint32_t>(a.temperature) == std::bit_cast<std::uint32_t>(b.temperature));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto bytes = decode_request_bytes(input);
    if (!bytes.ok()) {
        require_position_inside(input, bytes.error());
        require(is_valid_utf8(bytes.error().message));
    }
    if (!is_valid_utf8(input)) return 0;

    const auto text = decode_request_text(input);
    require(bytes.ok() == text.ok());
    if (bytes.ok()) {
        require_same(bytes.value(), text.value());
    } else {
        require(bytes.error() == text.error());
    }
    return 0;
}
