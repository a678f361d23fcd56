#include "core/ini_number.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

namespace corvane {
namespace {

// The profile functions return at most 63 characters; a longer text is parsed up to here.
constexpr size_t kMaxNumberText = 64;

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A value beyond even double's range: what the conversion gives for it is decided by the sign of
// the exponent that put it there (infinity for a large one, zero for a tiny one).
float BeyondDouble(const char* begin, const char* end, char exponentLetter) {
    for (const char* p = begin; p + 1 < end; ++p) {
        if ((*p | 0x20) == exponentLetter && p[1] == '-') {
            return 0.0f;
        }
    }
    return INFINITY;
}

// One unsigned number (no sign of its own) in the given format; false when none starts here.
bool ParseUnsignedNumber(const char* begin, const char* end, std::chars_format format, char exponentLetter,
                         float& value) {
    float parsed = 0.0f;
    std::from_chars_result result = std::from_chars(begin, end, parsed, format);
    if (result.ec == std::errc{}) {
        value = parsed;
        return result.ptr != begin;
    }
    if (result.ec != std::errc::result_out_of_range) {
        return false;
    }
    // Out of float's range: through double, whose conversion to float rounds to infinity or to
    // zero the way the single-precision conversion does.
    double wide = 0.0;
    result = std::from_chars(begin, end, wide, format);
    value =
        result.ec == std::errc{} ? static_cast<float>(wide) : BeyondDouble(begin, result.ptr, exponentLetter);
    return true;
}

} // namespace

bool ParseIniNumber(const wchar_t* text, float& value) noexcept {
    if (text == nullptr) {
        return false;
    }
    while (IsBlank(*text)) {
        ++text;
    }
    // Narrow copy: anything outside ASCII ends the number, as it would end the conversion.
    char narrow[kMaxNumberText] = {};
    size_t length = 0;
    for (; length + 1 < kMaxNumberText && text[length] != L'\0'; ++length) {
        const wchar_t c = text[length];
        narrow[length] = c > 0x20 && c < 0x7F ? static_cast<char>(c) : ' ';
    }
    const char* p = narrow;
    const char* const end = narrow + length;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    // One sign only: from_chars would take a second minus.
    if (*p == '-' || *p == '+') {
        return false;
    }
    float magnitude = 0.0f;
    const bool hexPrefix = p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && (IsHexDigit(p[2]) || p[2] == '.');
    bool parsed = false;
    if (hexPrefix) {
        parsed = ParseUnsignedNumber(p + 2, end, std::chars_format::hex, 'p', magnitude);
    }
    // "0x" without hexadecimal digits after it is the number 0 followed by other text.
    if (!parsed) {
        parsed = ParseUnsignedNumber(p, end, std::chars_format::general, 'e', magnitude);
    }
    if (!parsed) {
        return false;
    }
    value = negative ? -magnitude : magnitude;
    return true;
}

namespace {

template <typename Format> bool Widen(Format format, wchar_t* text, size_t capacity) {
    if (text == nullptr || capacity == 0) {
        return false;
    }
    char narrow[kMaxNumberText] = {};
    const std::to_chars_result result = format(narrow, narrow + sizeof narrow - 1);
    const size_t length = static_cast<size_t>(result.ptr - narrow);
    if (result.ec != std::errc{} || length + 1 > capacity) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        text[i] = static_cast<wchar_t>(narrow[i]);
    }
    text[length] = L'\0';
    return true;
}

} // namespace

bool FormatIniNumberNineDigits(float value, wchar_t* text, size_t capacity) noexcept {
    return Widen(
        [value](char* first, char* last) {
            return std::to_chars(first, last, static_cast<double>(value), std::chars_format::general, 9);
        },
        text, capacity);
}

bool FormatIniNumberFixed(float value, int decimals, wchar_t* text, size_t capacity) noexcept {
    return std::isfinite(value) &&
           Widen(
               [value, decimals](char* first, char* last) {
                   return std::to_chars(first, last, value, std::chars_format::fixed, decimals);
               },
               text, capacity);
}

bool FormatIniNumberShortest(float value, wchar_t* text, size_t capacity) noexcept {
    return std::isfinite(value) &&
           Widen([value](char* first, char* last) { return std::to_chars(first, last, value); }, text,
                 capacity);
}

} // namespace corvane
