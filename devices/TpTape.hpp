// The C tape layer: magnetic-tape operations on an open descriptor, the default tape
// name, and recognition of tar and cpio headers in a first block.
//
// Every drive call goes through the tape seam (TpDrive), so the same calls serve a
// Linux tape device and a virtual tape. Functions return 0 or -1 (or a truth value);
// on failure TpError keeps the layer's code and TpErrno the system error number.
#pragma once

#include <cstddef>

void TpTape_Init();

// Operation codes of TpTapeOp.
enum : int {
  TpRewind = 0,
  TpUnload = 1,
  TpWriteFileMarks = 2,
  TpForwardSpaceFiles = 3,
  TpBackwardSpaceFiles = 4,
  TpSpaceToEndOfData = 5,
};

// Layer error codes (texts through TpStrError).
enum : int {
  TpErrNone = 0,
  TpErrRead = 1,
  TpErrTapeOp = 2,
  TpErrGetPos = 3,
  TpErrGetBlockLimits = 4,
  TpErrSetBlockSize = 5,
  TpErrGetBlockSize = 6,
  TpErrReadBlockAlloc = 7,
};

extern int TpError;
extern int TpErrno;

// The text of a layer error code, NUL-terminated within length bytes.
void TpStrError(int code, char* buffer, std::size_t length);

// Runs "<ZOLTLIB>/bin/.tapeinit.sh '<device>'" when that script exists. -1 when the
// command cannot run, dies by a signal or exits non-zero; else 0 (also without script).
int TpInitTape(const char* device);

int TpTapeOp(int fd, int op, int count);
int TpGetPos(int fd, long* residual, long* fileNumber, long* blockNumber);
// Always 1, 32768 and 32768 without asking the drive.
int TpGetBlockLimits(int fd, long* minimum, long* maximum, long* preferred);
// 0 selects variable blocks.
int TpSetBlockSize(int fd, int size);
// n = 0 rewinds; n = -1 spaces to the end of recorded data; otherwise rewinds and spaces
// forward n files.
int TpSeekTo(int fd, int n);
// Reads one block with one read. With a caller's buffer (*buffer set) *size bytes are
// offered; otherwise a buffer of the largest block limit is allocated (malloc) and
// handed back through buffer and size, or freed when buffer is null. A limit above 0
// caps the bytes offered. Bytes read, or -1 (error 1; 7 when no buffer could be had).
long TpReadBlock(int fd, long limit, char** buffer, long* size);

// TAPE when set; else with STDTAPE set "/dev/rmt0" when it is "TAPE" and "/dev/exa"
// otherwise; else "/dev/nst0".
void TpGetDefaultTapeName(char* buffer, std::size_t length);
// True when OS is "XENIX".
bool TpTapeAutoWFM();

// What a recogniser found in a header. The name is cut to nameLength - 1 characters.
struct TpTime {
  int day, month, year, hour, minute, second;  // local time, month 1..12
};
struct TpEntry {
  char* name;
  std::size_t nameLength;
  TpTime time;
  long headerLength;
  long long dataLength;
  const char* cpioOptions;  // TpIsCpio: "" binary, "-H odc", "-c"
};
// Each needs at least 512 bytes; false (entry untouched) when the block is not of the
// kind. TpIsTar: "ustar\0" at offset 257; TpIsGTar: "ustar  \0" at offset 257.
bool TpIsTar(const unsigned char* block, std::size_t size, TpEntry& entry);
bool TpIsGTar(const unsigned char* block, std::size_t size, TpEntry& entry);
// Binary in either byte order, portable ASCII "070707" and new ASCII "070701".
bool TpIsCpio(const unsigned char* block, std::size_t size, TpEntry& entry);
