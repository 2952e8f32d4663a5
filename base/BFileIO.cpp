#include "BFileIO.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "Messages.hpp"
#include "SPrintf.hpp"
#include "UCommon.hpp"

BFileIO_File BFileIO_stdin = stdin;
BFileIO_File BFileIO_stdout = stdout;
BFileIO_File BFileIO_stderr = stderr;

std::uint8_t BFileIO_ioError = 0;
std::size_t BFileIO_bytesTransferred = 0;

namespace {

// What the module knows about the stream on one descriptor. The name only serves the
// reports.
struct Slot {
  bool pushedBack = false;
  int lastChar = -1;  // last character read, -1 after the end of the file
  bool largeFile = false;
  std::string name;
};

Slot slots[FileIO_MaxFiles];

Slot* SlotOf(BFileIO_File f) {
  if (f == nullptr) return nullptr;
  const int fd = ::fileno(f);
  return fd >= 0 && fd < FileIO_MaxFiles ? &slots[fd] : nullptr;
}

std::string NameOf(BFileIO_File f) {
  const Slot* s = SlotOf(f);
  return s != nullptr ? s->name : std::string();
}

// The buffered files number a file too large and a broken pipe one higher than the
// descriptor files.
std::uint8_t FromFileIO(std::uint8_t v) { return v == 12 || v == 13 ? v + 1 : v; }

std::uint8_t FromErrno(int err) { return FromFileIO(FileIO_ErrnoToIoError(err)); }

void Report(const std::string& name) {
  if (BFileIO_ioError <= 1) return;
  if (BFileIO_ioError == 3 || BFileIO_ioError == 8 || BFileIO_ioError == 11) {
    char text[1024];
    Messages_GetMsg("BFileIO", 1, text);
    SPrintf_String(text, name);
    Messages_SupplyAdditionalInfo(text);
  }
  Messages_Error("BFileIO", BFileIO_ioError);
}

void Fail(const std::string& name) {
  BFileIO_ioError = FromErrno(errno);
  Report(name);
}

void FailWith(std::uint8_t value, const std::string& name) {
  BFileIO_ioError = value;
  Report(name);
}

bool CheckHandle(BFileIO_File f) {
  if (f == nullptr) {
    FailWith(5, "");
    return false;
  }
  return true;
}

// Takes a freshly opened stream into the table, or refuses it when its descriptor lies
// beyond the table (error 4; the stream is closed again).
BFileIO_File Register(BFileIO_File f, bool large, const std::string& name) {
  Slot* s = SlotOf(f);
  if (s == nullptr) {
    std::fclose(f);
    FailWith(4, name);
    return BFileIO_Nil;
  }
  *s = Slot{};
  s->largeFile = large;
  s->name = name;
  return f;
}

const char* OpenMode(unsigned mode) {
  switch (mode) {
    case FileIO_writeOnly:
      return "w";
    case FileIO_readWrite:
      return "r+";
    default:
      return "r";
  }
}

BFileIO_File OpenStream(StrIn name, unsigned mode, bool alwaysLarge) {
  BFileIO_ioError = 0;
  const std::string path = name.str();
  bool large = alwaysLarge;
  std::FILE* f =
      large ? ::fopen64(path.c_str(), OpenMode(mode)) : std::fopen(path.c_str(), OpenMode(mode));
  if (f == nullptr && !large && (errno == EFBIG || errno == EOVERFLOW)) {
    large = true;
    f = ::fopen64(path.c_str(), OpenMode(mode));
  }
  if (f == nullptr) {
    Fail(path);
    return BFileIO_Nil;
  }
  return Register(f, large, path);
}

BFileIO_File CreateStream(StrIn name, unsigned mode, bool large) {
  BFileIO_ioError = 0;
  const std::string path = name.str();
  if (mode != FileIO_writeOnly && mode != FileIO_readWrite) {
    FailWith(8, path);
    return BFileIO_Nil;
  }
  const char* how = mode == FileIO_writeOnly ? "w" : "w+";
  std::FILE* f = large ? ::fopen64(path.c_str(), how) : std::fopen(path.c_str(), how);
  if (f == nullptr) {
    Fail(path);
    return BFileIO_Nil;
  }
  return Register(f, large, path);
}

// The access mode of an open descriptor.
unsigned ModeOf(int fd) {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0) return FileIO_readOnly;
  switch (fl & O_ACCMODE) {
    case O_WRONLY:
      return FileIO_writeOnly;
    case O_RDWR:
      return FileIO_readWrite;
    default:
      return FileIO_readOnly;
  }
}

// A pending push-back of a real character stands one byte before the stream position.
bool PendingChar(const Slot* s) { return s != nullptr && s->pushedBack && s->lastChar >= 0; }

}  // namespace

void BFileIO_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BFileIO");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  SPrintf_Init();
  Messages_Init();
  FileIO_Init();
}

bool BFileIO_LegalFileHandle(BFileIO_File f) { return f != BFileIO_Nil; }

BFileIO_File BFileIO_Open(StrIn name, unsigned mode) { return OpenStream(name, mode, false); }

BFileIO_File BFileIO_OpenLargeFile(StrIn name, unsigned mode) {
  return OpenStream(name, mode, true);
}

BFileIO_File BFileIO_Create(StrIn name, unsigned mode) { return CreateStream(name, mode, false); }

BFileIO_File BFileIO_CreateLargeFile(StrIn name, unsigned mode) {
  return CreateStream(name, mode, true);
}

BFileIO_File BFileIO_FileDescOpen(FileIO_File fd, unsigned mode) {
  BFileIO_ioError = 0;
  const std::string name = "descriptor " + std::to_string(fd);
  if (fd < 0) {
    FailWith(5, name);
    return BFileIO_Nil;
  }
  if (fd >= FileIO_MaxFiles) {
    FailWith(4, name);
    return BFileIO_Nil;
  }
  std::FILE* f = ::fdopen(fd, OpenMode(mode));
  if (f == nullptr) {
    Fail(name);
    return BFileIO_Nil;
  }
  return Register(f, false, name);
}

void BFileIO_Close(BFileIO_File& f) {
  BFileIO_ioError = 0;
  if (f == BFileIO_Nil) return;
  Slot* s = SlotOf(f);
  const std::string name = s != nullptr ? s->name : std::string();
  if (s != nullptr) *s = Slot{};
  const int rc = std::fclose(f);
  f = BFileIO_Nil;
  if (rc != 0) Fail(name);
}

void BFileIO_Read(BFileIO_File f, void* buffer, std::size_t n) {
  BFileIO_ioError = 0;
  BFileIO_bytesTransferred = 0;
  if (!CheckHandle(f) || n == 0) return;
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  Slot* s = SlotOf(f);
  if (s != nullptr && s->pushedBack) {
    s->pushedBack = false;
    if (s->lastChar >= 0) out[done++] = static_cast<unsigned char>(s->lastChar);
  }
  if (done < n) done += std::fread(out + done, 1, n - done, f);
  BFileIO_bytesTransferred = done;
  if (done < n && std::ferror(f)) {
    Fail(NameOf(f));
    return;
  }
  if (done == 0) {
    BFileIO_ioError = 1;
  } else if (s != nullptr) {
    s->lastChar = out[done - 1];
  }
}

void BFileIO_Write(BFileIO_File f, const void* buffer, std::size_t n) {
  BFileIO_ioError = 0;
  BFileIO_bytesTransferred = 0;
  if (!CheckHandle(f)) return;
  BFileIO_bytesTransferred = std::fwrite(buffer, 1, n, f);
  if (BFileIO_bytesTransferred < n) Fail(NameOf(f));
}

void BFileIO_ReadChar(BFileIO_File f, char& ch) {
  BFileIO_ioError = 0;
  ch = '\0';
  if (!CheckHandle(f)) return;
  Slot* s = SlotOf(f);
  int c;
  if (s != nullptr && s->pushedBack) {
    s->pushedBack = false;
    c = s->lastChar;
  } else {
    do {
      c = std::getc(f);
    } while (c == '\r');
    if (c == EOF && std::ferror(f)) {
      Fail(NameOf(f));
      return;
    }
    if (c == EOF) c = -1;
    if (s != nullptr) s->lastChar = c;
  }
  if (c == -1 || c == 26) {
    BFileIO_ioError = 1;
    return;
  }
  ch = c == '\t' ? ' ' : static_cast<char>(c);
}

void BFileIO_WriteChar(BFileIO_File f, char ch) {
  BFileIO_ioError = 0;
  BFileIO_bytesTransferred = 0;
  if (!CheckHandle(f)) return;
  if (std::putc(static_cast<unsigned char>(ch), f) == EOF) {
    Fail(NameOf(f));
    return;
  }
  BFileIO_bytesTransferred = 1;
}

void BFileIO_UngetChar(BFileIO_File f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  Slot* s = SlotOf(f);
  if (s == nullptr) {
    FailWith(5, "");
    return;
  }
  if (s->pushedBack) {
    FailWith(7, s->name);
    return;
  }
  s->pushedBack = true;
}

void BFileIO_Flush(BFileIO_File f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  if (std::fflush(f) != 0) Fail(NameOf(f));
}

void BFileIO_Sync(BFileIO_File f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  if (std::fflush(f) != 0 || ::fsync(::fileno(f)) != 0) Fail(NameOf(f));
}

void BFileIO_Seek(BFileIO_File f, double position, int whence) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  const int how = whence == 1 ? SEEK_CUR : whence == 2 ? SEEK_END : SEEK_SET;
  auto offset = static_cast<off64_t>(position);
  Slot* s = SlotOf(f);
  if (how == SEEK_CUR && PendingChar(s)) offset -= 1;
  if (s != nullptr) s->pushedBack = false;
  if (::fseeko64(f, offset, how) != 0) Fail(NameOf(f));
}

double BFileIO_GetPos(BFileIO_File f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return 0.0;
  const off64_t pos = ::ftello64(f);
  if (pos < 0) {
    Fail(NameOf(f));
    return 0.0;
  }
  return static_cast<double>(PendingChar(SlotOf(f)) ? pos - 1 : pos);
}

void BFileIO_Truncate(BFileIO_File f, double length) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  if (std::fflush(f) != 0 || ::ftruncate64(::fileno(f), static_cast<off64_t>(length)) != 0) {
    Fail(NameOf(f));
  }
}

FileIO_File BFileIO_FileDesc(BFileIO_File f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return FileIO_Nil;
  return ::fileno(f);
}

BFileIO_File BFileIO_POpen(StrIn command, unsigned mode) {
  BFileIO_ioError = 0;
  const std::string cmd = command.str();
  if (mode != FileIO_readOnly && mode != FileIO_writeOnly) {
    FailWith(8, cmd);
    return BFileIO_Nil;
  }
  std::fflush(nullptr);  // the command must not repeat our buffered output
  std::FILE* f = ::popen(cmd.c_str(), mode == FileIO_readOnly ? "r" : "w");
  if (f == nullptr) {
    Fail(cmd);
    return BFileIO_Nil;
  }
  Slot* s = SlotOf(f);
  if (s == nullptr) {
    ::pclose(f);
    FailWith(4, cmd);
    return BFileIO_Nil;
  }
  *s = Slot{};
  s->name = cmd;
  return f;
}

int BFileIO_PClose(BFileIO_File& f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return -1;
  Slot* s = SlotOf(f);
  const std::string name = s != nullptr ? s->name : std::string();
  if (s != nullptr) *s = Slot{};
  const int status = ::pclose(f);
  f = BFileIO_Nil;
  if (status == -1) Fail(name);
  return status;
}

void BFileIO_Pipe(BFileIO_File& readEnd, BFileIO_File& writeEnd) {
  BFileIO_ioError = 0;
  readEnd = writeEnd = BFileIO_Nil;
  int fds[2];
  if (::pipe(fds) != 0) {
    Fail("pipe");
    return;
  }
  std::FILE* r = ::fdopen(fds[0], "r");
  std::FILE* w = r != nullptr ? ::fdopen(fds[1], "w") : nullptr;
  if (w == nullptr) {
    const int err = errno;
    if (r != nullptr) {
      std::fclose(r);
    } else {
      ::close(fds[0]);
    }
    ::close(fds[1]);
    errno = err;
    Fail("pipe");
    return;
  }
  readEnd = Register(r, false, "pipe");
  if (readEnd == BFileIO_Nil) {
    std::fclose(w);
    return;
  }
  writeEnd = Register(w, false, "pipe");
  if (writeEnd == BFileIO_Nil) BFileIO_Close(readEnd);
}

BFileIO_File BFileIO_Dup(BFileIO_File f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return BFileIO_Nil;
  std::fflush(f);
  const int fd = ::dup(::fileno(f));
  if (fd < 0) {
    Fail(NameOf(f));
    return BFileIO_Nil;
  }
  const std::string name = NameOf(f);
  const Slot* from = SlotOf(f);
  const bool large = from != nullptr && from->largeFile;
  const unsigned mode = ModeOf(fd);
  std::FILE* g = ::fdopen(fd, mode == FileIO_writeOnly   ? "w"
                              : mode == FileIO_readWrite ? "r+"
                                                         : "r");
  if (g == nullptr) {
    ::close(fd);
    Fail(name);
    return BFileIO_Nil;
  }
  return Register(g, large, name);
}

bool BFileIO_IsaTTY(BFileIO_File f) {
  BFileIO_ioError = 0;
  return f != nullptr && ::isatty(::fileno(f)) == 1;
}

namespace {

// Runs a lock operation of FileIO on the stream's descriptor, flushing the buffer first
// so that the lock covers what was written; its failure becomes this module's error.
template <class Op>
auto OnDescriptor(BFileIO_File f, Op op) {
  std::fflush(f);
  Messages_Ignoring quiet;
  const auto result = op(::fileno(f));
  quiet.Close();
  if (FileIO_ioError > 1) {
    Messages_ForgetErrorReasons();
    FailWith(FromFileIO(FileIO_ioError), NameOf(f));
  }
  return result;
}

}  // namespace

void BFileIO_Lock(BFileIO_File f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  OnDescriptor(f, [](int fd) {
    FileIO_Lock(fd);
    return true;
  });
}

void BFileIO_UnLock(BFileIO_File f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  OnDescriptor(f, [](int fd) {
    FileIO_UnLock(fd);
    return true;
  });
}

bool BFileIO_TestAndLock(BFileIO_File f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return false;
  return OnDescriptor(f, [](int fd) { return FileIO_TestAndLock(fd); });
}

bool BFileIO_IsLocked(BFileIO_File f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return false;
  return OnDescriptor(f, [](int fd) { return FileIO_IsLocked(fd); });
}

bool BFileIO_FEof(BFileIO_File f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return true;
  const Slot* s = SlotOf(f);
  if (PendingChar(s)) return false;
  return std::feof(f) != 0;
}

bool BFileIO_FError(BFileIO_File f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return true;
  return std::ferror(f) != 0;
}

void BFileIO_ClearErr(BFileIO_File f) {
  BFileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  std::clearerr(f);
}
