#include "Tk.hpp"

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
