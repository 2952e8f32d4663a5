// Numbers to text and back on bounded strings.
//
// Writers APPEND to s: the digits (with "-" in front of a negative value) are
// right-justified in a field of width characters by leading blanks; a width smaller
// than the number is ignored, the number is never cut on purpose. When s becomes full
// the output stops there and BConvert_done stays false.
//
// Readers take a number from the front of s and REMOVE the characters they consumed
// (leading blanks, sign, digits), also on failure; what follows stays in s.
// BConvert_done is true only when the number was read without overflow, and only then
// is the variable assigned.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Strings.hpp"

// Set by every conversion, true on success.
extern bool BConvert_done;

void BConvert_Init();

void BConvert_CardToStr(StrOut s, std::uint32_t value, std::size_t width);
void BConvert_IntToStr(StrOut s, std::int32_t value, std::size_t width);
void BConvert_Card64ToStr(StrOut s, std::uint64_t value, std::size_t width);
void BConvert_Int64ToStr(StrOut s, std::int64_t value, std::size_t width);
// Upper-case hexadecimal digits.
void BConvert_CardToStrInHex(StrOut s, std::uint32_t value, std::size_t width);
// precision >= 0: fixed point with that many decimals (rounded, at most 14 significant
// digits, the rest print as "0"). precision < 0: exponent form d.ddddE+ddd with width
// raised to at least 9 and width - 8 decimals.
void BConvert_RealToStr(StrOut s, double value, std::size_t width, int precision);

// Unsigned decimal; no sign accepted.
void BConvert_StrToCard(StrOut s, std::uint32_t& value);
// Signed decimal: one "-" allowed, "+" not.
void BConvert_StrToInt(StrOut s, std::int32_t& value);
void BConvert_StrToInt64(StrOut s, std::int64_t& value);
// Optional "+" or "-", digits with an optional decimal point, optional exponent (E/e).
void BConvert_StrToReal(StrOut s, double& value);
// Appends t to s.
void BConvert_StrToStr(StrOut s, StrIn t);
