#include "Vuvedur.hpp"

#include "BConvert.hpp"
#include "BFileIO.hpp"
#include "BStorage.hpp"
#include "BkArchiv.hpp"
#include "BkArchivNames.hpp"
#include "BkArchivRead.hpp"
#include "BkDevSel.hpp"
#include "BkFLists.hpp"
#include "BkIact.hpp"
#include "BkJobs.hpp"
#include "BkMisc.hpp"
#include "DirAcces.hpp"
#include "FileIO.hpp"
#include "I.hpp"
#include "Imisc.hpp"
#include "Messages.hpp"
#include "OOinfos.hpp"
#include "Odirs.hpp"
#include "Omisc.hpp"
#include "Oresourc.hpp"
#include "OutIn.hpp"
#include "Processe.hpp"
#include "SJobQues.hpp"
#include "SPrintf.hpp"
#include "SRegExpr.hpp"
#include "StrHash.hpp"
#include "StringOp.hpp"
#include "UCommon.hpp"
#include "Utility.hpp"

VuvedurData* Vuvedur_dataRef = nullptr;
char Vuvedur_thisHost[128];
char Vuvedur_formRegExp[128];
char Vuvedur_poolRegExp[128];
char Vuvedur_psRegExp[128];
const Vuvedur_Color Vuvedur_colorBlack = {0, 0, 0};
const Vuvedur_Color Vuvedur_colorBlue = {0, 0, 255};
Vuvedur_MediaDialogs Vuvedur_mediaDialogs = {BkIact_SelectDevices, BkIact_ReadyWait,
                                             BkIact_PrepareWriteMedia, BkIact_ErrFilesDialog};

namespace {

// "^<dir>/..*$": everything below one of the order model's subdirectories.
void MakeSubdirPattern(StrIn subdir, StrOut pattern) {
  Strings_Assign("^%s/..*$", pattern);
  SPrintf_String(pattern, subdir);
}

// Runs a main dialog once its mode has a device, a medium and an order list; otherwise
// frees what the start left behind.
void RunMainDialog(VuvedurData* context, I_Context dialog, bool started,
                   void (*update)(VuvedurData*)) {
  if (!started) {
    Vuvedur_Free(context);
    return;
  }
  update(context);
  I_Activate(dialog);
  I_Dialog(dialog);
}

}  // namespace

void Vuvedur_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Vuvedur");
  if (!init) return;
  // Imports in the application's order.
  BStorage_Init();
  Processe_Init();
  FileIO_Init();
  BFileIO_Init();
  I_Init();
  Imisc_Init();
  Strings_Init();
  StringOp_Init();
  SPrintf_Init();
  StrHash_Init();
  SRegExpr_Init();
  OutIn_Init();
  Messages_Init();
  UCommon_Init();
  Utility_Init();
  DirAcces_Init();
  BConvert_Init();
  BkMisc_Init();
  BkFLists_Init();
  BkDevSel_Init();
  BkArchiv_Init();
  BkArchivNames_Init();
  BkArchivRead_Init();
  BkJobs_Init();
  BkIact_Init();
  SJobQues_Init();
  Odirs_Init();
  Omisc_Init();
  OOinfos_Init();
  Oresourc_Init();

  Vuvedur_dataRef = nullptr;
  DirAcces_GetMachineName(Vuvedur_thisHost);
  MakeSubdirPattern("form", Vuvedur_formRegExp);
  MakeSubdirPattern("pool", Vuvedur_poolRegExp);
  MakeSubdirPattern("ps", Vuvedur_psRegExp);
}

VuvedurData* Vuvedur_Create() { return new VuvedurData{}; }

void Vuvedur_Free(VuvedurData* context) {
  if (context == nullptr) return;
  Vuvedur_ReleaseOrders(context->orders);
  Vuvedur_DestroyOrderList(context->orders);
  BkDevSel_DestroyDevList(context->deviceList, true);
  context->deviceList = nullptr;
  context->device = nullptr;
  BkArchiv_DestroyHeaderAndArchives(context->header);
}

void Vuvedur_Backup() {
  if (Vuvedur_dataRef == nullptr) Vuvedur_dataRef = Vuvedur_Create();
  VuvedurData* context = Vuvedur_dataRef;
  if (context->backupDialog == Vuvedur_NilDialog) {
    const I_Context dialog = context->backupDialog = I_Create(Vuvedur_sectionBck, false);
    for (std::int32_t field : {1, 12}) I_SetINTEGERcallback(dialog, field, Vuvedur_IntCB, context);
    for (std::int32_t field : {6, 2, 3})
      I_SetBOOLEANcallback(dialog, field, Vuvedur_BoolCB, context);
    for (std::int32_t field : {4, 8})
      I_SetGenericCallback(dialog, field, Vuvedur_GenericCB, context);
    I_SetREALcallback(dialog, 16, Vuvedur_RealCB, context);
    Vuvedur_SetupJobRoots(context, dialog);
  }
  const bool started = Vuvedur_Backup_BckSelectTape(context) && Vuvedur_Backup_BckInit(context);
  RunMainDialog(context, context->backupDialog, started, Vuvedur_UpdateBck);
}

void Vuvedur_Restore() {
  if (Vuvedur_dataRef == nullptr) Vuvedur_dataRef = Vuvedur_Create();
  VuvedurData* context = Vuvedur_dataRef;
  if (context->restoreDialog == Vuvedur_NilDialog) {
    const I_Context dialog = context->restoreDialog = I_Create(Vuvedur_sectionRst, false);
    for (std::int32_t field : {1, 12}) I_SetINTEGERcallback(dialog, field, Vuvedur_IntCB, context);
    for (std::int32_t field : {8, 4})
      I_SetGenericCallback(dialog, field, Vuvedur_GenericCB, context);
    Vuvedur_SetupJobRoots(context, dialog);
  }
  const bool started = Vuvedur_Restore_RstSelectTape(context) && Vuvedur_Restore_RstInit(context);
  RunMainDialog(context, context->restoreDialog, started, Vuvedur_UpdateRst);
}

void Vuvedur_ErrInfo(std::uint32_t number) {
  char text[512];
  Messages_GetMsg(Vuvedur_sectionN, number, text);
  Messages_SupplyAdditionalInfo(text);
}

bool Vuvedur_ChooseReadyDevice(VuvedurData* context, bool forWrite) {
  bool cancelled = false;
  const StrIn noTitle("");
  Vuvedur_mediaDialogs.selectDevices(context->deviceList, Vuvedur_deviceKinds, noTitle, true, 4,
                                     false, cancelled);
  if (cancelled) return false;
  context->device = BkDevSel_FirstSelectedDev(context->deviceList);
  if (context->device == nullptr) return false;
  Vuvedur_mediaDialogs.readyWait(context->deviceList, true, forWrite, cancelled);
  return !cancelled;
}

double Vuvedur_ByteToGB(double bytes) { return bytes * 9.313225746154785e-10; }

double Vuvedur_GBToByte(double gb) { return gb * 1073741824.0; }
