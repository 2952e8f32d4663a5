// Device lists for the toolkit's dialogs: catalogue records turned into entries with
// their capabilities (base type, subtype, capacities, block sizes), the per-device
// settings of "devices.cfg", media IDs, reservations and the readiness check.
//
// A list is a chain of DevListEntry; an entry of class 0 is a separator between class
// groups. BkDevSel reports no errors of its own: errors while reading "devices.cfg" or
// making directories are ignored and forgotten, readiness is told by two booleans.
#pragma once

#include <cstdint>

#include "DynStr.hpp"
#include "SDevAllo.hpp"
#include "Strings.hpp"

void BkDevSel_Init();

// Base types.
enum : std::uint8_t {
  BkDevSel_unknownType = 0,
  BkDevSel_tape = 1,
  BkDevSel_disk = 2,
  BkDevSel_filesys = 3,
  BkDevSel_proof = 4,
  BkDevSel_plot = 5,
  BkDevSel_text = 6,
};
// Tape subtypes.
enum : std::uint8_t {
  BkDevSel_tpUnknown = 0,
  BkDevSel_tpExa = 1,
  BkDevSel_tpMammoth = 2,
  BkDevSel_tpMammoth2 = 3,
  BkDevSel_tpDat = 4,
  BkDevSel_tpDlt = 5,
  BkDevSel_tpAmpex = 6,
  BkDevSel_tpAit = 7,
  BkDevSel_tpAit2 = 8,
  BkDevSel_tpGeneric = 9,
};
// Disk subtypes.
enum : std::uint8_t { BkDevSel_dskFloppy = 1, BkDevSel_dskMod = 2, BkDevSel_dskShuttle = 3 };
// File-system subtypes.
enum : std::uint8_t { BkDevSel_fsUnix = 1 };

inline constexpr int BkDevSel_mediaIDNone = -1;

struct BkDevSel_Rgb {
  std::uint8_t red, green, blue;
};

// Capacity fields by base type (bytes).
struct BkDevSel_TapeCaps {
  double nativeCapacity, maxCapacity;
  unsigned blkDevice;  // 0: variable blocks
};
struct BkDevSel_DiskCaps {
  double capacity;
};
struct BkDevSel_FsCaps {
  DS root, rootR, rootW;
  double capacity;
  bool readOnly, writeOnce, manualFlush;
  DS mountCmdR, mountCmdW, umountCmdR, umountCmdW, eraseCmd, flushCmd, unloadCmd, getCapacityCmd,
      getFreeSpaceCmd;  // dsNil when not configured
};

struct DevListEntry {
  DevListEntry* next;
  bool selected;
  char label[128];
  BkDevSel_Rgb colour;
  SDevAllo_Device record;  // a copy, its link and selected flag cleared
  bool allocated;          // resourceID is held
  char resourceID[128];
  std::uint8_t baseType, subtype;
  bool compression;
  BkDevSel_TapeCaps tape;  // the one of the three that the base type names
  BkDevSel_DiskCaps disk;
  BkDevSel_FsCaps fs;
  bool canAppend, softCompress;
  unsigned blkHeader, blkData;
  long dirSize;  // -1 for file systems
  bool isLocal;
  bool isArchive;  // an archive file of the media store
  char storeLabel[128], archiveFile[128], storeResourceID[128];
  bool forWrite;  // direction of the last readiness check
};
using BkDevSel_DevList = DevListEntry*;

// ---- Classes and their texts ----
std::uint8_t BkDevSel_GetBaseDevType(std::uint8_t devClass);
const char* BkDevSel_BaseDevTypeToString(std::uint8_t baseType);
// Subtype of a tape class (7 to 9) from its description; 0 for other classes.
std::uint8_t BkDevSel_TpGetSubType(std::uint8_t devClass, StrIn description);
const char* BkDevSel_TpSubTypeToString(std::uint8_t subtype);
std::uint8_t BkDevSel_DskGetSubType(std::uint8_t devClass);
const char* BkDevSel_DskSubTypeToString(std::uint8_t subtype);
const char* BkDevSel_FsSubTypeToString(std::uint8_t subtype);
bool BkDevSel_TpGetCompression(std::uint8_t devClass, std::uint8_t subtype);

// ---- Catalogue ----
void BkDevSel_SetFileBackupMode(bool on);
// The catalogue copy, with the file-backup device in front while that mode is on.
SDevAllo_DevList BkDevSel_GetListOfAllDevices();

// ---- Lists ----
// Rebuilds list for the classes whose bit (1 << class) is in classMask: free devices get
// new entries, devices in use only come back as the old selected entry (with its
// reservation); the old list is destroyed with release.
void BkDevSel_SetupDevList(BkDevSel_DevList& list, std::uint32_t classMask);
// Every device of the masked classes, in use or not (an old list is destroyed without
// release).
void BkDevSel_SetupFullDevList(BkDevSel_DevList& list, std::uint32_t classMask);
// Every device whose devName or altDevName is name.
void BkDevSel_SetupDevListByDevName(BkDevSel_DevList& list, StrIn name);
DevListEntry* BkDevSel_CopyDevListEntry(const DevListEntry& entry);
// Unlinks entry from list (when it is there) and frees it; with release its reservations go.
void BkDevSel_DestroyDevListEntry(BkDevSel_DevList& list, DevListEntry* entry, bool release);
void BkDevSel_DestroyDevList(BkDevSel_DevList& list, bool release);

DevListEntry* BkDevSel_FirstDev(BkDevSel_DevList list);
DevListEntry* BkDevSel_NextDev(DevListEntry* entry);
DevListEntry* BkDevSel_FirstSelectedDev(BkDevSel_DevList list);
DevListEntry* BkDevSel_NextSelectedDev(DevListEntry* entry);
unsigned BkDevSel_CountSelectedDevs(BkDevSel_DevList list);
unsigned BkDevSel_LongestDescription(BkDevSel_DevList list);
// Labels of the selected entries joined by ", ".
void BkDevSel_DevsToString(BkDevSel_DevList list, StrOut text);

// ---- Reservations ----
bool BkDevSel_AllocateThisDevice(DevListEntry& entry, bool forWrite);
// Reserves the first entry that can be had and selects it; nullptr when none.
DevListEntry* BkDevSel_AllocateOneDevice(BkDevSel_DevList list, bool forWrite);
void BkDevSel_ReleaseDevice(DevListEntry& entry);
bool BkDevSel_DeviceInUse(const DevListEntry& entry);

// ---- Capacities and media IDs ----
void BkDevSel_DevDescToCapacity(const DevListEntry& entry, double& min, double& max);
void BkDevSel_DeviceCapacity(const DevListEntry* entry, double& min, double& max);
void BkDevSel_SetNativeCapacity(DevListEntry& entry, double value);
int BkDevSel_DevClassToMediaID(std::uint8_t devClass, std::uint8_t subtype);
std::uint8_t BkDevSel_MediaIDToDevClass(int id);
void BkDevSel_MediaIDToString(int id, StrOut text);
void BkDevSel_MediaIDToCapacity(int id, double& min, double& max);

// Fills an entry's capabilities from its record and "devices.cfg" (FillCaps) and frees
// its file-system strings (FreeCaps).
void BkDevSel_FillCaps(DevListEntry& entry);
void BkDevSel_FreeCaps(DevListEntry& entry);

// ---- Readiness ----
// Tape and disk: opened for reading (ready) and for writing (writable). File system:
// mounted by its commands, with the read-only and write-once rules; fs.root is the root
// to use afterwards.
void BkDevSel_CheckDevReady(DevListEntry& entry, bool forWrite, bool& ready, bool& writable);
// Unmounts both sides of a file-system device (its unmount commands; nothing else).
void BkDevSel_Unmount(DevListEntry& entry);
