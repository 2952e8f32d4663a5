// Text on buffered files: strings, lines and numbers.
//
// Reading goes through BFileIO_ReadChar, so tabs arrive as blanks, carriage returns are
// dropped and character 26 ends the file. BOutIn_done tells whether the last operation
// succeeded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "BFileIO.hpp"
#include "Strings.hpp"

extern bool BOutIn_done;

void BOutIn_Init();

// Characters up to and excluding the next line end (which is consumed), or until s is
// full (the rest of the line stays unread), or the end of the file. done is false when
// the file ended before a character was read.
void BOutIn_ReadString(BFileIO_File f, StrOut s);
// Skips the rest of the line, its line end included.
void BOutIn_ReadLn(BFileIO_File f);
// Numbers: characters below 33 are skipped, then the number is read and the first
// character after it is pushed back. done is false (x unchanged) when there is no
// number or it overflows.
void BOutIn_ReadCard(BFileIO_File f, std::uint32_t& x);
void BOutIn_ReadInt(BFileIO_File f, std::int32_t& x);
void BOutIn_ReadReal(BFileIO_File f, double& x);

void BOutIn_WriteString(BFileIO_File f, StrIn s);
// A line end (character 10).
void BOutIn_WriteLn(BFileIO_File f);
// Right-justified in width characters as BConvert writes them; decimals below 0 select
// the exponent form.
void BOutIn_WriteCard(BFileIO_File f, std::uint32_t x, std::size_t width);
void BOutIn_WriteInt(BFileIO_File f, std::int32_t x, std::size_t width);
void BOutIn_WriteReal(BFileIO_File f, double x, std::size_t width, int decimals);
// The same followed by a line end.
void BOutIn_WriteStringLn(BFileIO_File f, StrIn s);
void BOutIn_WriteCardLn(BFileIO_File f, std::uint32_t x, std::size_t width);
void BOutIn_WriteIntLn(BFileIO_File f, std::int32_t x, std::size_t width);
void BOutIn_WriteRealLn(BFileIO_File f, double x, std::size_t width, int decimals);
