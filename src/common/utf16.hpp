#pragma once
// UTF-16 code units (Windows' wide strings) to UTF-8 bytes. Kept apart from
// the Windows platform file so that it is built and tested everywhere.

#include <optional>
#include <string>
#include <string_view>

namespace debrindle {

// The UTF-8 text of `units`, or nothing when they hold an unpaired surrogate
// (a high surrogate not followed by a low one, or a low one on its own) and
// so are not text.
std::optional<std::string> utf16_to_utf8(std::u16string_view units);

// Every code unit kept: valid text as UTF-8, and each unpaired surrogate as
// the three bytes its code point would have (ED A0 80 to ED BF BF), which no
// UTF-8 validation accepts. Nothing is lost or replaced.
std::string utf16_to_wtf8(std::u16string_view units);

}  // namespace debrindle
