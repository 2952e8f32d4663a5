// Text on descriptor files: strings, lines and numbers.
//
// Reading goes through FileIO_ReadChar, so tabs arrive as blanks, carriage returns are
// dropped and character 26 ends the file. OutIn_done tells whether the last operation
// succeeded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "FileIO.hpp"
#include "Strings.hpp"

extern bool OutIn_done;

void OutIn_Init();

// Characters up to and excluding the next line end (which is consumed), or until s is
// full (the rest of the line stays unread), or the end of the file. done is false when
// the file ended before a character was read.
void OutIn_ReadString(FileIO_File f, StrOut s);
// Skips the rest of the line, its line end included.
void OutIn_ReadLn(FileIO_File f);
// Numbers: characters below 33 are skipped, then the number is read and the first
// character after it is pushed back. done is false (x unchanged) when there is no
// number or it overflows.
void OutIn_ReadCard(FileIO_File f, std::uint32_t& x);
void OutIn_ReadInt(FileIO_File f, std::int32_t& x);
void OutIn_ReadReal(FileIO_File f, double& x);

void OutIn_WriteString(FileIO_File f, StrIn s);
// A line end (character 10).
void OutIn_WriteLn(FileIO_File f);
// Right-justified in width characters as BConvert writes them; decimals below 0 select
// the exponent form.
void OutIn_WriteCard(FileIO_File f, std::uint32_t x, std::size_t width);
void OutIn_WriteInt(FileIO_File f, std::int32_t x, std::size_t width);
void OutIn_WriteReal(FileIO_File f, double x, std::size_t width, int decimals);
// The same followed by a line end.
void OutIn_WriteStringLn(FileIO_File f, StrIn s);
void OutIn_WriteCardLn(FileIO_File f, std::uint32_t x, std::size_t width);
void OutIn_WriteIntLn(FileIO_File f, std::int32_t x, std::size_t width);
void OutIn_WriteRealLn(FileIO_File f, double x, std::size_t width, int decimals);
