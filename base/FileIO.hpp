// Files opened by operating-system descriptor.
//
// A file is the descriptor itself. For descriptors 0..1023 the module keeps whether it
// opened them, their access mode, whether the large-file interface was needed and one
// pushed-back character. Every operation sets FileIO_ioError; a value other than 0 and
// 1 is reported as ("FileIO", value) through Messages_Error, so callers bracket the calls
// with Messages_IgnoreErrors when they want to handle a failure themselves.
//
// FileIO_ioError values:
//   0 success              1 end of file (never reported)   3 no such file
//   4 too many open files  5 bad handle                     6 busy
//   7 second push-back     8 not permitted / wrong kind of file (also create with mode 0)
//   9 no space left        10 input/output error (and every unlisted system error)
//   11 no such device      12 file too large                13 broken pipe
#pragma once

#include <cstddef>
#include <cstdint>

#include "Strings.hpp"

using FileIO_File = std::int32_t;

inline constexpr FileIO_File FileIO_Nil = -1;
inline constexpr FileIO_File FileIO_stdin = 0;
inline constexpr FileIO_File FileIO_stdout = 1;
inline constexpr FileIO_File FileIO_stderr = 2;
// Size of the per-descriptor tables of FileIO and BFileIO.
inline constexpr int FileIO_MaxFiles = 1024;

// Access modes (shared with BFileIO).
inline constexpr unsigned FileIO_readOnly = 0;
inline constexpr unsigned FileIO_writeOnly = 1;
inline constexpr unsigned FileIO_readWrite = 2;

// Whence values of FileIO_Seek and BFileIO_Seek.
inline constexpr int FileIO_fromStart = 0;
inline constexpr int FileIO_fromCurrent = 1;
inline constexpr int FileIO_fromEnd = 2;

extern std::uint8_t FileIO_ioError;
// Bytes moved by the last FileIO_Read or FileIO_Write.
extern std::size_t FileIO_bytesTransferred;

void FileIO_Init();

// The ioError value of a system error number (shared with BFileIO, which numbers a file
// too large 13 and a broken pipe 14).
std::uint8_t FileIO_ErrnoToIoError(int err);

// True for every value below 1024 (the size of the descriptor tables).
bool FileIO_LegalFileHandle(FileIO_File f);

// Opens an existing file with mode 0 read, 1 write, 2 read and write. A file too large
// for the normal interface is opened again with the large-file interface.
FileIO_File FileIO_Open(StrIn name, unsigned mode);
// Creates or truncates with permissions 0666 before the umask; mode 1 or 2 (0 is error 8).
FileIO_File FileIO_Create(StrIn name, unsigned mode);
// Closes and sets f to FileIO_Nil.
void FileIO_Close(FileIO_File& f);

// Raw transfer of up to n bytes; FileIO_bytesTransferred tells how many moved. A read of
// nothing at the end of the file sets ioError 1. A pushed-back character comes first.
void FileIO_Read(FileIO_File f, void* buffer, std::size_t n);
void FileIO_Write(FileIO_File f, const void* buffer, std::size_t n);

// Text character: a tab arrives as a blank, a carriage return is dropped, character 26
// and the end of the file set ioError 1 (ch is then NUL).
void FileIO_ReadChar(FileIO_File f, char& ch);
void FileIO_WriteChar(FileIO_File f, char ch);
// Pushes the last character read back; a second push-back before a read is error 7.
void FileIO_UngetChar(FileIO_File f);

// Positions are byte offsets as reals so that large files can be addressed.
void FileIO_Seek(FileIO_File f, double position, int whence);
double FileIO_GetPos(FileIO_File f);
void FileIO_Truncate(FileIO_File f, double length);
void FileIO_Sync(FileIO_File f);

FileIO_File FileIO_Dup(FileIO_File f);
void FileIO_Pipe(FileIO_File& readEnd, FileIO_File& writeEnd);
bool FileIO_IsaTTY(FileIO_File f);

// Advisory whole-file locks (fcntl): Lock waits for the lock, TestAndLock takes it only
// when free and tells whether it did, IsLocked tells whether another process holds one.
void FileIO_Lock(FileIO_File f);
void FileIO_UnLock(FileIO_File f);
bool FileIO_TestAndLock(FileIO_File f);
bool FileIO_IsLocked(FileIO_File f);

// Closes every descriptor this module opened (used at the end of the process).
void FileIO_CloseAll();
