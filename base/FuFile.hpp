// File utilities on NUL-terminated strings for the C-style layers: copy, move, remove,
// compare, disk usage, output, search, tree walk, directory creation, lookup along a
// path, backup copies and log cutting.
//
// Failures are reported as MsgError("FUtils", n) with the file name as additional
// information (texts in the catalogue "LBASEmsg"); FuError() and FuErrno() keep n and
// the system error number that went with it until the next Fu call. Outside an ignore
// bracket a failure is fatal like every reported error.
//
// FUtils numbers:
//   1 a file cannot be read          2 a file cannot be written
//   3 a file cannot be removed       4 a directory cannot be created
//   5 not found along a search path  6 a file cannot be examined
//   7 a file cannot be moved         8 a search pattern is not valid
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdio>

void FuFile_Init();

// The FUtils number of the last failure (0 after a success) and its system error number.
int FuError();
int FuErrno();
// For the Fu functions of other files: FuClearError at the start of each call, FuFail to
// report n for path with the system error err (0 for none); FuFail returns -1.
void FuClearError();
int FuFail(int n, int err, const char* op, const char* path);

// Copies a file, a symbolic link (as a link) or a whole tree; when to is an existing
// directory the copy goes into it under from's last component. Permissions and times
// are kept. 0 or -1.
int FuCp(const char* from, const char* to);
// Renames; across file systems copies and removes the original. Same target rule as
// FuCp. 0 or -1.
int FuMv(const char* from, const char* to);
// Removes a file, a symbolic link or a whole tree. 0 or -1 (also when nothing is there).
int FuRm(const char* path);
// 0 when both files have the same contents, 1 when they differ, -1 when one cannot be read.
int FuCmp(const char* a, const char* b);
// Bytes the file or tree occupies on disk (files with several links counted once);
// -1 on failure.
double FuDu(const char* path);
// Writes the file's contents to stream. 0 or -1.
int FuCat(const char* path, std::FILE* stream);
// Lines of the file that contain text (FuGrep) or match the extended regular
// expression pattern (FuGrepPat); the lines go to out unless it is null. The number of
// lines, -1 on failure.
long FuGrep(const char* path, const char* text, std::FILE* out);
long FuGrepPat(const char* path, const char* pattern, std::FILE* out);

// Kinds of entry a tree walk hands to its function.
enum FuFTWKind {
  FuFTW_F = 0,    // anything but a directory or symbolic link
  FuFTW_D = 1,    // a directory, before its contents
  FuFTW_SL = 2,   // a symbolic link (not followed)
  FuFTW_DNR = 3,  // a directory that cannot be read
  FuFTW_NS = 4,   // an entry that cannot be examined (st is null)
};
// Returns 0 to go on; anything else ends the walk and is its result.
using FuFTWFunc = int (*)(const char* path, const struct stat* st, int kind, void* data);
// Walks path and everything below it, names in ascending byte order. The first non-zero
// result of fn, 0 at the end, -1 when path itself cannot be examined.
int FuFTW(const char* path, FuFTWFunc fn, void* data);

// Creates the directory and its missing parents, each created one with mode (before the
// umask). True when the directory exists afterwards.
bool FuAssertDir(const char* path, unsigned mode);

// The first of searchPath's colon-separated directories (an empty element is the current
// directory) that holds name with the access mode (R_OK, W_OK, X_OK, F_OK); a name with
// a "/" is taken as it is. The path goes to result (size bytes with the terminator).
// Combinations too long for result are skipped with "FuLookup: path too long %s/%s\n"
// on standard error. False (error 5) when none fits.
bool FuLookup(const char* name, const char* searchPath, int accessMode, char* result,
              std::size_t size);

// Keeps a copy of the file as path + ".bak" (replacing an older one) before the file is
// rewritten; a missing file needs none. 0 or -1.
int FuBackupFile(const char* path);
// When the log file is larger than maxSize bytes, keeps only its end: at most keepSize
// bytes, starting at a line. 1 when it was cut, 0 when not needed, -1 on failure.
int FuCutLog(const char* path, double maxSize, double keepSize);
