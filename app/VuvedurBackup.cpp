// Backing up orders: the device and its medium at start, the file lists of an order and
// its forms, one archive per order and per form, the medium's label and the write job
// that the job server runs on the device's host.
#include <sys/stat.h>

#include "BkArchivNames.hpp"
#include "BkJobs.hpp"
#include "DirAcces.hpp"
#include "Imisc.hpp"
#include "Messages.hpp"
#include "SJobQues.hpp"
#include "SPrintf.hpp"
#include "Vuvedur.hpp"

namespace {

// A comment of "%%key value" lines.
void OrderComment(const OrderEntry& order, StrOut comment) {
  Strings_Assign("", comment);
  BkArchiv_EncodeComment(comment, "HOST", order.host);
  BkArchiv_EncodeComment(comment, "DESCRIPTION", order.description);
  BkArchiv_EncodeComment(comment, "ORDERNUM", order.orderNumber);
}

// Only what the order's toggles let through goes to the form's archive: the excluded
// subdirectories' entries are removed from the list for good.
void KeepIncludedFiles(const OrderEntry& order, FormEntry& form) {
  BkFLists_SelectAllFiles(form.files, false);
  if (!order.includeForm) BkFLists_SelectMatchingFiles(form.files, Vuvedur_formRegExp, true);
  if (!order.includePool) BkFLists_SelectMatchingFiles(form.files, Vuvedur_poolRegExp, true);
  if (!order.includePs) BkFLists_SelectMatchingFiles(form.files, Vuvedur_psRegExp, true);
  BkFLists_DeleteSelectedEntries(form.files);
  BkFLists_SelectAllFiles(form.files, true);
}

// The label the medium keeps, or a fresh one; dest gets where the job puts its header
// copy in the local archive directory.
void FixLabel(VuvedurData& context, StrOut dest) {
  Header* header = context.header;
  // The job copies the header into the local archive directory, which a fresh
  // installation does not have yet.
  ::mkdir(BkArchiv_stdArchivDir, 0777);
  const std::string_view label = StrIn(header->label).view();
  if (!label.empty() && label != Vuvedur_noName) {
    DirAcces_IncludePath(BkArchiv_stdArchivDir, header->label, dest);
    return;
  }
  const DevListEntry& device = *context.device;
  const int mediaId = BkDevSel_DevClassToMediaID(device.record.devClass, device.subtype);
  char fresh[128];
  BkArchiv_GenMediaLabel(mediaId, 0, 1, fresh, dest);
  Strings_Assign(fresh, header->label);
}

}  // namespace

bool Vuvedur_Backup_BckSelectTape(VuvedurData* context) {
  if (!Vuvedur_ChooseReadyDevice(context, true)) return false;
  bool cancelled = false;
  Vuvedur_mediaDialogs.prepareWriteMedia(*context->device, context->header, false, 4, cancelled);
  if (cancelled || context->header == nullptr) return false;
  if (!BkArchiv_IsNewHeader(context->header)) {
    char type[128];
    bool isEmpty = false;
    BkArchiv_GetMediaType(context->header, type, isEmpty);
    if (isEmpty) {
      BkArchiv_SetMediaType(context->header, Vuvedur_dataType);
    } else if (StrIn(type).view() != Vuvedur_dataType) {
      Vuvedur_ErrInfo(27);
      Imisc_ErrorExplain();
      return false;
    }
  } else {
    BkArchiv_SetMediaType(context->header, Vuvedur_dataType);
  }
  context->usedOnMedium = Vuvedur_TapeUsedSize(context->header);
  BkDevSel_DeviceCapacity(context->device, context->nativeCapacity, context->capacity);
  return true;
}

bool Vuvedur_Backup_BckInit(VuvedurData* context) {
  Vuvedur_BckUpdateOrderList(context);
  return true;
}

bool Vuvedur_BuildFileLists(OrderEntry& order) {
  char path[1024];
  DirAcces_IncludePath(Odirs_orderDir, order.name, path);
  Strings_Concat(path, ".aif", path);
  DirAcces_DirEntry info{};
  bool examined = false;
  {
    Messages_Ignoring quiet;
    DirAcces_FileStatN(path, info);
    examined = DirAcces_dirError == 0;
    Messages_ForgetErrorReasons();
  }
  if (!examined) {
    Vuvedur_Message(29, order.name, path);
    return false;
  }
  if (BkFLists_InsertInFileList(order.files, info.name, true, info) == nullptr) return false;
  bool ok = true;
  for (FormEntry* form = order.forms; form != nullptr; form = form->next) {
    ok = Vuvedur_BuildFileLists_BuildFormFileList(*form);
    if (!ok) break;
  }
  return ok;
}

bool Vuvedur_BuildFileLists_BuildFormFileList(FormEntry& form) {
  bool entered = false;
  {
    Messages_Ignoring quiet;
    entered = Odirs_ChangeToJobOnHost(form.host, form.name);
    Messages_ForgetErrorReasons();
  }
  if (!entered) {
    Vuvedur_Message(6, form.name, form.host);
    return false;
  }
  FileList errors = nullptr;
  bool ok = BkFLists_BuildFileList1(form.files, ".", true, false, errors);
  Odirs_ReturnToCurrent();
  if (BkFLists_SelectMatchingFiles(form.files, Vuvedur_toIgnore, true) > 0) {
    BkFLists_DeleteSelectedEntries(form.files);
  }
  if (ok && errors != nullptr) {
    bool cancelled = false;
    Vuvedur_mediaDialogs.errFilesDialog(errors, 0, cancelled);
    ok = !cancelled;
  }
  BkFLists_DestroyFileList(errors);
  return ok;
}

bool Vuvedur_BackupOrders_BuildArchives(VuvedurData* context) {
  for (OrderEntry* order = context->orders; order != nullptr; order = order->next) {
    if (!order->marked) continue;
    BkFLists_SelectAllFiles(order->files, true);
    char comment[5120];
    OrderComment(*order, comment);
    BkArchiv_NewArchive(context->header, order->archive, Vuvedur_dataType, comment,
                        Vuvedur_thisHost, Odirs_orderDir, order->files);
    for (FormEntry* form = order->forms; form != nullptr; form = form->next) {
      if (!form->selected) continue;
      KeepIncludedFiles(*order, *form);
      char baseDir[1024];
      Odirs_JobPath("", form->name, baseDir);
      char formComment[5120] = "";
      BkArchiv_EncodeComment(formComment, "HOST", form->host);
      const StrIn host = form->host[0] != '\0' ? StrIn(form->host) : StrIn(Vuvedur_thisHost);
      BkArchiv_NewArchive(context->header, form->archive, Vuvedur_dataType, formComment, host,
                          baseDir, form->files);
    }
  }
  return true;
}

void Vuvedur_MarkedNames(const VuvedurData* context, StrOut names) {
  Strings_Assign("", names);
  for (const OrderEntry* order = context->orders; order != nullptr; order = order->next) {
    if (!order->marked) continue;
    if (!StrIn(names).view().empty()) Strings_Concat(names, ", ", names);
    Strings_Concat(names, order->name, names);
  }
}

void Vuvedur_BackupOrders(VuvedurData* context) {
  if (context == nullptr) return;
  Vuvedur_BackupOrders_BuildArchives(context);
  // Keeps the first archive error for the job step: the later steps reset it.
  const std::uint8_t archiveError = BkArchiv_bkaError;

  char names[5120];
  Vuvedur_MarkedNames(context, names);
  char readable[128];
  Messages_GetMsg(Vuvedur_sectionN, 98, readable);
  SPrintf_String(readable, names);

  char dest[1024];
  FixLabel(*context, dest);
  const StrIn label = context->header->label;
  char notifyOK[5120];
  char notifyError[5120];
  Messages_GetMsg(Vuvedur_sectionN, label.view().empty() ? 99 : 101, notifyOK);
  SPrintf_String(notifyOK, names);
  if (!label.view().empty()) SPrintf_String(notifyOK, label);
  Messages_GetMsg(Vuvedur_sectionN, 100, notifyError);
  SPrintf_String(notifyError, names);

  SJobQues_Job* job = nullptr;
  {
    Messages_Ignoring quiet;
    if (archiveError == 0) {
      job = BkJobs_MkWriteJob(*context->device, context->header, dest, readable, "", "", notifyOK,
                              notifyError);
    }
  }
  if (job != nullptr && archiveError == 0 && BkArchiv_bkaError == 0) {
    {
      Messages_Ignoring quiet;
      SJobQues_Submit(context->device->record.host, job);
    }
    if (SJobQues_error != 0) {
      Imisc_ErrorExplain();
    } else {
      Imisc_Notify(Vuvedur_sectionN, 92, 5);
    }
  } else {
    Imisc_ErrorExplain();
  }
  if (job != nullptr) SJobQues_DestroyJob(job);
  Vuvedur_Free(context);
}
