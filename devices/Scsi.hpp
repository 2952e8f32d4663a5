// The SCSI channel: commands sent to medium changers and raw disks through the Linux SCSI
// generic driver (one write of the 36-byte sg header and the command, one read of the
// header and the data), and the dev_ layer, a byte-addressed block device on top of a
// SCSI disk or a plain file.
//
// The C-style layer keeps its error code in ScsiError (system error in ScsiErrno) and
// writes its own diagnostics to standard error. The platform calls sit behind the
// Scsi_SPI seam: the sg driver by default, other devices (the simulated medium changer)
// register a table of their own and claim the paths that name them.
#pragma once

#include <sys/types.h>

#include <cstddef>

void Scsi_Init();

constexpr int ScsiHeaderLen = 36;
constexpr int ScsiBuffLen = 32768;
constexpr int ScsiMaxBuff = 32720;  // the largest data transfer of one command
constexpr int ScsiMaxChannels = 256;

// Error codes of ScsiError.
enum ScsiErrorCode {
  SCSI_OK = 0,
  SCSI_ENULL = 1,
  SCSI_ENOMEMCHAN = 2,
  SCSI_EPATH = 3,
  SCSI_EOPEN = 4,
  SCSI_ECLOSE = 5,
  SCSI_ENOMEMREQ = 6,
  SCSI_EINQSIZE = 12,
  SCSI_EBADCHAN = 13,
  SCSI_ECAPACITY = 17,
  SCSI_EWHENCE = 20,
  SCSI_EFILEOPEN = 21,
};

extern int ScsiError;
extern int ScsiErrno;
const char* ScsiStrError(int code);
const char* ScsiDeviceTypeToStr(int type);

// The platform calls beneath the channel. The sg driver's table uses open/close/read/
// write/ioctl system calls; another table claims its own paths.
struct ScsiSgOps {
  const char* name;
  bool (*claims)(const char* path);  // nullptr for the sg driver (takes every path)
  int (*open)(const char* path, int flags);
  int (*close)(int fd);
  ssize_t (*write)(int fd, const void* buffer, std::size_t size);
  ssize_t (*read)(int fd, void* buffer, std::size_t size);
  int (*ioctl)(int fd, unsigned long request, void* argument);
};
const ScsiSgOps& Scsi_SPI_Linux();
// Asked before the sg driver, the latest registered first.
void Scsi_SPI_Register(const ScsiSgOps& ops);

struct ScsiAddress {
  int host = -1, channel = -1, id = -1, lun = -1, bus = -1;
};

struct ScsiChannel {
  char path[1024];
  char trueName[1024];
  int fd;
  int mode;
  long long position;
  bool isScsi;
  ScsiAddress address;
  bool capacityKnown;
  unsigned long lastBlock;
  unsigned long blockSize;
  const ScsiSgOps* ops;
};

struct ScsiRequest {
  int cmdLen;
  unsigned char cmd[12];
  unsigned char* data;
  int dataLen;
  bool toDevice;
  unsigned char sense[16];
  int result;
  unsigned char buffer[ScsiBuffLen];  // header, command and data of the transfer
};

ScsiChannel* ScsiOpen(const char* path);
int ScsiClose(ScsiChannel* channel);
int ScsiGetFd(const ScsiChannel* channel);
const ScsiAddress* ScsiGetInfo(const ScsiChannel* channel);

// Building and submitting requests; 0 or -1.
ScsiRequest* ScsiNewReq();
void ScsiFreeReq(ScsiRequest* request);
int Scsi6(ScsiRequest* r, const unsigned char cmd[6], void* data, int length, bool toDevice);
int Scsi10(ScsiRequest* r, const unsigned char cmd[10], void* data, int length, bool toDevice);
int Scsi12(ScsiRequest* r, const unsigned char cmd[12], void* data, int length, bool toDevice);
int ScsiSubmit(ScsiChannel* channel, ScsiRequest* request);
int Scsi6Submit(ScsiChannel* c, const unsigned char cmd[6], void* data, int length, bool toDevice);
int Scsi10Submit(ScsiChannel* c, const unsigned char cmd[10], void* data, int length,
                 bool toDevice);
int Scsi12Submit(ScsiChannel* c, const unsigned char cmd[12], void* data, int length,
                 bool toDevice);
// Copies up to 16 sense bytes of the request (the shared one when request is nullptr);
// the number copied.
int ScsiGetSense(const ScsiRequest* request, unsigned char* buffer, int length);
int ScsiReset(ScsiChannel* channel);
int ScsiResetAll(ScsiChannel* channel);
void SetDebug();
int Scsi_SPI_ScsiSubmit(ScsiChannel* channel, ScsiRequest* request);

struct ScsiInquiryData {
  int qualifier, deviceType, removable, typeModifier;
  int isoVersion, ecmaVersion, ansiVersion;
  int aenc, trmIOP, responseFormat;
  unsigned char additional[3];  // additional length and the two bytes that follow
  int relAdr, wBus32, wBus16, sync, linked, reserved, cmdQue, sftRe;
  char vendor[9], product[17], revision[5];
  unsigned char vendorSpecific[20];
};

struct ScsiModeHeader {
  int dataLength, mediumType, deviceSpecific, descriptorLength;
  int densityCode;
  unsigned long nBlocks;
  int reserved;
  unsigned long blockLength;
  const unsigned char* firstPage;
};

int ScsiInquiry(ScsiChannel* c, unsigned char* buffer, int size, ScsiInquiryData* parsed);
int ScsiReadCapacity(ScsiChannel* c, unsigned long* lastBlock, unsigned long* blockSize);
int ScsiReadBlockLimits(ScsiChannel* c, unsigned long* max, unsigned long* min);
int ScsiRequestSense(ScsiChannel* c, unsigned char* buffer, int length);
int ScsiLock(ScsiChannel* c);
int ScsiUnlock(ScsiChannel* c);
int ScsiStart(ScsiChannel* c);
int ScsiStop(ScsiChannel* c);
int ScsiEject(ScsiChannel* c);
int ScsiReserve(ScsiChannel* c);
int ScsiRelease(ScsiChannel* c);
int ScsiModeSense6(ScsiChannel* c, int pageControl, int page, unsigned char* buffer, int length,
                   ScsiModeHeader* parsed);
int ScsiModeSelect6(ScsiChannel* c, int pf, int sp, unsigned char* buffer, int length);
int ScsiModeSense10(ScsiChannel* c, int pageControl, int page, unsigned char* buffer, int length);
int ScsiModeSelect10(ScsiChannel* c, int pf, int sp, unsigned char* buffer, int length);
int ScsiRead(ScsiChannel* c, void* buffer, unsigned long block, int count, int blockSize);
int ScsiWrite(ScsiChannel* c, const void* buffer, unsigned long block, int count, int blockSize);
int ScsiReadExtended(ScsiChannel* c, void* buffer, unsigned long block, int count, int blockSize);
int ScsiWriteExtended(ScsiChannel* c, const void* buffer, unsigned long block, int count,
                      int blockSize);
int INITIALIZE_ELEMENT_STATUS(ScsiChannel* c);
int READ_ELEMENT_STATUS(ScsiChannel* c, int first, int count, unsigned char* buffer, int length);
int MOVE_MEDIUM(ScsiChannel* c, int transport, int source, int destination);

// The dev_ layer: descriptors index the channel table.
int dev_open(const char* path, int mode);
int dev_close(int fd);
long dev_nblocks(int fd);
long dev_blocksize(int fd);
ScsiChannel* dev_scsiChan(int fd);
long long dev_lseek(int fd, long long offset, int whence);
ssize_t dev_read(int fd, void* buffer, std::size_t size);
ssize_t dev_write(int fd, const void* buffer, std::size_t size);
ssize_t ndev_read(int fd, void* buffer, std::size_t size);
ssize_t ndev_write(int fd, const void* buffer, std::size_t size);
long long ndev_lseek(int fd, long long offset, int whence);
