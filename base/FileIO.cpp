#include "FileIO.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Messages.hpp"
#include "UCommon.hpp"

std::uint8_t FileIO_ioError = 0;
std::size_t FileIO_bytesTransferred = 0;

namespace {

// What the module knows about one descriptor. The name is kept only for the reports.
struct Slot {
  bool open = false;  // opened (or created, duplicated, piped) by this module
  unsigned mode = FileIO_readOnly;
  bool largeFile = false;
  bool pushedBack = false;
  int lastChar = -1;  // last character read, -1 after the end of the file
  std::string name;
};

Slot slots[FileIO_MaxFiles];

bool InTable(FileIO_File f) { return f >= 0 && f < FileIO_MaxFiles; }

const char* NameOf(FileIO_File f) {
  if (InTable(f) && !slots[f].name.empty()) return slots[f].name.c_str();
  return "";
}

// Reports ioError (when it is not 0 or 1) with the file and, for system errors, the
// error number, its text and the call that failed.
void Report(const char* name, int sysErr, const char* call) {
  if (FileIO_ioError <= 1) return;
  char text[256];
  Messages_GetMsg("FileIO", 1, text);
  std::string info = std::string(StrIn(text).view()) + name + "' ";
  if (sysErr != 0) {
    info += "internal error " + std::to_string(sysErr) + " : " + std::strerror(sysErr);
  }
  Messages_SupplyAdditionalInfo(info);
  if (call != nullptr) Messages_SupplyAdditionalInfo(std::string("causing call = ") + call);
  Messages_Error("FileIO", FileIO_ioError);
}

// Sets ioError from errno and reports it.
void Fail(const char* name, const char* call) {
  const int err = errno;
  FileIO_ioError = FileIO_ErrnoToIoError(err);
  Report(name, err, call);
}

void Fail(FileIO_File f, const char* call) { Fail(NameOf(f), call); }

// An own error without a system error number.
void FailWith(std::uint8_t value, const char* name) {
  FileIO_ioError = value;
  Report(name, 0, nullptr);
}

// Enters a descriptor that was just made into the table, or refuses it when it lies
// beyond the table (error 4; the descriptor is closed again).
FileIO_File Register(int fd, unsigned mode, bool large, const std::string& name) {
  if (!InTable(fd)) {
    ::close(fd);
    FailWith(4, name.c_str());
    return FileIO_Nil;
  }
  Slot& s = slots[fd];
  s = Slot{};
  s.open = true;
  s.mode = mode;
  s.largeFile = large;
  s.name = name;
  return fd;
}

int OpenFlags(unsigned mode) {
  switch (mode) {
    case FileIO_writeOnly:
      return O_WRONLY;
    case FileIO_readWrite:
      return O_RDWR;
    default:
      return O_RDONLY;
  }
}

bool CheckHandle(FileIO_File f) {
  if (f < 0) {
    FailWith(5, "");
    return false;
  }
  return true;
}

// Reads one raw byte: the character, -1 at the end of the file, -2 on an error
// (already reported).
int RawByte(FileIO_File f) {
  if (InTable(f) && slots[f].pushedBack) {
    slots[f].pushedBack = false;
    return slots[f].lastChar;
  }
  unsigned char c = 0;
  for (;;) {
    const ssize_t n = ::read(f, &c, 1);
    if (n == 1) break;
    if (n == 0) return -1;
    if (errno == EINTR) continue;
    Fail(f, "read");
    return -2;
  }
  return c;
}

}  // namespace

std::uint8_t FileIO_ErrnoToIoError(int err) {
  switch (err) {
    case 0:
      return 0;
    case ENOENT:
    case ESRCH:
      return 3;
    case ENFILE:
    case EMFILE:
      return 4;
    case EBADF:
      return 5;
    case EBUSY:
      return 6;
    case EPERM:
    case EACCES:
    case ENOTBLK:
    case EEXIST:
    case ENODEV:
    case ENOTDIR:
    case EISDIR:
    case ETXTBSY:
    case ESPIPE:
    case EROFS:
      return 8;
    case ENOSPC:
      return 9;
    case ENXIO:
      return 11;
    case EFBIG:
      return 12;
    case EPIPE:
      return 13;
    default:
      return 10;
  }
}

void FileIO_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "FileIO");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
}

bool FileIO_LegalFileHandle(FileIO_File f) { return f < FileIO_MaxFiles; }

FileIO_File FileIO_Open(StrIn name, unsigned mode) {
  FileIO_ioError = 0;
  const std::string path = name.str();
  bool large = false;
  int fd = ::open(path.c_str(), OpenFlags(mode));
  if (fd < 0 && (errno == EFBIG || errno == EOVERFLOW)) {
    large = true;
#ifdef O_LARGEFILE
    fd = ::open(path.c_str(), OpenFlags(mode) | O_LARGEFILE);
#endif
  }
  if (fd < 0) {
    Fail(path.c_str(), "open");
    return FileIO_Nil;
  }
  return Register(fd, mode, large, path);
}

FileIO_File FileIO_Create(StrIn name, unsigned mode) {
  FileIO_ioError = 0;
  const std::string path = name.str();
  if (mode != FileIO_writeOnly && mode != FileIO_readWrite) {
    FailWith(8, path.c_str());
    return FileIO_Nil;
  }
  const int fd = ::open(path.c_str(), OpenFlags(mode) | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) {
    Fail(path.c_str(), "creat");
    return FileIO_Nil;
  }
  return Register(fd, mode, false, path);
}

void FileIO_Close(FileIO_File& f) {
  FileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  const std::string name = NameOf(f);
  if (InTable(f)) slots[f] = Slot{};
  const int rc = ::close(f);
  f = FileIO_Nil;
  if (rc != 0) Fail(name.c_str(), "close");
}

void FileIO_Read(FileIO_File f, void* buffer, std::size_t n) {
  FileIO_ioError = 0;
  FileIO_bytesTransferred = 0;
  if (!CheckHandle(f) || n == 0) return;
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  if (InTable(f) && slots[f].pushedBack) {
    slots[f].pushedBack = false;
    if (slots[f].lastChar >= 0) out[done++] = static_cast<unsigned char>(slots[f].lastChar);
  }
  while (done < n) {
    const ssize_t got = ::read(f, out + done, n - done);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0) break;
    if (errno == EINTR) continue;
    FileIO_bytesTransferred = done;
    Fail(f, "read");
    return;
  }
  FileIO_bytesTransferred = done;
  if (done == 0) {
    FileIO_ioError = 1;
  } else if (InTable(f)) {
    slots[f].lastChar = out[done - 1];
  }
}

void FileIO_Write(FileIO_File f, const void* buffer, std::size_t n) {
  FileIO_ioError = 0;
  FileIO_bytesTransferred = 0;
  if (!CheckHandle(f)) return;
  const auto* in = static_cast<const unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < n) {
    const ssize_t put = ::write(f, in + done, n - done);
    if (put >= 0) {
      done += static_cast<std::size_t>(put);
      continue;
    }
    if (errno == EINTR) continue;
    FileIO_bytesTransferred = done;
    Fail(f, "write");
    return;
  }
  FileIO_bytesTransferred = done;
}

void FileIO_ReadChar(FileIO_File f, char& ch) {
  FileIO_ioError = 0;
  ch = '\0';
  if (!CheckHandle(f)) return;
  int c;
  do {
    c = RawByte(f);
  } while (c == '\r');
  if (InTable(f) && c != -2) slots[f].lastChar = c;
  if (c == -2) return;
  if (c == -1 || c == 26) {
    FileIO_ioError = 1;
    return;
  }
  ch = c == '\t' ? ' ' : static_cast<char>(c);
}

void FileIO_WriteChar(FileIO_File f, char ch) { FileIO_Write(f, &ch, 1); }

void FileIO_UngetChar(FileIO_File f) {
  FileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  if (!InTable(f)) {
    FailWith(5, "");
    return;
  }
  if (slots[f].pushedBack) {
    FailWith(7, NameOf(f));
    return;
  }
  slots[f].pushedBack = true;
}

void FileIO_Seek(FileIO_File f, double position, int whence) {
  FileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  const int how = whence == 1 ? SEEK_CUR : whence == 2 ? SEEK_END : SEEK_SET;
  off_t offset = static_cast<off_t>(position);
  // A pending push-back stands one byte before the system's position.
  if (how == SEEK_CUR && InTable(f) && slots[f].pushedBack && slots[f].lastChar >= 0) offset -= 1;
  if (InTable(f)) slots[f].pushedBack = false;
  if (::lseek(f, offset, how) < 0) Fail(f, "lseek");
}

double FileIO_GetPos(FileIO_File f) {
  FileIO_ioError = 0;
  if (!CheckHandle(f)) return 0.0;
  const off_t pos = ::lseek(f, 0, SEEK_CUR);
  if (pos < 0) {
    Fail(f, "lseek");
    return 0.0;
  }
  const bool pending = InTable(f) && slots[f].pushedBack && slots[f].lastChar >= 0;
  return static_cast<double>(pending ? pos - 1 : pos);
}

void FileIO_Truncate(FileIO_File f, double length) {
  FileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  if (::ftruncate(f, static_cast<off_t>(length)) != 0) Fail(f, "ftruncate");
}

void FileIO_Sync(FileIO_File f) {
  FileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  if (::fsync(f) != 0) Fail(f, "fsync");
}

FileIO_File FileIO_Dup(FileIO_File f) {
  FileIO_ioError = 0;
  if (!CheckHandle(f)) return FileIO_Nil;
  const int fd = ::dup(f);
  if (fd < 0) {
    Fail(f, "dup");
    return FileIO_Nil;
  }
  const Slot* from = InTable(f) ? &slots[f] : nullptr;
  return Register(fd, from ? from->mode : FileIO_readWrite, from && from->largeFile, NameOf(f));
}

void FileIO_Pipe(FileIO_File& readEnd, FileIO_File& writeEnd) {
  FileIO_ioError = 0;
  readEnd = writeEnd = FileIO_Nil;
  int fds[2];
  if (::pipe(fds) != 0) {
    Fail("pipe", "pipe");
    return;
  }
  readEnd = Register(fds[0], FileIO_readOnly, false, "pipe");
  if (readEnd == FileIO_Nil) {
    ::close(fds[1]);
    return;
  }
  writeEnd = Register(fds[1], FileIO_writeOnly, false, "pipe");
  if (writeEnd == FileIO_Nil) FileIO_Close(readEnd);
}

bool FileIO_IsaTTY(FileIO_File f) {
  FileIO_ioError = 0;
  return f >= 0 && ::isatty(f) == 1;
}

namespace {

// The kind of whole-file lock an open descriptor can take: a write lock when it was
// opened for writing, a read lock otherwise.
short LockType(FileIO_File f) {
  const int fl = ::fcntl(f, F_GETFL);
  return (fl >= 0 && (fl & O_ACCMODE) != O_RDONLY) ? F_WRLCK : F_RDLCK;
}

struct flock WholeFile(short type) {
  struct flock l {};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = 0;
  l.l_len = 0;
  return l;
}

}  // namespace

void FileIO_Lock(FileIO_File f) {
  FileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  struct flock l = WholeFile(LockType(f));
  while (::fcntl(f, F_SETLKW, &l) != 0) {
    if (errno == EINTR) continue;
    Fail(f, "fcntl(F_SETLKW)");
    return;
  }
}

void FileIO_UnLock(FileIO_File f) {
  FileIO_ioError = 0;
  if (!CheckHandle(f)) return;
  struct flock l = WholeFile(F_UNLCK);
  if (::fcntl(f, F_SETLK, &l) != 0) Fail(f, "fcntl(F_UNLCK)");
}

bool FileIO_TestAndLock(FileIO_File f) {
  FileIO_ioError = 0;
  if (!CheckHandle(f)) return false;
  struct flock l = WholeFile(LockType(f));
  if (::fcntl(f, F_SETLK, &l) == 0) return true;
  if (errno == EAGAIN || errno == EACCES) return false;  // someone else holds it
  Fail(f, "fcntl(F_SETLK)");
  return false;
}

bool FileIO_IsLocked(FileIO_File f) {
  FileIO_ioError = 0;
  if (!CheckHandle(f)) return false;
  struct flock l = WholeFile(F_WRLCK);
  if (::fcntl(f, F_GETLK, &l) != 0) {
    Fail(f, "fcntl(F_GETLK)");
    return false;
  }
  return l.l_type != F_UNLCK;
}

void FileIO_CloseAll() {
  for (FileIO_File f = 0; f < FileIO_MaxFiles; ++f) {
    if (!slots[f].open) continue;
    slots[f] = Slot{};
    ::close(f);
  }
}
