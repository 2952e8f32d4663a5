#include "Tk.hpp"

#include <cstring>

#include "UCommon.hpp"

namespace {
Tk_Backend* backend = nullptr;
Tk_NotifyProc notify = nullptr;
}  // namespace

void Tk_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Tk");
  if (!init) return;
  UCommon_Init();
}

void Tk_SetBackend(Tk_Backend* b) { backend = b; }
Tk_Backend* Tk_Current() { return backend; }
bool Tk_DisplayOpen() { return backend != nullptr; }

void Tk_SetNotify(Tk_NotifyProc proc) { notify = proc; }

void Tk_Notify(Tk_Widget widget, void* client, const Tk_Change& change) {
  if (notify != nullptr) notify(widget, client, change);
}

bool Tk_ClickLine(std::vector<Tk_Line>& lines, int line, Tk_Select mode, bool twice) {
  if (line < 0 || static_cast<std::size_t>(line) >= lines.size()) return false;
  const auto at = static_cast<std::size_t>(line);
  if (mode == Tk_selectSingle) {
    for (auto& l : lines) l.selected = false;
    lines[at].selected = true;
  } else {
    lines[at].selected = twice || !lines[at].selected;
  }
  return true;
}

bool Tk_ApplyAttr(Tk_Attrs& a, Tk_Kind kind, int attribute, const void* bytes, std::size_t size) {
  if (attribute == Tk_attrLabel) {
    if (kind == Tk_Kind::list || kind == Tk_Kind::box) return false;
    a.label.assign(static_cast<const char*>(bytes), strnlen(static_cast<const char*>(bytes), size));
    return true;
  }
  std::int32_t n;
  if (size != sizeof n) return false;
  std::memcpy(&n, bytes, sizeof n);
  if (n < 0) return false;
  switch (attribute) {
    case Tk_attrColumns:
      a.columns = n;
      return true;
    case Tk_attrRows:
      a.rows = n;
      return true;
    case Tk_attrSelect:
      if (kind != Tk_Kind::list || n > Tk_selectSingle) return false;
      a.select = static_cast<Tk_Select>(n);
      return true;
    case Tk_attrOrient:
      if (kind != Tk_Kind::box || n > Tk_orientHorizontal) return false;
      a.orient = static_cast<Tk_Orient>(n);
      return true;
    case Tk_attrHidden:
      if (kind == Tk_Kind::shell || n > 1) return false;
      a.hidden = n == 1;
      return true;
    case Tk_attrDestructive:
      if (kind != Tk_Kind::button || n > 1) return false;
      a.destructive = n == 1;
      return true;
    default:
      return false;
  }
}
