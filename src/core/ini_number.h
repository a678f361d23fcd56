// Number text of the INI file, read and written the same way whatever locale the host process
// has set: a game that switches the C library to a comma-decimal locale must still read "0.65"
// as 0.65. Called by the configuration reads and the tuning write-back (render thread).
#pragma once

#include <cstddef>

namespace corvane {

// The float at the start of `text`, with the syntax of the C library's string-to-float
// conversion in the "C" locale: leading blanks skipped, an optional sign, then a decimal
// number with optional fraction and exponent, a hexadecimal number ("0x1.8p3"), an infinity or
// a NaN; the longest valid prefix is taken and the rest ignored. False when no number starts
// the text. Out-of-range values become infinity or zero, as that conversion gives them.
[[nodiscard]] bool ParseIniNumber(const wchar_t* text, float& value) noexcept;

// `value` as "%.9g" formats it in the "C" locale. False when the text does not fit `capacity`.
[[nodiscard]] bool FormatIniNumberNineDigits(float value, wchar_t* text, size_t capacity) noexcept;

// `value` with exactly `decimals` decimals ("%.*f" in the "C" locale). False when the text does
// not fit `capacity` or the value is not finite.
[[nodiscard]] bool FormatIniNumberFixed(float value, int decimals, wchar_t* text, size_t capacity) noexcept;

// The shortest text that reads back as exactly `value`. False when it does not fit `capacity`
// or the value is not finite.
[[nodiscard]] bool FormatIniNumberShortest(float value, wchar_t* text, size_t capacity) noexcept;

} // namespace corvane
