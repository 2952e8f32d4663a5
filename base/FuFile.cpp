#include "FuFile.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Messages.hpp"
#include "Msg.hpp"
#include "UCommon.hpp"

namespace {

int fuError = 0;
int fuErrno = 0;

void Ok() {
  fuError = 0;
  fuErrno = 0;
}

// Reports n for path with the system error err; always -1 so that callers can return it.
int Fail(int n, int err, const char* op, const std::string& path) {
  fuError = n;
  fuErrno = err;
  std::string info = std::string("::") + op + ": " + path;
  if (err != 0) info += std::string(" (") + std::strerror(err) + ")";
  MsgSupplyAdditionalInfo(info.c_str());
  MsgError("FUtils", static_cast<unsigned>(n));
  return -1;
}

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string LastComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The target of a copy or move: inside to when to is an existing directory.
std::string Target(const char* from, const char* to) {
  struct stat st {};
  if (::stat(to, &st) == 0 && S_ISDIR(st.st_mode)) return Join(to, LastComponent(from));
  return to;
}

// Names in a directory without "." and "..", in ascending byte order.
bool ListDir(const std::string& dir, std::vector<std::string>& names) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      names.emplace_back(e->d_name);
    }
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return true;
}

bool WriteAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

int CopyRegular(const std::string& from, const std::string& to, const struct stat& st,
                const char* op) {
  const int in = ::open(from.c_str(), O_RDONLY);
  if (in < 0) return Fail(1, errno, op, from);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, st.st_mode & 07777);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    return Fail(2, err, op, to);
  }
  std::vector<char> buf(1 << 16);
  int rc = 0;
  for (;;) {
    const ssize_t got = ::read(in, buf.data(), buf.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      rc = Fail(1, errno, op, from);
      break;
    }
    if (got == 0) break;
    if (!WriteAll(out, buf.data(), static_cast<std::size_t>(got))) {
      rc = Fail(2, errno, op, to);
      break;
    }
  }
  ::close(in);
  if (rc == 0) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);
    ::fchmod(out, st.st_mode & 07777);
  }
  if (::close(out) != 0 && rc == 0) rc = Fail(2, errno, op, to);
  return rc;
}

int CopyTree(const std::string& from, const std::string& to, const char* op) {
  struct stat st {};
  if (::lstat(from.c_str(), &st) != 0) return Fail(6, errno, op, from);
  if (S_ISREG(st.st_mode)) return CopyRegular(from, to, st, op);
  if (S_ISLNK(st.st_mode)) {
    std::vector<char> target(static_cast<std::size_t>(st.st_size) + 1);
    const ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
    if (n < 0) return Fail(1, errno, op, from);
    target[static_cast<std::size_t>(n)] = '\0';
    if (::symlink(target.data(), to.c_str()) != 0) return Fail(2, errno, op, to);
    return 0;
  }
  if (!S_ISDIR(st.st_mode)) return 0;  // devices, fifos and sockets are not copied
  if (::mkdir(to.c_str(), 0700) != 0 && errno != EEXIST) return Fail(4, errno, op, to);
  std::vector<std::string> names;
  if (!ListDir(from, names)) return Fail(1, errno, op, from);
  for (const auto& name : names) {
    if (CopyTree(Join(from, name), Join(to, name), op) != 0) return -1;
  }
  ::chmod(to.c_str(), st.st_mode & 07777);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::utimensat(AT_FDCWD, to.c_str(), times, 0);
  return 0;
}

int RemoveTree(const std::string& path, const char* op) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return Fail(3, errno, op, path);
  if (S_ISDIR(st.st_mode)) {
    std::vector<std::string> names;
    if (!ListDir(path, names)) return Fail(3, errno, op, path);
    for (const auto& name : names) {
      if (RemoveTree(Join(path, name), op) != 0) return -1;
    }
    if (::rmdir(path.c_str()) != 0) return Fail(3, errno, op, path);
    return 0;
  }
  if (::unlink(path.c_str()) != 0) return Fail(3, errno, op, path);
  return 0;
}

using Inode = std::pair<dev_t, ino_t>;

double Usage(const std::string& path, std::set<Inode>& seen) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    Fail(6, errno, "FuDu", path);
    return -1;
  }
  double total = 0;
  if (st.st_nlink < 2 || S_ISDIR(st.st_mode) || seen.insert({st.st_dev, st.st_ino}).second) {
    total = static_cast<double>(st.st_blocks) * 512.0;
  }
  if (S_ISDIR(st.st_mode)) {
    std::vector<std::string> names;
    if (!ListDir(path, names)) {
      Fail(6, errno, "FuDu", path);
      return -1;
    }
    for (const auto& name : names) {
      const double sub = Usage(Join(path, name), seen);
      if (sub < 0) return -1;
      total += sub;
    }
  }
  return total;
}

// Hands every line of the file to match; matching lines go to out.
template <class Match>
long GrepLines(const char* path, std::FILE* out, const char* op, Match&& match) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return Fail(1, errno, op, path);
  char* line = nullptr;
  std::size_t cap = 0;
  long count = 0;
  ssize_t n;
  while ((n = ::getline(&line, &cap, f)) >= 0) {
    std::string text(line, static_cast<std::size_t>(n));
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!match(text)) continue;
    ++count;
    if (out != nullptr) std::fprintf(out, "%s\n", text.c_str());
  }
  const bool failed = std::ferror(f) != 0;
  const int err = errno;
  std::free(line);
  std::fclose(f);
  if (failed) return Fail(1, err, op, path);
  return count;
}

int Walk(const std::string& path, FuFTWFunc fn, void* data, bool root) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (root) return Fail(6, errno, "FuFTW", path);
    return fn(path.c_str(), nullptr, FuFTW_NS, data);
  }
  if (S_ISLNK(st.st_mode)) return fn(path.c_str(), &st, FuFTW_SL, data);
  if (!S_ISDIR(st.st_mode)) return fn(path.c_str(), &st, FuFTW_F, data);
  std::vector<std::string> names;
  if (!ListDir(path, names)) return fn(path.c_str(), &st, FuFTW_DNR, data);
  if (const int rc = fn(path.c_str(), &st, FuFTW_D, data)) return rc;
  for (const auto& name : names) {
    if (const int rc = Walk(Join(path, name), fn, data, false)) return rc;
  }
  return 0;
}

// Writes text to a fresh file beside path and renames it over path.
int ReplaceWith(const std::string& path, const std::string& text, mode_t mode, const char* op) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return Fail(2, errno, op, path);
  ::fchmod(fd, mode & 07777);
  if (!WriteAll(fd, text.data(), text.size())) {
    const int err = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return Fail(2, err, op, temp);
  }
  if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return Fail(2, err, op, path);
  }
  return 0;
}

}  // namespace

void FuFile_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "FuFile");
  if (!init) return;
  UCommon_Init();
  Msg_Init();
  Messages_Init();
  // The texts of this layer live in their own catalogue; without it they show as missing.
  MsgIgnoreErrors(true);
  MsgUseMsgCat("LBASEmsg");
  MsgIgnoreErrors(false);
  MsgForgetErrorReasons();
}

int FuError() { return fuError; }

void FuClearError() { Ok(); }

int FuFail(int n, int err, const char* op, const char* path) { return Fail(n, err, op, path); }

int FuErrno() { return fuErrno; }

int FuCp(const char* from, const char* to) {
  Ok();
  return CopyTree(from, Target(from, to), "FuCp");
}

int FuMv(const char* from, const char* to) {
  Ok();
  const std::string target = Target(from, to);
  if (::rename(from, target.c_str()) == 0) return 0;
  if (errno != EXDEV) return Fail(7, errno, "FuMv", from);
  if (CopyTree(from, target, "FuMv") != 0) return -1;
  return RemoveTree(from, "FuMv");
}

int FuRm(const char* path) {
  Ok();
  return RemoveTree(path, "FuRm");
}

int FuCmp(const char* a, const char* b) {
  Ok();
  std::FILE* fa = std::fopen(a, "rb");
  if (fa == nullptr) return Fail(1, errno, "FuCmp", a);
  std::FILE* fb = std::fopen(b, "rb");
  if (fb == nullptr) {
    const int err = errno;
    std::fclose(fa);
    return Fail(1, err, "FuCmp", b);
  }
  std::vector<char> ba(1 << 16), bb(1 << 16);
  int result = 0;
  for (;;) {
    const std::size_t na = std::fread(ba.data(), 1, ba.size(), fa);
    const std::size_t nb = std::fread(bb.data(), 1, bb.size(), fb);
    if (na != nb || std::memcmp(ba.data(), bb.data(), na) != 0) {
      result = 1;
      break;
    }
    if (na < ba.size()) break;
  }
  const bool failed = std::ferror(fa) != 0 || std::ferror(fb) != 0;
  const std::string which = std::ferror(fa) != 0 ? a : b;
  std::fclose(fa);
  std::fclose(fb);
  if (failed) return Fail(1, EIO, "FuCmp", which);
  return result;
}

double FuDu(const char* path) {
  Ok();
  std::set<Inode> seen;
  return Usage(path, seen);
}

int FuCat(const char* path, std::FILE* stream) {
  Ok();
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return Fail(1, errno, "FuCat", path);
  std::vector<char> buf(1 << 16);
  int rc = 0;
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
    if (std::fwrite(buf.data(), 1, n, stream) != n) {
      rc = Fail(2, errno, "FuCat", "(output)");
      break;
    }
  }
  if (rc == 0 && std::ferror(f) != 0) rc = Fail(1, EIO, "FuCat", path);
  std::fclose(f);
  return rc;
}

long FuGrep(const char* path, const char* text, std::FILE* out) {
  Ok();
  return GrepLines(path, out, "FuGrep", [text](const std::string& line) {
    return line.find(text) != std::string::npos;
  });
}

long FuGrepPat(const char* path, const char* pattern, std::FILE* out) {
  Ok();
  regex_t re;
  if (::regcomp(&re, pattern, REG_EXTENDED | REG_NOSUB) != 0) {
    return Fail(8, 0, "FuGrepPat", pattern);
  }
  const long count = GrepLines(path, out, "FuGrepPat", [&re](const std::string& line) {
    return ::regexec(&re, line.c_str(), 0, nullptr, 0) == 0;
  });
  ::regfree(&re);
  return count;
}

int FuFTW(const char* path, FuFTWFunc fn, void* data) {
  Ok();
  return Walk(path, fn, data, true);
}

bool FuAssertDir(const char* path, unsigned mode) {
  Ok();
  const std::string p = path;
  struct stat st {};
  if (::stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return true;
  // Each prefix that ends before a "/", then the whole path.
  for (std::size_t pos = p.find('/', 1);; pos = p.find('/', pos + 1)) {
    const std::string prefix = p.substr(0, pos);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
      Fail(4, errno, "FuAssertDir", prefix);
      return false;
    }
    if (pos == std::string::npos) break;
  }
  if (::stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) {
    Fail(4, ENOTDIR, "FuAssertDir", p);
    return false;
  }
  return true;
}

bool FuLookup(const char* name, const char* searchPath, int accessMode, char* result,
              std::size_t size) {
  Ok();
  auto fits = [&](const std::string& candidate) {
    if (candidate.size() + 1 > size) return false;
    std::memcpy(result, candidate.c_str(), candidate.size() + 1);
    return true;
  };
  if (std::strchr(name, '/') != nullptr) {
    if (::access(name, accessMode) == 0 && fits(name)) return true;
  } else {
    const std::string list = searchPath != nullptr ? searchPath : "";
    std::size_t start = 0;
    for (;;) {
      const std::size_t colon = list.find(':', start);
      const std::string dir = list.substr(start, colon - start);
      const std::string candidate = dir.empty() ? name : Join(dir, name);
      if (candidate.size() + 1 > size) {
        std::fprintf(stderr, "FuLookup: path too long %s/%s\n", dir.c_str(), name);
      } else if (::access(candidate.c_str(), accessMode) == 0 && fits(candidate)) {
        return true;
      }
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  if (size > 0) result[0] = '\0';
  Fail(5, 0, "FuLookup", std::string(name) + " in " + (searchPath != nullptr ? searchPath : ""));
  return false;
}

int FuBackupFile(const char* path) {
  Ok();
  struct stat st {};
  if (::stat(path, &st) != 0) {
    if (errno == ENOENT) return 0;
    return Fail(6, errno, "FuBackupFile", path);
  }
  // Copied under a temporary name first, so that an old backup stays whole until the
  // new one is complete.
  const std::string backup = std::string(path) + ".bak";
  const std::string temp = backup + ".new";
  if (CopyRegular(path, temp, st, "FuBackupFile") != 0) {
    ::unlink(temp.c_str());
    return -1;
  }
  if (::rename(temp.c_str(), backup.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return Fail(2, err, "FuBackupFile", backup);
  }
  return 0;
}

int FuCutLog(const char* path, double maxSize, double keepSize) {
  Ok();
  struct stat st {};
  if (::stat(path, &st) != 0) return Fail(6, errno, "FuCutLog", path);
  const double size = static_cast<double>(st.st_size);
  if (size <= maxSize) return 0;
  const off_t keep = static_cast<off_t>(std::max(0.0, std::min(keepSize, size)));
  const off_t from = st.st_size - keep;
  const int fd = ::open(path, O_RDONLY);
  if (fd < 0) return Fail(1, errno, "FuCutLog", path);
  // One byte before the kept part tells whether it starts at a line.
  const off_t readFrom = from > 0 ? from - 1 : 0;
  std::string text(static_cast<std::size_t>(st.st_size - readFrom), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n =
        ::pread(fd, text.data() + got, text.size() - got, readFrom + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  const int err = errno;
  ::close(fd);
  if (got < text.size()) return Fail(1, err, "FuCutLog", path);
  if (from > 0) {
    // text[0] is the byte before the kept part: drop up to and including the first line
    // end, so that the log starts with a whole line.
    const std::size_t nl = text.find('\n');
    text = nl == std::string::npos ? std::string() : text.substr(nl + 1);
  }
  if (ReplaceWith(path, text, st.st_mode, "FuCutLog") != 0) return -1;
  return 1;
}
