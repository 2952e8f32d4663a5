#include "BRmt.hpp"

#include <cerrno>
#include <cmath>
#include <string>

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Rmt.hpp"
#include "TAPEsupp.hpp"
#include "UCommon.hpp"

void BRmt_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BRmt");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  FileIO_Init();
  DirAcces_Init();
  Rmt_Init();
  TAPEsupp_Init();
}

namespace {

constexpr std::size_t NameHigh = 2047;

std::string Name(StrIn s) {
  std::string text(s.view());
  if (text.size() > NameHigh) text.resize(NameHigh);
  return text;
}

bool IsRemote(const std::string& name, bool local) { return !local && IsRemDevname(name.c_str()); }

// The file layer reports its failures; this layer leaves that to its callers.
class Quiet {
 public:
  Quiet() = default;
  ~Quiet() {
    bracket_.Close();
    Messages_ForgetErrorReasons();
  }
  Quiet(const Quiet&) = delete;
  Quiet& operator=(const Quiet&) = delete;

 private:
  Messages_Ignoring bracket_;
};

bool IsLocal(BRmt_File f) { return f->kind == BRmt_Kind::Local; }

std::string Joined(StrIn user, StrIn host, StrIn device) {
  std::string name = Name(user);
  if (!name.empty()) name += '@';
  name += Name(host);
  name += ':';
  name += Name(device);
  return Name(name);
}

}  // namespace

bool BRmt_LegalFileHandle(BRmt_File f) { return f != BRmt_Nil; }

bool BRmt_Access(StrIn name, bool local, unsigned mode) {
  const std::string n = Name(name);
  if (IsRemote(n, local)) return RmtAccess(n.c_str(), false, static_cast<int>(mode)) == 1;
  Quiet quiet;
  return DirAcces_Access(n, mode);
}

BRmt_File BRmt_Open(StrIn name, bool local, unsigned mode) {
  const std::string n = Name(name);
  if (IsRemote(n, local)) {
    const int conn = RmtOpen(n.c_str(), false, static_cast<int>(mode));
    return conn < 0 ? BRmt_Nil : new BRmt_FileRec{BRmt_Kind::Remote, conn};
  }
  Quiet quiet;
  const FileIO_File file = FileIO_Open(n, mode);
  if (FileIO_ioError != 0 || file == FileIO_Nil) return BRmt_Nil;
  return new BRmt_FileRec{BRmt_Kind::Local, file};
}

bool BRmt_Access1(StrIn user, StrIn host, StrIn device, unsigned mode) {
  if (host.length() == 0) return BRmt_Access(device, true, mode);
  return BRmt_Access(Joined(user, host, device), false, mode);
}

BRmt_File BRmt_Open1(StrIn user, StrIn host, StrIn device, unsigned mode) {
  if (host.length() == 0) return BRmt_Open(device, true, mode);
  return BRmt_Open(Joined(user, host, device), false, mode);
}

bool BRmt_TpInitTape1(StrIn user, StrIn host, StrIn device) {
  if (host.length() == 0) return BRmt_TpInitTape(device, true);
  return BRmt_TpInitTape(Joined(user, host, device), false);
}

bool BRmt_Close(BRmt_File& f) {
  if (!BRmt_LegalFileHandle(f)) return false;
  bool ok;
  if (IsLocal(f)) {
    Quiet quiet;
    FileIO_File file = f->descriptor;
    FileIO_Close(file);
    ok = FileIO_ioError == 0;
  } else {
    ok = RmtClose(f->descriptor) == 0;
  }
  delete f;
  f = BRmt_Nil;
  return ok;
}

long BRmt_Read(BRmt_File f, void* buffer, std::size_t length) {
  if (!BRmt_LegalFileHandle(f)) return -1;
  if (!IsLocal(f)) return RmtRead(f->descriptor, static_cast<char*>(buffer), length);
  Quiet quiet;
  FileIO_Read(f->descriptor, buffer, length);
  if (FileIO_ioError > 1) return -1;
  return static_cast<long>(FileIO_bytesTransferred);
}

long BRmt_Write(BRmt_File f, const void* buffer, std::size_t length) {
  if (!BRmt_LegalFileHandle(f)) return -1;
  if (!IsLocal(f)) return RmtWrite(f->descriptor, static_cast<const char*>(buffer), length);
  Quiet quiet;
  FileIO_Write(f->descriptor, buffer, length);
  if (FileIO_ioError != 0) return -1;
  return static_cast<long>(FileIO_bytesTransferred);
}

double BRmt_LSeek(BRmt_File f, double offset, int whence) {
  if (!BRmt_LegalFileHandle(f) || !std::isfinite(offset)) return -1;
  if (!IsLocal(f)) {
    const long long position = RmtLSeek(f->descriptor, std::llround(offset), whence);
    return position < 0 ? -1 : static_cast<double>(position);
  }
  Quiet quiet;
  FileIO_Seek(f->descriptor, offset, whence);
  if (FileIO_ioError != 0) return -1;
  const double position = FileIO_GetPos(f->descriptor);
  return FileIO_ioError != 0 ? -1 : position;
}

bool BRmt_FStat(BRmt_File f, int& flag, double& modifyTime, double& size) {
  if (!BRmt_LegalFileHandle(f)) return false;
  if (!IsLocal(f)) {
    long long mtime = 0, bytes = 0;
    if (RmtFStat(f->descriptor, &flag, &mtime, &bytes) != 0) return false;
    modifyTime = static_cast<double>(mtime);
    size = static_cast<double>(bytes);
    return true;
  }
  Quiet quiet;
  DirAcces_DirEntry entry{};
  DirAcces_FileStatF(f->descriptor, entry);
  if (DirAcces_dirError != 0) return false;
  flag = 0;
  modifyTime = static_cast<double>(entry.modifyTime);
  size = entry.size;
  return true;
}

bool BRmt_TpInitTape(StrIn name, bool local) {
  const std::string n = Name(name);
  if (IsRemote(n, local)) return RmtTpInitTape(n.c_str(), false) == 0;
  return TAPEsupp_InitTape(n);
}

bool BRmt_TpTapeOp(BRmt_File f, int op, int count) {
  if (!BRmt_LegalFileHandle(f)) return false;
  return IsLocal(f) ? TAPEsupp_TapeOp(f->descriptor, op, count)
                    : RmtTpTapeOp(f->descriptor, op, count) == 0;
}

bool BRmt_TpGetPos(BRmt_File f, long& residual, long& fileNumber, long& blockNumber) {
  if (!BRmt_LegalFileHandle(f)) return false;
  if (IsLocal(f)) return TAPEsupp_GetPos(f->descriptor, residual, fileNumber, blockNumber);
  return RmtTpGetPos(f->descriptor, &residual, &fileNumber, &blockNumber) == 0;
}

bool BRmt_TpSeekTo(BRmt_File f, int n) {
  if (!BRmt_LegalFileHandle(f)) return false;
  return IsLocal(f) ? TAPEsupp_SeekTo(f->descriptor, n) : RmtTpSeekTo(f->descriptor, n) == 0;
}

long BRmt_TpReadBlock(BRmt_File f, long limit, char** buffer, long* size) {
  if (!BRmt_LegalFileHandle(f)) return -1;
  if (IsLocal(f)) return TAPEsupp_ReadBlock(f->descriptor, limit, buffer, size);
  return RmtTpReadBlock(f->descriptor, buffer, size);
}
