#include "TkVirtual.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>

#include "UCommon.hpp"
#include "Utility.hpp"

struct Tk_WidgetTag : Tk_Attrs {
  Tk_Kind kind;
  std::string name;
  std::int32_t value = 0;
  void* client = nullptr;
  Tk_WidgetTag* shell = nullptr;
  std::string text;
  bool state = false;
  std::vector<Tk_Line> lines;
  bool sensitive = true;
  bool visible = false;
  int updates = 0;
  std::vector<std::unique_ptr<Tk_WidgetTag>> children;  // shells only: all their widgets
};

namespace {

std::int64_t virtualNow = 0;
std::int64_t VirtualClock() { return virtualNow; }

class Virtual final : public Tk_Backend {
 public:
  explicit Virtual(bool virtualTime) : virtualTime_(virtualTime) {}

  Tk_Widget CreateShell(std::string_view name, std::string_view title, void* client) override {
    auto w = std::make_unique<Tk_WidgetTag>();
    w->kind = Tk_Kind::shell;
    w->name = name;
    w->label = title;
    w->client = client;
    w->shell = w.get();
    shells_.push_back(std::move(w));
    return shells_.back().get();
  }

  Tk_Widget CreateWidget(Tk_Widget parent, Tk_Kind kind, std::string_view name,
                         std::string_view label, std::int32_t value, void* client) override {
    Tk_WidgetTag* shell = parent->shell;
    auto w = std::make_unique<Tk_WidgetTag>();
    w->kind = kind;
    w->name = name;
    w->label = label;
    w->value = value;
    w->client = client;
    w->shell = shell;
    shell->children.push_back(std::move(w));
    return shell->children.back().get();
  }

  void DestroyShell(Tk_Widget shell) override {
    std::erase_if(queue_,
                  [shell](const Tk_Event& e) { return e.widget && e.widget->shell == shell; });
    std::erase_if(shells_, [shell](const auto& s) { return s.get() == shell; });
  }
  void Popup(Tk_Widget shell) override { shell->visible = true; }
  void Popdown(Tk_Widget shell) override { shell->visible = false; }
  void Raise(Tk_Widget shell) override { shell->visible = true; }
  void ShowText(Tk_Widget w, std::string_view text) override {
    w->text = text;
    ++w->updates;
  }
  void ShowState(Tk_Widget w, bool state) override {
    w->state = state;
    ++w->updates;
  }
  void ShowLines(Tk_Widget w, const std::vector<Tk_Line>& lines) override {
    w->lines = lines;
    ++w->updates;
  }
  bool SetAttr(Tk_Widget w, int attribute, const void* bytes, std::size_t size) override {
    return Tk_ApplyAttr(*w, w->kind, attribute, bytes, size);
  }
  void SetSensitive(Tk_Widget w, bool sensitive) override { w->sensitive = sensitive; }

  bool WasDoubleClick() override { return doubleClick_; }
  bool Pending() override { return !queue_.empty(); }

  bool NextEvent(Tk_Event& event) override {
    if (queue_.empty()) Wait(-1);
    if (queue_.empty()) return false;
    event = queue_.front();
    queue_.pop_front();
    return true;
  }

  // Applies the user action to the widget, then tells the framework. The widget is not
  // touched after the notification: the framework may destroy its context there.
  void Dispatch(const Tk_Event& e) override {
    Tk_WidgetTag* w = e.widget;
    doubleClick_ = e.kind == Tk_Event::doubleClick;
    if (w == nullptr || !w->shell->visible) return;
    if (e.kind != Tk_Event::close && (!w->sensitive || w->hidden)) return;
    Tk_Change c{};
    switch (e.kind) {
      case Tk_Event::typeText:
        if (w->kind != Tk_Kind::text && w->kind != Tk_Kind::number) return;
        w->text = e.text;
        c.kind = Tk_Change::commit;
        c.text = e.text;
        break;
      case Tk_Event::toggle:
        if (w->kind != Tk_Kind::toggle) return;
        w->state = !w->state;
        c.kind = Tk_Change::toggled;
        c.state = w->state;
        break;
      case Tk_Event::press:
        if (w->kind != Tk_Kind::button) return;
        c.kind = Tk_Change::pressed;
        c.value = w->value;
        break;
      case Tk_Event::click:
      case Tk_Event::doubleClick: {
        if (w->kind != Tk_Kind::list ||
            !Tk_ClickLine(w->lines, e.index, w->select, e.kind == Tk_Event::doubleClick)) {
          return;
        }
        c.kind = Tk_Change::selection;
        for (const auto& l : w->lines) c.selected.push_back(l.selected);
        break;
      }
      case Tk_Event::close:
        if (w->kind != Tk_Kind::shell) return;
        c.kind = Tk_Change::close;
        break;
      default:
        return;
    }
    Tk_Notify(w, w->client, c);
  }

  bool Wait(std::int64_t ms) override {
    if (queue_.empty() && source_ != nullptr) source_(ms);
    if (!queue_.empty()) return true;
    if (ms < 0) {
      std::fputs("virtual display: no more events\n", stderr);
      std::fflush(nullptr);
      std::_Exit(1);
    }
    if (virtualTime_) {
      virtualNow += ms;
    } else {
      Utility_Delay(static_cast<std::uint32_t>(ms));
    }
    return !queue_.empty();
  }
  void SetBusyCursor(bool) override {}
  void RunDeferred() override {}

  void Inject(const Tk_Event& event) override { queue_.push_back(event); }
  void SetEventSource(Tk_EventSource source) override { source_ = source; }
  bool IsVisible(Tk_Widget shell) override { return shell->visible; }
  // A hidden widget cannot be used either.
  bool IsSensitive(Tk_Widget w) override { return w->sensitive && !w->hidden; }
  std::string ShownText(Tk_Widget w) override {
    if (w->kind == Tk_Kind::toggle) return w->state ? "1" : "0";
    if (w->kind == Tk_Kind::list) {
      std::string all;
      for (const auto& l : w->lines) all += (all.empty() ? "" : "|") + l.text;
      return all;
    }
    return w->text;
  }
  std::vector<Tk_Line> ShownLines(Tk_Widget w) override { return w->lines; }
  // Without pixels the picture is the window as text: its title, then one line a widget
  // in creation order; greyed widgets in parentheses, selected list lines marked "*".
  bool Snapshot(Tk_Widget shell, const std::string& path, std::string& why) override {
    std::string out = "== " + shell->label + " ==\n";
    for (const auto& c : shell->children) {
      if (c->hidden || c->kind == Tk_Kind::box) continue;
      std::string line;
      switch (c->kind) {
        case Tk_Kind::button:
          line = "[" + c->label + "]";
          break;
        case Tk_Kind::toggle:
          line = (c->state ? "[x] " : "[ ] ") + c->label;
          break;
        case Tk_Kind::text:
        case Tk_Kind::number:
          line = c->label + " <" + c->text + ">";
          break;
        case Tk_Kind::list:
          line = c->label;
          for (const auto& l : c->lines) line += (l.selected ? "\n  * " : "\n    ") + l.text;
          if (c->label.empty() && !line.empty()) line.erase(0, 1);
          break;
        default:
          line = c->text.empty() ? c->label : c->text;
      }
      out += c->sensitive ? line : "(" + line + ")";
      out += '\n';
    }
    return Tk_WriteFileAtomically(path, out, why);
  }

  std::vector<std::unique_ptr<Tk_WidgetTag>> shells_;

 private:
  bool virtualTime_;
  bool doubleClick_ = false;
  std::deque<Tk_Event> queue_;
  Tk_EventSource source_ = nullptr;
};

std::unique_ptr<Virtual> display;

}  // namespace

void TkVirtual_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "TkVirtual");
  if (!init) return;
  UCommon_Init();
  Tk_Init();
  Utility_Init();
}

Tk_Backend* TkVirtual_Open(bool virtualTime) {
  TkVirtual_Close();
  display = std::make_unique<Virtual>(virtualTime);
  if (virtualTime) {
    virtualNow = Utility_GetCurrentTimeMillis();
    Utility_SetClock(VirtualClock);
  }
  Tk_SetBackend(display.get());
  return display.get();
}

void TkVirtual_Close() {
  if (display == nullptr) return;
  if (Tk_Current() == display.get()) Tk_SetBackend(nullptr);
  Utility_SetClock(nullptr);
  display.reset();
}

TkVirtual_Info TkVirtual_Inspect(Tk_Widget w) {
  return {w->kind,   w->name,      w->label,   w->value,      w->text,    w->state,
          w->lines,  w->sensitive, w->visible, w->updates,    w->columns, w->rows,
          w->select, w->orient,    w->hidden,  w->destructive};
}

std::vector<Tk_Widget> TkVirtual_Shells() {
  std::vector<Tk_Widget> out;
  if (display)
    for (auto& s : display->shells_) out.push_back(s.get());
  return out;
}

std::vector<Tk_Widget> TkVirtual_Children(Tk_Widget shell) {
  std::vector<Tk_Widget> out;
  for (auto& c : shell->children) out.push_back(c.get());
  return out;
}
