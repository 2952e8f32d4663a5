#include "BkJuke.hpp"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "BkDevSel.hpp"
#include "Jk.hpp"
#include "Messages.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

int BkJuke_error = 0;

namespace {

bool Fail(int n, const std::string& info) {
  BkJuke_error = n;
  Messages_SupplyAdditionalInfo(info);
  Messages_Error("BkJuke", static_cast<std::uint32_t>(n));
  return false;
}

// Loads a jukebox's descriptor with the C layer's messages kept to standard error.
bool Load(const std::string& name, JkJukeDesc& d) {
  if (JkLoadState(name.c_str(), d)) return true;
  return Fail(4, "::JukeCmds.LoadState('" + name + "') failed");
}

}  // namespace

void BkJuke_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkJuke");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  Jk_Init();
  BkDevSel_Init();
}

bool BkJuke_GetJukeInfo(std::vector<JkJukeInfo>& list) { return JkQueryJukes(list); }

bool BkJuke_SearchLabel(const JkJukeDesc& d, const char* label, BkJuke_Location& location) {
  const std::string wanted = label ? label : "";
  for (const JkElement& e : d.slots) {
    if (e.full && e.label == wanted) {
      location = BkJuke_Location{d.name, e.index, -1};
      return true;
    }
  }
  for (const JkElement& e : d.drives) {
    if (e.full && e.label == wanted) {
      location = BkJuke_Location{d.name, -1, e.index};
      return true;
    }
  }
  return false;
}

int BkJuke_SearchDevice(const JkJukeDesc& d, const char* devName, const char* altDevName) {
  for (const JkElement& e : d.drives) {
    if ((devName && *devName && e.device == devName) ||
        (altDevName && *altDevName && e.device == altDevName)) {
      return e.index;
    }
  }
  return 0;
}

bool BkJuke_MediaInJuke(const char* label, BkJuke_Location& location) {
  BkJuke_error = 0;
  std::vector<JkJukeInfo> list;
  JkQueryJukes(list);
  for (const JkJukeInfo& info : list) {
    JkJukeDesc d;
    bool loaded = false;
    {
      Messages_Ignoring quiet;
      loaded = Load(info.name, d);
      Messages_ForgetErrorReasons();
    }
    BkJuke_error = 0;
    const bool found = loaded && BkJuke_SearchLabel(d, label, location);
    JkFreeJukeDesc(d);
    if (found) return true;
  }
  return Fail(1, std::string("::BkJuke.MediaInJuke failed: ") + (label ? label : ""));
}

bool BkJuke_IsJukeDev(const DevListEntry& device, BkJuke_Location& location) {
  std::vector<JkJukeInfo> list;
  JkQueryJukes(list);
  for (const JkJukeInfo& info : list) {
    JkJukeDesc d;
    if (!JkLoadState(info.name.c_str(), d)) continue;
    for (const JkElement& e : d.drives) {
      if (e.device == device.record.devName || e.device == device.record.altDevName) {
        location = BkJuke_Location{info.name, -1, e.index};
        JkFreeJukeDesc(d);
        return true;
      }
    }
    JkFreeJukeDesc(d);
  }
  return false;
}

bool BkJuke_LoadMedia(const char* label, const DevListEntry& device, bool& ok) {
  ok = false;
  BkJuke_Location where;
  if (!BkJuke_MediaInJuke(label, where)) return false;
  JkJukeDesc d;
  if (!Load(where.juke, d)) return false;
  const int drive = BkJuke_SearchDevice(d, device.record.devName, device.record.altDevName);
  const bool locked = JkLockJukeBox(d);
  ok = locked && JkDoLoadByLabel(d, label, drive) && JkSaveState(d);
  if (locked) JkUnlockJukeBox(d);
  JkFreeJukeDesc(d);
  if (!ok) return Fail(2, "::JukeCmds.DoLoadByLabel() failed");
  return true;
}

bool BkJuke_ReserveDevice(const char* juke, int drive, BkJuke_Location& location,
                          DevListEntry*& entry) {
  entry = nullptr;
  JkJukeDesc d;
  if (!Load(juke ? juke : "", d)) return false;
  const JkElement* e = JkSelectDrive(d, drive);
  if (e == nullptr) {
    JkFreeJukeDesc(d);
    return Fail(3, "::BkJuke.ReserveDevice: no drive " + std::to_string(drive));
  }
  const std::string device = e->device;
  location = BkJuke_Location{d.name, -1, drive};
  JkFreeJukeDesc(d);
  BkDevSel_DevList list = nullptr;
  BkDevSel_SetupDevListByDevName(list, device);
  DevListEntry* got = list ? BkDevSel_AllocateOneDevice(list, true) : nullptr;
  if (got != nullptr) entry = BkDevSel_CopyDevListEntry(*got);
  BkDevSel_DestroyDevList(list, false);
  if (entry == nullptr) return Fail(3, "::BkJuke.ReserveDevice: " + device);
  return true;
}

bool BkJuke_UpdateMediaInfo(const BkJuke_Location& location, const char* label,
                            const char* description) {
  JkJukeDesc d;
  if (!Load(location.juke, d)) return false;
  JkElement* e =
      location.slot >= 0 ? JkSelectSlot(d, location.slot) : JkSelectDrive(d, location.drive);
  const bool ok = e != nullptr && JkLockJukeBox(d) && JkSetLabel(d, *e, label) &&
                  JkSetDescription(d, *e, description) && JkSaveState(d);
  JkUnlockJukeBox(d);
  JkFreeJukeDesc(d);
  return ok ? true : Fail(4, "::BkJuke.UpdateMediaInfo failed");
}

std::string BkJuke_EncodeSelection(const BkJuke_Selection& s) {
  std::string text;
  auto add = [&](const char* word, const std::vector<int>& list) {
    if (!text.empty()) text += ' ';
    text += word;
    for (int i : list) text += ' ' + std::to_string(i);
  };
  add("slots", s.slots);
  add("ports", s.ports);
  add("drives", s.drives);
  return text;
}

bool BkJuke_DecodeSelection(const std::string& text, BkJuke_Selection& s) {
  BkJuke_Selection out;
  std::istringstream in(text);
  std::string word;
  std::vector<int>* list = nullptr;
  while (in >> word) {
    if (word == "slots") {
      list = &out.slots;
    } else if (word == "ports") {
      list = &out.ports;
    } else if (word == "drives") {
      list = &out.drives;
    } else {
      char* end = nullptr;
      const long n = std::strtol(word.c_str(), &end, 10);
      if (list == nullptr || *end != '\0' || n < 0 || n > 100000) return false;
      list->push_back(static_cast<int>(n));
    }
  }
  s = std::move(out);
  return true;
}
