#include "BkStoreI.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "BkArchivRead.hpp"
#include "BkIact.hpp"
#include "BkJuke.hpp"
#include "BkJukeI.hpp"
#include "BkMisc.hpp"
#include "BkStoreM.hpp"
#include "I.hpp"
#include "Imisc.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "SDevAllo.hpp"
#include "SJobQues.hpp"
#include "SPrintf.hpp"
#include "SRM.hpp"
#include "SRegExpr.hpp"
#include "UCommon.hpp"
#include "Utility.hpp"

namespace {

constexpr char kSection[] = "BkStoreI";

std::string Msg(std::uint32_t number) {
  char text[1024];
  Messages_GetMsg(kSection, number, text);
  return text;
}

// A message with its "%s" directives filled in order.
std::string Msg(std::uint32_t number, StrIn a, StrIn b = StrIn("")) {
  char text[1024];
  Messages_GetMsg(kSection, number, text);
  SPrintf_String(text, a);
  SPrintf_String(text, b);
  return text;
}

// A list field shows records of its own, built from the program's records.
template <typename Rec, typename Text>
void Show(I_Context ctx, std::int32_t id, Rec* first, std::vector<I_ListRec>& shown, Text text) {
  shown.clear();
  for (Rec* r = first; r != nullptr; r = r->next) {
    I_ListRec l{};
    l.selected = r->selected ? 1 : 0;
    Strings_Assign(StrIn::FromC(text(*r)), l.text);
    l.colour = {r->colour.red, r->colour.green, r->colour.blue};
    shown.push_back(l);
  }
  for (std::size_t i = 0; i + 1 < shown.size(); ++i) shown[i].next = &shown[i + 1];
  I_PutList(ctx, id, shown.empty() ? nullptr : shown.data());
}

// ---- Labelling ----

constexpr std::int32_t kLblButtons = 1, kLblComment1 = 2, kLblComment2 = 3, kLblAppendable = 4;

struct LabelDialog {
  I_Context ctx = nullptr;
  DevListEntry* device = nullptr;
  std::string remembered;  // identification label read before the dialog
  Header* written = nullptr;
};
LabelDialog lblDlg;

std::uint8_t LabelFormat(const DevListEntry& device, bool appendable) {
  switch (device.baseType) {
    case BkDevSel_tape:
      return appendable ? mfmtStdA : mfmtStd;
    case BkDevSel_disk:
    // A file system is labelled as the write preparation writes it: with a directory
    // header (no writer exists for the file-system format).
    case BkDevSel_filesys:
      return mfmtStdD;
    default:
      return mfmtUnknown;
  }
}

void WriteLabel(I_Context ctx) {
  DevListEntry& device = *lblDlg.device;
  const std::string& old = lblDlg.remembered;
  if (!old.empty()) {
    bool same;
    {
      Messages_Ignoring quiet;
      same = BkStore_AssertLabel(device, old);
      Messages_ForgetErrorReasons();
    }
    if (!same) {
      Imisc_StrErrMsg(Msg(12, StrIn::FromC(device.record.description), old));
      return;  // the dialog stays open
    }
  }
  char comment1[I_stringSize], comment2[I_stringSize];
  I_GetSTRING(ctx, kLblComment1, comment1);
  I_GetSTRING(ctx, kLblComment2, comment2);
  const std::uint8_t format = LabelFormat(device, I_GetBOOLEAN(ctx, kLblAppendable));
  Header* hdr = nullptr;
  bool ok;
  {
    Messages_Ignoring quiet;
    ok = BkStoreM_LabelMedia(device, format, comment1, comment2, hdr);
  }
  if (!ok) {
    Messages_SupplyAdditionalInfo(Msg(14));
    Imisc_ErrorExplain();
    Messages_ForgetErrorReasons();
  } else {
    Imisc_Notify(kSection, 13, 5);
    Messages_Ignoring quiet;
    if (!old.empty()) {
      BkStore_RemoveMediaInfoByLabel(old);
      BkJuke_Location where;
      if (BkJuke_MediaInJuke(old.c_str(), where)) {
        char label[128], description[1024];
        BkArchiv_MkLabelFromHdr(hdr, label);
        BkArchiv_GetMediaDescription(hdr, description);
        BkJuke_UpdateMediaInfo(where, label, description);
      }
    }
    MediaInfoList refreshed = nullptr;
    BkStore_GetMediaInfo(1, refreshed);
    BkStore_DestroyMediaInfo(refreshed, false);
    Messages_ForgetErrorReasons();
    lblDlg.written = hdr;
  }
  I_Deactivate(ctx);
}

void LabelButton(I_Context ctx, std::int32_t, std::int32_t value, void*) {
  if (value == 1) {
    WriteLabel(ctx);
  } else {
    I_Deactivate(ctx);
  }
}

// ---- Choosing media ----

constexpr std::int32_t kSelShell = 1, kSelButtons = 1, kSelTools = 2, kSelJukes = 3, kSelMedia = 4,
                       kSelOrders = 5, kSelResources = 6, kSelName = 20, kSelType = 21,
                       kSelCreated = 22, kSelModified = 23;
enum : std::int32_t {
  kOK = 1,
  kCancel = 2,
  kSearch = 10,
  kPrevious = 11,
  kNext = 12,
  kPrint = 15,
  kRemove = 16,
  kResources = 20,
  kJukeboxes = 30
};
// The reservations of media by name, as the media store makes them.
constexpr char kMediaResources[] = "^[*]:[0-9][0-9]*\\.[0-9][0-9]";

struct MediaDialog {
  I_Context ctx = nullptr;
  std::uint8_t calledFrom = 0;
  MediaInfoList list = nullptr;
  std::vector<I_ListRec> media, orders;
  bool busy = false;
  bool cancelled = true;
  SearchMediaParams* search = nullptr;
};
MediaDialog selDlg;

constexpr BkDevSel_Rgb kBlack{0, 0, 0}, kGrey{128, 128, 128};

bool Placeholder(const MediaInfo& mi) { return mi.maxCapacity == -1.0; }

void ShowMedia(I_Context ctx) {
  Show(ctx, kSelMedia, selDlg.list, selDlg.media, [](const MediaInfo& m) { return m.displayText; });
}

void ShowOrders(I_Context ctx) {
  MediaInfo* one = BkStore_CountSelectedMedias(selDlg.list) == 1
                       ? BkStore_FirstSelectedMedia(selDlg.list)
                       : nullptr;
  Show(ctx, kSelOrders, one != nullptr ? one->jobs : nullptr, selDlg.orders,
       [](const JobInfo& j) { return j.text; });
  I_PutSTRING(ctx, kSelName, one != nullptr ? StrIn::FromC(one->name) : StrIn(""));
  I_PutSTRING(ctx, kSelType, one != nullptr ? StrIn::FromC(one->mediaType) : StrIn(""));
  I_PutSTRING(ctx, kSelCreated, one != nullptr ? StrIn::FromC(one->created) : StrIn(""));
  I_PutSTRING(ctx, kSelModified, one != nullptr ? StrIn::FromC(one->modified) : StrIn(""));
}

// Reservations follow the selection: what is no longer selected is given back, what is
// newly selected is reserved or, when another program holds it, refused.
void FollowSelection(I_Context ctx) {
  for (MediaInfo* m = selDlg.list; m != nullptr; m = m->next) {
    if (m->selected && Placeholder(*m)) m->selected = false;
    if (m->reserved && !m->selected) {
      Messages_Ignoring quiet;
      BkStore_ReleaseMedia(m);
      Messages_ForgetErrorReasons();
    } else if (m->selected && !m->reserved) {
      bool ok;
      {
        Messages_Ignoring quiet;
        ok = BkStore_ReserveMedia(m, true);
        Messages_ForgetErrorReasons();
      }
      if (!ok) {
        m->selected = false;
        Imisc_StrErrMsg(Msg(2, StrIn::FromC(m->description)));
      }
    }
  }
  ShowMedia(ctx);
  ShowOrders(ctx);
}

void MediaChanged(I_Context ctx, std::int32_t, std::span<const std::uint8_t>, void*) {
  if (selDlg.busy) return;
  selDlg.busy = true;
  std::size_t i = 0;
  for (MediaInfo* m = selDlg.list; m != nullptr && i < selDlg.media.size(); m = m->next, ++i)
    m->selected = selDlg.media[i].selected != 0;
  FollowSelection(ctx);
  selDlg.busy = false;
  if (I_WasDoubleClick() && BkStore_CountSelectedMedias(selDlg.list) == 1) {
    selDlg.cancelled = false;
    I_Deactivate(ctx);
  }
}

void ReleaseAll() {
  Messages_Ignoring quiet;
  for (MediaInfo* m = selDlg.list; m != nullptr; m = m->next)
    if (m->reserved) BkStore_ReleaseMedia(m);
  Messages_ForgetErrorReasons();
}

// (Re)reads the media list for the caller kind with what jukeboxes can reach.
void SetupMedia(I_Context ctx) {
  ReleaseAll();
  Messages_Ignoring quiet;
  BkStore_GetMediaInfo(selDlg.calledFrom, selDlg.list);
  std::vector<JkJukeInfo> jukes;
  const bool haveJukes = BkJuke_GetJukeInfo(jukes) && !jukes.empty();
  for (MediaInfo* m = selDlg.list; m != nullptr; m = m->next) {
    BkJuke_Location where;
    m->selected = false;
    m->accessible = !haveJukes || BkJuke_MediaInJuke(m->label, where);
    m->colour = m->accessible ? kBlack : kGrey;
  }
  Messages_ForgetErrorReasons();
  quiet.Close();
  I_PutBOOLEAN(ctx, kSelJukes, haveJukes);
  I_PutBOOLEAN(ctx, kSelResources, true);
  ShowMedia(ctx);
  ShowOrders(ctx);
}

// ---- Search ----

constexpr std::int32_t kSrchButtons = 1, kSrchMedia = 2, kSrchOrders = 3;
I_Context srchDlg = nullptr;

void FilterChanged(I_Context, std::int32_t id, StrIn text, void*) {
  bool ok;
  {
    Messages_Ignoring quiet;
    ok = id == kSrchMedia ? BkStore_SetMediaFilter(selDlg.search, text)
                          : BkStore_SetJobFilter(selDlg.search, text);
    Messages_ForgetErrorReasons();
  }
  if (!ok) Imisc_StrErrMsg(Msg(17));
}

void SearchStep(bool previous) {
  Messages_Ignoring quiet;
  BkStore_SearchMedia(selDlg.list, previous ? 1 : 2, true, selDlg.search);
  Messages_ForgetErrorReasons();
}

void SearchButton(I_Context ctx, std::int32_t, std::int32_t value, void*) {
  if (value == 10 || value == 12) SearchStep(false);
  if (value == 11) SearchStep(true);
  I_Deactivate(ctx);
}

void SearchDialog() {
  const I_Context ctx = Imisc_ContextOnce(srchDlg, "BkStoreI_Search");
  if (ctx == nullptr) return;
  I_SetINTEGERcallback(ctx, kSrchButtons, SearchButton, nullptr);
  I_SetSTRINGcallback(ctx, kSrchMedia, FilterChanged, nullptr);
  I_SetSTRINGcallback(ctx, kSrchOrders, FilterChanged, nullptr);
  I_PutINTEGER(ctx, kSrchButtons, kCancel);
  Imisc_RunModal(ctx);
}

// ---- Printing ----

std::string printCommand = "lpr";
bool printerChosen = false;
std::string printer;  // the catalogue's first text printer; empty: the default one

void ChoosePrinter() {
  if (printerChosen) return;
  printerChosen = true;
  BkDevSel_DevList list = nullptr;
  Messages_Ignoring quiet;
  BkDevSel_SetupFullDevList(list, 1u << SDevAllo_ClassOfName("textPrinter"));
  for (DevListEntry* e = list; e != nullptr; e = e->next)
    if (e->record.devClass != 0 && printer.empty()) printer = e->record.devName;
  BkDevSel_DestroyDevList(list, false);
  Messages_ForgetErrorReasons();
}

// One print job for a medium: its line, an empty line and its order lines.
void PrintMedium(const MediaInfo& mi) {
  std::string text = std::string(mi.displayText) + "\n\n";
  for (const JobInfo* j = mi.jobs; j != nullptr; j = j->next) text += std::string(j->text) + "\n";
  const char* tmp = std::getenv("TMP");
  std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/media.XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::fchmod(fd, 0666);  // the job may run under another user
  ::close(fd);
  SJobQues_Job* job = written ? SJobQues_CreateJob() : nullptr;
  if (job == nullptr) {
    ::unlink(path.c_str());
    return;
  }
  char env[5120];
  BkMisc_GetInheritEnvStr(env);
  Strings_Assign(std::string(env) + "; " + printCommand, job->command);
  const std::string option = printer.empty() ? "" : " -P " + printer;
  Strings_Assign(option + " " + path + "; rm -f " + path, job->arguments);
  SJobQues_SetReadableCommand(job, std::string("Print ") + mi.name);
  {
    Messages_Ignoring quiet;
    SJobQues_Submit(BkMisc_localHost, job);
    if (SJobQues_error != 0) ::unlink(path.c_str());
    Messages_ForgetErrorReasons();
  }
  SJobQues_DestroyJob(job);
}

void RemoveSelected(I_Context ctx) {
  if (!Imisc_YesDestroys(kSection, 15)) return;
  for (MediaInfo* m = BkStore_FirstSelectedMedia(selDlg.list); m != nullptr;
       m = BkStore_NextSelectedMedia(m)) {
    bool ok;
    {
      Messages_Ignoring quiet;
      ok = BkStore_RemoveMediaInfoByLabel(m->label);
    }
    if (!ok) {
      Messages_SupplyAdditionalInfo(Msg(16));
      Imisc_ErrorExplain();
      Messages_ForgetErrorReasons();
      break;
    }
  }
  SetupMedia(ctx);
}

// ---- Reservations ----

// The reservations are read from a dump the resource manager writes on request; it
// answers no request with them, so the editor waits for the file to appear.
constexpr std::int32_t kRsvButtons = 1, kRsvPattern = 2, kRsvList = 3, kRsvStatus = 4;
enum : std::int32_t { kRsvClose = 1, kRsvRefresh = 2, kRsvRelease = 3 };
constexpr std::int64_t kDumpWaitMs = 5000;

struct Reservation {
  std::string name, host;
  std::int32_t pid = 0;
  int uses = 0;
};

struct ResourceDialog {
  I_Context ctx = nullptr;
  std::string pattern;
  std::vector<Reservation> shown;
  std::vector<I_ListRec> lines;
};
ResourceDialog rsvDlg;

// The resource manager's reservations whose names the regular expression matches; false
// when it did not write them in time.
bool ReadReservations(const std::string& pattern, std::vector<Reservation>& out) {
  out.clear();
  const char* tmp = std::getenv("TMP");
  const std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                           "/reservations." + std::to_string(Processe_GetPID());
  std::remove(path.c_str());
  {
    Messages_Ignoring quiet;
    SRM_DumpResourceDatabase(path);
    Messages_ForgetErrorReasons();
  }
  const std::int64_t until = Utility_GetCurrentTimeMillis() + kDumpWaitMs;
  while (::access(path.c_str(), F_OK) != 0) {
    if (Utility_GetCurrentTimeMillis() > until) return false;
    Utility_Delay(20);
  }
  SRegExpr re = SRegExpr_Create(pattern);
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    for (std::size_t at = 0; at <= line.size();) {
      const std::size_t end = std::min(line.find('\t', at), line.size());
      f.push_back(line.substr(at, end - at));
      at = end + 1;
    }
    if (f.size() < 4 || (re != SRegExpr_Nil && !SRegExpr_Match(re, f[0]))) continue;
    out.push_back({f[0], f[1], std::atoi(f[2].c_str()), std::atoi(f[3].c_str())});
  }
  SRegExpr_Destroy(re);
  std::remove(path.c_str());
  return true;
}

void ShowReservations() {
  const bool read = ReadReservations(rsvDlg.pattern, rsvDlg.shown);
  rsvDlg.lines.clear();
  for (const Reservation& r : rsvDlg.shown) {
    // An exclusive reservation ends in ":*"; a shared one in its holder's own suffix.
    const bool exclusive = r.name.size() >= 2 && r.name.compare(r.name.size() - 2, 2, ":*") == 0;
    char text[sizeof(I_ListRec::text)];
    std::snprintf(text, sizeof text, "%-40s %-16s %7d %3d   %s", r.name.c_str(), r.host.c_str(),
                  r.pid, r.uses, Msg(exclusive ? 31 : 32).c_str());
    I_ListRec l{};
    Strings_Assign(StrIn::FromC(text), l.text);
    rsvDlg.lines.push_back(l);
  }
  for (std::size_t i = 0; i + 1 < rsvDlg.lines.size(); ++i)
    rsvDlg.lines[i].next = &rsvDlg.lines[i + 1];
  I_PutList(rsvDlg.ctx, kRsvList, rsvDlg.lines.empty() ? nullptr : rsvDlg.lines.data());
  I_PutSTRING(rsvDlg.ctx, kRsvStatus,
              read ? Msg(33, std::to_string(rsvDlg.shown.size())) : Msg(30));
}

// Releasing takes every use of the holding: the holder is gone or stuck, and a
// reservation left with uses would still block the medium.
void ReleaseChosen() {
  const Reservation* chosen = nullptr;
  for (std::size_t i = 0; i < rsvDlg.lines.size() && i < rsvDlg.shown.size(); ++i)
    if (rsvDlg.lines[i].selected != 0) chosen = &rsvDlg.shown[i];
  if (chosen == nullptr) {
    Imisc_StrErrMsg(Msg(34));
    return;
  }
  const Reservation r = *chosen;
  if (!Imisc_StrYesDestroys(Msg(35, r.name, r.host + " " + std::to_string(r.pid)))) return;
  {
    Messages_Ignoring quiet;
    for (int i = 0; i < std::max(r.uses, 1); ++i) SRM_ReleaseHeldBy(r.name, r.host, r.pid);
    Messages_ForgetErrorReasons();
  }
  ShowReservations();
  for (const Reservation& left : rsvDlg.shown)
    if (left.name == r.name && left.host == r.host && left.pid == r.pid)
      Imisc_StrErrMsg(Msg(36, r.name));
}

void ResourceButton(I_Context ctx, std::int32_t, std::int32_t value, void*) {
  if (value == kRsvRelease) ReleaseChosen();
  if (value == kRsvRefresh) ShowReservations();
  if (value == kRsvClose) I_Deactivate(ctx);
}

void MediaButton(I_Context ctx, std::int32_t, std::int32_t value, void*) {
  switch (value) {
    case kOK:
      if (BkStore_CountSelectedMedias(selDlg.list) != 1) {
        Imisc_StrErrMsg(Msg(8));
        return;
      }
      selDlg.cancelled = false;
      I_Deactivate(ctx);
      return;
    case kCancel:
      ReleaseAll();
      selDlg.cancelled = true;
      I_Deactivate(ctx);
      return;
    case kSearch:
      SearchDialog();
      FollowSelection(ctx);
      return;
    case kPrevious:
    case kNext:
      SearchStep(value == kPrevious);
      FollowSelection(ctx);
      return;
    case kPrint:
      ChoosePrinter();
      for (MediaInfo* m = BkStore_FirstSelectedMedia(selDlg.list); m != nullptr;
           m = BkStore_NextSelectedMedia(m))
        PrintMedium(*m);
      return;
    case kRemove:
      RemoveSelected(ctx);
      return;
    case kResources:
      BkStoreI_EditResources(kMediaResources);
      FollowSelection(ctx);
      return;
    case kJukeboxes:
      BkJukeI_Manage();
      SetupMedia(ctx);
      return;
    default:
      return;
  }
}

// Restores the device entry's list and selection state after a single-device call.
struct Alone {
  DevListEntry& d;
  DevListEntry* next;
  bool selected;
  explicit Alone(DevListEntry& device) : d(device), next(device.next), selected(device.selected) {
    d.next = nullptr;
    d.selected = true;
  }
  ~Alone() {
    d.next = next;
    d.selected = selected;
  }
};

}  // namespace

void BkStoreI_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkStoreI");
  if (!init) return;
  UCommon_Init();
  BkArchiv_Init();
  BkDevSel_Init();
  BkStore_Init();
  Strings_Init();
  BkArchivRead_Init();
  BkIact_Init();
  BkJuke_Init();
  BkJukeI_Init();
  BkMisc_Init();
  BkStoreM_Init();
  I_Init();
  Imisc_Init();
  Messages_Init();
  SDevAllo_Init();
  SJobQues_Init();
  SPrintf_Init();
  SRM_Init();
  SRegExpr_Init();
  Utility_Init();
  Processe_Init();
}

void BkStoreI_EditResources(StrIn pattern) {
  const I_Context ctx = Imisc_ContextOnce(rsvDlg.ctx, "BkStoreI_Resources");
  if (ctx == nullptr) return;
  I_SetINTEGERcallback(ctx, kRsvButtons, ResourceButton, nullptr);
  rsvDlg.pattern = pattern.str();
  I_PutSTRING(ctx, kRsvPattern, pattern);
  ShowReservations();
  Imisc_RunModal(ctx);
  I_PutList<I_ListRec>(ctx, kRsvList, nullptr);
  rsvDlg.lines.clear();
  rsvDlg.shown.clear();
}

void BkStoreI_LabelMedia(Header*& hdr) {
  hdr = nullptr;
  BkDevSel_DevList list = nullptr;
  bool cancelled = true;
  BkIact_SelectDevices(list, 1022, Msg(20), false, 1, false, cancelled);
  if (cancelled) return;
  if (DevListEntry* d = BkDevSel_FirstSelectedDev(list); d != nullptr)
    BkStoreI_LabelMediaInDev(*d, hdr);
  BkDevSel_DestroyDevList(list, true);
}

void BkStoreI_LabelMediaInDev(DevListEntry& device, Header*& hdr) {
  hdr = nullptr;
  const I_Context ctx = Imisc_ContextOnce(lblDlg.ctx, "BkStoreI_Label");
  if (ctx == nullptr) return;
  {
    const Alone alone(device);
    bool cancelled = true;
    BkIact_ReadyWait(&device, false, true, cancelled);
    if (cancelled) return;
  }
  BkArchiv_HdrHead head;
  bool atEnd = false;
  {
    Messages_Ignoring quiet;
    BkArchiv_CheckForHeader(device, head, atEnd);
    Messages_ForgetErrorReasons();
  }
  const bool validData = BkArchiv_bkaError == 0 && head.mediaFormat != mfmtUnknown;
  lblDlg.remembered = validData ? head.label : "";
  if (validData && !head.isEmpty &&
      !BkIact_ConfirmOverwrite(StrIn::FromC(head.name), StrIn::FromC(head.mediaType),
                               StrIn::FromC(head.createdText), "")) {
    return;
  }
  I_SetINTEGERcallback(ctx, kLblButtons, LabelButton, nullptr);
  I_PutSTRING(ctx, kLblComment1, "");
  I_PutSTRING(ctx, kLblComment2, "");
  I_PutBOOLEAN(ctx, kLblAppendable, true);
  I_PutINTEGER(ctx, kLblButtons, 2);
  lblDlg.device = &device;
  lblDlg.written = nullptr;
  Imisc_RunModal(ctx);
  hdr = lblDlg.written;
  lblDlg.written = nullptr;
  lblDlg.device = nullptr;
}

MediaInfo* BkStoreI_SelectMedia(std::uint8_t calledFrom, StrIn title, bool& cancelled) {
  cancelled = true;
  const I_Context ctx = Imisc_ContextOnce(selDlg.ctx, "BkStoreI_SelectMedia");
  if (ctx == nullptr) return nullptr;
  if (title.length() > 0) {
    const std::string text = title.str();
    I_SetReprAttr(ctx, kSelShell, Tk_attrLabel,
                  std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }
  I_SetINTEGERcallback(ctx, kSelButtons, MediaButton, nullptr);
  I_SetINTEGERcallback(ctx, kSelTools, MediaButton, nullptr);
  I_SetGenericCallback(ctx, kSelMedia, MediaChanged, nullptr);
  if (selDlg.search == nullptr) selDlg.search = BkStore_NewSearchMediaParams();
  selDlg.calledFrom = calledFrom;
  selDlg.cancelled = true;
  SetupMedia(ctx);
  I_PutINTEGER(ctx, kSelButtons, 0);
  Imisc_RunModal(ctx);
  if (selDlg.cancelled) ReleaseAll();  // closed through the window
  cancelled = selDlg.cancelled;
  MediaInfo* chosen = nullptr;
  if (!cancelled) chosen = BkStore_CopyMediaInfoEntry(BkStore_FirstSelectedMedia(selDlg.list));
  // The chosen medium's reservation passes to the copy; nothing else is held.
  I_PutList<I_ListRec>(ctx, kSelMedia, nullptr);
  I_PutList<I_ListRec>(ctx, kSelOrders, nullptr);
  selDlg.media.clear();
  selDlg.orders.clear();
  BkStore_DestroyMediaInfo(selDlg.list, false);
  return chosen;
}

DevListEntry* BkStoreI_SelectMedia1(std::uint8_t calledFrom, StrIn title, bool& cancelled) {
  MediaInfo* mi = BkStoreI_SelectMedia(calledFrom, title, cancelled);
  if (mi == nullptr) return nullptr;
  BkDevSel_DevList list = nullptr;
  {
    Messages_Ignoring quiet;
    BkDevSel_SetupFullDevList(list, 1u << BkDevSel_MediaIDToDevClass(mi->mediaId));
    Messages_ForgetErrorReasons();
  }
  DevListEntry* found = nullptr;
  for (DevListEntry* e = list; e != nullptr && found == nullptr; e = e->next) {
    if (e->record.devClass != 0 &&
        BkDevSel_DevClassToMediaID(e->record.devClass, e->subtype) == mi->mediaId)
      found = e;
  }
  DevListEntry* device = nullptr;
  if (found == nullptr) {
    Imisc_StrErrMsg(Msg(3, StrIn::FromC(mi->description)));
    cancelled = true;
    BkStore_ReleaseMedia(mi);
  } else {
    device = BkDevSel_CopyDevListEntry(*found);
    device->selected = true;
    device->isArchive = true;
    Strings_Assign(StrIn::FromC(mi->label), device->storeLabel);
    Strings_Assign(StrIn::FromC(mi->path), device->archiveFile);
    Strings_Assign(StrIn::FromC(mi->reservationName), device->storeResourceID);
  }
  BkDevSel_DestroyDevList(list, false);
  MediaInfoList copy = mi;
  BkStore_DestroyMediaInfo(copy, false);
  return device;
}

bool BkStoreI_TransportMediaToDevice(MediaInfo* mi) {
  if (mi == nullptr || mi->device == nullptr) return false;
  DevListEntry& device = *mi->device;
  for (;;) {
    bool there;
    {
      Messages_Ignoring quiet;
      if (mi->accessible) {
        bool loaded = false;
        BkJuke_LoadMedia(mi->label, device, loaded);
      }
      bool ready = false, writable = false;
      BkDevSel_CheckDevReady(device, false, ready, writable);
      there = ready && BkStore_AssertLabel(device, StrIn::FromC(mi->label));
      Messages_ForgetErrorReasons();
    }
    if (there) return true;
    const std::string name = mi->description[0] != '\0' ? mi->description : mi->label;
    if (!Imisc_StrYes(Msg(9, name, StrIn::FromC(device.record.description)))) return false;
  }
}

void BkStoreI_LoadMedia(StrIn label, StrIn deviceName, bool& ok, bool& known, MediaInfo*& mi) {
  ok = false;
  known = false;
  mi = nullptr;
  {
    Messages_Ignoring quiet;
    MediaInfoList all = nullptr;
    BkStore_GetMediaInfo(1, all);
    if (MediaInfo* m = BkStore_SelectByLabel(all, label); m != nullptr) {
      mi = BkStore_CopyMediaInfoEntry(m);
      known = true;
    }
    BkStore_DestroyMediaInfo(all, false);
    Messages_ForgetErrorReasons();
  }
  if (deviceName.length() == 0) {
    ok = mi != nullptr;
    return;
  }
  if (mi == nullptr) {
    mi = BkStore_NewMediaInfo();
    Strings_Assign(label, mi->label);
    BkJuke_Location where;
    Messages_Ignoring quiet;
    mi->accessible = BkJuke_MediaInJuke(mi->label, where);
    Messages_ForgetErrorReasons();
  }
  BkDevSel_DevList list = nullptr;
  {
    Messages_Ignoring quiet;
    BkDevSel_SetupDevListByDevName(list, deviceName);
    Messages_ForgetErrorReasons();
  }
  if (list == nullptr) {
    Imisc_StrErrMsg(Msg(10, deviceName));
    return;
  }
  BkStore_SetDevice(mi, BkDevSel_CopyDevListEntry(*list));
  BkDevSel_DestroyDevList(list, false);
  ok = BkStoreI_TransportMediaToDevice(mi);
}

void BkStoreI_ArchiveManagement() {
  bool cancelled = true;
  MediaInfo* mi = BkStoreI_SelectMedia(1, Msg(21), cancelled);
  if (mi == nullptr) return;
  BkStore_ReleaseMedia(mi);
  MediaInfoList copy = mi;
  BkStore_DestroyMediaInfo(copy, false);
}

bool BkStoreI_SelectDevice() { return false; }

void BkStoreI_SetPrintCommand(StrIn command) { printCommand = command.str(); }
