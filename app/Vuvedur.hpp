// The application module: the context both modes share, its module state, and the
// entries of the backup and restore modes.
#pragma once

#include <array>
#include <cstdint>

#include "Strings.hpp"

// Records of the lower layers the context refers to; each layer defines its own.
struct DevListEntry;  // one device of the device catalogue
struct DevList;       // the list the device selection returns
struct Header;        // the media header with its archives
struct OrderEntry;    // one order of the main dialog's list
struct NameList;      // the known job roots

// A dialog of the framework; Vuvedur_NilDialog until created.
using VuvedurDialog = std::intptr_t;
inline constexpr VuvedurDialog Vuvedur_NilDialog = 0;

struct VuvedurData {
  DevListEntry* device = nullptr;
  DevList* deviceList = nullptr;
  Header* header = nullptr;
  VuvedurDialog backupDialog = Vuvedur_NilDialog;
  VuvedurDialog restoreDialog = Vuvedur_NilDialog;
  VuvedurDialog changeHostsDialog = Vuvedur_NilDialog;
  OrderEntry* orders = nullptr;
  char jobRoot[128] = {};
  NameList* jobRootList = nullptr;
  double usedOnMedium = 0;  // bytes already on the medium
  double freeOnMedium = 0;  // capacity minus usedOnMedium
  double selectedSize = 0;  // bytes of the marked orders
  double diskSpace = 0;     // free bytes below the job root, -1 when unknown
  double nativeCapacity = 0;
  double capacity = 0;
};

using Vuvedur_Color = std::array<std::uint32_t, 3>;

// Module state.
extern VuvedurData* Vuvedur_dataRef;
extern char Vuvedur_thisHost[128];
extern char Vuvedur_formRegExp[128];
extern char Vuvedur_poolRegExp[128];
extern char Vuvedur_psRegExp[128];
extern const Vuvedur_Color Vuvedur_colorBlack;
extern const Vuvedur_Color Vuvedur_colorBlue;
inline constexpr char Vuvedur_sectionN[] = "Vuvedur";
inline constexpr char Vuvedur_sectionBck[] = "Vuvedur_Bck";
inline constexpr char Vuvedur_sectionRst[] = "Vuvedur_Rst";
inline constexpr char Vuvedur_sectionChange[] = "Vuvedur_ChangeHosts";
inline constexpr char Vuvedur_dataType[] = "Offset-Folvane";

void Vuvedur_Init();

VuvedurData* Vuvedur_Create();
// Releases what the context holds (not its dialogs); a nil context is ignored and a
// second call does nothing harmful.
void Vuvedur_Free(VuvedurData* context);

void Vuvedur_Backup();
void Vuvedur_Restore();

double Vuvedur_ByteToGB(double bytes);
double Vuvedur_GBToByte(double gb);
