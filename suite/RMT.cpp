// RMT: the remote tape server a remote shell starts on the device host. It serves one
// client on standard input and output with the remote magnetic tape protocol and the
// suite's extensions, on plain files, devices and virtual tapes (through the tape layer,
// so that every drive behind the tape seam can be reached).
//
// Requests (numbers in decimal):
//   A<device>\n<mode>\n   access test, mode 0..3 readable/writable/executable/exists:
//                         A1 when possible, A0 when not
//   O<device>\n<mode>\n   open (1 write-only, 2 read-write, else read-only; created
//                         files get 0666); closes a device still open
//   C[anything]\n         close
//   R<n>\n                read up to n bytes (one block of a tape): A<got> and the bytes
//   W<n>\n<n bytes>       write: A<written>
//   L<offset>\n<whence>\n seek: A<new position>
//   S\n                   A<flag> <modification time> <size>
//   TI<name>\n            runs the tape initialisation for the device part of name
//   TT<op>\n<count>\n     tape operation (0 rewind, 1 unload, 2 file marks, 3 forward
//                         files, 4 backward files, 5 end of data)
//   TP\n                  A0, then residual, file number and block number, one each
//   TS<n>\n               seek to file n (0 rewinds, -1 end of data)
//   TR<limit>\n           one block: A<status>, buffer size, data length, then the data
// Failures are "E<errno>\n<text>\n"; a request that cannot be understood is answered
// "F<errno>\n<text>\n" and ends the server, as does the end of standard input.
#include "Rmt.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Processe.hpp"
#include "TpTape.hpp"
#include "UArgs.hpp"

extern char** environ;

namespace {

constexpr std::size_t kMaxLine = 4096;
constexpr long long kMaxTransfer = 16LL << 20;

int device = -1;

[[noreturn]] void Exit(int status) {
  if (device >= 0) rmtclose(device);
  Processe_SetExitStatus(status);
  Processe_Exit();
}

void Put(const std::string& bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
      std::fflush(stdout) != 0) {
    Exit(1);
  }
}

void Value(const std::string& text) { Put("A" + text + "\n"); }
void Number(long long n) { Value(std::to_string(n)); }
void Error(int err) { Put("E" + std::to_string(err) + "\n" + std::strerror(err) + "\n"); }

[[noreturn]] void Fatal(const char* why) {
  Put("F" + std::to_string(EINVAL) + "\n" + why + "\n");
  Exit(1);
}

std::string Line() {
  std::string line;
  for (int c; (c = std::getc(stdin)) != '\n';) {
    if (c == EOF) Exit(0);
    if (line.size() == kMaxLine) Fatal("request line too long");
    line += static_cast<char>(c);
  }
  return line;
}

long long NumberLine() {
  long long n;
  if (!RmtReplyNumber(Line().c_str(), &n)) Fatal("number expected");
  return n;
}

bool Open() {
  if (device >= 0) return true;
  Error(EBADF);
  return false;
}

void Read(long long n) {
  if (n < 0 || n > kMaxTransfer) Fatal("byte count out of range");
  if (!Open()) return;
  std::vector<char> buffer(static_cast<std::size_t>(n));
  const long got = rmtread(device, buffer.data(), buffer.size());
  if (got < 0) return Error(errno);
  Put("A" + std::to_string(got) + "\n" + std::string(buffer.data(), static_cast<std::size_t>(got)));
}

void Write(long long n) {
  if (n < 0 || n > kMaxTransfer) Fatal("byte count out of range");
  std::vector<char> buffer(static_cast<std::size_t>(n));
  if (std::fread(buffer.data(), 1, buffer.size(), stdin) != buffer.size()) Exit(0);
  if (!Open()) return;
  const long done = rmtwrite(device, buffer.data(), buffer.size());
  return done < 0 ? Error(errno) : Number(done);
}

void Tape(int what) {
  switch (what) {
    case 'I': {
      const std::string name = Line();
      const std::size_t colon = name.find(':');
      const std::string dev = colon == std::string::npos ? name : name.substr(colon + 1);
      return rmtTpInitTape(dev.c_str(), true) == 0 ? Number(0) : Error(errno != 0 ? errno : EIO);
    }
    case 'T': {
      const long long op = NumberLine(), count = NumberLine();
      if (!Open()) return;
      return rmtTpTapeOp(device, static_cast<int>(op), static_cast<int>(count)) == 0 ? Number(0)
                                                                                     : Error(errno);
    }
    case 'P': {
      Line();
      if (!Open()) return;
      long residual, file, block;
      if (rmtTpGetPos(device, &residual, &file, &block) != 0) return Error(errno);
      return Put("A0\nA" + std::to_string(residual) + "\nA" + std::to_string(file) + "\nA" +
                 std::to_string(block) + "\n");
    }
    case 'S': {
      const long long n = NumberLine();
      if (!Open()) return;
      return rmtTpSeekTo(device, static_cast<int>(n)) == 0 ? Number(0) : Error(errno);
    }
    case 'R': {
      const long long limit = NumberLine();
      if (!Open()) return;
      char* buffer = nullptr;
      long size = 0;
      const long got = TpReadBlock(device, static_cast<long>(limit), &buffer, &size);
      if (got < 0) {
        std::free(buffer);
        return Error(errno);
      }
      Put("A" + std::to_string(got) + "\nA" + std::to_string(size) + "\nA" + std::to_string(got) +
          "\n" + std::string(buffer, static_cast<std::size_t>(got)));
      std::free(buffer);
      return;
    }
    default:
      Fatal("unknown tape request");
  }
}

void Serve() {
  for (;;) {
    const int c = std::getc(stdin);
    switch (c) {
      case EOF:
        Exit(0);
      case 'A': {
        const std::string name = Line();
        const long long mode = NumberLine();
        Number(rmtaccess(name.c_str(), true, static_cast<int>(mode)));
        break;
      }
      case 'O': {
        const std::string name = Line();
        const long long mode = NumberLine();
        if (device >= 0) rmtclose(device);
        device = rmtopen(name.c_str(), true, static_cast<int>(mode));
        device < 0 ? Error(errno) : Number(0);
        break;
      }
      case 'C': {
        Line();
        if (!Open()) break;
        const int rc = rmtclose(device);
        device = -1;
        rc == 0 ? Number(0) : Error(errno);
        break;
      }
      case 'R':
        Read(NumberLine());
        break;
      case 'W':
        Write(NumberLine());
        break;
      case 'L': {
        const long long offset = NumberLine(), whence = NumberLine();
        if (!Open()) break;
        const long long at = rmtlseek(device, offset, static_cast<int>(whence));
        at < 0 ? Error(errno) : Number(at);
        break;
      }
      case 'S': {
        Line();
        if (!Open()) break;
        int flag;
        long long time, size;
        if (rmtfstat(device, &flag, &time, &size) != 0) {
          Error(errno);
        } else {
          Value(std::to_string(flag) + " " + std::to_string(time) + " " + std::to_string(size));
        }
        break;
      }
      case 'T':
        Tape(std::getc(stdin));
        break;
      default:
        Fatal("unknown request");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  M2C_INIT(argc, argv, environ);
  Processe_Init();
  Rmt_Init();
  TpTape_Init();
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::printf(
        "usage: RMT\n"
        "The remote tape server: serves the remote tape protocol on standard input and\n"
        "output for the remote shell that started it.\n");
    Exit(0);
  }
  if (argc != 1) {
    std::fprintf(stderr, "usage: RMT (takes no arguments; --help tells more)\n");
    Exit(2);
  }
  Serve();
}
