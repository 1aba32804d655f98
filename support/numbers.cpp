#include "support/numbers.h"

#include <locale.h>
#include <stdlib.h>

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace {

// White space as the "C" locale's isspace knows it; the process locale plays no part.
bool isSpace(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

bool isDigit(char ch) {
    return ch >= '0' && ch <= '9';
}

std::size_t skipSpace(std::string_view text, std::size_t at) {
    while (at < text.size() && isSpace(text[at])) ++at;
    return at;
}

std::size_t skipDigits(std::string_view text, std::size_t at) {
    while (at < text.size() && isDigit(text[at])) ++at;
    return at;
}

// The end of the decimal number that starts at `begin`, or `begin` when none starts
// there: sign, digits with an optional full stop (at least one digit in all), and an
// exponent only when digits follow its letter and optional sign.
std::size_t scanDecimal(std::string_view text, std::size_t begin) {
    std::size_t at = begin;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    const std::size_t intStart = at;
    at = skipDigits(text, at);
    bool anyDigit = at > intStart;
    if (at < text.size() && text[at] == '.') {
        const std::size_t fracStart = at + 1;
        const std::size_t fracEnd = skipDigits(text, fracStart);
        // A lone full stop without digits on either side is no number.
        if (!anyDigit && fracEnd == fracStart) return begin;
        anyDigit = true;
        at = fracEnd;
    }
    if (!anyDigit) return begin;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        std::size_t exp = at + 1;
        if (exp < text.size() && (text[exp] == '+' || text[exp] == '-')) ++exp;
        const std::size_t expEnd = skipDigits(text, exp);
        if (expEnd > exp) at = expEnd;
    }
    return at;
}

// The end of the integer that starts at `begin` (sign and at least one digit), or `begin`.
std::size_t scanInteger(std::string_view text, std::size_t begin) {
    std::size_t at = begin;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    const std::size_t end = skipDigits(text, at);
    return end > at ? end : begin;
}

// The "C" locale as an object of its own, so conversion never depends on setlocale.
locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return locale;
}

// Converts text that scanDecimal accepted in full. strtod gives the correctly rounded
// value, ±HUGE_VAL on overflow and a denormal or zero on underflow.
double convertDecimal(std::string_view number) {
    const std::string copy(number);  // strtod needs a terminated string
    return strtod_l(copy.c_str(), nullptr, cLocale());
}

// Converts text that scanInteger accepted in full, saturating at the 32-bit limits.
std::int32_t convertInteger(std::string_view number) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    std::size_t at = 0;
    const bool negative = number[0] == '-';
    if (number[0] == '+' || number[0] == '-') ++at;
    // Accumulate the magnitude; once it passes the 32-bit range it stays pinned there,
    // so any number of digits is safe.
    std::int64_t magnitude = 0;
    for (; at < number.size(); ++at) {
        magnitude = magnitude * 10 + (number[at] - '0');
        if (magnitude > kMax + 1) magnitude = kMax + 1;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > kMax) return static_cast<std::int32_t>(kMax);
    if (value < kMin) return static_cast<std::int32_t>(kMin);
    return static_cast<std::int32_t>(value);
}

}  // namespace

double readDecimal(std::string_view text) {
    const std::size_t begin = skipSpace(text, 0);
    const std::size_t end = scanDecimal(text, begin);
    return end > begin ? convertDecimal(text.substr(begin, end - begin)) : 0.0;
}

std::int32_t readInteger(std::string_view text) {
    const std::size_t begin = skipSpace(text, 0);
    const std::size_t end = scanInteger(text, begin);
    return end > begin ? convertInteger(text.substr(begin, end - begin)) : 0;
}

std::optional<double> parseDecimal(std::string_view text) {
    const std::size_t begin = skipSpace(text, 0);
    const std::size_t end = scanDecimal(text, begin);
    if (end == begin || skipSpace(text, end) != text.size()) return std::nullopt;
    return convertDecimal(text.substr(begin, end - begin));
}

std::optional<std::int32_t> parseInteger(std::string_view text) {
    const std::size_t begin = skipSpace(text, 0);
    const std::size_t end = scanInteger(text, begin);
    if (end == begin || skipSpace(text, end) != text.size()) return std::nullopt;
    return convertInteger(text.substr(begin, end - begin));
}

std::string formatFixed(double value) {
    // The largest double has 309 integer digits; with sign, full stop and six decimals
    // the text stays well inside this buffer.
    char buffer[400];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    if (result.ec != std::errc{}) return {};  // cannot happen with this buffer
    return std::string(buffer, result.ptr);
}

std::string formatInteger(std::int32_t value) {
    char buffer[16];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string formatShort(double value) {
    char buffer[400];  // as in formatFixed
    const std::string text(
        buffer, std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed).ptr);
    return text.find('.') == std::string::npos ? text + ".0" : text;
}
