// Restoring orders: the header of the medium at start, its archives turned into orders
// and forms, the hosts of forms changed, and one read job per marked order whose last
// command asks the sheet-layout application to register the restored order.
#include "BkArchivRead.hpp"
#include "BkJobs.hpp"
#include "BkMisc.hpp"
#include "DirAcces.hpp"
#include "Imisc.hpp"
#include "Messages.hpp"
#include "Omisc.hpp"
#include "Oresourc.hpp"
#include "SJobQues.hpp"
#include "SPrintf.hpp"
#include "StrHash.hpp"
#include "StringOp.hpp"
#include "Vuvedur.hpp"

namespace {

// Fields of the change-hosts dialog.
constexpr std::int32_t kChangeButtons = 1;
constexpr std::int32_t kChangeHost = 2;
constexpr std::int32_t kChangeForms = 4;

// The command that registers a restored order.
constexpr char kRegister[] = "FolvaneO -r ";

// The copies shown in the change-hosts dialog, freed when it is opened again or when
// its result has been taken over.
FormEntry* hostCopies = nullptr;

void FreeCopies() {
  // The copies share files and archives with the forms: only the records go.
  while (hostCopies != nullptr) {
    FormEntry* copy = hostCopies;
    hostCopies = copy->next;
    delete copy;
  }
}

bool HasDescription(const Archive* archive) {
  char comment[5120];
  BkArchiv_GetArchiveComment(archive, comment);
  char description[128];
  StrHash table = BkArchiv_DecodeComment(comment, description);
  const bool found = StrHash_GetConstEntry(table, "DESCRIPTION") != 0;
  BkArchiv_DestroyCommentHash(table);
  return found;
}

// The order name is the first file's last component without its suffix.
void OrderNameOf(const Archive* archive, StrOut name) {
  char dir[1024];
  char last[1024];
  DirAcces_ExcludePath(StrIn::FromC(DSStr(archive->files->path)), dir, last);
  std::string_view view = StrIn(last).view();
  const auto dot = view.rfind('.');
  if (dot != std::string_view::npos) view = view.substr(0, dot);
  Strings_Assign(StrIn(view), name);
}

OrderEntry* OrderFromArchive(Archive* archive) {
  auto* order = new OrderEntry{};
  order->archive = archive;
  order->files = archive->files;
  order->filesOK = true;
  order->colour = Vuvedur_colorBlack;
  order->includePs = order->includeForm = order->includePool = true;
  Strings_Assign(Vuvedur_thisHost, order->host);
  BkArchiv_SetArchiveHost(archive, Vuvedur_thisHost);
  OrderNameOf(archive, order->name);
  Vuvedur_GetDescription(archive, order->description);
  Strings_Assign(order->name, order->text);
  if (order->description[0] != '\0') {
    Strings_Concat(order->text, " -> ", order->text);
    Strings_Concat(order->text, order->description, order->text);
  }
  return order;
}

FormEntry* FormFromArchive(Archive* archive) {
  auto* form = new FormEntry{};
  form->archive = archive;
  form->files = archive->files;
  form->selected = true;
  form->colour = Vuvedur_colorBlack;
  Strings_Assign(Vuvedur_thisHost, form->host);
  BkArchiv_SetArchiveHost(archive, Vuvedur_thisHost);
  char dir[1024];
  char last[1024];
  DirAcces_ExcludePath(archive->baseDir, dir, last);
  Strings_Assign(last, form->name);
  Vuvedur_BuildFormInfo(*form);
  return form;
}

void FillRestoreDialog(VuvedurData& context) {
  const I_Context dialog = context.restoreDialog;
  context.usedOnMedium = Vuvedur_TapeUsedSize(context.header);
  BkDevSel_DeviceCapacity(context.device, context.nativeCapacity, context.capacity);
  if (dialog == Vuvedur_NilDialog) return;
  I_PutList(dialog, Vuvedur_fieldOrders, context.orders);
  I_PutList<FormEntry>(dialog, Vuvedur_fieldForms, nullptr);
  I_PutSTRING(dialog, Vuvedur_fieldDevice,
              context.device != nullptr ? StrIn(context.device->label) : "");
  I_PutSTRING(dialog, Vuvedur_fieldOrderName, "");
  I_PutSTRING(dialog, Vuvedur_fieldOrderSize, "");
  I_PutREAL(dialog, Vuvedur_fieldUsedOnMedium, Vuvedur_ByteToGB(context.usedOnMedium));
  I_PutREAL(dialog, Vuvedur_fieldNativeCapacity, Vuvedur_ByteToGB(context.nativeCapacity));
  I_PutREAL(dialog, Vuvedur_fieldCapacity, Vuvedur_ByteToGB(context.capacity));
  I_PutREAL(dialog, Vuvedur_fieldDiskSpace, Vuvedur_ByteToGB(context.diskSpace));
}

void SelectArchive(Archive* archive, bool flag) {
  if (archive != nullptr) BkArchiv_ArSelectAllFiles(archive, flag);
}

// "rcmd <host> \"FolvaneO -r "
void RemotePrefix(StrIn host, StrOut command) {
  Strings_Assign("rcmd %s ", command);
  SPrintf_String(command, host);
  Strings_Concat(command, "\"", command);
  Strings_Concat(command, kRegister, command);
}

}  // namespace

void Vuvedur_GetDescription(const Archive* archive, StrOut text) {
  Strings_Assign("", text);
  char comment[5120];
  BkArchiv_GetArchiveComment(archive, comment);
  char description[128];
  StrHash table = BkArchiv_DecodeComment(comment, description);
  if (const StrHash_Value value = StrHash_GetConstEntry(table, "DESCRIPTION"); value != 0) {
    Strings_Assign(StrIn::FromC(reinterpret_cast<const char*>(value)), text);
  }
  BkArchiv_DestroyCommentHash(table);
}

bool Vuvedur_Restore_RstSelectTape(VuvedurData* context) {
  if (!Vuvedur_ChooseReadyDevice(context, false)) return false;
  bool recovered = false;
  bool isEmpty = false;
  {
    Messages_Ignoring quiet;
    BkArchiv_ReadHeader(*context->device, false, context->header, recovered, isEmpty);
  }
  if (BkArchiv_bkaError != 0 || context->header == nullptr) {
    Vuvedur_ErrInfo(11);
    Imisc_ErrorExplain();
    return false;
  }
  char type[128];
  BkArchiv_GetMediaType(context->header, type, isEmpty);
  if (StrIn(type).view() != Vuvedur_dataType) {
    Vuvedur_ErrInfo(27);
    Imisc_ErrorExplain();
    return false;
  }
  return true;
}

bool Vuvedur_Restore_RstInit(VuvedurData* context) {
  context->orders = nullptr;
  OrderEntry* current = nullptr;
  for (Archive* archive = context->header->archives; archive != nullptr; archive = archive->next) {
    if (HasDescription(archive)) {
      if (archive->files == nullptr) {
        Imisc_ErrMsg(Vuvedur_sectionN, 1008);
        return false;
      }
      current = OrderFromArchive(archive);
      Vuvedur_AppendOrder(context->orders, current);
    } else {
      if (current == nullptr) {
        Imisc_ErrMsg(Vuvedur_sectionN, 1009);
        return false;
      }
      Vuvedur_AppendForm(current->forms, FormFromArchive(archive));
    }
    BkArchiv_ArSelectAllFiles(archive, false);
  }
  if (context->orders == nullptr) {
    Imisc_ErrMsg(Vuvedur_sectionN, 28);
    return false;
  }
  FillRestoreDialog(*context);
  return true;
}

bool Vuvedur_OrderAlreadyThere(const OrderEntry& order) {
  char path[1024];
  DirAcces_IncludePath(Odirs_orderDir, order.name, path);
  Strings_Concat(path, ".aif", path);
  Messages_Ignoring quiet;
  const bool there = DirAcces_Access(path, 3);
  Messages_ForgetErrorReasons();
  return there;
}

bool Vuvedur_FormAlreadyThere(const FormEntry& form) {
  Messages_Ignoring quiet;
  const bool there = Odirs_ChangeToJobOnHost(form.host, form.name);
  if (there) Odirs_ReturnToCurrent();
  Messages_ForgetErrorReasons();
  return there;
}

void Vuvedur_RstMarkOrder(VuvedurData* context, OrderEntry& order) {
  if (Vuvedur_OrderAlreadyThere(order)) {
    Vuvedur_Message(23, order.name, "");
    return;
  }
  order.marked = true;
  order.colour = Vuvedur_colorBlue;
  I_PutList(context->restoreDialog, Vuvedur_fieldOrders, context->orders);
  Vuvedur_UpdateRst(context);
  if (order.resourceName[0] != '\0') return;  // held since an earlier mark
  Oresourc_OrderRes(order.name, true, order.resourceName);
  bool reserved = false;
  {
    Messages_Ignoring quiet;
    reserved = Oresourc_Reserve(order.resourceName);
    Messages_ForgetErrorReasons();
  }
  if (!reserved) order.resourceName[0] = '\0';
}

// ---- Change of hosts ----

void Vuvedur_ChangeHosts(VuvedurData* context) {
  if (context->changeHostsDialog == Vuvedur_NilDialog) {
    context->changeHostsDialog = I_Create(Vuvedur_sectionChange, false);
    I_SetINTEGERcallback(context->changeHostsDialog, kChangeButtons, Vuvedur_IntCB, context);
    I_SetGenericCallback(context->changeHostsDialog, kChangeForms, Vuvedur_GenericCB, context);
    I_SetSTRINGcallback(context->changeHostsDialog, kChangeHost, Vuvedur_StringCB, context);
  }
  OrderEntry* order = Vuvedur_GetSelectedOrder(context, true);
  if (order == nullptr) {
    Imisc_ErrMsg(Vuvedur_sectionN, 30);
    return;
  }
  FreeCopies();
  hostCopies = Vuvedur_CopySelectedForms(order->forms);
  if (hostCopies == nullptr) {
    Imisc_ErrMsg(Vuvedur_sectionN, 33);
    return;
  }
  hostCopies->selected = true;
  I_PutList(context->changeHostsDialog, kChangeForms, hostCopies);
  Vuvedur_UpdateChange(context);
  I_Activate(context->changeHostsDialog);
}

void Vuvedur_UpdateChange(VuvedurData* context) {
  const I_Context dialog = context->changeHostsDialog;
  const FormEntry* reference = nullptr;
  bool same = true;
  for (const FormEntry* copy = I_GetList<FormEntry>(dialog, kChangeForms); copy != nullptr;
       copy = copy->next) {
    if (!copy->selected) continue;
    if (reference == nullptr) {
      if (copy->host[0] != '\0') reference = copy;
    } else if (StrIn(copy->host).view() != StrIn(reference->host).view()) {
      same = false;
    }
  }
  I_PutSTRING(dialog, kChangeHost, same && reference != nullptr ? StrIn(reference->host) : "");
}

void Vuvedur_StringCB(I_Context dialog, std::int32_t, StrIn text, void* arg) {
  auto* context = static_cast<VuvedurData*>(arg);
  if (context == nullptr) return;
  char host[128];
  Strings_Assign(text, host);
  StringOp_LRStrip(host);
  if (!Omisc_ValidHost(host)) {
    Vuvedur_Message(34, host, "");
    Vuvedur_UpdateChange(context);
    return;
  }
  FormEntry* copies = I_GetList<FormEntry>(dialog, kChangeForms);
  for (FormEntry* copy = copies; copy != nullptr; copy = copy->next) {
    if (!copy->selected) continue;
    Strings_Assign(host, copy->host);
    Vuvedur_BuildFormInfo(*copy);
  }
  I_PutList(dialog, kChangeForms, copies);
}

void Vuvedur_IntCB_CommandChange(I_Context dialog, std::int32_t value, VuvedurData* context) {
  if (value != 1 && value != 2) return;
  I_Deactivate(dialog);
  if (value == 1) {
    FormEntry* forms = I_GetList<FormEntry>(context->restoreDialog, Vuvedur_fieldForms);
    for (const FormEntry* copy = hostCopies; copy != nullptr; copy = copy->next) {
      FormEntry* form = Vuvedur_GetForm(forms, copy->name);
      if (form == nullptr) continue;
      Strings_Assign(copy->host, form->host);
      if (form->archive != nullptr) BkArchiv_SetArchiveHost(form->archive, copy->host);
      Vuvedur_BuildFormInfo(*form);
    }
    I_PutList(context->restoreDialog, Vuvedur_fieldForms, forms);
  }
  FreeCopies();
}

// ---- Jobs ----

void Vuvedur_SubmitRestoreJob_Prepare_Escape(StrIn host, StrOut escaped) {
  std::string out;
  for (char c : host.view()) {
    if (c == ',') out += '\\';
    out += c;
  }
  Strings_Assign(StrIn(out), escaped);
}

int Vuvedur_SubmitRestoreJob_Prepare_FormNr(StrIn formName) {
  std::string_view name = formName.view();
  const auto dot = name.rfind('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  if (name.size() < 2) return 0;
  const char a = name[name.size() - 2];
  const char b = name[name.size() - 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return 0;
  return (a - '0') * 10 + (b - '0');
}

void Vuvedur_RestoreOrders_DeselectOrderFiles(OrderEntry& order) {
  SelectArchive(order.archive, false);
  for (FormEntry* form = order.forms; form != nullptr; form = form->next) {
    SelectArchive(form->archive, false);
  }
}

bool Vuvedur_SubmitRestoreJob_Prepare(VuvedurData* context, OrderEntry& order, StrOut command) {
  char ordersHost[128];
  Odirs_GetHost(Odirs_orderDir, ordersHost);
  bool remote = false;
  if (StrIn(ordersHost).view() != StrIn(Vuvedur_thisHost).view()) {
    RemotePrefix(ordersHost, command);
    remote = true;
  } else if (!Vuvedur_LocalTape(context->device)) {
    RemotePrefix(order.host, command);
  } else {
    Strings_Assign(kRegister, command);
  }
  BkArchiv_HdrSelectAllFiles(context->header, false);
  SelectArchive(order.archive, true);
  bool first = true;
  for (FormEntry* form = order.forms; form != nullptr; form = form->next) {
    char question[128];
    Messages_GetMsg(Vuvedur_sectionN, 24, question);
    SPrintf_String(question, form->name);
    SPrintf_String(question, form->host);
    if (!form->selected) {
      SelectArchive(form->archive, false);
      continue;
    }
    if (Vuvedur_FormAlreadyThere(*form) && !Imisc_StrYes(question)) {
      SelectArchive(form->archive, false);
      continue;
    }
    SelectArchive(form->archive, true);
    const int number = Vuvedur_SubmitRestoreJob_Prepare_FormNr(form->name);
    if (number < 1) continue;
    char item[512];
    Strings_Assign(StrIn::FromC(first ? "%d:%s" : ",%d:%s"), item);
    SPrintf_Int(item, number);
    char host[256];
    Vuvedur_SubmitRestoreJob_Prepare_Escape(form->host, host);
    SPrintf_String(item, host);
    Strings_Concat(command, item, command);
    first = false;
  }
  char tail[256] = " %s";
  SPrintf_String(tail, order.name);
  Strings_Concat(command, tail, command);
  if (remote || !Vuvedur_LocalTape(context->device)) Strings_Concat(command, "\"", command);
  return true;
}

bool Vuvedur_SubmitRestoreJob(VuvedurData* context, OrderEntry* order) {
  if (order == nullptr) return false;
  char command[5120];
  if (!Vuvedur_SubmitRestoreJob_Prepare(context, *order, command)) return false;
  char readable[128];
  Messages_GetMsg(Vuvedur_sectionN, 91, readable);
  SPrintf_String(readable, order->name);
  SPrintf_String(readable, order->host);
  char notifyOK[512];
  Messages_GetMsg(Vuvedur_sectionN, 96, notifyOK);
  SPrintf_String(notifyOK, order->name);
  char notifyError[512];
  Messages_GetMsg(Vuvedur_sectionN, 97, notifyError);
  SPrintf_String(notifyError, order->name);
  BkArchiv_SetArchiveBaseDir(order->archive, Odirs_orderDir);

  const DevListEntry& device = *context->device;
  SJobQues_Job* job = nullptr;
  {
    Messages_Ignoring quiet;
    job =
        BkJobs_MkReadJob(device, context->header, "", readable, "", command, notifyOK, notifyError);
  }
  bool ok = false;
  if (job == nullptr || BkArchiv_bkaError != 0) {
    Imisc_ErrorExplain();
  } else {
    if (Vuvedur_LocalTape(context->device) && order->resourceName[0] != '\0') {
      SJobQues_InheritResourceToJob(job, order->resourceName);
    }
    char precondition[2048] = "%s:RESTORE_FROM%s:*";
    SPrintf_String(precondition, device.record.host);
    SPrintf_String(precondition, device.record.devName);
    SJobQues_AddResourceToPrecondition(job, precondition);
    {
      Messages_Ignoring quiet;
      SJobQues_BufferedSubmit(device.record.host, job);
    }
    if (SJobQues_error != 0) {
      Imisc_ErrorExplain();
    } else {
      ok = true;
    }
  }
  if (job != nullptr) SJobQues_DestroyJob(job);
  return ok;
}

void Vuvedur_RestoreOrders(VuvedurData* context) {
  if (context == nullptr) return;
  bool anyAccepted = false;
  for (OrderEntry* order = context->orders; order != nullptr; order = order->next) {
    if (!order->marked) continue;
    BkArchiv_HdrPushSelection(context->header);
    if (Vuvedur_SubmitRestoreJob(context, order)) anyAccepted = true;
    BkArchiv_HdrPopSelection(context->header);
    Vuvedur_RestoreOrders_DeselectOrderFiles(*order);
  }
  if (anyAccepted) {
    {
      Messages_Ignoring quiet;
      SJobQues_FlushSubmitBuffer();
    }
    if (SJobQues_error != 0) {
      Imisc_ErrorExplain();
    } else {
      Imisc_Notify(Vuvedur_sectionN, 93, 5);
    }
  }
  Vuvedur_Free(context);
}
