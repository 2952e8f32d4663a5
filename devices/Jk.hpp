// Jukebox control: the descriptor of one jukebox (its robots, slots, ports and drives and
// what each holds), loaded and saved through a driver, and the media moves.
//
// Drivers sit behind one table of operations; three exist: "FILESYS" (a pseudo jukebox of
// directories), "SCSI" (a changer through the SCSI channel) and "NET" (a jukebox server
// over TCP). The shared helpers (Juke_SPU_...) keep the state file: the labels and
// descriptions the changer itself cannot know.
//
// The layer returns false on failure and writes its messages to standard error.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

void Jk_Init();

enum JkDriveType { jkUnknown = 0, jkTape = 1, jkDisk = 2, jkCdrom = 3, jkFile = 4, jkFilesys = 5 };
int JkStrToDriveType(std::string_view text);
const char* JkDriveTypeToStr(int type);

struct JkElement {
  int id = 0;
  int index = 0;
  int fromID = -1, fromIndex = -1;
  std::string description, label;
  bool cleaningMedia = false;
  bool ok = true;
  bool full = false;
  bool changed = false;
  // drives only
  int driveType = jkUnknown;
  std::string device, scsiDevice;
  bool resetOnError = false, pollForReady = false;
  int pollSleepTime = 10;
};

struct JkDriver;

struct JkJukeDesc {
  std::string name, comment, type, device, server, stateFile;
  int loadSleepTime = 60, unloadSleepTime = 0, retrySleepTime = 20, resetSleepTime = 20,
      cleanSleepTime = 120;
  long maxLockTime = 300;
  std::vector<int> cleaningTapes;
  int nRobos = 0, nSlots = 0, nPorts = 0, nDrives = 0;
  std::vector<JkElement> robos, slots, ports, drives;
  long long stateStamp = 0;
  bool modified = false;
  bool remote = false;
  const JkDriver* driver = nullptr;
  int serverFd = -1;  // NET only
  int lockFd = -1;    // the lock this process holds on the jukebox
};

// The table of one driver; every operation answers true on success.
struct JkDriver {
  const char* name;
  const char* description;
  bool (*InitDriver)();
  bool (*InitInventory)(JkJukeDesc& d);
  bool (*LoadState)(JkJukeDesc& d);
  bool (*SaveState)(JkJukeDesc& d);
  bool (*StateModified)(JkJukeDesc& d, bool& modified);
  bool (*CopyJukeDesc)(JkJukeDesc& to, const JkJukeDesc& from);
  void (*FreeJukeDesc)(JkJukeDesc& d);
  bool (*LockJukeBox)(JkJukeDesc& d);
  bool (*UnlockJukeBox)(JkJukeDesc& d);
  bool (*SetDescription)(JkJukeDesc& d, const JkElement& e, const char* text);
  bool (*SetLabel)(JkJukeDesc& d, const JkElement& e, const char* text);
  bool (*ResetDrive)(JkJukeDesc& d, const JkElement& drive);
  bool (*LoadMedia)(JkJukeDesc& d, const JkElement& slot, const JkElement& drive);
  bool (*UnloadMedia)(JkJukeDesc& d, const JkElement& drive, const JkElement& slot);
  bool (*ImportMedia)(JkJukeDesc& d, const JkElement& port, const JkElement& slot);
  bool (*ExportMedia)(JkJukeDesc& d, const JkElement& slot, const JkElement& port);
  bool (*CleanDrive)(JkJukeDesc& d, const JkElement& slot, const JkElement& drive);
};

// The drivers in their announce order: FILESYS, NET, SCSI.
const std::vector<const JkDriver*>& Juke_SPI_Drivers();
const JkDriver* Juke_SPI_Find(std::string_view name);

// ---- configuration
struct JkJukeInfo {
  std::string comment, name, device, type, server;
};
bool JkQueryJukes(std::vector<JkJukeInfo>& list);
void JkFreeJukeList(std::vector<JkJukeInfo>& list);
// Forgets the configuration read so far (the next use reads juke.conf again).
void Jk_ForgetConfig();
// Fills the descriptor's configuration from its section (name must be set).
bool Jk_ConfigureDesc(JkJukeDesc& d);

// ---- descriptor
bool JkLoadState(const char* name, JkJukeDesc& d);
bool JkSaveState(JkJukeDesc& d);
bool JkUpdateState(JkJukeDesc& d);
bool JkCopyJukeDesc(JkJukeDesc& to, const JkJukeDesc& from);
void JkFreeJukeDesc(JkJukeDesc& d);

JkElement* JkSelectRobo(JkJukeDesc& d, int index);
JkElement* JkSelectSlot(JkJukeDesc& d, int index);
JkElement* JkSelectPort(JkJukeDesc& d, int index);
JkElement* JkSelectDrive(JkJukeDesc& d, int index);
JkElement* JkSelectSlotByID(JkJukeDesc& d, int id);
// Elements numbered across the lists in element order (robots, slots, ports, drives):
// how the network protocol names an element.
int Jk_ElementNumber(const JkJukeDesc& d, const JkElement& e);
JkElement* Jk_ElementByNumber(JkJukeDesc& d, int number);

bool JkLockJukeBox(JkJukeDesc& d);
bool JkUnlockJukeBox(JkJukeDesc& d);
bool JkInitInventory(JkJukeDesc& d);
bool JkSetDescription(JkJukeDesc& d, JkElement& e, const char* text);
bool JkSetLabel(JkJukeDesc& d, JkElement& e, const char* text);
bool JkResetDrive(JkJukeDesc& d, JkElement& drive);

bool JkLoadMedia(JkJukeDesc& d, JkElement& slot, JkElement& drive);
bool JkUnloadMedia(JkJukeDesc& d, JkElement& drive, JkElement& slot);
bool JkPutBackMedia(JkJukeDesc& d, JkElement& drive);
bool JkDoLoadMedia(JkJukeDesc& d, int slot, int drive);
bool JkDoLoadByLabel(JkJukeDesc& d, const char* label, int drive);
bool JkImportMedia(JkJukeDesc& d, JkElement& slot);
bool JkExportMedia(JkJukeDesc& d, JkElement& slot);
bool JkCleanDrive(JkJukeDesc& d, JkElement& slot, JkElement& drive);

// The sleeps of the moves go through here so that tests need not wait.
void Jk_SetSleep(void (*sleep)(int seconds));

// ---- state file
// The state text of the descriptor; false ("Juke_SPU_BuildJukeState: bad values in
// jukeDesc") without robots, slots or drives.
bool Juke_SPU_BuildJukeState(const JkJukeDesc& d, std::string& text);
// Writes the state file (the previous one kept as a backup), mode 0666, and takes the
// state stamp from it.
bool Juke_SPU_WriteStateFile(JkJukeDesc& d);
// Reads a state text into the descriptor. Without merge the element lists are made from
// the text; with merge the text must describe the same elements and gives them their
// labels, descriptions, cleaning marks, change marks and origins. On failure the
// descriptor is unchanged and the reason is in error.
bool Juke_SPU_ScanJukeState(std::string_view text, JkJukeDesc& d, bool merge, std::string& error);
bool Juke_SPU_MergeStateFile(JkJukeDesc& d);

// ---- the network driver's reply reader (also used by the tests)
enum class JkReply { Ok, Error, Data, Broken };
// Reads one reply from fd: OK with its text, ERROR with number and text, DATA with the
// bytes that follow (at most 4096). Broken on anything else.
JkReply Juke_SPI_NET_ReadReply(int fd, long long& number, std::string& text);
constexpr int JkNetMaxData = 4096;

// Walks a READ ELEMENT STATUS reply into the descriptor's element lists (robots, slots,
// ports, drives by element type). A reply that is short, has a descriptor length of 0 or
// pages beyond the buffer is refused with the reason in error, the descriptor unchanged.
bool Juke_SPI_SCSI_ParseElementStatus(const unsigned char* buffer, std::size_t length,
                                      JkJukeDesc& d, std::string& error);
