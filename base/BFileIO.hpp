// Buffered files (C streams).
//
// A file is a stream handle; BFileIO_Nil is the null handle. Streams on descriptors of
// 1024 and above are refused (error 4). Per descriptor the module keeps one pushed-back
// character and whether the large-file interface was used. Every operation sets
// BFileIO_ioError; a value other than 0 and 1 is reported as ("BFileIO", value), for 3,
// 8 and 11 after the file name as additional information.
//
// BFileIO_ioError values:
//   0 success              1 end of file (never reported)   3 no such file
//   4 too many open files  5 bad handle                     6 busy
//   7 second push-back     8 not permitted / wrong kind of file (also create with mode 0)
//   9 no space left        10 input/output error (and every unlisted system error)
//   11 no such device      13 file too large                14 broken pipe
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "FileIO.hpp"
#include "Strings.hpp"

using BFileIO_File = std::FILE*;

inline constexpr BFileIO_File BFileIO_Nil = nullptr;

extern BFileIO_File BFileIO_stdin;
extern BFileIO_File BFileIO_stdout;
extern BFileIO_File BFileIO_stderr;

extern std::uint8_t BFileIO_ioError;
// Bytes moved by the last BFileIO_Read or BFileIO_Write.
extern std::size_t BFileIO_bytesTransferred;

void BFileIO_Init();

// True for every handle but the null handle.
bool BFileIO_LegalFileHandle(BFileIO_File f);

// Mode 0 read ("r"), 1 write ("w"), 2 read and write ("r+"). A file too large for the
// normal interface is opened again with the large-file interface; the LargeFile
// variants always use it.
BFileIO_File BFileIO_Open(StrIn name, unsigned mode);
BFileIO_File BFileIO_OpenLargeFile(StrIn name, unsigned mode);
// Mode 1 ("w") or 2 ("w+"); mode 0 is error 8.
BFileIO_File BFileIO_Create(StrIn name, unsigned mode);
BFileIO_File BFileIO_CreateLargeFile(StrIn name, unsigned mode);
// A stream on an already open descriptor.
BFileIO_File BFileIO_FileDescOpen(FileIO_File fd, unsigned mode);
// Closes and sets f to BFileIO_Nil; closing the null handle does nothing.
void BFileIO_Close(BFileIO_File& f);

// Raw transfer; BFileIO_bytesTransferred tells how much moved. A pushed-back character
// is delivered first. Nothing read at the end of the file sets ioError 1.
void BFileIO_Read(BFileIO_File f, void* buffer, std::size_t n);
void BFileIO_Write(BFileIO_File f, const void* buffer, std::size_t n);

// Text character: a tab arrives as a blank, a carriage return is dropped (the next
// character comes instead), character 26 and the end of the file set ioError 1 (ch is
// then NUL).
void BFileIO_ReadChar(BFileIO_File f, char& ch);
void BFileIO_WriteChar(BFileIO_File f, char ch);
// Pushes the last character read back; a second push-back before a read is error 7.
void BFileIO_UngetChar(BFileIO_File f);

void BFileIO_Flush(BFileIO_File f);
// Flushes and writes the file to disk.
void BFileIO_Sync(BFileIO_File f);
// whence: 0 from the start, 1 from the current position, 2 from the end.
void BFileIO_Seek(BFileIO_File f, double position, int whence);
double BFileIO_GetPos(BFileIO_File f);
void BFileIO_Truncate(BFileIO_File f, double length);

// The descriptor of f (error 5 and FileIO_Nil for the null handle).
FileIO_File BFileIO_FileDesc(BFileIO_File f);

// A stream to or from a shell command (mode 0 reads its output, 1 writes its input).
BFileIO_File BFileIO_POpen(StrIn command, unsigned mode);
// Closes the command stream, sets f to the null handle and returns the wait status.
int BFileIO_PClose(BFileIO_File& f);
void BFileIO_Pipe(BFileIO_File& readEnd, BFileIO_File& writeEnd);
// A new stream on a duplicate of f's descriptor, with f's access mode.
BFileIO_File BFileIO_Dup(BFileIO_File f);
bool BFileIO_IsaTTY(BFileIO_File f);

// Advisory whole-file locks as in FileIO.
void BFileIO_Lock(BFileIO_File f);
void BFileIO_UnLock(BFileIO_File f);
bool BFileIO_TestAndLock(BFileIO_File f);
bool BFileIO_IsLocked(BFileIO_File f);

bool BFileIO_FEof(BFileIO_File f);
bool BFileIO_FError(BFileIO_File f);
void BFileIO_ClearErr(BFileIO_File f);
