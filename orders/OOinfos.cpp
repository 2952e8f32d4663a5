#include "OOinfos.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Odirs.hpp"
#include "Oforms.hpp"
#include "Oresourc.hpp"
#include "SAIF.hpp"
#include "SAIFinfo.hpp"
#include "SFilMisc.hpp"
#include "SPrintf.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

int OOinfos_error = OOinfos_ok;

namespace {

constexpr std::string_view kFormPrefix = "FORM";
constexpr std::string_view kShortName = "/SHORTNAME";

// The entry key "FORM%03d/<what>" of form n.
void FormKey(std::int32_t n, std::string_view what, StrOut key) {
  char k[128] = "FORM%03d";
  SPrintf_Int(k, n);
  Strings_Concat(k, what, key);
}

// Form numbers named by "FORMnnn/SHORTNAME" entries, ascending.
std::vector<std::int32_t> FormNumbers(SAIF file) {
  std::vector<std::int32_t> numbers;
  char name[SAIF_tagNameSize];
  std::size_t length = 0;
  for (bool more = SAIF_FirstTag(file, name, length, {}); more;
       more = SAIF_NextTag(file, name, length, {})) {
    const std::string_view n = StrIn(name).view();
    if (n.size() != kFormPrefix.size() + 3 + kShortName.size() || !n.starts_with(kFormPrefix) ||
        !n.ends_with(kShortName)) {
      continue;
    }
    const std::string_view digits = n.substr(kFormPrefix.size(), 3);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    numbers.push_back((digits[0] - '0') * 100 + (digits[1] - '0') * 10 + (digits[2] - '0'));
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

// The entries of an open order info file; false when it has no description.
bool ReadInfo(SAIF file, OOinfos_Info& info) {
  if (!SAIFinfo_LoadString(file, "ORDERINFO", info.description)) return false;
  SAIFinfo_LoadString(file, "ORDERNUM", info.orderNumber);
  Oforms_Form** tail = &info.forms;
  for (std::int32_t n : FormNumbers(file)) {
    auto* form = new Oforms_Form{};
    form->number = n;
    char key[128];
    FormKey(n, kShortName, key);
    SAIFinfo_LoadString(file, key, form->shortName);
    FormKey(n, "/HOST", key);
    SAIFinfo_LoadString(file, key, form->host);
    FormKey(n, "/STATUS", key);
    if (!SAIFinfo_LoadInteger(file, key, form->status)) form->status = -1;
    Oforms_BuildName(*form);
    *tail = form;
    tail = &form->next;
  }
  return true;
}

}  // namespace

void OOinfos_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "OOinfos");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  SPrintf_Init();
  Messages_Init();
  DirAcces_Init();
  SFilMisc_Init();
  SAIF_Init();
  SAIFinfo_Init();
  Odirs_Init();
  Oforms_Init();
  Oresourc_Init();
}

bool OOinfos_IsOrderInfo(StrIn path, StrOut description) {
  OOinfos_Init();
  Messages_Ignoring quiet;
  std::uint32_t width = 0, height = 0, channels = 0;
  SAIF file = SAIF_Open(path, width, height, channels, true);
  bool accepted = false;
  if (file != SAIF_Nil) {
    std::size_t length = 0;
    char probe[1];
    SAIF_TagRetrieve(file, "FOLVANE2000", length, probe);
    accepted = SAIFinfo_LoadString(file, "ORDERINFO", description) && length == 0;
    SAIF_Close(file);
  }
  quiet.Close();
  Messages_ForgetErrorReasons();
  return accepted;
}

Odirs_NameList OOinfos_GetOrderlist(StrIn ordersDir) {
  OOinfos_Init();
  Odirs_NameList list = nullptr;
  char here[1024];
  DirAcces_CurrentDir(here);
  const std::string dir = ordersDir.str();
  Messages_Ignoring entering;
  DirAcces_ChDir(dir);
  const bool entered = DirAcces_dirError == 0;
  entering.Close();
  Messages_ForgetErrorReasons();
  if (!entered) return list;

  Messages_Ignoring quiet;
  DirAcces_DirEntry entry{};
  for (bool more = DirAcces_GetFirstEntry(entry); more; more = DirAcces_GetNextEntry(entry)) {
    if (entry.isDirectory) continue;
    char path[1024], description[128];
    DirAcces_IncludePath(dir, entry.name, path);
    if (!OOinfos_IsOrderInfo(path, description)) continue;
    char order[257];
    Strings_Assign(entry.name, order);
    SFilMisc_StripAnySuffix(order);
    char text[1024] = "%s -> %s";
    SPrintf_String(text, order);
    SPrintf_String(text, description);
    Odirs_SortedInsert(list, text, false);
  }
  DirAcces_ChDir(here);
  quiet.Close();
  Messages_ForgetErrorReasons();
  return list;
}

OOinfos_Info* OOinfos_Load(StrIn path) {
  OOinfos_Init();
  OOinfos_error = OOinfos_ok;
  if (path.length() == 0) {
    OOinfos_error = OOinfos_cannotOpen;
    return nullptr;
  }
  char resource[1024];
  Oresourc_OrderRes(path, false, resource);
  if (!Oresourc_Reserve(resource)) {
    OOinfos_error = OOinfos_reserved;
    return nullptr;
  }
  Messages_Ignoring opening;
  std::uint32_t width = 0, height = 0, channels = 0;
  SAIF file = SAIF_Open(path, width, height, channels, true);
  opening.Close();
  OOinfos_Info* info = nullptr;
  if (file == SAIF_Nil) {
    // A file that is there but is no readable container is unreadable, not missing.
    OOinfos_error = SAIF_aifError == 3 ? OOinfos_cannotOpen : OOinfos_unreadable;
  } else {
    info = new OOinfos_Info{};
    const bool read = ReadInfo(file, *info);
    {
      const Messages_Ignoring quiet;
      SAIF_Close(file);
    }
    if (!read) {
      OOinfos_Destroy(info);
      OOinfos_error = OOinfos_unreadable;
    }
  }
  Oresourc_Release(resource);
  return info;
}

void OOinfos_Destroy(OOinfos_Info*& info) {
  if (info == nullptr) return;
  Oforms_DestroyList(info->forms);
  delete info;
  info = nullptr;
}
