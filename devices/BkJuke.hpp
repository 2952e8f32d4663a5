// Jukeboxes seen from the toolkit: which jukebox and slot hold a labelled medium, loading
// it into a drive that serves the wanted device, and reserving that device.
//
// Failures set BkJuke_error and are reported under the section "BkJuke" (1 the medium is
// in no jukebox, 2 the jukebox could not load it, 3 no free device serves the drive, 4 a
// jukebox could not be read), with the details as additional information beginning "::".
#pragma once

#include <string>
#include <vector>

#include "BkDevSel.hpp"
#include "Jk.hpp"

void BkJuke_Init();

extern int BkJuke_error;

// Where a medium is: a jukebox and a slot or a drive (the other index is -1).
struct BkJuke_Location {
  std::string juke;
  int slot = -1;
  int drive = -1;
};

// Elements chosen in a jukebox, by index.
struct BkJuke_Selection {
  std::vector<int> slots, ports, drives;
};

bool BkJuke_GetJukeInfo(std::vector<JkJukeInfo>& list);
// The slot or drive of a loaded descriptor that holds a full medium with the label.
bool BkJuke_SearchLabel(const JkJukeDesc& d, const char* label, BkJuke_Location& location);
// The first drive whose device is the device name or the alternative name, else 0.
int BkJuke_SearchDevice(const JkJukeDesc& d, const char* devName, const char* altDevName);
// Searches every jukebox of juke.conf for the label.
bool BkJuke_MediaInJuke(const char* label, BkJuke_Location& location);
// True when a drive of a jukebox serves the device (location: jukebox and drive).
bool BkJuke_IsJukeDev(const DevListEntry& device, BkJuke_Location& location);
// Loads the medium with the label into the drive that serves the device; ok tells
// whether the medium is in that drive now.
bool BkJuke_LoadMedia(const char* label, const DevListEntry& device, bool& ok);
// Reserves for writing the first free catalogue device named like the drive's device.
// The caller releases and frees the entry (BkDevSel_DestroyDevListEntry).
bool BkJuke_ReserveDevice(const char* juke, int drive, BkJuke_Location& location,
                          DevListEntry*& entry);
// Records a medium's label and description in its jukebox's state.
bool BkJuke_UpdateMediaInfo(const BkJuke_Location& location, const char* label,
                            const char* description);

// "slots 0 2 ports drives 1": the selected indexes after their words.
std::string BkJuke_EncodeSelection(const BkJuke_Selection& selection);
bool BkJuke_DecodeSelection(const std::string& text, BkJuke_Selection& selection);
