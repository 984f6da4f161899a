#pragma once
// JSON numbers as the request decoder reads them: their three kinds, the
// conversion of decimal parts to a double, and the text of a double.

#include <cstdint>
#include <optional>
#include <string>

namespace debrindle {

struct JsonNumber {
    enum class Kind : std::uint8_t { unsigned_integer, negative_integer, floating };

    Kind kind = Kind::unsigned_integer;
    std::uint64_t unsigned_value = 0;  // when unsigned_integer
    std::int64_t negative_value = 0;   // when negative_integer
    double floating_value = 0.0;       // when floating
};

// significand * 10^exponent as a double, scaled by exact powers of ten; an
// exponent below -308 is first brought into range by dividing by 1e308.
// Empty when the result is infinite. A zero significand gives zero.
std::optional<double> scale_by_power_of_ten(std::uint64_t significand, std::int64_t exponent);

// The shortest digits that read back as `value`, in plain notation when the
// first digit's decimal exponent is -5 to 15 ("256.0", "0.00001"), else in
// exponent notation ("1e+16", "-1.5e-7"). `value` must be finite.
std::string format_float(double value);

}  // namespace debrindle
