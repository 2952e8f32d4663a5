#include "TpVirt.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mtio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "TpDrive.hpp"
#include "UCommon.hpp"

namespace {

constexpr const char* kState = "vtape.state";
constexpr const char* kLock = "vtape.lock";
constexpr std::uint32_t kMaxBlock = 16u << 20;  // larger than any drive's block limit

struct Block {
  std::uint64_t offset;  // of the block's length word in its data file
  std::uint32_t length;
};

struct Tape {
  std::string dir;
  double capacity = 0;
  long blockSize = 0;
  bool writeProtected = false, loaded = true;
  long marks = 0;                         // files 0 .. marks-1 end with a file mark
  std::vector<std::vector<Block>> files;  // the recorded files, their blocks
  long file = 0, block = 0;               // the position
  bool blockKnown = true;
};

struct OpenDrive {
  Tape tape;
  int accessMode = O_RDONLY;
  bool wrote = false;  // the last thing done was a write: closing writes a file mark
};

std::map<int, std::unique_ptr<OpenDrive>> opened;

std::string DataPath(const std::string& dir, long n) { return dir + "/file." + std::to_string(n); }

int Fail(int err) {
  errno = err;
  return -1;
}

double Used(const Tape& t) {
  double used = 0;
  for (const auto& f : t.files) {
    for (const Block& b : f) used += b.length;
  }
  return used;
}

bool ParseLong(const std::string& text, long low, long high, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  value = static_cast<long>(v);
  return true;
}

// The blocks of one data file; false when its framing is broken.
bool IndexFile(const std::string& path, std::vector<Block>& blocks, std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    why = "data file " + path + " missing";
    return false;
  }
  struct stat st {};
  ::fstat(fd, &st);
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t at = 0;
  bool ok = true;
  while (at < size) {
    unsigned char word[4];
    if (size - at < 4 || ::pread(fd, word, 4, static_cast<off_t>(at)) != 4) {
      ok = false;
      break;
    }
    const std::uint32_t length =
        word[0] | word[1] << 8 | word[2] << 16 | std::uint32_t(word[3]) << 24;
    if (length == 0 || length > kMaxBlock || size - at - 4 < length) {
      ok = false;
      break;
    }
    blocks.push_back({at, length});
    at += 4 + length;
  }
  ::close(fd);
  if (!ok) why = "data file " + path + " cut short or garbled at byte " + std::to_string(at);
  return ok;
}

bool Load(const std::string& dir, Tape& t, std::string& why) {
  t = Tape{};
  t.dir = dir;
  std::FILE* in = std::fopen((dir + "/" + kState).c_str(), "r");
  if (in == nullptr) {
    why = std::string("cannot read ") + kState + ": " + std::strerror(errno);
    return false;
  }
  std::map<std::string, std::vector<std::string>> fields;
  char line[256];
  int n = 0;
  bool ok = true;
  while (std::fgets(line, sizeof line, in) != nullptr) {
    ++n;
    std::istringstream words(line);
    std::string key, word;
    words >> key;
    std::vector<std::string> values;
    while (words >> word) values.push_back(word);
    if (key.empty() || fields.count(key) != 0) {
      why = "line " + std::to_string(n) + " is empty or repeated";
      ok = false;
      break;
    }
    fields[key] = values;
  }
  std::fclose(in);
  if (!ok) return false;
  auto get = [&](const char* key, std::size_t index, long low, long high, long& value) {
    const auto it = fields.find(key);
    if (it == fields.end() || it->second.size() <= index ||
        !ParseLong(it->second[index], low, high, value)) {
      if (why.empty()) why = std::string("field \"") + key + "\" missing or out of range";
      return false;
    }
    return true;
  };
  long version = 0, capacity = 0, prot = 0, loaded = 0, files = 0, known = 0;
  constexpr long kHuge = 1L << 50;
  if (!get("vtape", 0, 1, 1, version) || !get("capacity", 0, 0, kHuge, capacity) ||
      !get("blocksize", 0, 0, kMaxBlock, t.blockSize) || !get("protected", 0, 0, 1, prot) ||
      !get("loaded", 0, 0, 1, loaded) || !get("files", 0, 0, 1000000, files) ||
      !get("marks", 0, 0, files, t.marks) || !get("position", 0, 0, files, t.file) ||
      !get("position", 1, 0, kHuge, t.block) || !get("position", 2, 0, 1, known)) {
    return false;
  }
  if (fields.size() != 8) {
    why = "unknown fields";
    return false;
  }
  t.capacity = static_cast<double>(capacity);
  t.writeProtected = prot != 0;
  t.loaded = loaded != 0;
  t.blockKnown = known != 0;
  if (t.marks < files - 1) {
    why = "more than one file without a file mark";
    return false;
  }
  t.files.resize(files);
  for (long i = 0; i < files; ++i) {
    if (!IndexFile(DataPath(dir, i), t.files[i], why)) return false;
  }
  const long blocksHere = t.file < files ? static_cast<long>(t.files[t.file].size()) : 0;
  if (t.block > blocksHere || (t.file == files && t.marks != files)) {
    why = "position beyond the recorded data";
    return false;
  }
  if (Used(t) > t.capacity) {
    why = "more data than the capacity";
    return false;
  }
  return true;
}

bool Save(const Tape& t) {
  const std::string path = t.dir + "/" + kState;
  const std::string tmp = path + ".tmp";
  std::FILE* out = std::fopen(tmp.c_str(), "w");
  if (out == nullptr) return false;
  std::fprintf(out,
               "vtape 1\ncapacity %.0f\nblocksize %ld\nprotected %d\nloaded %d\nfiles %zu\n"
               "marks %ld\nposition %ld %ld %d\n",
               t.capacity, t.blockSize, t.writeProtected ? 1 : 0, t.loaded ? 1 : 0, t.files.size(),
               t.marks, t.file, t.block, t.blockKnown ? 1 : 0);
  const bool ok = std::fflush(out) == 0 && ::fsync(fileno(out)) == 0;
  if (std::fclose(out) != 0 || !ok) return false;
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

OpenDrive* Find(int fd) {
  const auto it = opened.find(fd);
  return it == opened.end() ? nullptr : it->second.get();
}

// Erases the tape after the position: file `file` keeps its first `block` blocks and
// loses its file mark; later files go.
bool EraseAfterPosition(Tape& t) {
  const long f = t.file;
  for (long i = static_cast<long>(t.files.size()) - 1; i > f; --i) {
    if (::unlink(DataPath(t.dir, i).c_str()) != 0 && errno != ENOENT) return false;
  }
  if (f < static_cast<long>(t.files.size())) {
    auto& blocks = t.files[f];
    const std::uint64_t cut = t.block < static_cast<long>(blocks.size()) ? blocks[t.block].offset
                              : blocks.empty()                           ? 0
                                               : blocks.back().offset + 4 + blocks.back().length;
    if (::truncate(DataPath(t.dir, f).c_str(), static_cast<off_t>(cut)) != 0) return false;
    blocks.resize(t.block);
  } else {
    const int fd = ::open(DataPath(t.dir, f).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return false;
    ::close(fd);
  }
  t.files.resize(f + 1);
  t.marks = f;
  return true;
}

int VirtOpen(const char* path, int flags, int mode) {
  const std::string dir = path;
  const int fd = ::open((dir + "/" + kLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return Fail(EBUSY);
  }
  auto drive = std::make_unique<OpenDrive>();
  std::string why;
  if (!Load(dir, drive->tape, why)) {
    std::fprintf(stderr, "vtape: %s: damaged drive state: %s\n", path, why.c_str());
    ::close(fd);
    return Fail(EIO);
  }
  drive->accessMode = flags & O_ACCMODE;
  if (drive->accessMode != O_RDONLY && drive->tape.writeProtected) {
    ::close(fd);
    return Fail(EROFS);
  }
  opened[fd] = std::move(drive);
  return fd;
}

int WriteMarks(OpenDrive& d, int count);

int VirtClose(int fd) {
  OpenDrive* d = Find(fd);
  if (d == nullptr) return Fail(EBADF);
  int rc = 0;
  if (d->wrote && WriteMarks(*d, 1) != 0) rc = -1;
  opened.erase(fd);
  if (::close(fd) != 0) rc = -1;
  return rc;
}

// The drive is usable for a transfer or motion.
bool Ready(OpenDrive* d) {
  if (d == nullptr) return Fail(EBADF), false;
  if (!d->tape.loaded) return Fail(ENOMEDIUM), false;
  return true;
}

ssize_t ReadBlockAt(const Tape& t, const Block& b, void* buffer) {
  const int fd = ::open(DataPath(t.dir, t.file).c_str(), O_RDONLY);
  if (fd < 0) return Fail(EIO);
  const ssize_t n = ::pread(fd, buffer, b.length, static_cast<off_t>(b.offset + 4));
  ::close(fd);
  return n == static_cast<ssize_t>(b.length) ? n : Fail(EIO);
}

ssize_t VirtRead(int fd, void* buffer, std::size_t size) {
  OpenDrive* d = Find(fd);
  if (!Ready(d)) return -1;
  if (d->accessMode == O_WRONLY) return Fail(EBADF);
  Tape& t = d->tape;
  d->wrote = false;
  const long files = static_cast<long>(t.files.size());
  if (t.file >= files) return Fail(EIO);
  const auto& blocks = t.files[t.file];
  if (t.block >= static_cast<long>(blocks.size())) {
    if (t.file >= t.marks) return Fail(EIO);  // end of recorded data
    ++t.file;
    t.block = 0;
    t.blockKnown = true;
    return Save(t) ? 0 : Fail(EIO);
  }
  ssize_t total = 0;
  if (t.blockSize == 0) {
    const Block& b = blocks[t.block];
    ++t.block;
    if (b.length > size) {
      Save(t);
      return Fail(ENOMEM);
    }
    total = ReadBlockAt(t, b, buffer);
  } else {
    if (size % t.blockSize != 0) return Fail(EINVAL);
    char* out = static_cast<char*>(buffer);
    while (total + t.blockSize <= static_cast<ssize_t>(size) &&
           t.block < static_cast<long>(blocks.size())) {
      const Block& b = blocks[t.block];
      if (b.length != static_cast<std::uint32_t>(t.blockSize)) {
        if (total > 0) break;
        return Fail(EIO);
      }
      if (ReadBlockAt(t, b, out + total) < 0) return -1;
      total += b.length;
      ++t.block;
    }
  }
  if (total < 0) return -1;
  return Save(t) ? total : Fail(EIO);
}

ssize_t VirtWrite(int fd, const void* buffer, std::size_t size) {
  OpenDrive* d = Find(fd);
  if (!Ready(d)) return -1;
  if (d->accessMode == O_RDONLY) return Fail(EBADF);
  if (size == 0) return 0;
  Tape& t = d->tape;
  std::vector<std::uint32_t> lengths;
  if (t.blockSize == 0) {
    if (size > kMaxBlock) return Fail(EINVAL);
    lengths.push_back(static_cast<std::uint32_t>(size));
  } else {
    if (size % t.blockSize != 0) return Fail(EINVAL);
    lengths.assign(size / t.blockSize, static_cast<std::uint32_t>(t.blockSize));
  }
  // What stays before the position, plus the new data, must fit.
  double kept = 0;
  for (long i = 0; i < static_cast<long>(t.files.size()) && i <= t.file; ++i) {
    const long upto = i < t.file ? static_cast<long>(t.files[i].size()) : t.block;
    for (long k = 0; k < upto; ++k) kept += t.files[i][k].length;
  }
  if (kept + static_cast<double>(size) > t.capacity) return Fail(ENOSPC);
  if (!EraseAfterPosition(t)) return Fail(EIO);
  auto& blocks = t.files[t.file];
  std::uint64_t at = blocks.empty() ? 0 : blocks.back().offset + 4 + blocks.back().length;
  std::string record;
  const char* p = static_cast<const char*>(buffer);
  for (std::uint32_t length : lengths) {
    const unsigned char word[4] = {
        static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
        static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
    record.append(reinterpret_cast<const char*>(word), 4);
    record.append(p, length);
    p += length;
  }
  const int out = ::open(DataPath(t.dir, t.file).c_str(), O_WRONLY);
  const bool ok = out >= 0 && ::pwrite(out, record.data(), record.size(), static_cast<off_t>(at)) ==
                                  static_cast<ssize_t>(record.size());
  if (out >= 0) ::close(out);
  if (!ok) return Fail(EIO);
  for (std::uint32_t length : lengths) {
    blocks.push_back({at, length});
    at += 4 + length;
  }
  t.block += static_cast<long>(lengths.size());
  t.blockKnown = true;
  d->wrote = true;
  return Save(t) ? static_cast<ssize_t>(size) : Fail(EIO);
}

int WriteMarks(OpenDrive& d, int count) {
  Tape& t = d.tape;
  d.wrote = false;
  if (count <= 0) return 0;
  if (!EraseAfterPosition(t)) return Fail(EIO);
  for (int i = 1; i < count; ++i) {
    const long n = static_cast<long>(t.files.size());
    const int fd = ::open(DataPath(t.dir, n).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return Fail(EIO);
    ::close(fd);
    t.files.emplace_back();
  }
  t.marks = static_cast<long>(t.files.size());
  t.file = t.marks;
  t.block = 0;
  t.blockKnown = true;
  return Save(t) ? 0 : Fail(EIO);
}

void ToEndOfData(Tape& t) {
  const long files = static_cast<long>(t.files.size());
  if (t.marks == files) {
    t.file = files;
    t.block = 0;
  } else {
    t.file = files - 1;
    t.block = static_cast<long>(t.files[t.file].size());
  }
  t.blockKnown = true;
}

int VirtTapeOp(int fd, int op, int count) {
  OpenDrive* d = Find(fd);
  if (d == nullptr) return Fail(EBADF);
  Tape& t = d->tape;
  if (op == MTLOAD) {
    t.loaded = true;
    t.file = t.block = 0;
    t.blockKnown = true;
    return Save(t) ? 0 : Fail(EIO);
  }
  if (!Ready(d)) return -1;
  if (op == MTNOP) return 0;
  if (op == MTWEOF) {
    if (d->accessMode == O_RDONLY) return Fail(EBADF);
    return WriteMarks(*d, count);
  }
  if (d->wrote && WriteMarks(*d, 1) != 0) return -1;
  int rc = 0;
  switch (op) {
    case MTREW:
    case MTOFFL:
    case MTUNLOAD:  // what the tape layer's unload asks for
      t.file = t.block = 0;
      t.blockKnown = true;
      if (op != MTREW) t.loaded = false;
      break;
    case MTFSF:
      if (count < 0) return Fail(EINVAL);
      if (t.file + count > t.marks) {
        ToEndOfData(t);
        rc = Fail(EIO);
      } else {
        t.file += count;
        t.block = 0;
        t.blockKnown = true;
      }
      break;
    case MTBSF:
      if (count < 0) return Fail(EINVAL);
      if (count == 0) break;
      if (count > t.file) {
        t.file = t.block = 0;
        t.blockKnown = true;
        rc = Fail(EIO);
      } else {
        t.file -= count;
        t.block = static_cast<long>(t.files[t.file].size());
        t.blockKnown = false;
      }
      break;
    case MTEOM:
      ToEndOfData(t);
      break;
    case MTSETBLK:
      if (count < 0 || static_cast<std::uint32_t>(count) > kMaxBlock) return Fail(EINVAL);
      t.blockSize = count;
      break;
    default:
      return Fail(EINVAL);
  }
  const int saved = errno;
  if (!Save(t)) return Fail(EIO);
  errno = saved;
  return rc;
}

int VirtGetPos(int fd, long* residual, long* fileNumber, long* blockNumber) {
  OpenDrive* d = Find(fd);
  if (!Ready(d)) return -1;
  *residual = 0;
  *fileNumber = d->tape.file;
  *blockNumber = d->tape.blockKnown ? d->tape.block : -1;
  return 0;
}

int VirtSetBlockSize(int fd, int size) { return VirtTapeOp(fd, MTSETBLK, size); }

bool Claims(const char* path) { return TpVirt_IsVirtual(path); }

const TpDriveOps virtualDrive{"virtual", Claims,     VirtOpen,   VirtClose,       VirtRead,
                              VirtWrite, VirtTapeOp, VirtGetPos, VirtSetBlockSize};

// Changes the state of a drive that nobody has open.
bool Update(const char* dir, std::string& error, void (*change)(Tape&, bool), bool on) {
  const int fd = TpDrive_Open(dir, O_RDONLY, 0);
  if (fd < 0 || &TpDrive_OfFd(fd) != &virtualDrive) {
    error = std::string(dir) + ": " + std::strerror(fd < 0 ? errno : ENOTDIR);
    if (fd >= 0) TpDrive_Close(fd);
    return false;
  }
  Tape& t = Find(fd)->tape;
  change(t, on);
  const bool ok = Save(t);
  if (!ok) error = std::string(dir) + ": " + std::strerror(errno);
  TpDrive_Close(fd);
  return ok;
}

}  // namespace

void TpVirt_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "TpVirt");
  if (!init) return;
  UCommon_Init();
  TpDrive_Init();
  TpDrive_Register(virtualDrive);
}

const TpDriveOps& TpVirt_Ops() { return virtualDrive; }

bool TpVirt_IsVirtual(const char* path) {
  struct stat st {};
  return path != nullptr && *path != '\0' &&
         ::stat((std::string(path) + "/" + kState).c_str(), &st) == 0;
}

bool TpVirt_Create(const char* dir, double capacity, std::string& error) {
  if (TpVirt_IsVirtual(dir)) {
    error = std::string(dir) + ": holds a virtual tape already";
    errno = EEXIST;
    return false;
  }
  if (::mkdir(dir, 0777) != 0 && errno != EEXIST) {
    error = std::string(dir) + ": " + std::strerror(errno);
    return false;
  }
  Tape t;
  t.dir = dir;
  t.capacity = capacity;
  if (!Save(t)) {
    error = std::string(dir) + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool TpVirt_GetStatus(const char* dir, TpVirt_Status& status, std::string& error) {
  Tape t;
  std::string why;
  if (!Load(dir, t, why)) {
    error = std::string(dir) + ": damaged drive state: " + why;
    return false;
  }
  status.capacity = t.capacity;
  status.used = Used(t);
  status.blockSize = static_cast<int>(t.blockSize);
  status.writeProtected = t.writeProtected;
  status.loaded = t.loaded;
  status.files = static_cast<long>(t.files.size());
  status.marks = t.marks;
  status.fileNumber = t.file;
  status.blockNumber = t.blockKnown ? t.block : -1;
  return true;
}

bool TpVirt_SetProtected(const char* dir, bool on, std::string& error) {
  return Update(
      dir, error, [](Tape& t, bool v) { t.writeProtected = v; }, on);
}
