#include "engine/generation/piece_decoder.hpp"

#include "common/utf8.hpp"

namespace debrindle {
namespace {

constexpr char32_t replacement_character = 0xFFFD;

}  // namespace

void PieceDecoder::decode(std::string_view piece, std::string& out) {
    std::size_t i = 0;
    while (start_ != Start::decoding && i < piece.size()) {
        const auto byte = static_cast<unsigned char>(piece[i++]);
        if (start_ == Start::at_start && byte == 0xEF) {
            start_ = Start::after_ef;
        } else if (start_ == Start::after_ef && byte == 0xBB) {
            start_ = Start::after_ef_bb;
        } else if (start_ == Start::after_ef_bb && byte == 0xBF) {
            start_ = Start::decoding;  // the mark is dropped
        } else {
            // Not a mark after all: what was held is text like any other.
            const Start held = start_;
            start_ = Start::decoding;
            if (held != Start::at_start) decode_byte(0xEF, out);
            if (held == Start::after_ef_bb) decode_byte(0xBB, out);
            decode_byte(byte, out);
        }
    }
    piece.remove_prefix(i);

    // Whole valid pieces with nothing pending are the common case.
    if (needed_ == 0 && is_valid_utf8(piece)) {
        out.append(piece);
        return;
    }
    for (const char c : piece) decode_byte(static_cast<unsigned char>(c), out);
}

void PieceDecoder::decode_byte(unsigned char byte, std::string& out) {
    if (needed_ != 0) {
        if (byte >= lower_ && byte <= upper_) {
            lower_ = 0x80;
            upper_ = 0xBF;
            code_point_ = (code_point_ << 6) | (byte & 0x3FU);
            if (++seen_ == needed_) {
                append_utf8(out, code_point_);
                code_point_ = needed_ = seen_ = 0;
            }
            return;
        }
        // The pending character is broken: replace it, then read this byte
        // afresh.
        code_point_ = needed_ = seen_ = 0;
        lower_ = 0x80;
        upper_ = 0xBF;
        append_utf8(out, replacement_character);
    }
    if (byte <= 0x7F) {
        out.push_back(static_cast<char>(byte));
    } else if (byte >= 0xC2 && byte <= 0xDF) {
        needed_ = 1;
        code_point_ = byte & 0x1FU;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
        if (byte == 0xE0) lower_ = 0xA0;
        if (byte == 0xED) upper_ = 0x9F;
        needed_ = 2;
        code_point_ = byte & 0x0FU;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
        if (byte == 0xF0) lower_ = 0x90;
        if (byte == 0xF4) upper_ = 0x8F;
        needed_ = 3;
        code_point_ = byte & 0x07U;
    } else {
        append_utf8(out, replacement_character);
    }
}

}  // namespace debrindle
