// vtape: operates a tape drive from shell scripts the way mt and dd do, and makes and
// inspects virtual tapes. The drive is reached through the tape layer, so the device
// may be a virtual tape directory, a Linux tape device or a remote host:device.
//
//   vtape create DIR [CAPACITY]          a new, empty virtual tape (bytes; k, M, G)
//   vtape [-f DEVICE] COMMAND [COUNT]    rewind, offline (unload), load, weof, fsf, bsf,
//                                        eod, setblk SIZE (0: variable), status,
//                                        protect on|off (virtual tapes)
//   vtape [-f DEVICE] write [BLOCKSIZE]  standard input as blocks of BLOCKSIZE (default
//                                        10240); closing writes a file mark
//   vtape [-f DEVICE] read [BUFSIZE]     one tape file to standard output, up to its file
//                                        mark; one block per read
// DEVICE defaults to the tape layer's default name (TAPE, ...). Exit status 0 on
// success, 1 when the drive refuses, 2 for a wrong command line.
#include <fcntl.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Processe.hpp"
#include "Rmt.hpp"
#include "TpDrive.hpp"
#include "TpTape.hpp"
#include "TpVirt.hpp"
#include "UArgs.hpp"

extern char** environ;

namespace {

const char* kUsage =
    "usage: vtape create DIR [CAPACITY]\n"
    "       vtape [-f DEVICE] rewind|offline|load|eod|status\n"
    "       vtape [-f DEVICE] weof|fsf|bsf [COUNT]\n"
    "       vtape [-f DEVICE] setblk SIZE\n"
    "       vtape [-f DEVICE] protect on|off\n"
    "       vtape [-f DEVICE] write [BLOCKSIZE]\n"
    "       vtape [-f DEVICE] read [BUFSIZE]\n";

[[noreturn]] void Exit(int status) {
  std::fflush(stdout);
  Processe_SetExitStatus(status);
  Processe_Exit();
}

[[noreturn]] void Usage(const char* why) {
  if (why != nullptr) std::fprintf(stderr, "vtape: %s\n", why);
  std::fputs(kUsage, stderr);
  Exit(2);
}

[[noreturn]] void Refused(const std::string& device, const char* what, int err) {
  std::fprintf(stderr, "vtape: %s: %s: %s\n", device.c_str(), what, std::strerror(err));
  Exit(1);
}

// A count or size: digits with an optional k, M or G.
bool Size(const char* text, long long& value) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || v < 0) return false;
  if (*end == 'k')
    v <<= 10, ++end;
  else if (*end == 'M')
    v <<= 20, ++end;
  else if (*end == 'G')
    v <<= 30, ++end;
  if (*end != '\0') return false;
  value = v;
  return true;
}

long long Arg(const std::vector<std::string>& args, std::size_t i, long long fallback,
              long long max) {
  if (args.size() <= i) return fallback;
  if (args.size() > i + 1) Usage("too many arguments");
  long long v;
  if (!Size(args[i].c_str(), v) || v > max) Usage("not a count or size");
  return v;
}

int Open(const std::string& device, int mode) {
  const int fd = rmtopen(device.c_str(), false, mode);
  if (fd < 0) Refused(device, "cannot open", errno);
  return fd;
}

void Close(const std::string& device, int fd) {
  if (rmtclose(fd) != 0) Refused(device, "close", errno);
}

void Status(const std::string& device) {
  const int fd = Open(device, 0);
  long residual, file, block;
  if (rmtTpGetPos(fd, &residual, &file, &block) != 0) Refused(device, "status", errno);
  Close(device, fd);
  std::printf("file number %ld\nblock number %ld\nresidual %ld\n", file, block, residual);
  TpVirt_Status s;
  std::string error;
  if (TpVirt_IsVirtual(device.c_str()) && TpVirt_GetStatus(device.c_str(), s, error)) {
    std::printf("capacity %.0f\nused %.0f\nblock size %d\nfiles %ld\nfile marks %ld\n%s\n%s\n",
                s.capacity, s.used, s.blockSize, s.files, s.marks,
                s.writeProtected ? "write protected" : "writable",
                s.loaded ? "loaded" : "unloaded");
  }
}

void Write(const std::string& device, long long blockSize) {
  const int fd = Open(device, 1);
  std::vector<char> block(static_cast<std::size_t>(blockSize));
  for (;;) {
    std::size_t got = 0;
    while (got < block.size()) {
      const ssize_t n = ::read(0, block.data() + got, block.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Refused("standard input", "read", errno);
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got == 0) break;
    if (rmtwrite(fd, block.data(), got) != static_cast<long>(got)) {
      const int err = errno;
      rmtclose(fd);
      Refused(device, err == ENOSPC ? "end of tape" : "write", err);
    }
    if (got < block.size()) break;
  }
  Close(device, fd);
}

void Read(const std::string& device, long long bufferSize) {
  const int fd = Open(device, 0);
  std::vector<char> block(static_cast<std::size_t>(bufferSize));
  for (;;) {
    const long n = rmtread(fd, block.data(), block.size());
    if (n == 0) break;
    if (n < 0) {
      const int err = errno;
      rmtclose(fd);
      Refused(device, err == EIO ? "read (end of recorded data?)" : "read", err);
    }
    if (std::fwrite(block.data(), 1, static_cast<std::size_t>(n), stdout) !=
        static_cast<std::size_t>(n)) {
      Refused("standard output", "write", errno);
    }
  }
  Close(device, fd);
}

void Motion(const std::string& device, int op, long long count) {
  const int fd = Open(device, op == TpWriteFileMarks ? 2 : 0);
  if (rmtTpTapeOp(fd, op, static_cast<int>(count)) != 0) {
    const int err = errno;
    rmtclose(fd);
    Refused(device, "tape operation", err);
  }
  Close(device, fd);
}

}  // namespace

int main(int argc, char** argv) {
  M2C_INIT(argc, argv, environ);
  Processe_Init();
  Rmt_Init();
  TpTape_Init();
  TpVirt_Init();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kUsage, stdout);
    Exit(0);
  }
  char name[1024];
  TpGetDefaultTapeName(name, sizeof name);
  std::string device = name;
  if (args.size() >= 2 && args[0] == "-f") {
    device = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) Usage("no command");
  const std::string command = args[0];
  constexpr long long kMaxCount = 1 << 30;
  if (command == "create") {
    if (args.size() < 2) Usage("create needs a directory");
    const long long capacity = Arg(args, 2, 64LL << 20, 1LL << 50);
    std::string error;
    if (!TpVirt_Create(args[1].c_str(), static_cast<double>(capacity), error)) {
      std::fprintf(stderr, "vtape: %s\n", error.c_str());
      Exit(1);
    }
  } else if (command == "status" && args.size() == 1) {
    Status(device);
  } else if (command == "rewind" && args.size() == 1) {
    Motion(device, TpRewind, 1);
  } else if ((command == "offline" || command == "unload") && args.size() == 1) {
    Motion(device, TpUnload, 1);
  } else if (command == "eod" && args.size() == 1) {
    Motion(device, TpSpaceToEndOfData, 1);
  } else if (command == "weof" || command == "eof") {
    Motion(device, TpWriteFileMarks, Arg(args, 1, 1, kMaxCount));
  } else if (command == "fsf") {
    Motion(device, TpForwardSpaceFiles, Arg(args, 1, 1, kMaxCount));
  } else if (command == "bsf") {
    Motion(device, TpBackwardSpaceFiles, Arg(args, 1, 1, kMaxCount));
  } else if (command == "load" && args.size() == 1) {
    const int fd = Open(device, 0);
    if (TpDrive_OfFd(fd).tapeOp(fd, MTLOAD, 1) != 0) Refused(device, "load", errno);
    Close(device, fd);
  } else if (command == "setblk" && args.size() == 2) {
    const int fd = Open(device, 0);
    if (isrmt(fd) || TpSetBlockSize(fd, static_cast<int>(Arg(args, 1, 0, 16 << 20))) != 0) {
      Refused(device, "setblk", isrmt(fd) ? ENOTSUP : errno);
    }
    Close(device, fd);
  } else if (command == "protect" && args.size() == 2 && (args[1] == "on" || args[1] == "off")) {
    std::string error;
    if (!TpVirt_SetProtected(device.c_str(), args[1] == "on", error)) {
      std::fprintf(stderr, "vtape: %s\n", error.c_str());
      Exit(1);
    }
  } else if (command == "write") {
    Write(device, Arg(args, 1, 10240, 16 << 20) > 0 ? Arg(args, 1, 10240, 16 << 20) : 10240);
  } else if (command == "read") {
    Read(device, Arg(args, 1, 262144, 16 << 20) > 0 ? Arg(args, 1, 262144, 16 << 20) : 262144);
  } else {
    Usage("unknown command or wrong arguments");
  }
  Exit(0);
}
