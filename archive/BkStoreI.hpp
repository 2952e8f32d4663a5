// The media store's dialogs: labelling a medium, choosing a known medium (reserved while
// it is selected), searching the media list, printing it, removing header copies, and
// bringing a known medium into a drive, through a jukebox when one holds it.
//
// Every dialog context is created on first use and kept for the rest of the run. Texts
// come from the message section "BkStoreI".
#pragma once

#include <cstdint>

#include "BkArchiv.hpp"
#include "BkDevSel.hpp"
#include "BkStore.hpp"
#include "Strings.hpp"

void BkStoreI_Init();

// Lets the user choose a device (any class but separators, caller kind 1) and labels the
// medium in it; hdr is the new header, nullptr when none was written.
void BkStoreI_LabelMedia(Header*& hdr);
// Waits for the device, checks what the medium holds (data that is not an empty label
// must be confirmed), asks for the comment lines and writes a fresh label.
void BkStoreI_LabelMediaInDev(DevListEntry& device, Header*& hdr);

// The media list for the caller kind: media are reserved while selected. A copy of the
// chosen medium, holding its reservation, or nullptr (cancelled; nothing held).
MediaInfo* BkStoreI_SelectMedia(std::uint8_t calledFrom, StrIn title, bool& cancelled);
// The chosen medium as a device entry that restores from its header copy: selected,
// isArchive, holding the medium's reservation as storeResourceID.
DevListEntry* BkStoreI_SelectMedia1(std::uint8_t calledFrom, StrIn title, bool& cancelled);

// Finds the medium by identification label (known: among the known media) and, with a
// device name, binds it to that device and brings it there. mi is the caller's copy; its
// device is bound to the known medium too, so the caller destroys it with release
// (BkStore_DestroyMediaInfo(list, true)), which unbinds it.
void BkStoreI_LoadMedia(StrIn label, StrIn deviceName, bool& ok, bool& known, MediaInfo*& mi);
// Loads the medium through its jukebox when it can, and otherwise asks the user to insert
// it until the device holds it (true) or the user gives up (false).
bool BkStoreI_TransportMediaToDevice(MediaInfo* mi);

// The resource editor: the reservations at the resource manager whose names the regular
// expression matches, with holder host, process and uses; the operator may release one
// after a question whose "yes" is never the default.
void BkStoreI_EditResources(StrIn pattern);

// Browsing the media list; a chosen medium is released again.
void BkStoreI_ArchiveManagement();
// Kept for callers of the older entry point; it chooses nothing.
bool BkStoreI_SelectDevice();

// Seams for tests: the printing command of a media list print job (default "lpr").
void BkStoreI_SetPrintCommand(StrIn command);
