#include <gtest/gtest.h>

#include "engine/engine_error.hpp"

namespace debrindle {
namespace {

TEST(EngineError, Texts) {
    using K = EngineErrorKind;
    const std::pair<EngineError, const char*> cases[] = {
        {{K::BackendAlreadyInitialized}, "BackendAlreadyInitialized"},
        {{K::ModelPathNul, 0}, "null byte in string nul byte found in provided data at position: 0"},
        {{K::ModelLoadNull}, "null result from llama cpp"},
        {{K::ContextCreateNull}, "null reference from llama.cpp"},
        {{K::TextNul, 1}, "nul byte found in provided data at position: 1"},
        {{K::TemplateApplyFailed, -1}, "ffi error -1"},
        {{K::TextTooLong}, "out of range integral type conversion attempted"},
        {{K::BatchFull, 512}, "Insufficient Space of 512"},
        {{K::UnknownTokenType}, "Unknown Token Type"},
        {{K::PieceBufferTooSmall, -12}, "Insufficient Buffer Space -12"},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.text(), text);
}

TEST(EngineError, DecodeStatuses) {
    const std::pair<std::int32_t, const char*> cases[] = {
        {1, "Decode Error 1: NoKvCacheSlot"},
        {-1, "Decode Error -1: n_tokens == 0"},
        {2, "Decode Error 2: unknown"},
        {-3, "Decode Error -3: unknown"},
    };
    for (const auto& [status, text] : cases) EXPECT_EQ(decode_status_error(status).text(), text);
}

TEST(EngineError, RenderedBytesThatAreNotUtf8) {
    const std::pair<std::string, const char*> cases[] = {
        {"ab\xFF", "invalid utf-8 sequence of 1 bytes from index 2"},
        {"ab\xE2\x82", "incomplete utf-8 byte sequence from index 2"},
        {"\xE2\x82"
         "A",
         "invalid utf-8 sequence of 2 bytes from index 0"},
        {"x\xF0\x9F\x98"
         "A",
         "invalid utf-8 sequence of 3 bytes from index 1"},
        {"\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"ok \xC3\xA9\xF0\x9F", "incomplete utf-8 byte sequence from index 5"},
    };
    for (const auto& [bytes, text] : cases) {
        const auto error = utf8_error(bytes);
        ASSERT_TRUE(error.has_value()) << text;
        EXPECT_EQ(error->text(), text);
    }
    EXPECT_FALSE(utf8_error("plain \xC3\xA9 text").has_value());
}

}  // namespace
}  // namespace debrindle
