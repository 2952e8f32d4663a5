// The handle layer over local files and remote devices, used by the toolkit modules.
//
// A handle is a pair (kind, descriptor): kind BRmt_Local holds a FileIO file (raw
// descriptor I/O, so one read is one tape block), kind BRmt_Remote a connection number of
// the remote layer. Opening gives a handle or BRmt_Nil; the nil handle is illegal for
// every other call (they fail without touching anything).
//
// Naming: the C remote layer already owns the names RmtOpen, RmtRead, ... so the
// operations of this layer carry the module prefix instead: the handle layer's RmtX is
// BRmt_X here (BRmt_Open, BRmt_Read, BRmt_TpSeekTo, ...).
//
// A name is remote when local is false and it has the form [user "@"] host ":" device.
// Names are bounded strings of up to 2047 characters. Failures are false, nil or -1 and
// are not reported: the callers know what the failure means to the user.
#pragma once

#include <cstddef>

#include "FileIO.hpp"
#include "Strings.hpp"

void BRmt_Init();

enum class BRmt_Kind { Local = 0, Remote = 1 };

struct BRmt_FileRec {
  BRmt_Kind kind;
  int descriptor;  // a FileIO file or a connection number
};
using BRmt_File = BRmt_FileRec*;
inline constexpr BRmt_File BRmt_Nil = nullptr;

bool BRmt_LegalFileHandle(BRmt_File f);

// mode 0..3: readable, writable, executable, exists.
bool BRmt_Access(StrIn name, bool local, unsigned mode);
// mode 0 read, 1 write, 2 read and write. A local file must exist (the file layer opens
// existing files); the remote server creates one for modes 1 and 2.
BRmt_File BRmt_Open(StrIn name, bool local, unsigned mode);
// The same for "user@host:device" ("host:device" without user); an empty host means
// the device on this host.
bool BRmt_Access1(StrIn user, StrIn host, StrIn device, unsigned mode);
BRmt_File BRmt_Open1(StrIn user, StrIn host, StrIn device, unsigned mode);
bool BRmt_TpInitTape1(StrIn user, StrIn host, StrIn device);

// Closes and sets f to BRmt_Nil (also when closing failed).
bool BRmt_Close(BRmt_File& f);
// Bytes moved (0 at the end of a file or at a file mark) or -1.
long BRmt_Read(BRmt_File f, void* buffer, std::size_t length);
long BRmt_Write(BRmt_File f, const void* buffer, std::size_t length);
// Offsets are reals so that large files can be addressed. The new position or -1.
double BRmt_LSeek(BRmt_File f, double offset, int whence);
// flag (0 for a local file), modification time (seconds since 1970) and size in bytes.
bool BRmt_FStat(BRmt_File f, int& flag, double& modifyTime, double& size);

// Tape calls: local handles go through TAPEsupp, remote ones to the device's host.
bool BRmt_TpInitTape(StrIn name, bool local);
bool BRmt_TpTapeOp(BRmt_File f, int op, int count);
bool BRmt_TpGetPos(BRmt_File f, long& residual, long& fileNumber, long& blockNumber);
bool BRmt_TpSeekTo(BRmt_File f, int n);
// One block. limit caps the bytes offered to a local read (0: no cap); the remote server
// always uses its own limits. Without a caller's buffer (*buffer null) one is allocated
// (malloc) and handed back with its size. Bytes read or -1.
long BRmt_TpReadBlock(BRmt_File f, long limit, char** buffer, long* size);
