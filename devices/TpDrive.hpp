// The seam beneath the tape layer: every control call on a magnetic-tape device goes
// through one table of operations. A real drive uses the Linux magnetic-tape interface;
// other drives (the virtual tape of this installation) register a table of their own and
// claim the paths that name them. Code above the seam opens a path and gets a
// descriptor; which drive serves that descriptor is known only here.
//
// Operations keep the system-call convention: a result of -1 with errno set on failure.
#pragma once

#include <sys/types.h>

#include <cstddef>

void TpDrive_Init();

struct TpDriveOps {
  const char* name;
  // True when the path names a drive of this kind (not asked of the Linux drive, which
  // takes every path no other drive claims).
  bool (*claims)(const char* path);
  // open(2) flags and creation mode; a descriptor of the process.
  int (*open)(const char* path, int flags, int mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buffer, std::size_t size);
  ssize_t (*write)(int fd, const void* buffer, std::size_t size);
  // A Linux mt_op (MTREW, MTUNLOAD, MTWEOF, MTFSF, MTBSF, MTEOM, ...) with its count.
  int (*tapeOp)(int fd, int op, int count);
  // mt_resid, mt_fileno and mt_blkno of the drive's status.
  int (*getPos)(int fd, long* residual, long* fileNumber, long* blockNumber);
  // 0 selects variable blocks.
  int (*setBlockSize)(int fd, int size);
};

// The Linux drive: open/close/read/write system calls and MTIOCTOP / MTIOCGET.
const TpDriveOps& TpDrive_Linux();

// Another kind of drive; asked before the Linux drive, the latest registered first.
void TpDrive_Register(const TpDriveOps& ops);

// The drive that claims the path (the Linux drive when none does).
const TpDriveOps& TpDrive_For(const char* path);
// The drive that serves an open descriptor (the Linux drive for a descriptor that was
// not opened through the seam).
const TpDriveOps& TpDrive_OfFd(int fd);

// Opens through the drive that claims the path and remembers it for the descriptor.
int TpDrive_Open(const char* path, int flags, int mode);
// Closes through the descriptor's drive and forgets it.
int TpDrive_Close(int fd);
ssize_t TpDrive_Read(int fd, void* buffer, std::size_t size);
ssize_t TpDrive_Write(int fd, const void* buffer, std::size_t size);
