#include "TpDrive.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "UCommon.hpp"

namespace {

int LinuxOpen(const char* path, int flags, int mode) { return ::open(path, flags, mode); }
int LinuxClose(int fd) { return ::close(fd); }
ssize_t LinuxRead(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }
ssize_t LinuxWrite(int fd, const void* buffer, std::size_t size) {
  return ::write(fd, buffer, size);
}

int LinuxTapeOp(int fd, int op, int count) {
  mtop mt{};
  mt.mt_op = static_cast<short>(op);
  mt.mt_count = count;
  return ::ioctl(fd, MTIOCTOP, &mt) < 0 ? -1 : 0;
}

int LinuxGetPos(int fd, long* residual, long* fileNumber, long* blockNumber) {
  mtget status{};
  if (::ioctl(fd, MTIOCGET, &status) < 0) return -1;
  *residual = status.mt_resid;
  *fileNumber = status.mt_fileno;
  *blockNumber = status.mt_blkno;
  return 0;
}

int LinuxSetBlockSize(int fd, int size) { return LinuxTapeOp(fd, MTSETBLK, size); }

const TpDriveOps linuxDrive{"linux",    nullptr,     LinuxOpen,   LinuxClose,       LinuxRead,
                            LinuxWrite, LinuxTapeOp, LinuxGetPos, LinuxSetBlockSize};

std::vector<const TpDriveOps*> others;
// The drive of each descriptor opened through the seam (nullptr: the Linux drive).
std::vector<const TpDriveOps*> byFd;

}  // namespace

void TpDrive_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "TpDrive");
  if (!init) return;
  UCommon_Init();
}

const TpDriveOps& TpDrive_Linux() { return linuxDrive; }

void TpDrive_Register(const TpDriveOps& ops) {
  for (const TpDriveOps* o : others) {
    if (o == &ops) return;
  }
  others.insert(others.begin(), &ops);
}

const TpDriveOps& TpDrive_For(const char* path) {
  for (const TpDriveOps* o : others) {
    if (o->claims != nullptr && o->claims(path)) return *o;
  }
  return linuxDrive;
}

const TpDriveOps& TpDrive_OfFd(int fd) {
  if (fd >= 0 && static_cast<std::size_t>(fd) < byFd.size() && byFd[fd] != nullptr) {
    return *byFd[fd];
  }
  return linuxDrive;
}

int TpDrive_Open(const char* path, int flags, int mode) {
  const TpDriveOps& drive = TpDrive_For(path);
  const int fd = drive.open(path, flags, mode);
  if (fd < 0) return -1;
  if (static_cast<std::size_t>(fd) >= byFd.size()) byFd.resize(fd + 1, nullptr);
  byFd[fd] = &drive == &linuxDrive ? nullptr : &drive;
  return fd;
}

int TpDrive_Close(int fd) {
  const TpDriveOps& drive = TpDrive_OfFd(fd);
  if (fd >= 0 && static_cast<std::size_t>(fd) < byFd.size()) byFd[fd] = nullptr;
  return drive.close(fd);
}

ssize_t TpDrive_Read(int fd, void* buffer, std::size_t size) {
  return TpDrive_OfFd(fd).read(fd, buffer, size);
}

ssize_t TpDrive_Write(int fd, const void* buffer, std::size_t size) {
  return TpDrive_OfFd(fd).write(fd, buffer, size);
}
