// Job roots and the order lists of the main dialogs: which orders directory the tool works
// on, the known roots, the orders of the backup dialog with their reservations, and the
// sizes the dialogs show.
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "BkMisc.hpp"
#include "DirAcces.hpp"
#include "Imisc.hpp"
#include "Messages.hpp"
#include "OOinfos.hpp"
#include "Oresourc.hpp"
#include "Processe.hpp"
#include "SPrintf.hpp"
#include "StringOp.hpp"
#include "Vuvedur.hpp"

namespace {

VuvedurData* ContextOf(void* arg) { return static_cast<VuvedurData*>(arg); }

void UpdateDiskSpace(VuvedurData& context) {
  context.diskSpace = BkMisc_DiskSpace(context.jobRoot);
}

// The known-roots file: one root per line. A line longer than the 127 characters a root
// can have goes on as the next line; a last line without its line end is not taken, since
// it may be a line that is still being written.
std::vector<std::string> ReadRootLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  if (!in) return lines;
  std::string line;
  char ch;
  while (in.get(ch)) {
    if (ch == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line.push_back(ch);
      if (line.size() == 127) {
        lines.push_back(line);
        line.clear();
      }
    }
  }
  return lines;
}

// The root goes to the front of the known roots: its entry is moved there, or a new one is
// made when it was not known.
void MoveRootToFront(Odirs_NameList& list, StrIn root) {
  Odirs_NameEntry* found = nullptr;
  for (Odirs_NameEntry** link = &list; *link != nullptr; link = &(*link)->next) {
    char name[128];
    Odirs_GetName((*link)->text, name);
    if (StrIn(name).view() == root.view()) {
      found = *link;
      *link = found->next;
      break;
    }
  }
  if (found == nullptr) {
    found = Odirs_NNew();
    found->selected = false;
    Strings_Assign(root, found->text);
  }
  found->next = list;
  list = found;
}

// The known roots as the list field shows them. The name list has no colour, which every
// record of a list field carries, so the field gets records of its own, one per entry in
// the same order; their selections are taken back into the name list.
std::map<I_Context, std::vector<I_ListRec>> shownRoots;

void PutRoots(I_Context dialog, Odirs_NameList list) {
  std::vector<I_ListRec>& shown = shownRoots[dialog];
  shown.clear();
  for (const Odirs_NameEntry* e = list; e != nullptr; e = e->next) {
    I_ListRec rec{};
    rec.selected = e->selected;
    Strings_Assign(e->text, rec.text);
    rec.colour = Vuvedur_colorBlack;
    shown.push_back(rec);
  }
  for (std::size_t i = 0; i + 1 < shown.size(); ++i) shown[i].next = &shown[i + 1];
  I_PutList(dialog, Vuvedur_fieldJobRoots, shown.empty() ? nullptr : shown.data());
}

void TakeRootSelection(I_Context dialog, Odirs_NameList list) {
  const I_ListRec* rec = I_GetList<I_ListRec>(dialog, Vuvedur_fieldJobRoots);
  for (Odirs_NameEntry* e = list; e != nullptr && rec != nullptr; e = e->next, rec = rec->next) {
    e->selected = rec->selected != 0;
  }
}

// A new order entry for a listed order with the reservation it holds.
OrderEntry* NewOrder(StrIn name, StrIn text, StrIn resourceName, const OOinfos_Info& info) {
  auto* order = new OrderEntry{};
  order->colour = Vuvedur_colorBlack;
  Strings_Assign(text, order->text);
  Strings_Assign(name, order->name);
  Strings_Assign(info.description, order->description);
  Strings_Assign(info.orderNumber, order->orderNumber);
  Strings_Assign(Vuvedur_thisHost, order->host);
  Strings_Assign(resourceName, order->resourceName);
  order->filesOK = true;
  order->includeForm = order->includePool = order->includePs = true;
  for (const Oforms_Form* f = info.forms; f != nullptr; f = f->next) {
    if (f->status != Oforms_statusInBackup) continue;
    auto* form = new FormEntry{};
    form->selected = true;
    form->colour = Vuvedur_colorBlack;
    Strings_Assign(f->text, form->text);
    Strings_Assign(f->shortName, form->name);
    Strings_Assign(f->host, form->host);
    Vuvedur_AppendForm(order->forms, form);
  }
  return order;
}

// Adds one order of the list text "<name> -> <description>" when it can be reserved and
// its info file loaded; otherwise says why it is missing.
void ListOrder(VuvedurData& context, StrIn text) {
  char name[128];
  Odirs_GetName(text, name);
  char resource[128];
  Oresourc_OrderRes(name, true, resource);
  bool reserved = false;
  {
    Messages_Ignoring quiet;
    reserved = Oresourc_Reserve(resource);
    Messages_ForgetErrorReasons();
  }
  if (!reserved) {
    Vuvedur_Message(31, text, "");
    return;
  }
  char path[1024];
  DirAcces_IncludePath(Odirs_orderDir, name, path);
  Strings_Concat(path, ".aif", path);
  OOinfos_Info* info = nullptr;
  {
    Messages_Ignoring quiet;
    info = OOinfos_Load(path);
    Messages_ForgetErrorReasons();
  }
  if (info == nullptr) {
    // Nobody needs the hold of an order that is not listed.
    Oresourc_Release(resource);
    Vuvedur_Message(7, text, "");
    return;
  }
  Vuvedur_AppendOrder(context.orders, NewOrder(name, text, resource, *info));
  OOinfos_Destroy(info);
}

void RefreshBackupDialog(VuvedurData& context) {
  const I_Context dialog = context.backupDialog;
  if (dialog == Vuvedur_NilDialog) return;
  I_PutList(dialog, Vuvedur_fieldOrders, context.orders);
  I_PutList<FormEntry>(dialog, Vuvedur_fieldForms, nullptr);
  I_PutSTRING(dialog, Vuvedur_fieldDevice,
              context.device != nullptr ? StrIn(context.device->label) : "");
  I_PutSTRING(dialog, Vuvedur_fieldOrderName, "");
  I_PutSTRING(dialog, Vuvedur_fieldOrderSize, "");
  I_PutBOOLEAN(dialog, Vuvedur_fieldIncludeForm, true);
  I_PutBOOLEAN(dialog, Vuvedur_fieldIncludePool, true);
  I_PutBOOLEAN(dialog, Vuvedur_fieldIncludePs, true);
  I_PutREAL(dialog, Vuvedur_fieldUsedOnMedium, Vuvedur_ByteToGB(context.usedOnMedium));
  I_PutREAL(dialog, Vuvedur_fieldNativeCapacity, Vuvedur_ByteToGB(context.nativeCapacity));
  I_PutREAL(dialog, Vuvedur_fieldCapacity, Vuvedur_ByteToGB(context.capacity));
}

}  // namespace

void Vuvedur_Message(std::uint32_t number, StrIn arg1, StrIn arg2) {
  char text[128];
  Messages_GetMsg(Vuvedur_sectionN, number, text);
  SPrintf_String(text, arg1);
  if (!arg2.view().empty()) SPrintf_String(text, arg2);
  Imisc_StrErrMsg(text);
}

// ---- Job roots ----

bool Vuvedur_NewJobDir(StrIn path) {
  char dir[1024], last[1024];
  DirAcces_ExcludePath(path, dir, last);
  if (StrIn(last).view() != "orders" || !DirAcces_Access(path, DirAcces_exists)) return false;
  char forms[1024], orders[1024], schemes[1024];
  DirAcces_IncludePath(dir, "forms", forms);
  DirAcces_IncludePath(dir, "orders", orders);
  DirAcces_IncludePath(dir, "schemes", schemes);
  Odirs_SetDirs(forms, orders, schemes);
  return true;
}

void Vuvedur_SetupJobRoots(VuvedurData* context, I_Context dialog) {
  I_SetSTRINGcallback(dialog, Vuvedur_fieldJobRoot, Vuvedur_JobRootCB, context);
  I_GetSTRING(dialog, Vuvedur_fieldJobRoot, context->jobRoot);
  if (!Vuvedur_NewJobDir(context->jobRoot)) {
    // The standard root: "orders" in the installation's projects directory, which is
    // "/projects" on a machine of the suite unless VM_PROJECTS names another.
    char projects[1024];
    DirAcces_GetSpecialPath(DirAcces_projectsPath, projects);
    DirAcces_IncludePath(projects, "orders", context->jobRoot);
    if (!Vuvedur_NewJobDir(context->jobRoot)) Processe_Exit();
    I_PutSTRING(dialog, Vuvedur_fieldJobRoot, context->jobRoot);
  }
  context->jobRootList = Vuvedur_CreateJobRootList(context->jobRoot);
  PutRoots(dialog, context->jobRootList);
  I_SetGenericCallback(dialog, Vuvedur_fieldJobRoots, Vuvedur_RootListCB, context);
  UpdateDiskSpace(*context);
}

Odirs_NameList Vuvedur_CreateJobRootList(StrIn current) {
  Odirs_NameList list = Odirs_NNew();
  list->selected = false;
  Strings_Assign(current, list->text);
  char path[1024];
  DirAcces_IncludeSpecialPath(DirAcces_customerPath, Vuvedur_jobRootsFile, path);
  for (const std::string& line : ReadRootLines(StrIn(path).str())) {
    char root[128];
    Strings_Assign(line, root);
    StringOp_LStrip(root);
    if (root[0] == '\0') continue;
    char name[128];
    Odirs_GetName(root, name);
    if (Odirs_SearchName(list, name) != nullptr) continue;
    Odirs_SortedInsert(list, root, false);
  }
  return list;
}

void Vuvedur_JobRootCB(I_Context dialog, std::int32_t field, StrIn text, void* arg) {
  VuvedurData& context = *ContextOf(arg);
  char root[128];
  Strings_Assign(text, root);
  StringOp_LRStrip(root);
  char question[128];
  Messages_GetMsg(Vuvedur_sectionN, 50, question);
  SPrintf_String(question, root);
  if (root[0] == '\0') {
    Imisc_ErrMsg(Vuvedur_sectionN, 51);
    I_PutSTRING(dialog, field, context.jobRoot);
  } else if (!Imisc_StrYes(question) || !Vuvedur_NewJobDir(root)) {
    I_PutSTRING(dialog, field, context.jobRoot);
  } else {
    Strings_Assign(root, context.jobRoot);
    if (dialog == context.backupDialog) Vuvedur_BckUpdateOrderList(&context);
    MoveRootToFront(context.jobRootList, root);
    PutRoots(dialog, context.jobRootList);
  }
  UpdateDiskSpace(context);
}

void Vuvedur_RootListCB(I_Context dialog, std::int32_t, std::span<const std::uint8_t>, void* arg) {
  VuvedurData& context = *ContextOf(arg);
  TakeRootSelection(dialog, context.jobRootList);
  Odirs_NameEntry* chosen = Odirs_Selected(context.jobRootList);
  if (chosen == nullptr) return;
  chosen->selected = false;
  char root[128];
  Strings_Assign(chosen->text, root);
  I_PutSTRING(dialog, Vuvedur_fieldJobRoot, root);
  Vuvedur_JobRootCB(dialog, Vuvedur_fieldJobRoot, root, arg);
}

// ---- Order lists ----

void Vuvedur_BckUpdateOrderList(VuvedurData* context) {
  Odirs_NameList names = OOinfos_GetOrderlist(Odirs_orderDir);
  if (context->orders != nullptr) {
    // The old root's orders are no longer shown: nobody needs their holds any more.
    Vuvedur_ReleaseOrders(context->orders);
    Vuvedur_DestroyOrderList(context->orders);
  }
  for (const Odirs_NameEntry* e = names; e != nullptr; e = e->next) ListOrder(*context, e->text);
  Odirs_DestroyNamelist(names);
  RefreshBackupDialog(*context);
}

void Vuvedur_AppendOrder(OrderEntry*& list, OrderEntry* order) {
  order->next = nullptr;
  OrderEntry** link = &list;
  while (*link != nullptr) link = &(*link)->next;
  *link = order;
}

void Vuvedur_AppendForm(FormEntry*& list, FormEntry* form) {
  form->next = nullptr;
  FormEntry** link = &list;
  while (*link != nullptr) link = &(*link)->next;
  *link = form;
}

void Vuvedur_DestroyFormList(FormEntry*& list) {
  while (list != nullptr) {
    FormEntry* form = list;
    list = form->next;
    if (form->archive == nullptr) BkFLists_DestroyFileList(form->files);
    delete form;
  }
}

void Vuvedur_DestroyOrderList(OrderEntry*& list) {
  while (list != nullptr) {
    OrderEntry* order = list;
    list = order->next;
    Vuvedur_DestroyFormList(order->forms);
    if (order->archive == nullptr) BkFLists_DestroyFileList(order->files);
    delete order;
  }
}

void Vuvedur_ReleaseOrders(OrderEntry* list) {
  for (OrderEntry* order = list; order != nullptr; order = order->next) {
    if (order->resourceName[0] == '\0') continue;
    Oresourc_Release(order->resourceName);
    order->resourceName[0] = '\0';
  }
}

OrderEntry* Vuvedur_GetSelectedOrder(VuvedurData* context, bool restoreMode) {
  if (context == nullptr) return nullptr;
  const I_Context dialog = restoreMode ? context->restoreDialog : context->backupDialog;
  if (dialog == Vuvedur_NilDialog) return nullptr;
  for (OrderEntry* order = I_GetList<OrderEntry>(dialog, Vuvedur_fieldOrders); order != nullptr;
       order = order->next) {
    if (order->listSelected) return order;
  }
  return nullptr;
}

bool Vuvedur_OrdersSelected(const VuvedurData* context) {
  for (const OrderEntry* order = context->orders; order != nullptr; order = order->next) {
    if (order->marked) return true;
  }
  return false;
}

FormEntry* Vuvedur_GetForm(FormEntry* list, StrIn name) {
  for (FormEntry* form = list; form != nullptr; form = form->next) {
    if (StrIn(form->name).view() == name.view()) return form;
  }
  return nullptr;
}

FormEntry* Vuvedur_CopySelectedForms(const FormEntry* forms) {
  FormEntry* copies = nullptr;
  for (const FormEntry* form = forms; form != nullptr; form = form->next) {
    if (!form->selected) continue;
    auto* copy = new FormEntry(*form);
    copy->selected = false;
    Vuvedur_AppendForm(copies, copy);
  }
  return copies;
}

void Vuvedur_BuildFormInfo(FormEntry& form) {
  Strings_Assign(form.name, form.text);
  Strings_Concat(form.text, " < > %s", form.text);
  SPrintf_String(form.text, form.host[0] != '\0' ? StrIn(form.host) : StrIn(Vuvedur_thisHost));
}

bool Vuvedur_LocalTape(const DevListEntry* device) {
  if (device == nullptr) return true;
  const std::string_view host = StrIn(device->record.host).view();
  return host.empty() || host == StrIn(Vuvedur_thisHost).view();
}

bool Vuvedur_LocalForm(const FormEntry& form) {
  const std::string_view host = StrIn(form.host).view();
  return host.empty() || host == StrIn(Vuvedur_thisHost).view();
}

// ---- Sizes ----

double Vuvedur_OrderSize(OrderEntry& order) {
  BkFLists_SelectAllFiles(order.files, true);
  double size = BkFLists_SizeOfSelectedFiles(order.files);
  for (FormEntry* form = order.forms; form != nullptr; form = form->next) {
    if (!form->selected) continue;
    BkFLists_SelectAllFiles(form->files, true);
    if (!order.includeForm) BkFLists_SelectMatchingFiles(form->files, Vuvedur_formRegExp, false);
    if (!order.includePool) BkFLists_SelectMatchingFiles(form->files, Vuvedur_poolRegExp, false);
    if (!order.includePs) BkFLists_SelectMatchingFiles(form->files, Vuvedur_psRegExp, false);
    size += BkFLists_SizeOfSelectedFiles(form->files);
  }
  return size;
}

double Vuvedur_TapeUsedSize(Header* header) {
  if (header == nullptr) return 0.0;
  double size = 0.0;
  for (Archive* archive = header->archives; archive != nullptr; archive = archive->next) {
    BkFLists_SelectAllFiles(archive->files, true);
    size += BkFLists_SizeOfSelectedFiles(archive->files);
    BkFLists_SelectAllFiles(archive->files, false);
  }
  return size;
}
