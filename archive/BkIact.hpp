// The toolkit's interactive steps as modal dialogs: choosing a device (allocated while it
// is selected), waiting until the chosen devices are ready, deciding how a medium is to be
// written, confirming a recovered header or an overwrite, and showing the files that
// could not be read.
//
// Every dialog context is created on first use and kept for the rest of the run; each
// call fills it, runs it modally and reads what the user chose. Texts come from the
// message section "BkIact" (file errors from "BckRst").
#pragma once

#include <cstdint>

#include "BkArchiv.hpp"
#include "BkDevSel.hpp"
#include "BkFLists.hpp"
#include "Strings.hpp"

void BkIact_Init();

// Choices of the prepare-write dialog (AObj 1 after the dialog).
enum : std::int32_t {
  BkIact_choiceCancel = 0,
  BkIact_choiceNewStd = 1,
  BkIact_choiceNewAppendable = 2,
  BkIact_choiceNewDirectory = 3,
  BkIact_choiceAppend = 4,
  BkIact_choiceAppendDir = 5,
};

// Lets the user pick one device of the classes in classMask (bit 1 << class). Devices
// are allocated while selected and released when unselected. On return devList holds
// exactly one selected, allocated device, or -- after "archived medium" in archive mode --
// the device made for the archived medium chosen in the media list; cancelled: the list
// is destroyed with release. flag has no effect.
void BkIact_SelectDevices(BkDevSel_DevList& devList, std::uint32_t classMask, StrIn title,
                          bool archiveMode, std::uint8_t calledFrom, bool flag, bool& cancelled);

// Waits until every selected device is ready (and writable with forWrite), asking the
// user before each check ("AskContinue"); without askFirst the first check runs at once.
void BkIact_ReadyWait(BkDevSel_DevList devList, bool askFirst, bool forWrite, bool& cancelled);

// The dialog kind of the prepare-write dialog for what the first block of a medium told
// (format, dirSize) and what the device allows. Exposed for the catalogue's checks.
int BkIact_PrepareKind(std::uint8_t mediaFormat, std::int32_t dirSize, bool canAppend,
                       bool forceNew);

// The header a backup writes into for the medium in device: a new one (of the format the
// user chose) or the one on the medium to append to. hdr is nullptr when cancelled. mode
// has no effect.
void BkIact_PrepareWriteMedia(DevListEntry& device, Header*& hdr, bool forceNew, int mode,
                              bool& cancelled);

// True when the user accepts a header that had to be recovered.
bool BkIact_ConfirmRecover(Header* hdr);

// Shows the four texts (an empty one shows the standard warning) and asks whether to
// overwrite; true only for the overwrite button.
bool BkIact_ConfirmOverwrite(StrIn text1, StrIn text2, StrIn text3, StrIn text4);

// Shows the files that failed with the error of the selected one; cancelled when left
// with the cancel button. The list's selection and views are changed for the display.
void BkIact_ErrFilesDialog(FileList fileList, long count, bool& cancelled);

// Kept for callers of the older entry points; they choose nothing.
DevListEntry* BkIact_BckSelectDevice();
DevListEntry* BkIact_RstSelectDevice();
