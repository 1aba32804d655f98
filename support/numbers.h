// Numbers as the settings window and the command line read and write them, the same in
// every locale. A decimal number is an optional sign, digits with an optional full stop
// as the decimal separator, and an optional exponent; an integer is an optional sign and
// digits. "inf", "nan" and hexadecimal forms are not numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The longest prefix of `text` (after leading white space) that forms a decimal number,
// or 0 when there is none; like the C library's atof in the "C" locale.
double readDecimal(std::string_view text);

// The longest prefix that forms an integer, or 0; values beyond 32 bits saturate to the
// nearest 32-bit value, like a 32-bit atol.
std::int32_t readInteger(std::string_view text);

// The whole text as one number (surrounding white space allowed), or nothing.
std::optional<double> parseDecimal(std::string_view text);
std::optional<std::int32_t> parseInteger(std::string_view text);

// printf's "%f" (six decimals, full stop) and "%d", whatever the value's magnitude.
std::string formatFixed(double value);
std::string formatInteger(std::int32_t value);
// The shortest fixed text of a finite `value` that reads back as it, with at least one
// decimal ("0.1", "2.0"): how the parameters' defaults are shown.
std::string formatShort(double value);
