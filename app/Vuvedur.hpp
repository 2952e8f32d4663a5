// The application module: the context both modes share, its module state, and the
// entries of the backup and restore modes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "BkArchiv.hpp"
#include "BkDevSel.hpp"
#include "BkFLists.hpp"
#include "I.hpp"
#include "Odirs.hpp"
#include "Strings.hpp"

// A dialog of the framework; Vuvedur_NilDialog (the framework's nil context) until created.
using VuvedurDialog = I_Context;
inline constexpr VuvedurDialog Vuvedur_NilDialog = nullptr;

using Vuvedur_Color = I_Colour;

// One form of an order. It is shown in the form list, so it begins like every list record
// of the framework (next, selected, text, colour).
struct FormEntry {
  FormEntry* next;
  bool selected;  // takes part in the backup or restore; also the highlighted lines
  char text[128];
  Vuvedur_Color colour;
  char name[128];  // the form's job name
  char host[128];  // holder of the job directory; empty for this machine
  FileList files;  // belongs to archive once there is one
  Archive* archive;
};

// One order of a main dialog's order list, a list record of the framework as well.
struct OrderEntry {
  OrderEntry* next;
  bool listSelected;  // the highlighted line, set by the framework
  char text[128];
  Vuvedur_Color colour;  // blue when marked, black otherwise
  char name[128];
  char description[128];
  char orderNumber[128];
  char host[128];
  char resourceName[128];  // the reservation held for the order; empty when none
  FormEntry* forms;
  FileList files;  // the order info file (backup) or the order archive's files (restore)
  bool filesOK;
  Archive* archive;
  bool marked;
  bool includePs;
  bool includeForm;
  bool includePool;
};

static_assert(offsetof(OrderEntry, listSelected) == offsetof(I_ListRec, selected));
static_assert(offsetof(OrderEntry, text) == offsetof(I_ListRec, text));
static_assert(offsetof(OrderEntry, colour) == offsetof(I_ListRec, colour));
static_assert(offsetof(FormEntry, selected) == offsetof(I_ListRec, selected));
static_assert(offsetof(FormEntry, text) == offsetof(I_ListRec, text));
static_assert(offsetof(FormEntry, colour) == offsetof(I_ListRec, colour));

struct VuvedurData {
  DevListEntry* device = nullptr;
  BkDevSel_DevList deviceList = nullptr;
  Header* header = nullptr;
  VuvedurDialog backupDialog = Vuvedur_NilDialog;
  VuvedurDialog restoreDialog = Vuvedur_NilDialog;
  VuvedurDialog changeHostsDialog = Vuvedur_NilDialog;
  OrderEntry* orders = nullptr;
  char jobRoot[128] = {};
  Odirs_NameList jobRootList = nullptr;
  double usedOnMedium = 0;  // bytes already on the medium
  double freeOnMedium = 0;  // capacity minus usedOnMedium
  double selectedSize = 0;  // bytes of the marked orders
  double diskSpace = 0;     // free bytes below the job root, -1 when unknown
  double nativeCapacity = 0;
  double capacity = 0;
};

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

// Error box with message number of section "Vuvedur", its first "%s" filled with arg1 and,
// when arg2 is not empty, its next "%s" with arg2.
void Vuvedur_Message(std::uint32_t number, StrIn arg1, StrIn arg2);

// ---- Job roots ----

// The field numbers of the main dialogs (the backup dialog's numbers hold in the restore
// dialog where it has the same field).
inline constexpr std::int32_t Vuvedur_fieldIncludePool = 2;
inline constexpr std::int32_t Vuvedur_fieldIncludePs = 3;
inline constexpr std::int32_t Vuvedur_fieldForms = 4;
inline constexpr std::int32_t Vuvedur_fieldDevice = 5;
inline constexpr std::int32_t Vuvedur_fieldIncludeForm = 6;
inline constexpr std::int32_t Vuvedur_fieldSelectedSize = 7;
inline constexpr std::int32_t Vuvedur_fieldOrders = 8;
inline constexpr std::int32_t Vuvedur_fieldOrderName = 9;
inline constexpr std::int32_t Vuvedur_fieldOrderSize = 10;
inline constexpr std::int32_t Vuvedur_fieldUsedOnMedium = 11;
inline constexpr std::int32_t Vuvedur_fieldOrderButtons = 12;
inline constexpr std::int32_t Vuvedur_fieldJobRoot = 13;
inline constexpr std::int32_t Vuvedur_fieldJobRoots = 15;
inline constexpr std::int32_t Vuvedur_fieldNativeCapacity = 16;
inline constexpr std::int32_t Vuvedur_fieldCapacity = 17;
inline constexpr std::int32_t Vuvedur_fieldFreeOnMedium = 18;
inline constexpr std::int32_t Vuvedur_fieldDiskSpace = 19;
inline constexpr std::int32_t Vuvedur_fieldArchiveDate = 20;
// The file of known job roots in the customer directory.
inline constexpr char Vuvedur_jobRootsFile[] = "folvaneoJobRoots";

// Makes path the job root when its last component is "orders" and it exists: the order
// model's forms, orders and schemes directories are switched to its siblings.
bool Vuvedur_NewJobDir(StrIn path);
// Installs the job-root fields of a main dialog and chooses the initial root; ends the
// process when no job root can be used.
void Vuvedur_SetupJobRoots(VuvedurData* context, I_Context dialog);
// current first, then the roots of the known-roots file in ascending order.
Odirs_NameList Vuvedur_CreateJobRootList(StrIn current);
void Vuvedur_JobRootCB(I_Context dialog, std::int32_t field, StrIn text, void* context);
void Vuvedur_RootListCB(I_Context dialog, std::int32_t field, std::span<const std::uint8_t> value,
                        void* context);

// ---- Order lists ----

// Lists the orders of the current orders directory in the backup dialog, each reserved
// for this process.
void Vuvedur_BckUpdateOrderList(VuvedurData* context);
void Vuvedur_AppendOrder(OrderEntry*& list, OrderEntry* order);
void Vuvedur_AppendForm(FormEntry*& list, FormEntry* form);
// Frees the entries; a file list goes with its entry only while no archive owns it.
void Vuvedur_DestroyOrderList(OrderEntry*& list);
void Vuvedur_DestroyFormList(FormEntry*& list);
// Releases the reservations of the orders (their names are emptied).
void Vuvedur_ReleaseOrders(OrderEntry* list);
OrderEntry* Vuvedur_GetSelectedOrder(VuvedurData* context, bool restoreMode);
bool Vuvedur_OrdersSelected(const VuvedurData* context);
FormEntry* Vuvedur_GetForm(FormEntry* list, StrIn name);
// Copies of the selected forms, next and selected cleared; files and archives shared.
FormEntry* Vuvedur_CopySelectedForms(const FormEntry* forms);
void Vuvedur_BuildFormInfo(FormEntry& form);
bool Vuvedur_LocalTape(const DevListEntry* device);
bool Vuvedur_LocalForm(const FormEntry& form);

// ---- Sizes (bytes) ----

// The order info file plus the selected forms without the excluded subdirectories; the
// selections it makes stay in place.
double Vuvedur_OrderSize(OrderEntry& order);
double Vuvedur_TapeUsedSize(Header* header);

// Attaches message number of section "Vuvedur" to the error that is explained next.
void Vuvedur_ErrInfo(std::uint32_t number);

// ---- The media dialogs of the toolkit ----

// The toolkit's dialogs that choose a device, wait for it and prepare its medium, as one
// record so that the flows can be run against stand-ins as well.
struct Vuvedur_MediaDialogs {
  void (*selectDevices)(BkDevSel_DevList& list, std::uint32_t classMask, StrIn title,
                        bool archiveMode, std::uint8_t calledFrom, bool flag, bool& cancelled);
  void (*readyWait)(BkDevSel_DevList list, bool askFirst, bool forWrite, bool& cancelled);
  void (*prepareWriteMedia)(DevListEntry& device, Header*& header, bool forceNew, int mode,
                            bool& cancelled);
  void (*errFilesDialog)(FileList errors, long count, bool& cancelled);
};
extern Vuvedur_MediaDialogs Vuvedur_mediaDialogs;

// ---- Backing up ----

// The files removed from every form's file list.
inline constexpr char Vuvedur_toIgnore[] =
    ".*(core|data/LASTBACKUP|fileList[0-9]*|Vuvedur.cmd|OHEADER|bck.err|bck.result|"
    "T[0-9][0-9][0-9][0-9][0-9][0-9].*|\\.rsrc|\\.rsrc/.*)$";
// The device classes offered for a backup or restore.
inline constexpr std::uint32_t Vuvedur_deviceKinds = 4960;
inline constexpr char Vuvedur_noName[] = "NONAME";

// The device selection of both modes and the wait until the chosen device is ready (and
// writable when forWrite); false when the user gave up.
bool Vuvedur_ChooseReadyDevice(VuvedurData* context, bool forWrite);
bool Vuvedur_Backup_BckSelectTape(VuvedurData* context);
bool Vuvedur_Backup_BckInit(VuvedurData* context);
bool Vuvedur_BuildFileLists(OrderEntry& order);
bool Vuvedur_BuildFileLists_BuildFormFileList(FormEntry& form);
bool Vuvedur_BackupOrders_BuildArchives(VuvedurData* context);
// Makes the archives, the label and the write job, submits it and frees the context.
void Vuvedur_BackupOrders(VuvedurData* context);
// The names of the marked orders, joined with ", ".
void Vuvedur_MarkedNames(const VuvedurData* context, StrOut names);

// ---- Restoring ----

bool Vuvedur_Restore_RstSelectTape(VuvedurData* context);
bool Vuvedur_Restore_RstInit(VuvedurData* context);
// One read job per marked order, each sent at once; frees the context.
void Vuvedur_RestoreOrders(VuvedurData* context);
bool Vuvedur_SubmitRestoreJob(VuvedurData* context, OrderEntry* order);
bool Vuvedur_SubmitRestoreJob_Prepare(VuvedurData* context, OrderEntry& order, StrOut command);
void Vuvedur_SubmitRestoreJob_Prepare_Escape(StrIn host, StrOut escaped);
int Vuvedur_SubmitRestoreJob_Prepare_FormNr(StrIn formName);
void Vuvedur_RestoreOrders_DeselectOrderFiles(OrderEntry& order);
void Vuvedur_GetDescription(const Archive* archive, StrOut text);
bool Vuvedur_OrderAlreadyThere(const OrderEntry& order);
bool Vuvedur_FormAlreadyThere(const FormEntry& form);
// Marks the highlighted order of the restore dialog and reserves it.
void Vuvedur_RstMarkOrder(VuvedurData* context, OrderEntry& order);
// Opens the change-hosts dialog for the highlighted order's selected forms.
void Vuvedur_ChangeHosts(VuvedurData* context);
void Vuvedur_IntCB_CommandChange(I_Context dialog, std::int32_t value, VuvedurData* context);
void Vuvedur_StringCB(I_Context dialog, std::int32_t field, StrIn text, void* context);
void Vuvedur_UpdateChange(VuvedurData* context);

// ---- Main dialogs ----

void Vuvedur_IntCB(I_Context dialog, std::int32_t field, std::int32_t value, void* context);
void Vuvedur_IntCB_CommandBck(I_Context dialog, std::int32_t value, VuvedurData* context);
void Vuvedur_IntCB_CommandRst(I_Context dialog, std::int32_t value, VuvedurData* context);
void Vuvedur_BoolCB(I_Context dialog, std::int32_t field, bool value, void* context);
void Vuvedur_RealCB(I_Context dialog, std::int32_t field, double value, void* context);
void Vuvedur_GenericCB(I_Context dialog, std::int32_t field, std::span<const std::uint8_t> value,
                       void* context);
void Vuvedur_UpdateBck(VuvedurData* context);
void Vuvedur_UpdateRst(VuvedurData* context);
