#pragma once
// Turns the bytes of token pieces into UTF-8 text, one piece at a time. A
// character may be cut across pieces; its bytes are held until it completes.
// Malformed bytes become U+FFFD, one per maximal broken sequence. A UTF-8
// byte-order mark at the very start of the reply is dropped, also when it is
// cut across pieces.

#include <cstdint>
#include <string>
#include <string_view>

namespace debrindle {

class PieceDecoder {
public:
    // Decodes one piece and appends its text to `out`. A character still
    // incomplete at the end of the piece stays pending; at the end of
    // generation it is dropped without a replacement.
    void decode(std::string_view piece, std::string& out);

private:
    enum class Start : std::uint8_t { at_start, after_ef, after_ef_bb, decoding };

    void decode_byte(unsigned char byte, std::string& out);

    Start start_ = Start::at_start;
    std::uint32_t code_point_ = 0;
    std::uint8_t needed_ = 0;
    std::uint8_t seen_ = 0;
    std::uint8_t lower_ = 0x80;
    std::uint8_t upper_ = 0xBF;
};

}  // namespace debrindle
