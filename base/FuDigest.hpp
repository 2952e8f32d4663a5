// Checksums of file contents as text, for comparing copies on media with the originals:
// MD5 (32 lower-case hexadecimal digits), the CRC of the POSIX cksum utility (in
// decimal) and the sum of the sum utility in its System V form (decimal) or its BSD
// rotating form (five digits with leading zeros) - each the first field those utilities
// print.
//
// The whole-file functions return 0, or -1 after reporting MsgError("FUtils", 1) for a
// file that cannot be read (FuError and FuErrno as for the other Fu functions). The
// incremental forms take the contents in pieces of any size: Create, Update for each
// piece, Final writes the text and frees the context.
#pragma once

#include <cstddef>

void FuDigest_Init();

// Kinds of FuSum and SumCreate.
inline constexpr int FuSumSysV = 0;
inline constexpr int FuSumBSD = 1;

// digest must hold size bytes with the terminator (33 for MD5, 11 for the CRC, 6 for the
// sums are always enough); a text that does not fit is cut.
int FuMD5(const char* path, char* digest, std::size_t size);
int FuCRC32(const char* path, char* digest, std::size_t size);
int FuSum(const char* path, int kind, char* digest, std::size_t size);

struct MD5Context;
MD5Context* MD5Create();
void MD5Update(MD5Context* ctx, const void* data, std::size_t n);
void MD5Final(MD5Context* ctx, char* digest, std::size_t size);

struct CRC32Context;
CRC32Context* CRC32Create();
void CRC32Update(CRC32Context* ctx, const void* data, std::size_t n);
void CRC32Final(CRC32Context* ctx, char* digest, std::size_t size);

struct SumContext;
SumContext* SumCreate(int kind);
void SumUpdate(SumContext* ctx, const void* data, std::size_t n);
void SumFinal(SumContext* ctx, char* digest, std::size_t size);
