#include "BkIact.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BFileIO.hpp"
#include "BkArchiv.hpp"
#include "BkArchivRead.hpp"
#include "BkDevSel.hpp"
#include "BkFLists.hpp"
#include "BkStore.hpp"
#include "BkStoreI.hpp"
#include "DynStr.hpp"
#include "I.hpp"
#include "Imisc.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "SPrintf.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

namespace {

constexpr char kSection[] = "BkIact";
constexpr char kFileSection[] = "BckRst";

std::string Msg(StrIn section, std::uint32_t number) {
  char text[1024];
  Messages_GetMsg(section, number, text);
  return text;
}

// A message of the section with its one "%s" filled.
std::string Msg(std::uint32_t number, StrIn arg) {
  char text[1024];
  Messages_GetMsg(kSection, number, text);
  SPrintf_String(text, arg);
  return text;
}

void AddInfo(std::uint32_t number) { Messages_SupplyAdditionalInfo(Msg(kSection, number)); }

void CloseOnButton(I_Context ctx, std::int32_t, std::int32_t, void*) { I_Deactivate(ctx); }

bool DebugTrace() {
  const char* env = std::getenv("DEBUG");
  return env != nullptr && *env != '\0';
}

// ---- Choosing devices ----

constexpr std::int32_t kDevButtons = 1, kDevTitle = 2, kDevList = 3;
enum : std::int32_t { kDevOK = 1, kDevCancel = 2, kDevArchived = 3 };

struct DevDialog {
  I_Context plain = nullptr, archive = nullptr;
  BkDevSel_DevList* list = nullptr;
  std::vector<I_ListRec> shown;
  bool busy = false;
};
DevDialog devDlg;

void ShowDevices(I_Context ctx) {
  auto& shown = devDlg.shown;
  shown.clear();
  for (DevListEntry* e = BkDevSel_FirstDev(*devDlg.list); e != nullptr; e = BkDevSel_NextDev(e)) {
    I_ListRec r{};
    r.selected = e->selected ? 1 : 0;
    Strings_Assign(StrIn::FromC(e->label), r.text);
    r.colour = {e->colour.red, e->colour.green, e->colour.blue};
    shown.push_back(r);
  }
  for (std::size_t i = 0; i + 1 < shown.size(); ++i) shown[i].next = &shown[i + 1];
  I_PutList(ctx, kDevList, shown.empty() ? nullptr : shown.data());
}

void DevicesChanged(I_Context ctx, std::int32_t, std::span<const std::uint8_t>, void*) {
  if (devDlg.busy || devDlg.list == nullptr) return;
  devDlg.busy = true;
  std::size_t i = 0;
  for (DevListEntry* e = BkDevSel_FirstDev(*devDlg.list); e != nullptr;
       e = BkDevSel_NextDev(e), ++i) {
    if (i < devDlg.shown.size()) e->selected = devDlg.shown[i].selected != 0;
  }
  for (DevListEntry* e = BkDevSel_FirstDev(*devDlg.list); e != nullptr; e = BkDevSel_NextDev(e)) {
    if (e->record.devClass == 0) {
      e->selected = false;  // a separator between class groups
      continue;
    }
    if (e->allocated && !e->selected) {
      BkDevSel_ReleaseDevice(*e);
    } else if (e->selected && !e->allocated) {
      bool ok;
      {
        Messages_Ignoring quiet;
        ok = BkDevSel_AllocateThisDevice(*e, true);
        Messages_ForgetErrorReasons();
      }
      if (!ok) {
        e->selected = false;
        Imisc_StrErrMsg(Msg(12, StrIn::FromC(e->record.description)));
      }
    }
  }
  ShowDevices(ctx);
  devDlg.busy = false;
  if (I_WasDoubleClick() && BkDevSel_CountSelectedDevs(*devDlg.list) == 1) {
    I_PutINTEGER(ctx, kDevButtons, kDevOK);
    I_Deactivate(ctx);
  }
}

void DevButton(I_Context ctx, std::int32_t, std::int32_t value, void*) {
  if (value == kDevOK && BkDevSel_CountSelectedDevs(*devDlg.list) != 1) return;
  I_Deactivate(ctx);
}

// ---- Preparing a medium ----

constexpr std::int32_t kPrepChoice = 1, kPrepKind = 2, kPrepDevice = 3, kPrepName = 4,
                       kPrepType = 5, kPrepLabel = 6;
I_Context prepDlg = nullptr;

bool IsStd(std::uint8_t f) {
  return f == mfmtStdTar || f == mfmtStdTarA || f == mfmtStd || f == mfmtStdA || f == mfmtStdD;
}

void PrepButton(I_Context ctx, std::int32_t, std::int32_t, void*) { I_Deactivate(ctx); }

// The header copy of an archived medium stands for the medium.
void ParseArchiveFile(const DevListEntry& device, Header*& hdr) {
  Messages_Ignoring quiet;
  BFileIO_File file = BFileIO_Open(StrIn::FromC(device.archiveFile), 0);
  if (BFileIO_LegalFileHandle(file)) {
    bool isEmpty = false;
    BkArchiv_ParseArchiveHeader(file, hdr, isEmpty);
    BFileIO_Close(file);
  }
  quiet.Close();
  if (hdr == nullptr) Imisc_ErrorExplain();
  Messages_ForgetErrorReasons();
}

// Removes the numbered data files of a file-system medium.
void RemoveDataFiles(const DevListEntry& device) {
  if (device.baseType != BkDevSel_filesys || device.fs.root == dsNil) return;
  const std::string command = "rm -f '" + std::string(DSStr(device.fs.root)) + "'/[0-9]*";
  Messages_Ignoring quiet;
  Processe_System(command);
  Messages_ForgetErrorReasons();
}

// ---- Recovered headers ----

constexpr std::int32_t kRecButtons = 1, kRecDescription = 2, kRecName = 3, kRecType = 4,
                       kRecCreated = 5, kRecModified = 6, kRecOrders = 7, kRecExplanation = 8;
I_Context recDlg = nullptr;

void ClearSelection(I_Context ctx, std::int32_t id, std::span<const std::uint8_t>, void*) {
  bool changed = false;
  for (I_ListRec* r = I_GetList<I_ListRec>(ctx, id); r != nullptr; r = r->next) {
    changed = changed || r->selected != 0;
    r->selected = 0;
  }
  if (changed) I_PutList(ctx, id, I_GetList<I_ListRec>(ctx, id));
}

// ---- Overwriting ----

constexpr std::int32_t kOvrButtons = 1, kOvrText1 = 2;
I_Context ovrDlg = nullptr;

// ---- Failed files ----

constexpr std::int32_t kErrButtons = 1, kErrHead = 2, kErrFiles = 3, kErrText = 4, kErrCount = 5;
struct ErrDialog {
  I_Context ctx = nullptr;
  std::vector<I_ListRec> shown;
  std::vector<FileEntry*> files;
};
ErrDialog errDlg;

void ShowFileError(I_Context ctx) {
  for (std::size_t i = 0; i < errDlg.shown.size(); ++i) {
    if (errDlg.shown[i].selected == 0) continue;
    const int kind = errDlg.files[i]->errorKind;
    const std::uint32_t n = kind >= 0 && kind <= 5 ? 110u + static_cast<std::uint32_t>(kind) : 115u;
    I_PutSTRING(ctx, kErrText, Msg(kFileSection, n));
    return;
  }
  I_PutSTRING(ctx, kErrText, "");
}

void ErrFilesChanged(I_Context ctx, std::int32_t, std::span<const std::uint8_t>, void*) {
  ShowFileError(ctx);
}

}  // namespace

void BkIact_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkIact");
  if (!init) return;
  UCommon_Init();
  BFileIO_Init();
  BkArchiv_Init();
  BkArchivRead_Init();
  BkDevSel_Init();
  BkFLists_Init();
  BkStore_Init();
  DynStr_Init();
  I_Init();
  Imisc_Init();
  Messages_Init();
  Processe_Init();
  SPrintf_Init();
  Strings_Init();
  BkStoreI_Init();
}

void BkIact_SelectDevices(BkDevSel_DevList& devList, std::uint32_t classMask, StrIn title,
                          bool archiveMode, std::uint8_t calledFrom, bool flag, bool& cancelled) {
  (void)flag;
  cancelled = true;
  I_Context& slot = archiveMode ? devDlg.archive : devDlg.plain;
  const I_Context ctx = Imisc_ContextOnce(
      slot, StrIn::FromC(archiveMode ? "BkIact_DevSelect_Archiv" : "BkIact_DevSelect"));
  if (ctx == nullptr) return;
  I_SetINTEGERcallback(ctx, kDevButtons, DevButton, nullptr);
  I_SetGenericCallback(ctx, kDevList, DevicesChanged, nullptr);
  {
    Messages_Ignoring quiet;
    BkDevSel_SetupDevList(devList, classMask);
    Messages_ForgetErrorReasons();
  }
  devDlg.list = &devList;
  I_PutSTRING(ctx, kDevTitle, title);
  I_PutINTEGER(ctx, kDevButtons, kDevCancel);  // closing the window cancels
  ShowDevices(ctx);
  Imisc_RunModal(ctx);
  const std::int32_t button = I_GetINTEGER(ctx, kDevButtons);
  I_PutList<I_ListRec>(ctx, kDevList, nullptr);
  devDlg.shown.clear();
  devDlg.list = nullptr;
  if (button == kDevOK && BkDevSel_CountSelectedDevs(devList) == 1) {
    cancelled = false;
    return;
  }
  // Cancelled, or an archived medium wanted: the devices go back at once.
  BkDevSel_DestroyDevList(devList, true);
  if (button == kDevArchived && archiveMode) {
    devList = BkStoreI_SelectMedia1(calledFrom, title, cancelled);
    if (devList == nullptr) cancelled = true;
  }
}

void BkIact_ReadyWait(BkDevSel_DevList devList, bool askFirst, bool forWrite, bool& cancelled) {
  cancelled = false;
  DevListEntry* first = BkDevSel_FirstSelectedDev(devList);
  if (first == nullptr) {
    AddInfo(1);
    cancelled = true;
    return;
  }
  if (first->isArchive) return;
  std::string prompt;
  if (BkDevSel_CountSelectedDevs(devList) == 1) {
    prompt = Msg(2, StrIn::FromC(first->record.description));
  } else {
    prompt = Msg(kSection, 3);
    for (DevListEntry* d = first; d != nullptr; d = BkDevSel_NextSelectedDev(d))
      prompt += std::string("\n") + d->record.description;
  }
  Messages_Ignoring quiet;
  bool ask = askFirst;
  for (;;) {
    if (ask && Imisc_StrGenericConfirm(prompt, "AskContinue") != 0) {
      cancelled = true;
      break;
    }
    ask = true;
    bool allReady = true;
    for (DevListEntry* d = first; d != nullptr && allReady; d = BkDevSel_NextSelectedDev(d)) {
      bool ready = false, writable = false;
      BkDevSel_CheckDevReady(*d, forWrite, ready, writable);
      if (!ready) {
        allReady = false;
      } else if (forWrite && !writable) {
        allReady = false;
        if (Imisc_StrGenericConfirm(Msg(4, StrIn::FromC(d->record.description)), "AskContinue") !=
            0) {
          cancelled = true;
        }
      }
    }
    if (allReady || cancelled) break;
  }
  Messages_ForgetErrorReasons();
}

int BkIact_PrepareKind(std::uint8_t mediaFormat, std::int32_t dirSize, bool canAppend,
                       bool forceNew) {
  const bool validData = mediaFormat != mfmtUnknown;
  const bool stdFmt = IsStd(mediaFormat);
  const bool appendOK = (mediaFormat == mfmtStdA && canAppend) || mediaFormat == mfmtStdD;
  if (forceNew) return validData ? 10 : 11;
  if (stdFmt) {
    if (appendOK) return dirSize == 0 ? 0 : 1;
    return canAppend ? 2 : 3;
  }
  if (validData) {
    if (canAppend) return dirSize == 0 ? 4 : 5;
    return 6;
  }
  if (canAppend) return dirSize == 0 ? 7 : 8;
  return 9;
}

void BkIact_PrepareWriteMedia(DevListEntry& device, Header*& hdr, bool forceNew, int mode,
                              bool& cancelled) {
  (void)mode;
  hdr = nullptr;
  cancelled = true;
  if (device.isArchive) {
    ParseArchiveFile(device, hdr);
    cancelled = hdr == nullptr;
    return;
  }
  const I_Context ctx = Imisc_ContextOnce(prepDlg, "BkIact_PrepWriteMedia");
  if (ctx == nullptr) return;
  I_SetINTEGERcallback(ctx, kPrepChoice, PrepButton, nullptr);

  BkArchiv_HdrHead head;
  bool atEnd = false;
  {
    Messages_Ignoring quiet;
    BkArchiv_CheckForHeader(device, head, atEnd);
    quiet.Close();
    if (BkArchiv_bkaError != 0) {
      Imisc_ErrorExplain();
      Messages_ForgetErrorReasons();
      return;
    }
    Messages_ForgetErrorReasons();
  }
  const std::uint8_t format = head.mediaFormat;
  const bool validData = format != mfmtUnknown;
  const bool stdFmt = IsStd(format);
  const bool canAppend = device.canAppend;
  const bool appendOK = (format == mfmtStdA && canAppend) || format == mfmtStdD;
  std::int32_t dirSize = head.dirSize;
  if (!stdFmt && dirSize == 0) dirSize = static_cast<std::int32_t>(device.dirSize);
  const int kind = BkIact_PrepareKind(format, dirSize, canAppend, forceNew);
  if (DebugTrace()) {
    std::fprintf(stderr,
                 "BkIact.PrepareMediaWrite: dev=%s, mediaFormat=%d, dirSize=%d, blockSize=%u\n",
                 device.record.description, format, dirSize, head.blockLength);
    std::fprintf(stderr, "validData=%d, stdFmt=%d, appendOK=%d, canAppend=%d\ndlgID=%d\n",
                 validData, stdFmt, appendOK, canAppend, kind);
  }

  bool recovered = false;
  if (head.isEmpty) {
    // A labelled empty medium is written as labelled, without asking.
    Messages_Ignoring quiet;
    bool isEmpty = false;
    BkArchiv_ReadHeader(device, false, hdr, recovered, isEmpty);
    if (hdr != nullptr && recovered) BkArchiv_DestroyHeaderAndArchives(hdr);
    quiet.Close();
    if (hdr != nullptr) Messages_ForgetErrorReasons();
  } else {
    I_PutINTEGER(ctx, kPrepKind, kind);
    I_PutINTEGER(ctx, kPrepChoice, BkIact_choiceCancel);
    I_PutSTRING(ctx, kPrepDevice, StrIn::FromC(device.record.description));
    I_PutSTRING(ctx, kPrepName, StrIn::FromC(head.name));
    I_PutSTRING(ctx, kPrepType, StrIn::FromC(head.mediaType));
    I_PutSTRING(ctx, kPrepLabel, StrIn::FromC(head.label));
    Imisc_RunModal(ctx);
    const std::int32_t choice = I_GetINTEGER(ctx, kPrepChoice);
    if (DebugTrace()) std::fprintf(stderr, "choice=%d\n", choice);
    if (choice == BkIact_choiceCancel) return;
    const bool overwrites = choice >= BkIact_choiceNewStd && choice <= BkIact_choiceNewDirectory;
    if (overwrites && validData && !Imisc_YesDestroys(kSection, 7)) return;
    if (overwrites) {
      const std::uint8_t newFormat = choice == BkIact_choiceNewStd          ? mfmtStd
                                     : choice == BkIact_choiceNewAppendable ? mfmtStdA
                                                                            : mfmtStdD;
      BkArchiv_NewHeader(hdr, newFormat, "", "");
      if (hdr != nullptr) {
        if (choice == BkIact_choiceNewDirectory) RemoveDataFiles(device);
        BkArchiv_DevInfo info{};
        info.baseType = device.baseType;
        info.nativeCapacity = device.tape.nativeCapacity;
        info.maxCapacity = device.tape.maxCapacity;
        info.blkDevice = device.tape.blkDevice;
        info.capacity =
            device.baseType == BkDevSel_filesys ? device.fs.capacity : device.disk.capacity;
        info.blkHeader = device.blkHeader;
        info.blkData = device.blkData;
        info.dirSize = static_cast<std::int32_t>(device.dirSize);
        info.softCompress = device.softCompress;
        info.mediaId = BkDevSel_DevClassToMediaID(device.record.devClass, device.subtype);
        BkArchiv_SetDevInfo(hdr, info);
      }
    } else {
      Messages_Ignoring quiet;
      bool isEmpty = false;
      BkArchiv_ReadHeader(device, false, hdr, recovered, isEmpty);
      quiet.Close();
      if (hdr != nullptr) {
        Messages_ForgetErrorReasons();
        if (recovered && !BkIact_ConfirmRecover(hdr)) {
          BkArchiv_DestroyHeaderAndArchives(hdr);
          return;
        }
      }
    }
  }
  if (hdr == nullptr) {
    AddInfo(5);
    Imisc_ErrorExplain();
    Messages_ForgetErrorReasons();
    return;
  }
  BkArchiv_SetExpectLabel(hdr, StrIn::FromC(head.label));
  cancelled = false;
}

bool BkIact_ConfirmRecover(Header* hdr) {
  const I_Context ctx = Imisc_ContextOnce(recDlg, "BkIact_ConfirmRecover");
  if (ctx == nullptr || hdr == nullptr) return false;
  I_SetINTEGERcallback(ctx, kRecButtons, CloseOnButton, nullptr);
  I_SetGenericCallback(ctx, kRecOrders, ClearSelection, nullptr);
  MediaInfo* mi = BkStore_NewMediaInfoFromHeader(hdr);
  char description[1024];
  BkArchiv_GetMediaDescription(hdr, description);
  I_PutSTRING(ctx, kRecDescription, description);
  I_PutSTRING(ctx, kRecName, StrIn::FromC(hdr->label));
  I_PutSTRING(ctx, kRecType, StrIn::FromC(hdr->mediaType));
  I_PutSTRING(ctx, kRecCreated, mi != nullptr ? StrIn::FromC(mi->created) : StrIn(""));
  I_PutSTRING(ctx, kRecModified, mi != nullptr ? StrIn::FromC(mi->modified) : StrIn(""));
  // The explanation is a paragraph: broken into lines as the message boxes break theirs.
  std::string explanation;
  for (const std::string& line : Imisc_BreakLines(Msg(kSection, 6)))
    explanation += (explanation.empty() ? "" : "\n") + line;
  I_PutSTRING(ctx, kRecExplanation, explanation);
  std::vector<I_ListRec> lines;
  for (const JobInfo* j = mi != nullptr ? mi->jobs : nullptr; j != nullptr; j = j->next) {
    I_ListRec r{};
    Strings_Assign(StrIn::FromC(j->text), r.text);
    r.colour = {j->colour.red, j->colour.green, j->colour.blue};
    lines.push_back(r);
  }
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) lines[i].next = &lines[i + 1];
  I_PutList(ctx, kRecOrders, lines.empty() ? nullptr : lines.data());
  I_PutINTEGER(ctx, kRecButtons, 2);  // closing the window rejects
  Imisc_RunModal(ctx);
  I_PutList<I_ListRec>(ctx, kRecOrders, nullptr);
  MediaInfoList list = mi;
  if (list != nullptr) BkStore_DestroyMediaInfo(list, false);
  return I_GetINTEGER(ctx, kRecButtons) != 2;
}

bool BkIact_ConfirmOverwrite(StrIn text1, StrIn text2, StrIn text3, StrIn text4) {
  const I_Context ctx = Imisc_ContextOnce(ovrDlg, "BkIact_ConfirmOverwrite");
  if (ctx == nullptr) return false;
  I_SetINTEGERcallback(ctx, kOvrButtons, CloseOnButton, nullptr);
  const StrIn texts[] = {text1, text2, text3, text4};
  const std::string standard = Msg(kSection, 9);
  for (std::int32_t i = 0; i < 4; ++i) {
    const bool empty = texts[i].length() == 0;
    I_PutSTRING(ctx, kOvrText1 + i, empty ? StrIn(standard) : texts[i]);
  }
  I_PutINTEGER(ctx, kOvrButtons, 2);
  Imisc_RunModal(ctx);
  return I_GetINTEGER(ctx, kOvrButtons) == 1;
}

void BkIact_ErrFilesDialog(FileList fileList, long count, bool& cancelled) {
  cancelled = false;
  const I_Context ctx = Imisc_ContextOnce(errDlg.ctx, "BkIact_ErrFiles");
  if (ctx == nullptr) return;
  I_SetINTEGERcallback(ctx, kErrButtons, CloseOnButton, nullptr);
  I_SetGenericCallback(ctx, kErrFiles, ErrFilesChanged, nullptr);
  BkFLists_SelectAllFiles(fileList, false);
  if (fileList != nullptr) fileList->selected = true;
  char head[1024];
  BkFLists_MaxCommonHead(fileList, head);
  BkFLists_LoadView(fileList);
  bool ok = false;
  BkFLists_CutPathHeadV(fileList, head, ok);
  errDlg.shown.clear();
  errDlg.files.clear();
  for (FileEntry* f = fileList; f != nullptr; f = f->next) {
    I_ListRec r{};
    r.selected = f->selected ? 1 : 0;
    Strings_Assign(StrIn::FromC(DSStr(f->view)), r.text);
    errDlg.shown.push_back(r);
    errDlg.files.push_back(f);
  }
  for (std::size_t i = 0; i + 1 < errDlg.shown.size(); ++i)
    errDlg.shown[i].next = &errDlg.shown[i + 1];
  I_PutSTRING(ctx, kErrHead, head);
  I_PutINTEGER(ctx, kErrCount, static_cast<std::int32_t>(count));
  I_PutList(ctx, kErrFiles, errDlg.shown.empty() ? nullptr : errDlg.shown.data());
  ShowFileError(ctx);
  I_PutINTEGER(ctx, kErrButtons, 2);
  Imisc_RunModal(ctx);
  I_PutList<I_ListRec>(ctx, kErrFiles, nullptr);
  for (std::size_t i = 0; i < errDlg.files.size(); ++i)
    errDlg.files[i]->selected = errDlg.shown[i].selected != 0;
  errDlg.shown.clear();
  errDlg.files.clear();
  cancelled = I_GetINTEGER(ctx, kErrButtons) == 2;
}

DevListEntry* BkIact_BckSelectDevice() { return nullptr; }
DevListEntry* BkIact_RstSelectDevice() { return nullptr; }
