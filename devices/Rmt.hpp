// The C remote layer: devices on other hosts through the remote tape protocol, spoken
// over a pipe pair to a remote shell that runs the remote tape server "RMT" there, and
// the lower-case rmt functions that choose between local calls and the remote ones.
//
// A remote name is [user "@"] host ":" device. A connection runs
//   <remote shell> host [-l user] RMT
// where the remote shell is "/usr/bin/rsh", or the program named by the environment
// variable VM_REMOTE_SHELL when it is set and not empty. At most four connections are
// open at once; one more fails with EMFILE.
//
// Requests are text lines, replies lines of at most 64 characters: "A<value>" success,
// "E<errno>" then a text line: failure, the connection stays; "F<errno>" then a text
// line: failure, the connection is closed. Anything else, a reply cut short or not
// arriving in time, or a failed write closes the connection with EIO. Failures are -1
// with errno set.
#pragma once

#include <sys/types.h>

#include <cstddef>

void Rmt_Init();

inline constexpr int RmtMaxConnections = 4;
// Descriptors of the lower-case functions above this value are remote connections.
inline constexpr int RmtRemoteBase = 8192;

// True when the name contains a colon.
bool IsRemDevname(const char* name);
// True for a descriptor of the lower-case functions that is a remote connection.
bool isrmt(int fd);

// How long a reply may take: until its first byte (tape motion can take minutes) and
// between the bytes after that. Defaults 20 minutes and 60 seconds.
void RmtSetTimeouts(int firstByteMs, int nextByteMs);

// ---- On connection numbers 0..3 ----

// mode 0..3: readable, writable, executable, exists. The server's answer (1 when the
// access is possible); the connection is closed afterwards.
int RmtAccess(const char* name, bool local, int mode);
// mode 1 write-only, 2 read-write, else read-only. The connection number.
int RmtOpen(const char* name, bool local, int mode);
int RmtClose(int conn);
long RmtRead(int conn, char* buffer, std::size_t length);
long RmtWrite(int conn, const char* buffer, std::size_t length);
long long RmtLSeek(int conn, long long offset, int whence);
int RmtFStat(int conn, int* flag, long long* modifyTime, long long* size);
// Runs the device host's tape initialisation; the connection is closed afterwards.
int RmtTpInitTape(const char* name, bool local);
int RmtTpTapeOp(int conn, int op, int count);
int RmtTpGetPos(int conn, long* residual, long* fileNumber, long* blockNumber);
int RmtTpSeekTo(int conn, int n);
// One block; without a caller's buffer (*buffer null) one of the reported size is
// allocated (malloc) and handed back. Bytes read or -1.
long RmtTpReadBlock(int conn, char** buffer, long* size);

// ---- Choosing: local descriptors 0..8191, remote ones 8192 + connection ----

int rmtaccess(const char* name, bool local, int mode);
int rmtopen(const char* path, bool local, int mode);
long rmtread(int fd, char* buffer, std::size_t length);
long rmtwrite(int fd, const char* buffer, std::size_t length);
long long rmtlseek(int fd, long long offset, int whence);
int rmtclose(int fd);
// flag (0 locally), modification time, size.
int rmtfstat(int fd, int* flag, long long* modifyTime, long long* size);
int rmtTpInitTape(const char* name, bool local);
int rmtTpTapeOp(int fd, int op, int count);
int rmtTpGetPos(int fd, long* residual, long* fileNumber, long* blockNumber);
int rmtTpSeekTo(int fd, int n);
long rmtTpReadBlock(int fd, char** buffer, long* size);
// With an empty host the device on this host, otherwise "user@host:device" (or
// "host:device" without user).
int rmtaccess1(const char* user, const char* host, const char* device, int mode);
int rmtopen1(const char* user, const char* host, const char* device, int mode);
int rmtTpInitTape1(const char* user, const char* host, const char* device);

// ---- The reply reader (shared with the server's tests and the fuzz target) ----

enum class RmtReply { Value, Error, Fatal, Broken };
// Reads one reply from fd: Value with the text after "A" in value (NUL-terminated
// within size); Error ("E") or Fatal ("F") with the error number in *err after the text
// line has been read and dropped; Broken for anything else.
RmtReply RmtReadReply(int fd, char* value, std::size_t size, int* err);
// A decimal number (optional sign) and nothing else.
bool RmtReplyNumber(const char* text, long long* value);
