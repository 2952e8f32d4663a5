// The widget seam: what the dialog framework needs from a widget toolkit, and nothing
// more. A backend (the virtual display kept in memory, or a real display) is chosen
// explicitly with Tk_SetBackend; while none is chosen there is no display and the
// framework falls back to standard error where it can.
//
// Widgets are opaque handles owned by the backend. User actions come back to the
// framework through one notification procedure (Tk_SetNotify) with the widget's client
// data, so a backend never needs to know about contexts or values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

void Tk_Init();

struct Tk_WidgetTag;
using Tk_Widget = Tk_WidgetTag*;

// Widget classes a dialog layout may use.
enum class Tk_Kind : std::uint8_t {
  shell,   // the window of a context
  box,     // a container that only groups its children
  label,   // shows a text, not editable
  text,    // an editable one-line text
  number,  // an editable number shown as text
  toggle,  // a check box
  button,  // a push button that delivers its value
  list,    // lines that the user selects and deselects
};

// Attribute numbers for Tk_Backend::SetAttr; values are raw bytes.
enum Tk_Attr : int {
  Tk_attrLabel = 1,    // text of a label, button or toggle, title of a shell (characters)
  Tk_attrColumns = 2,  // visible width in characters (32-bit integer)
  Tk_attrRows = 3,     // visible height in lines (32-bit integer)
  Tk_attrSelect = 4,   // lists: how clicks select lines, a Tk_Select (32-bit integer)
  Tk_attrOrient = 5,   // boxes: how the children are arranged, a Tk_Orient (32-bit integer)
  // Any widget but a shell: 1 takes it (and what it holds) out of the window, 0 shows it
  // again (32-bit integer). A hidden widget takes no room and cannot be used.
  Tk_attrHidden = 6,
  // Buttons: 1 marks a choice that destroys data (32-bit integer). Such a button never
  // has the keyboard focus when its window opens, and the Return key never presses it:
  // only a click or the space bar does.
  Tk_attrDestructive = 7,
};

// Selection modes of a list. Multiple: a click toggles its line, the others keep their
// state. Single: a click selects its line and deselects all others; a selected line stays
// selected when clicked again. In both, a double click selects its line.
enum Tk_Select : std::int32_t { Tk_selectMultiple = 0, Tk_selectSingle = 1 };

// Arrangements of a box. Automatic: a column (a box of buttons only: a row of buttons).
// Vertical: a column in any case, buttons as wide as the column. Horizontal: the children
// side by side, top-aligned, never wrapped.
enum Tk_Orient : std::int32_t { Tk_orientAuto = 0, Tk_orientVertical = 1, Tk_orientHorizontal = 2 };

// The attributes a backend keeps per widget, and the checks every backend makes on
// them: a label for anything but lists and boxes, sizes not negative, a selection mode
// for lists and an arrangement for boxes only.
struct Tk_Attrs {
  std::string label;
  std::int32_t columns = 0, rows = 0;
  Tk_Select select = Tk_selectMultiple;
  Tk_Orient orient = Tk_orientAuto;
  bool hidden = false, destructive = false;
};
// Applies a Tk_Backend::SetAttr request to the attributes of a widget of that kind;
// false (nothing changed) when the widget refuses the attribute or its value.
bool Tk_ApplyAttr(Tk_Attrs& attrs, Tk_Kind kind, int attribute, const void* bytes,
                  std::size_t size);

// One line of a list widget.
struct Tk_Line {
  std::string text;
  bool selected = false;
  std::uint32_t red = 0, green = 0, blue = 0;
};

// Applies a click (twice: a double click) on line `line` to the selection of a list in
// that mode; false when there is no such line. Every backend selects this way.
bool Tk_ClickLine(std::vector<Tk_Line>& lines, int line, Tk_Select mode, bool twice);

// What the user did to a widget.
struct Tk_Change {
  enum Kind : std::uint8_t { commit, toggled, pressed, selection, close } kind;
  std::string text;            // commit: the edited text
  bool state = false;          // toggled: the new state
  std::int32_t value = 0;      // pressed: the button's value
  std::vector<bool> selected;  // selection: the new flags of every line
};
using Tk_NotifyProc = void (*)(Tk_Widget widget, void* client, const Tk_Change& change);

// An event taken from the display. The virtual display fills the user action it stands
// for; a real display keeps its own event in native.
struct Tk_Event {
  enum Kind : std::uint8_t { none, typeText, toggle, press, click, doubleClick, close } kind = none;
  Tk_Widget widget = nullptr;
  std::string text;        // typeText
  std::int32_t index = 0;  // click, doubleClick: the line
  bool button = false;     // a pointer button event (wait cursor and button hook)
  void* native = nullptr;
};

// Called when the event queue runs dry, before the backend waits; it may inject events.
// waitMs is how long the loop would wait (-1: without limit).
using Tk_EventSource = void (*)(std::int64_t waitMs);

class Tk_Backend {
 public:
  virtual ~Tk_Backend() = default;

  // ---- Widgets ----
  virtual Tk_Widget CreateShell(std::string_view name, std::string_view title, void* client) = 0;
  virtual Tk_Widget CreateWidget(Tk_Widget parent, Tk_Kind kind, std::string_view name,
                                 std::string_view label, std::int32_t value, void* client) = 0;
  // Destroys a shell with all its widgets.
  virtual void DestroyShell(Tk_Widget shell) = 0;
  virtual void Popup(Tk_Widget shell) = 0;
  virtual void Popdown(Tk_Widget shell) = 0;
  virtual void Raise(Tk_Widget shell) = 0;
  virtual void ShowText(Tk_Widget w, std::string_view text) = 0;
  virtual void ShowState(Tk_Widget w, bool state) = 0;
  virtual void ShowLines(Tk_Widget w, const std::vector<Tk_Line>& lines) = 0;
  // False when the widget refuses the attribute or its value.
  virtual bool SetAttr(Tk_Widget w, int attribute, const void* bytes, std::size_t size) = 0;
  virtual void SetSensitive(Tk_Widget w, bool sensitive) = 0;

  // ---- Events ----
  virtual bool WasDoubleClick() = 0;
  virtual bool Pending() = 0;
  // The next event; waits for one when none is pending. False when none can come.
  virtual bool NextEvent(Tk_Event& event) = 0;
  virtual void Dispatch(const Tk_Event& event) = 0;
  // Waits at most ms milliseconds (-1 without limit) for an event; true when one is pending.
  virtual bool Wait(std::int64_t ms) = 0;
  virtual void SetBusyCursor(bool busy) = 0;
  virtual void RunDeferred() = 0;

  // ---- Acting as the user (scripted runs) ----
  virtual void Inject(const Tk_Event& event) = 0;
  virtual void SetEventSource(Tk_EventSource source) = 0;
  virtual bool IsVisible(Tk_Widget shell) = 0;
  virtual bool IsSensitive(Tk_Widget w) = 0;
  // What the widget shows: text, "1"/"0" for a toggle, the line texts for a list.
  virtual std::string ShownText(Tk_Widget w) = 0;
  virtual std::vector<Tk_Line> ShownLines(Tk_Widget w) = 0;
  // Saves what the shell's window shows right now into the file at path (a picture, or
  // what stands for one on a display without pixels); false with the reason in why.
  virtual bool Snapshot(Tk_Widget shell, const std::string& path, std::string& why);
};

// Writes a picture of width x height pixels (rgb: 3 bytes a pixel, rows top down) to the
// file: a portable pixmap when its name ends in ".ppm", else a PNG. Written under a
// temporary name and renamed, so a reader never sees half a picture. False with the reason.
bool Tk_WritePicture(const std::string& path, int width, int height,
                     const std::vector<std::uint8_t>& rgb, std::string& why);
// Writes the text to the file the same way.
bool Tk_WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& why);

// The backend in use; nullptr (no display) until one is set.
void Tk_SetBackend(Tk_Backend* backend);
Tk_Backend* Tk_Current();
bool Tk_DisplayOpen();

void Tk_SetNotify(Tk_NotifyProc proc);
// Called by backends when the user changed a widget.
void Tk_Notify(Tk_Widget widget, void* client, const Tk_Change& change);
