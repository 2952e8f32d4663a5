// The device catalogue of the installation and device reservations.
//
// The catalogue "devices.Velmar" is found along ZOLTENV and read once per process (again
// only while it gave no record). Each line names one device in five colon-separated
// fields: class name, host, device name, alternative device name, description. "#"
// starts a comment unless a backslash precedes it; a backslash before a colon keeps the
// colon in the field (unless it ends the line), and backslashes stay in the texts. An
// empty host is the local machine. A line with an empty device name or more than five
// fields is skipped with a note "SDevAllo: <file>:<line>: <why>, line skipped" on
// standard error; the rest of the catalogue still loads.
//
// Lists handed out are copies; their inUse flags are asked of the resource manager at
// every copy. A device is reserved under "<host>:<devName>" ("|" in the name written
// "X") with the resource manager's read suffix or ":*" for writing.
//
// SDevAllo_error: 1 catalogue not found (reported as ("SDevAllo", 1) after the lookup's
// own reason), 3 catalogue without records, 5 no selected record, 6 reservation refused.
// List functions return nullptr while it is set.
#pragma once

#include <cstdint>
#include <string>

#include "Strings.hpp"

void SDevAllo_Init();

// Device classes (catalogue class names in SDevAllo_ClassName).
enum : std::uint8_t {
  SDevAllo_unknown = 0,
  SDevAllo_floppy35 = 1,
  SDevAllo_floppy525 = 2,
  SDevAllo_shuttle = 3,
  SDevAllo_aillicShuttle = 4,
  SDevAllo_mod270 = 5,
  SDevAllo_mod1GB = 6,
  SDevAllo_magtape = 7,
  SDevAllo_exa8200 = 8,
  SDevAllo_exa8500 = 9,
  SDevAllo_novaJET = 10,
  SDevAllo_formplot = 11,
  SDevAllo_unixFS = 12,
  SDevAllo_textPrinter = 13,
};
inline constexpr int SDevAllo_lastClass = 13;

// One catalogue record.
struct SDevAllo_Device {
  SDevAllo_Device* next;
  bool selected;  // candidate of SDevAllo_AllocateDevice
  char description[128];
  std::uint8_t devClass;
  bool inUse;
  char host[128];
  char devName[1024];
  char altDevName[1024];  // also the section of the device in "devices.cfg"
};
using SDevAllo_DevList = SDevAllo_Device*;

extern int SDevAllo_error;

// The class of a catalogue class name (blanks at both ends ignored; 0 for other names),
// and the catalogue name of a class ("" for 0 and others).
std::uint8_t SDevAllo_ClassOfName(StrIn name);
const char* SDevAllo_ClassName(std::uint8_t devClass);

// Copies of all records / the free records of a class / the records of a class on host
// (empty host: this machine; a record without host matches every host).
SDevAllo_DevList SDevAllo_GetListOfAllDevices();
SDevAllo_DevList SDevAllo_GetListOfFreeDevices(std::uint8_t devClass);
SDevAllo_DevList SDevAllo_GetListOfDevices(std::uint8_t devClass, StrIn host);
void SDevAllo_Destroy(SDevAllo_DevList& list);

// Reserves the first selected record and frees the list (resourceID empty and error 5
// without one; error 6 when refused).
bool SDevAllo_AllocateDevice(SDevAllo_DevList& list, bool forWrite, StrOut host, StrOut devName,
                             StrOut resourceID);
// Reserves one record (held until released or this process ends).
bool SDevAllo_AllocateThisDevice(const SDevAllo_Device& device, bool forWrite, StrOut resourceID);
void SDevAllo_ReleaseDevice(StrIn resourceID);
void SDevAllo_BuildResourceID(StrIn host, StrIn devName, bool forWrite, StrOut id);
// The devName of the first record on this machine whose altDevName is altDevName.
bool SDevAllo_DevnameFromAltdevn(StrIn altDevName, StrOut devName);

// ---- The reader itself (used by the above; open for the fuzz target and tools) ----

// Parses catalogue text; fileName only names the source in the notes (none when quiet).
// Records are appended in line order; nullptr when the text holds none.
SDevAllo_DevList SDevAllo_ParseCatalogue(const std::string& text, const std::string& fileName,
                                         StrIn localHost, bool quiet = false);
// The path the kept catalogue was read from (empty when none was found).
const std::string& SDevAllo_CataloguePath();
// Forgets the kept catalogue and the error, so that the next use reads the file again.
void SDevAllo_Reset();
