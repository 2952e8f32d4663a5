// The virtual tape drive: a drive behind the tape seam for machines without a tape
// drive. A virtual tape is a directory holding the drive's state ("vtape.state", a short
// text file), one data file per tape file ("file.0", "file.1", ...: each block as a
// 4-byte little-endian length and its bytes) and a lock file ("vtape.lock").
//
// Through the seam it behaves like a non-rewinding Linux tape device:
//  - blocks are variable (one block per read or write) or fixed (MTSETBLK with a size:
//    writes and reads move whole blocks of that size, several per call);
//  - a read of a block larger than the buffer fails with ENOMEM and skips the block;
//  - reading a file mark gives 0 bytes and moves to block 0 of the next file; reading at
//    the end of recorded data fails with EIO;
//  - writing erases everything after the position; closing after a write writes a file
//    mark;
//  - MTREW, MTOFFL/MTUNLOAD (rewinds, then every operation fails with ENOMEDIUM until
//    MTLOAD), MTLOAD, MTWEOF, MTFSF, MTBSF (stops before the mark: block number unknown,
//    -1, until the next file mark is crossed), MTEOM, MTSETBLK, MTNOP; spacing past
//    either end fails with EIO and stops at that end;
//  - a write-protected tape refuses opening for writing (EROFS);
//  - the capacity counts the bytes of all blocks: a write that would exceed it fails
//    with ENOSPC and changes nothing;
//  - one process at a time: a second open fails with EBUSY.
// Position, block size, protection and loading survive closing, as on a drive.
//
// A state file that cannot be read or does not agree with the data files is refused:
// the open fails with EIO after "vtape: <dir>: damaged drive state: <reason>" on
// standard error. Nothing is reset silently.
#pragma once

#include <string>

#include "TpDrive.hpp"

void TpVirt_Init();

// The table of the virtual drive (registered with the seam by TpVirt_Init).
const TpDriveOps& TpVirt_Ops();

// True when path is a directory holding a virtual tape.
bool TpVirt_IsVirtual(const char* path);

// Makes an empty, loaded, writable virtual tape in dir (created when missing) with the
// capacity in bytes. False (errno set, message in error) when dir holds one already or
// cannot be written.
bool TpVirt_Create(const char* dir, double capacity, std::string& error);

// What the drive's state says, read without opening the drive.
struct TpVirt_Status {
  double capacity = 0, used = 0;
  int blockSize = 0;
  bool writeProtected = false, loaded = true;
  long files = 0, marks = 0;
  long fileNumber = 0, blockNumber = 0;  // -1: not known
};
bool TpVirt_GetStatus(const char* dir, TpVirt_Status& status, std::string& error);

// Slides the tape's write-protect tab (the drive must not be open elsewhere).
bool TpVirt_SetProtected(const char* dir, bool on, std::string& error);
