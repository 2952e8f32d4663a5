#include "TkX11.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/keysym.h>
#include <sys/select.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <utility>

#include "UCommon.hpp"

namespace {

// The backend's own widget record; Tk_Widget handles point at it.
struct XW : Tk_Attrs {
  Tk_Kind kind;
  std::string name;
  std::int32_t value = 0;
  void* client = nullptr;
  XW* shell = nullptr;
  XW* parent = nullptr;
  std::vector<XW*> kids;
  std::string text;
  bool hasText = false;               // labels: a value was shown, the label text no longer counts
  std::size_t caret = 0, anchor = 0;  // text fields: the selection runs from anchor to caret
  int scroll = 0;                     // text fields: pixels scrolled off to the left
  bool state = false;
  std::vector<Tk_Line> lines;
  int cursor = 0, top = 0;  // lists: keyboard line and first visible line
  bool sensitive = true;
  int x = 0, y = 0, w = 0, h = 0;  // in the shell's coordinates
  // Shells only.
  Window win = 0;
  Pixmap pix = 0;
  int pixW = 0, pixH = 0;
  bool visible = false, dirty = true, busy = false;
  XW* focus = nullptr;
  std::vector<std::unique_ptr<XW>> owned;  // every widget of the shell, creation order
};

XW* Of(Tk_Widget w) { return reinterpret_cast<XW*>(w); }
Tk_Widget H(XW* w) { return reinterpret_cast<Tk_Widget>(w); }

constexpr int kMargin = 14, kGap = 8, kPad = 6, kCheck = 13, kScrollbar = 6, kWrap = 640;
constexpr Time kDoubleClickMs = 400;

// Neither the widget nor a box holding it is hidden.
bool NotHidden(const XW* w) {
  for (; w != nullptr; w = w->parent)
    if (w->hidden) return false;
  return true;
}
// The children that take part in the layout.
std::vector<XW*> Kids(const XW* w) {
  std::vector<XW*> shown;
  for (XW* k : w->kids)
    if (!k->hidden) shown.push_back(k);
  return shown;
}
bool Focusable(const XW* w) {
  return w->sensitive && w->kind != Tk_Kind::shell && w->kind != Tk_Kind::box &&
         w->kind != Tk_Kind::label && NotHidden(w);
}
bool IsCaption(const XW* w) {
  return w->kind == Tk_Kind::label && !w->hasText && !w->label.empty() && w->label.back() == ':';
}
bool AllButtons(const XW* w) {
  const std::vector<XW*> kids = Kids(w);
  if (kids.empty() || w->orient != Tk_orientAuto) return false;
  for (const XW* k : kids)
    if (k->kind != Tk_Kind::button) return false;
  return true;
}
// The row of buttons that ends a window: flushed right, set apart by a line.
bool ClosingRow(const XW* w) {
  if (!AllButtons(w) || w->parent == nullptr || w->parent->kind != Tk_Kind::shell) return false;
  const std::vector<XW*> siblings = Kids(w->parent);
  return siblings.size() > 1 && siblings.back() == w;
}
std::vector<std::string> SplitLines(const std::string& s) {
  std::vector<std::string> out(1);
  for (char c : s) {
    if (c == '\n') {
      out.emplace_back();
    } else {
      out.back().push_back(c);
    }
  }
  return out;
}

class X11 final : public Tk_Backend {
 public:
  bool Open(const char* name) {
    dpy_ = XOpenDisplay(name);
    if (dpy_ == nullptr) {
      std::fprintf(stderr, "X11 display: cannot open display '%s'\n",
                   name ? name : (std::getenv("DISPLAY") ? std::getenv("DISPLAY") : ""));
      return false;
    }
    const int scr = DefaultScreen(dpy_);
    for (const char* f : {"-*-helvetica-medium-r-normal--14-*-*-*-p-*-iso8859-1",
                          "-misc-fixed-medium-r-normal--13-*-*-*-*-*-iso8859-1", "fixed"}) {
      font_ = XLoadQueryFont(dpy_, f);
      if (font_ != nullptr) break;
    }
    if (font_ == nullptr) {
      std::fputs("X11 display: no usable font\n", stderr);
      XCloseDisplay(dpy_);
      dpy_ = nullptr;
      return false;
    }
    gc_ = XCreateGC(dpy_, RootWindow(dpy_, scr), 0, nullptr);
    XSetFont(dpy_, gc_, font_->fid);
    wmProtocols_ = XInternAtom(dpy_, "WM_PROTOCOLS", False);
    wmDelete_ = XInternAtom(dpy_, "WM_DELETE_WINDOW", False);
    watch_ = XCreateFontCursor(dpy_, XC_watch);
    lineH_ = font_->ascent + font_->descent + 4;
    charW_ = XTextWidth(font_, "0", 1);
    fieldH_ = lineH_ + 6;
    bg_ = Pixel(0xEC, 0xEE, 0xF1);
    fieldBg_ = Pixel(0xFF, 0xFF, 0xFF);
    border_ = Pixel(0x9A, 0xA3, 0xAD);
    ink_ = Pixel(0x1F, 0x23, 0x28);
    grey_ = Pixel(0xA0, 0xA6, 0xAD);
    accent_ = Pixel(0x2F, 0x6F, 0xDB);
    face_ = Pixel(0xF8, 0xF9, 0xFA);
    pressedFace_ = Pixel(0xD5, 0xDB, 0xE3);
    selBg_ = Pixel(0xCF, 0xE0, 0xFB);
    return true;
  }

  ~X11() override {
    if (dpy_ == nullptr) return;
    while (!shells_.empty()) DestroyShell(H(shells_.back().get()));
    XFreeCursor(dpy_, watch_);
    XFreeGC(dpy_, gc_);
    XFreeFont(dpy_, font_);
    XCloseDisplay(dpy_);
  }

  // ---- Widgets ----

  Tk_Widget CreateShell(std::string_view name, std::string_view title, void* client) override {
    auto s = std::make_unique<XW>();
    s->kind = Tk_Kind::shell;
    s->name = name;
    s->label = title;
    s->client = client;
    s->shell = s.get();
    XSetWindowAttributes a{};
    a.background_pixel = bg_;
    a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | KeyPressMask |
                   StructureNotifyMask | FocusChangeMask;
    const int at = 20 + 24 * static_cast<int>(shells_.size() % 10);
    s->win = XCreateWindow(dpy_, DefaultRootWindow(dpy_), at, at, 100, 60, 0, CopyFromParent,
                           InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &a);
    XStoreName(dpy_, s->win, s->label.c_str());
    XSetWMProtocols(dpy_, s->win, &wmDelete_, 1);
    windows_[s->win] = s.get();
    shells_.push_back(std::move(s));
    return H(shells_.back().get());
  }

  Tk_Widget CreateWidget(Tk_Widget parent, Tk_Kind kind, std::string_view name,
                         std::string_view label, std::int32_t value, void* client) override {
    XW* p = Of(parent);
    auto w = std::make_unique<XW>();
    w->kind = kind;
    w->name = name;
    w->label = label;
    w->value = value;
    w->client = client;
    w->shell = p->shell;
    w->parent = p;
    p->kids.push_back(w.get());
    p->shell->owned.push_back(std::move(w));
    p->shell->dirty = true;
    return H(p->shell->owned.back().get());
  }

  void DestroyShell(Tk_Widget shell) override {
    XW* s = Of(shell);
    std::erase_if(queue_, [s](const Tk_Event& e) { return e.widget && Of(e.widget)->shell == s; });
    if (pressed_ != nullptr && pressed_->shell == s) pressed_ = nullptr;
    if (lastClick_ != nullptr && lastClick_->shell == s) lastClick_ = nullptr;
    windows_.erase(s->win);
    XDestroyWindow(dpy_, s->win);
    if (s->pix != 0) XFreePixmap(dpy_, s->pix);
    std::erase_if(shells_, [s](const auto& p) { return p.get() == s; });
  }

  void Popup(Tk_Widget shell) override {
    XW* s = Of(shell);
    s->visible = true;
    if (s->focus == nullptr) s->focus = FirstFocus(s);
    Redraw(s);
    XMapRaised(dpy_, s->win);
    XFlush(dpy_);
  }
  void Popdown(Tk_Widget shell) override {
    XW* s = Of(shell);
    s->visible = false;
    XUnmapWindow(dpy_, s->win);
    XFlush(dpy_);
  }
  void Raise(Tk_Widget shell) override { Popup(shell); }

  void ShowText(Tk_Widget w, std::string_view text) override {
    XW* x = Of(w);
    x->text = text;
    x->hasText = true;
    x->caret = x->anchor = x->text.size();
    x->shell->dirty = true;
  }
  void ShowState(Tk_Widget w, bool state) override {
    Of(w)->state = state;
    Of(w)->shell->dirty = true;
  }
  void ShowLines(Tk_Widget w, const std::vector<Tk_Line>& lines) override {
    XW* x = Of(w);
    x->lines = lines;
    x->cursor = std::clamp(x->cursor, 0, std::max(0, static_cast<int>(lines.size()) - 1));
    x->top = std::min(x->top, x->cursor);
    x->shell->dirty = true;
  }
  bool SetAttr(Tk_Widget w, int attribute, const void* bytes, std::size_t size) override {
    XW* x = Of(w);
    if (!Tk_ApplyAttr(*x, x->kind, attribute, bytes, size)) return false;
    if (attribute == Tk_attrLabel && x->kind == Tk_Kind::shell) {
      XStoreName(dpy_, x->win, x->label.c_str());
    }
    x->shell->dirty = true;
    return true;
  }
  void SetSensitive(Tk_Widget w, bool sensitive) override {
    Of(w)->sensitive = sensitive;
    Of(w)->shell->dirty = true;
  }

  // ---- Events ----

  bool WasDoubleClick() override { return doubleClick_; }
  bool Pending() override { return !queue_.empty() || XPending(dpy_) > 0; }

  bool NextEvent(Tk_Event& event) override {
    for (;;) {
      if (!queue_.empty()) {
        event = queue_.front();
        queue_.pop_front();
        return true;
      }
      if (XPending(dpy_) > 0) {
        XNextEvent(dpy_, &current_);
        event = Tk_Event{};
        auto it = windows_.find(current_.xany.window);
        if (it != windows_.end()) event.widget = H(it->second);
        event.button = current_.type == ButtonPress || current_.type == ButtonRelease;
        event.native = &current_;
        return true;
      }
      Wait(-1);
    }
  }

  void Dispatch(const Tk_Event& e) override {
    doubleClick_ = false;
    if (e.native == nullptr) {
      Act(e);
    } else if (e.widget != nullptr) {
      Handle(Of(e.widget), *static_cast<const XEvent*>(e.native));
    }
  }

  bool Wait(std::int64_t ms) override {
    RunDeferred();
    if (Pending()) return true;
    if (source_ != nullptr) source_(ms);
    if (Pending()) return true;
    const int fd = ConnectionNumber(dpy_);
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(fd, &fds);
    timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    select(fd + 1, &fds, nullptr, nullptr, ms < 0 ? nullptr : &tv);
    return Pending();
  }

  void SetBusyCursor(bool busy) override {
    for (auto& s : shells_) {
      if (s->busy == busy) continue;
      s->busy = busy;
      if (busy) {
        XDefineCursor(dpy_, s->win, watch_);
      } else {
        XUndefineCursor(dpy_, s->win);
      }
    }
    if (busy) XFlush(dpy_);
  }

  // Redraws every shell something changed in.
  void RunDeferred() override {
    for (auto& s : shells_)
      if (s->dirty && s->visible) Redraw(s.get());
    XFlush(dpy_);
  }

  // ---- Acting as the user ----

  void Inject(const Tk_Event& event) override { queue_.push_back(event); }
  void SetEventSource(Tk_EventSource source) override { source_ = source; }
  bool IsVisible(Tk_Widget shell) override { return Of(shell)->visible; }
  // A hidden widget cannot be used either.
  bool IsSensitive(Tk_Widget w) override { return Of(w)->sensitive && NotHidden(Of(w)); }
  std::string ShownText(Tk_Widget w) override {
    const XW* x = Of(w);
    if (x->kind == Tk_Kind::toggle) return x->state ? "1" : "0";
    if (x->kind == Tk_Kind::list) {
      std::string all;
      for (const auto& l : x->lines) all += (all.empty() ? "" : "|") + l.text;
      return all;
    }
    return x->text;
  }
  std::vector<Tk_Line> ShownLines(Tk_Widget w) override { return Of(w)->lines; }
  // The picture is taken from the shell's off-screen pixmap, which holds exactly what its
  // window shows, so other windows lying over it or a window manager that has not mapped
  // it yet cannot spoil it.
  bool Snapshot(Tk_Widget shell, const std::string& path, std::string& why) override {
    XW* s = Of(shell);
    if (s->kind != Tk_Kind::shell || !s->visible) {
      why = "the window is not shown";
      return false;
    }
    Redraw(s);
    XImage* img = XGetImage(dpy_, s->pix, 0, 0, static_cast<unsigned>(s->pixW),
                            static_cast<unsigned>(s->pixH), AllPlanes, ZPixmap);
    if (img == nullptr) {
      why = "the X server gave no picture of the window";
      return false;
    }
    const Visual* v = DefaultVisual(dpy_, DefaultScreen(dpy_));
    std::vector<std::uint8_t> rgb;
    rgb.reserve(static_cast<std::size_t>(s->pixW) * static_cast<std::size_t>(s->pixH) * 3);
    for (int y = 0; y < s->pixH; ++y) {
      for (int x = 0; x < s->pixW; ++x) {
        const unsigned long p = XGetPixel(img, x, y);
        for (unsigned long mask : {v->red_mask, v->green_mask, v->blue_mask}) {
          unsigned long m = mask, c = p & mask;
          while (m != 0 && (m & 1) == 0) {
            m >>= 1;
            c >>= 1;
          }
          rgb.push_back(m == 0 ? 0 : static_cast<std::uint8_t>(c * 255 / m));
        }
      }
    }
    XDestroyImage(img);
    return Tk_WritePicture(path, s->pixW, s->pixH, rgb, why);
  }

  // ---- Inspection ----

  TkX11_Rect Where(XW* w) {
    XW* s = w->shell;
    if (!s->visible) return {};
    if (s->dirty) Redraw(s);
    int rx = 0, ry = 0;
    Window child;
    XTranslateCoordinates(dpy_, s->win, DefaultRootWindow(dpy_), w->x, w->y, &rx, &ry, &child);
    return {rx, ry, w->w, w->h};
  }
  TkX11_Rect LineWhere(XW* w, int line) {
    TkX11_Rect r = Where(w);
    return {r.x + 2, r.y + 2 + (line - w->top) * lineH_, r.width - 4 - kScrollbar, lineH_};
  }
  void Sync() {
    XSync(dpy_, False);
    Tk_Event e;
    while (Pending()) {
      NextEvent(e);
      Dispatch(e);
    }
    RunDeferred();
  }
  std::size_t ShellCount() const { return shells_.size(); }

 private:
  unsigned long Pixel(unsigned r, unsigned g, unsigned b) {
    XColor c{};
    c.red = static_cast<unsigned short>(r * 257);
    c.green = static_cast<unsigned short>(g * 257);
    c.blue = static_cast<unsigned short>(b * 257);
    if (XAllocColor(dpy_, DefaultColormap(dpy_, DefaultScreen(dpy_)), &c) == 0)
      return (r + g + b) / 3 > 128 ? WhitePixel(dpy_, DefaultScreen(dpy_))
                                   : BlackPixel(dpy_, DefaultScreen(dpy_));
    return c.pixel;
  }
  unsigned long LineColour(const Tk_Line& l) {
    if (l.red == 0 && l.green == 0 && l.blue == 0) return ink_;
    const bool wide = l.red > 255 || l.green > 255 || l.blue > 255;
    const auto c = [wide](std::uint32_t v) { return wide ? (v >> 8) & 0xFF : v; };
    const std::uint32_t key = c(l.red) << 16 | c(l.green) << 8 | c(l.blue);
    auto it = colours_.find(key);
    if (it == colours_.end())
      it = colours_.emplace(key, Pixel(c(l.red), c(l.green), c(l.blue))).first;
    return it->second;
  }

  int TextW(const std::string& s) const {
    return XTextWidth(font_, s.data(), static_cast<int>(s.size()));
  }
  // The text, or as much of it as fits the width followed by "...".
  std::string Cut(const std::string& text, int width) const {
    if (TextW(text) <= width) return text;
    std::string cut = text;
    while (!cut.empty() && TextW(cut + "...") > width) cut.pop_back();
    return cut + "...";
  }
  const std::string& Shown(const XW* w) const { return w->hasText ? w->text : w->label; }

  // ---- Layout ----

  struct Size {
    int w, h;
  };

  Size Natural(const XW* w) const {
    switch (w->kind) {
      case Tk_Kind::label: {
        int width = w->columns > 0 ? w->columns * charW_ : 0;
        const auto lines = SplitLines(Shown(w));
        // A value shown in a label of given width keeps that width; a longer value is cut.
        const bool fixed = w->hasText && w->columns > 0;
        for (const auto& l : lines)
          if (!fixed) width = std::max(width, TextW(l));
        if (w->hasText || w->label.empty()) width = std::max(width, 6 * charW_);
        const int rows = std::max(static_cast<int>(lines.size()), w->rows > 0 ? w->rows : 1);
        return {width, rows * lineH_ + 2};
      }
      case Tk_Kind::text:
      case Tk_Kind::number:
        return {(w->columns > 0 ? w->columns : 20) * charW_ + 2 * kPad, fieldH_};
      case Tk_Kind::toggle:
        return {kCheck + kPad + TextW(w->label) + 2, fieldH_};
      case Tk_Kind::button:
        return {std::max(TextW(w->label) + 4 * kPad, 84), fieldH_ + 2};
      case Tk_Kind::list:
        return {(w->columns > 0 ? w->columns : 30) * charW_ + 2 * kPad + kScrollbar,
                (w->rows > 0 ? w->rows : 6) * lineH_ + 4};
      default:
        return Container(w, 0, 0, 0, false);
    }
  }

  // Measures a shell or box (place=false) or places its children in the area given.
  // Widgets side by side, wrapped into further lines beyond kWrap pixels.
  Size Flow(const std::vector<XW*>& kids, bool right, int x, int y, int width, bool place) const {
    std::vector<std::vector<XW*>> lines(1);
    int lineW = 0, total = 0, height = 0, lineH = 0;
    const auto endLine = [&] {
      total = std::max(total, lineW);
      height += (height ? kGap : 0) + lineH;
    };
    for (XW* k : kids) {
      const Size s = Natural(k);
      if (lineW > 0 && lineW + kGap + s.w > kWrap) {
        endLine();
        lines.emplace_back();
        lineW = lineH = 0;
      }
      lines.back().push_back(k);
      lineW += (lineW ? kGap : 0) + s.w;
      lineH = std::max(lineH, s.h);
    }
    endLine();
    if (place) {
      int top = y;
      for (const auto& line : lines) {
        int w = 0, h = 0;
        for (const XW* k : line) {
          w += (w ? kGap : 0) + Natural(k).w;
          h = std::max(h, Natural(k).h);
        }
        int at = right ? x + std::max(0, width - w) : x;
        for (XW* k : line) {
          const Size s = Natural(k);
          Place(k, at, top + (h - s.h) / 2, s.w, s.h);
          at += s.w + kGap;
        }
        top += h + kGap;
      }
    }
    return {total, height};
  }

  // Whether a widget takes the width of its cell rather than its own: fields and lists end
  // at one right edge, boxes pass the width on, buttons of a column are equally wide.
  static bool Stretches(const XW* w) {
    switch (w->kind) {
      case Tk_Kind::text:
      case Tk_Kind::number:
      case Tk_Kind::list:
      case Tk_Kind::box:
        return true;
      case Tk_Kind::button:
        return w->parent->orient == Tk_orientVertical;
      default:
        return false;
    }
  }

  // Children side by side, top-aligned; groups (boxes) stand further apart than single
  // widgets. Extra width goes to the first child that stretches; lists and boxes take the
  // height of the row.
  Size Side(const XW* c, int x, int y, int width, bool place) const {
    const auto gap = [](const XW* a, const XW* b) {
      return a->kind == Tk_Kind::box || b->kind == Tk_Kind::box ? 2 * kGap : kGap;
    };
    const std::vector<XW*> kids = Kids(c);
    int total = 0, height = 0;
    for (std::size_t i = 0; i < kids.size(); ++i) {
      const Size s = Natural(kids[i]);
      total += (i ? gap(kids[i - 1], kids[i]) : 0) + s.w;
      height = std::max(height, s.h);
    }
    if (place) {
      int extra = std::max(0, width - total), at = x;
      for (std::size_t i = 0; i < kids.size(); ++i) {
        XW* k = kids[i];
        const Size s = Natural(k);
        int kw = s.w;
        if (extra > 0 && Stretches(k)) kw += std::exchange(extra, 0);
        const bool tall = k->kind == Tk_Kind::box || k->kind == Tk_Kind::list;
        if (i) at += gap(kids[i - 1], k);
        Place(k, at, tall ? y : y + (height - s.h) / 2, kw, tall ? height : s.h);
        at += kw;
      }
    }
    return {total, height};
  }

  // Measures a shell or box (place=false) or places its children in the area given; a
  // column given more height than it needs hands the rest to its last list.
  Size Container(const XW* c, int x, int y, int width, bool place, int height = 0) const {
    const std::vector<XW*> kids = Kids(c);
    if (c->kind == Tk_Kind::box && c->orient == Tk_orientHorizontal)
      return Side(c, x, y, width, place);
    const bool buttons = AllButtons(c);
    if (c->kind == Tk_Kind::box && (buttons || c->rows == 1))
      return Flow(kids, ClosingRow(c), x, y, width, place);
    // Grid of n columns; a column box is a grid where a caption and the widget or row of
    // widgets after it share a row, and (unless the box is explicitly vertical) a run of
    // buttons forms one row of its own.
    struct Row {
      std::vector<XW*> cells;
      bool flow = false;
      int h = 0;
    };
    const auto isRow = [](const XW* w) {
      return w->kind != Tk_Kind::box || w->orient == Tk_orientHorizontal || w->rows == 1 ||
             AllButtons(w);
    };
    const int n = c->kind == Tk_Kind::box && c->columns > 1 ? c->columns : 0;
    std::vector<Row> rows;
    for (std::size_t i = 0; i < kids.size(); ++i) {
      if (n > 0) {
        if (i % static_cast<std::size_t>(n) == 0) rows.emplace_back();
        rows.back().cells.push_back(kids[i]);
      } else if (IsCaption(kids[i]) && i + 1 < kids.size() && !IsCaption(kids[i + 1]) &&
                 isRow(kids[i + 1])) {
        rows.push_back({{kids[i], kids[i + 1]}});
        ++i;
      } else if (kids[i]->kind == Tk_Kind::button && c->orient != Tk_orientVertical) {
        Row r{{}, true};
        while (i < kids.size() && kids[i]->kind == Tk_Kind::button) r.cells.push_back(kids[i++]);
        --i;
        rows.push_back(std::move(r));
      } else {
        rows.push_back({{kids[i]}});
      }
    }
    const auto alone = [n](const Row& r) { return r.flow || (r.cells.size() == 1 && n == 0); };
    std::vector<int> colW(static_cast<std::size_t>(std::max(n, 2)), 0);
    int single = 0, total = 0;
    for (auto& r : rows) {
      if (r.flow) {
        const Size s = Flow(r.cells, false, 0, 0, 0, false);
        single = std::max(single, s.w);
        r.h = s.h;
        continue;
      }
      for (std::size_t j = 0; j < r.cells.size(); ++j) {
        const Size s = Natural(r.cells[j]);
        if (alone(r)) {
          single = std::max(single, s.w);
        } else {
          colW[j] = std::max(colW[j], s.w);
        }
        r.h = std::max(r.h, s.h);
      }
      total += r.h;
    }
    // Rows stand kGap apart; the closing row of buttons twice as far, with its line between.
    const auto gapAbove = [](const Row& r) { return ClosingRow(r.cells[0]) ? 2 * kGap : kGap; };
    for (std::size_t i = 0; i < rows.size(); ++i)
      total += (rows[i].flow ? rows[i].h : 0) + (i ? gapAbove(rows[i]) : 0);
    int gridW = 0;
    for (int cw : colW) gridW += cw + (gridW && cw ? kGap : 0);
    const int natural = std::max(gridW, single);
    if (!place) return {natural, total};
    const int avail = std::max(natural, width);
    // The last column takes the width left over, so that what stretches in it ends where
    // the rows of a single widget end.
    for (auto it = colW.rbegin(); it != colW.rend(); ++it) {
      if (*it == 0) continue;
      *it += avail - gridW;
      break;
    }
    for (auto it = rows.rbegin(); height > total && it != rows.rend(); ++it) {
      if (!it->flow && it->cells.back()->kind == Tk_Kind::list) {
        it->h += height - total;
        break;
      }
    }
    int at = y;
    for (const auto& r : rows) {
      if (at > y) at += gapAbove(r) - kGap;
      if (r.flow) {
        Flow(r.cells, false, x, at, avail, true);
      } else {
        int left = x;
        for (std::size_t j = 0; j < r.cells.size(); ++j) {
          XW* k = r.cells[j];
          const Size s = Natural(k);
          const int cellW = alone(r) ? avail : colW[j];
          // Lists fill their row; the rest is centred on the row's first line of fields,
          // so that a caption stands level with the top of a list beside it.
          const bool fill = k->kind == Tk_Kind::list;
          const int dy = fill ? 0 : std::max(0, (std::min(r.h, fieldH_ + 2) - s.h) / 2);
          Place(k, left, at + dy, Stretches(k) ? cellW : s.w, fill ? r.h : s.h);
          left += cellW + kGap;
        }
      }
      at += r.h + kGap;
    }
    return {avail, total};
  }

  void Place(XW* w, int x, int y, int width, int height) const {
    w->x = x;
    w->y = y;
    w->w = width;
    w->h = height;
    if (w->kind == Tk_Kind::box) Container(w, x, y, width, true, height);
  }

  // Lays the shell out, sizes its window and pixmap, and draws it.
  void Redraw(XW* s) {
    const Size inner = Container(s, 0, 0, 0, false);
    const int W = std::max(inner.w + 2 * kMargin, 160), H = inner.h + 2 * kMargin;
    s->x = s->y = 0;
    s->w = W;
    s->h = H;
    Container(s, kMargin, kMargin, W - 2 * kMargin, true);
    if (s->pix == 0 || s->pixW != W || s->pixH != H) {
      if (s->pix != 0) XFreePixmap(dpy_, s->pix);
      s->pix = XCreatePixmap(dpy_, s->win, static_cast<unsigned>(W), static_cast<unsigned>(H),
                             static_cast<unsigned>(DefaultDepth(dpy_, DefaultScreen(dpy_))));
      s->pixW = W;
      s->pixH = H;
      XResizeWindow(dpy_, s->win, static_cast<unsigned>(W), static_cast<unsigned>(H));
      XSizeHints hints{};
      hints.flags = PMinSize;
      hints.min_width = W;
      hints.min_height = H;
      XSetWMNormalHints(dpy_, s->win, &hints);
    }
    XSetClipMask(dpy_, gc_, None);
    Fill(s->pix, bg_, 0, 0, W, H);
    for (auto& w : s->owned)
      if (NotHidden(w.get())) Draw(s, w.get());
    XSetClipMask(dpy_, gc_, None);
    XCopyArea(dpy_, s->pix, s->win, gc_, 0, 0, static_cast<unsigned>(W), static_cast<unsigned>(H),
              0, 0);
    s->dirty = false;
  }

  // ---- Drawing ----

  void Fill(Drawable d, unsigned long pixel, int x, int y, int w, int h) {
    XSetForeground(dpy_, gc_, pixel);
    XFillRectangle(dpy_, d, gc_, x, y, static_cast<unsigned>(std::max(w, 0)),
                   static_cast<unsigned>(std::max(h, 0)));
  }
  void Frame(Drawable d, unsigned long pixel, int x, int y, int w, int h, int thick = 1) {
    XSetForeground(dpy_, gc_, pixel);
    for (int i = 0; i < thick; ++i)
      XDrawRectangle(dpy_, d, gc_, x + i, y + i, static_cast<unsigned>(std::max(w - 1 - 2 * i, 0)),
                     static_cast<unsigned>(std::max(h - 1 - 2 * i, 0)));
  }
  void Text(Drawable d, unsigned long pixel, int x, int baseline, const std::string& s) {
    XSetForeground(dpy_, gc_, pixel);
    XDrawString(dpy_, d, gc_, x, baseline, s.data(), static_cast<int>(s.size()));
  }
  void Clip(int x, int y, int w, int h) {
    XRectangle r{static_cast<short>(x), static_cast<short>(y),
                 static_cast<unsigned short>(std::max(w, 0)),
                 static_cast<unsigned short>(std::max(h, 0))};
    XSetClipRectangles(dpy_, gc_, 0, 0, &r, 1, Unsorted);
  }
  int Baseline(int y, int h) const {
    return y + (h - (font_->ascent + font_->descent)) / 2 + font_->ascent;
  }

  void Draw(XW* s, XW* w) {
    const Drawable d = s->pix;
    const bool focused = s->focus == w && w->sensitive;
    const unsigned long ink = w->sensitive ? ink_ : grey_;
    XSetClipMask(dpy_, gc_, None);
    switch (w->kind) {
      case Tk_Kind::box:
        // A row of buttons that closes the window stands apart from the content above.
        if (ClosingRow(w)) Fill(d, border_, kMargin, w->y - kGap - 1, s->w - 2 * kMargin, 1);
        break;
      case Tk_Kind::label: {
        Clip(w->x, w->y, w->w, w->h);
        int line = 0;
        for (const auto& l : SplitLines(Shown(w)))
          Text(d, ink, w->x, Baseline(w->y + 1 + line++ * lineH_, lineH_), Cut(l, w->w));
        break;
      }
      case Tk_Kind::text:
      case Tk_Kind::number: {
        Fill(d, w->sensitive ? fieldBg_ : bg_, w->x, w->y, w->w, w->h);
        Frame(d, focused ? accent_ : border_, w->x, w->y, w->w, w->h, focused ? 2 : 1);
        const int innerW = w->w - 2 * kPad;
        const int caretX = TextW(w->text.substr(0, w->caret));
        if (caretX - w->scroll > innerW) w->scroll = caretX - innerW;
        if (caretX < w->scroll) w->scroll = caretX;
        Clip(w->x + 2, w->y + 2, w->w - 4, w->h - 4);
        if (focused && w->anchor != w->caret) {
          const std::size_t from = std::min(w->anchor, w->caret);
          const std::size_t to = std::min(std::max(w->anchor, w->caret), w->text.size());
          const int left = TextW(w->text.substr(0, from));
          Fill(d, selBg_, w->x + kPad - w->scroll + left, w->y + 4,
               TextW(w->text.substr(0, to)) - left, w->h - 8);
        }
        Text(d, ink, w->x + kPad - w->scroll, Baseline(w->y, w->h), w->text);
        if (focused) Fill(d, ink_, w->x + kPad - w->scroll + caretX, w->y + 4, 1, w->h - 8);
        break;
      }
      case Tk_Kind::toggle: {
        const int by = w->y + (w->h - kCheck) / 2;
        Fill(d, w->sensitive ? fieldBg_ : bg_, w->x, by, kCheck, kCheck);
        Frame(d, focused ? accent_ : border_, w->x, by, kCheck, kCheck, focused ? 2 : 1);
        if (w->state)
          Fill(d, w->sensitive ? accent_ : grey_, w->x + 3, by + 3, kCheck - 6, kCheck - 6);
        Text(d, ink, w->x + kCheck + kPad, Baseline(w->y, w->h), w->label);
        break;
      }
      case Tk_Kind::button: {
        const bool down = pressed_ == w && pressedInside_;
        Fill(d, down ? pressedFace_ : face_, w->x, w->y, w->w, w->h);
        Frame(d, focused ? accent_ : border_, w->x, w->y, w->w, w->h, focused ? 2 : 1);
        Text(d, ink, w->x + (w->w - TextW(w->label)) / 2, Baseline(w->y, w->h), w->label);
        break;
      }
      case Tk_Kind::list: {
        Fill(d, w->sensitive ? fieldBg_ : bg_, w->x, w->y, w->w, w->h);
        Frame(d, focused ? accent_ : border_, w->x, w->y, w->w, w->h, focused ? 2 : 1);
        const int visible = VisibleLines(w);
        const int n = static_cast<int>(w->lines.size());
        Clip(w->x + 2, w->y + 2, w->w - 4, w->h - 4);
        for (int i = w->top; i < n && i < w->top + visible; ++i) {
          const Tk_Line& l = w->lines[static_cast<std::size_t>(i)];
          const int ly = w->y + 2 + (i - w->top) * lineH_;
          if (l.selected) Fill(d, selBg_, w->x + 2, ly, w->w - 4 - kScrollbar, lineH_);
          if (focused && i == w->cursor)
            Frame(d, accent_, w->x + 2, ly, w->w - 4 - kScrollbar, lineH_);
          Text(d, w->sensitive ? LineColour(l) : grey_, w->x + kPad, Baseline(ly, lineH_), l.text);
        }
        if (n > visible) {
          const int track = w->h - 4;
          const int thumb = std::max(12, track * visible / n);
          const int at = (track - thumb) * w->top / std::max(1, n - visible);
          Fill(d, border_, w->x + w->w - 2 - kScrollbar, w->y + 2 + at, kScrollbar - 1, thumb);
        }
        break;
      }
      default:
        break;
    }
  }

  int VisibleLines(const XW* w) const { return std::max(1, (w->h - 4) / lineH_); }

  // ---- User actions ----

  // The widgets of a shell in focus order; the next focusable one after `from`.
  XW* NextFocus(XW* s, XW* from, bool forward) {
    std::vector<XW*> order;
    for (auto& w : s->owned)
      if (Focusable(w.get())) order.push_back(w.get());
    if (order.empty()) return nullptr;
    auto it = std::find(order.begin(), order.end(), from);
    if (it == order.end()) return forward ? order.front() : order.back();
    const std::size_t i = static_cast<std::size_t>(it - order.begin());
    const std::size_t n = order.size();
    return order[forward ? (i + 1) % n : (i + n - 1) % n];
  }

  // Where the keyboard starts in a window: the first focusable widget that destroys
  // nothing.
  XW* FirstFocus(XW* s) {
    for (auto& w : s->owned)
      if (Focusable(w.get()) && !w->destructive) return w.get();
    return nullptr;
  }

  XW* HitTest(XW* s, int x, int y) {
    for (auto it = s->owned.rbegin(); it != s->owned.rend(); ++it) {
      XW* w = it->get();
      if (w->kind == Tk_Kind::box || !NotHidden(w)) continue;
      if (x >= w->x && x < w->x + w->w && y >= w->y && y < w->y + w->h) return w;
    }
    return nullptr;
  }

  void Notify(XW* w, const Tk_Change& c) {
    // The framework may destroy the shell in there: nothing touches w afterwards.
    Tk_Notify(H(w), w->client, c);
  }
  void Commit(XW* w) {
    Tk_Change c{};
    c.kind = Tk_Change::commit;
    c.text = w->text;
    Notify(w, c);
  }
  void Toggle(XW* w) {
    w->state = !w->state;
    w->shell->dirty = true;
    Tk_Change c{};
    c.kind = Tk_Change::toggled;
    c.state = w->state;
    Notify(w, c);
  }
  void Press(XW* w) {
    Tk_Change c{};
    c.kind = Tk_Change::pressed;
    c.value = w->value;
    Notify(w, c);
  }
  void ListClick(XW* w, int line, bool twice) {
    if (!Tk_ClickLine(w->lines, line, w->select, twice)) return;
    doubleClick_ = twice;
    w->cursor = line;
    w->shell->dirty = true;
    Tk_Change c{};
    c.kind = Tk_Change::selection;
    for (const auto& l : w->lines) c.selected.push_back(l.selected);
    Notify(w, c);
  }
  void Close(XW* s) {
    Tk_Change c{};
    c.kind = Tk_Change::close;
    Notify(s, c);
  }

  // An event the scripted driver injected: the same actions a person's input leads to.
  void Act(const Tk_Event& e) {
    XW* w = Of(e.widget);
    doubleClick_ = e.kind == Tk_Event::doubleClick;
    if (w == nullptr || !w->shell->visible) return;
    if (e.kind != Tk_Event::close && !w->sensitive) return;
    switch (e.kind) {
      case Tk_Event::typeText:
        if (w->kind != Tk_Kind::text && w->kind != Tk_Kind::number) return;
        w->shell->focus = w;
        w->text = e.text;
        w->caret = w->anchor = w->text.size();
        w->shell->dirty = true;
        Commit(w);
        break;
      case Tk_Event::toggle:
        if (w->kind == Tk_Kind::toggle) Toggle(w);
        break;
      case Tk_Event::press:
        if (w->kind == Tk_Kind::button) Press(w);
        break;
      case Tk_Event::click:
      case Tk_Event::doubleClick:
        if (w->kind == Tk_Kind::list) ListClick(w, e.index, e.kind == Tk_Event::doubleClick);
        break;
      case Tk_Event::close:
        if (w->kind == Tk_Kind::shell) Close(w);
        break;
      default:
        break;
    }
  }

  void Handle(XW* s, const XEvent& ev) {
    switch (ev.type) {
      case Expose:
        if (ev.xexpose.count == 0 && s->visible) Redraw(s);
        break;
      case ClientMessage:
        if (ev.xclient.message_type == wmProtocols_ &&
            static_cast<Atom>(ev.xclient.data.l[0]) == wmDelete_)
          Close(s);
        break;
      case ButtonPress:
        ButtonDown(s, ev.xbutton);
        break;
      case ButtonRelease:
        ButtonUp(s, ev.xbutton);
        break;
      case KeyPress:
        Key(s, ev.xkey);
        break;
      default:
        break;
    }
  }

  void ButtonDown(XW* s, const XButtonEvent& b) {
    XW* w = HitTest(s, b.x, b.y);
    if (w == nullptr || !w->sensitive) return;
    if (w->kind == Tk_Kind::list && (b.button == Button4 || b.button == Button5)) {
      Scroll(w, b.button == Button4 ? -3 : 3);
      return;
    }
    if (b.button != Button1) return;
    if (Focusable(w)) s->focus = w;
    s->dirty = true;
    XSetInputFocus(dpy_, s->win, RevertToParent, CurrentTime);
    switch (w->kind) {
      case Tk_Kind::button:
      case Tk_Kind::toggle:
        pressed_ = w;
        pressedInside_ = true;
        break;
      case Tk_Kind::text:
      case Tk_Kind::number: {
        const int at = b.x - w->x - kPad + w->scroll;
        std::size_t i = 0;
        while (i < w->text.size() && TextW(w->text.substr(0, i + 1)) <= at) ++i;
        w->caret = w->anchor = i;
        break;
      }
      case Tk_Kind::list: {
        const int line = w->top + (b.y - w->y - 2) / lineH_;
        const bool twice =
            lastClick_ == w && lastLine_ == line && b.time - lastTime_ < kDoubleClickMs;
        lastClick_ = twice ? nullptr : w;
        lastLine_ = line;
        lastTime_ = b.time;
        ListClick(w, line, twice);
        break;
      }
      default:
        break;
    }
  }

  void ButtonUp(XW* s, const XButtonEvent& b) {
    if (b.button != Button1 || pressed_ == nullptr) return;
    XW* w = pressed_;
    pressed_ = nullptr;
    s->dirty = true;
    if (w->shell != s || HitTest(s, b.x, b.y) != w || !w->sensitive) return;
    if (w->kind == Tk_Kind::button) {
      Press(w);
    } else {
      Toggle(w);
    }
  }

  void Scroll(XW* w, int by) {
    const int most = std::max(0, static_cast<int>(w->lines.size()) - VisibleLines(w));
    w->top = std::clamp(w->top + by, 0, most);
    w->shell->dirty = true;
  }

  void Key(XW* s, XKeyEvent k) {
    char buf[16];
    KeySym sym = NoSymbol;
    const int n = XLookupString(&k, buf, sizeof buf, &sym, nullptr);
    if (sym == XK_Tab || sym == XK_ISO_Left_Tab) {
      s->focus = NextFocus(s, s->focus, sym == XK_Tab && !(k.state & ShiftMask));
      s->dirty = true;
      return;
    }
    XW* w = s->focus;
    if (w == nullptr || !w->sensitive) return;
    s->dirty = true;
    switch (w->kind) {
      case Tk_Kind::button:
        if (sym == XK_space || (!w->destructive && (sym == XK_Return || sym == XK_KP_Enter)))
          Press(w);
        break;
      case Tk_Kind::toggle:
        if (sym == XK_space) Toggle(w);
        break;
      case Tk_Kind::list:
        if (sym == XK_Up || sym == XK_Down) {
          const int last = static_cast<int>(w->lines.size()) - 1;
          w->cursor = std::clamp(w->cursor + (sym == XK_Up ? -1 : 1), 0, std::max(last, 0));
          if (w->cursor < w->top) w->top = w->cursor;
          if (w->cursor >= w->top + VisibleLines(w)) w->top = w->cursor - VisibleLines(w) + 1;
        } else if (sym == XK_space || sym == XK_Return || sym == XK_KP_Enter) {
          ListClick(w, w->cursor, sym != XK_space);
        }
        break;
      case Tk_Kind::text:
      case Tk_Kind::number:
        Edit(w, sym, k.state, std::string(buf, static_cast<std::size_t>(std::max(n, 0))));
        break;
      default:
        break;
    }
  }

  void Edit(XW* w, KeySym sym, unsigned state, const std::string& typed) {
    std::string& t = w->text;
    std::size_t& c = w->caret;
    std::size_t& a = w->anchor;
    c = std::min(c, t.size());
    a = std::min(a, t.size());
    const auto cut = [&] {  // removes the selection; false when there is none
      if (a == c) return false;
      const std::size_t from = std::min(a, c);
      t.erase(from, std::max(a, c) - from);
      a = c = from;
      return true;
    };
    const auto move = [&](std::size_t to) {
      c = to;
      if (!(state & ShiftMask)) a = c;
    };
    if ((state & ControlMask) && (sym == XK_a || sym == XK_A)) {
      a = 0;
      c = t.size();
      return;
    }
    switch (sym) {
      case XK_Return:
      case XK_KP_Enter:
        Commit(w);
        return;
      case XK_BackSpace:
        if (!cut() && c > 0) {
          t.erase(--c, 1);
          a = c;
        }
        return;
      case XK_Delete:
        if (!cut() && c < t.size()) t.erase(c, 1);
        return;
      case XK_Left:
        move(c > 0 ? c - 1 : 0);
        return;
      case XK_Right:
        move(std::min(c + 1, t.size()));
        return;
      case XK_Home:
        move(0);
        return;
      case XK_End:
        move(t.size());
        return;
      default:
        break;
    }
    for (char ch : typed) {
      const auto u = static_cast<unsigned char>(ch);
      if (u < 0x20 || u == 0x7F) continue;
      // Number fields take what numbers are written with; the framework checks the rest.
      if (w->kind == Tk_Kind::number && !std::strchr("0123456789+-.eE", ch)) continue;
      cut();
      t.insert(c++, 1, ch);
      a = c;
    }
  }

  Display* dpy_ = nullptr;
  XFontStruct* font_ = nullptr;
  GC gc_ = nullptr;
  Atom wmProtocols_ = 0, wmDelete_ = 0;
  Cursor watch_ = 0;
  int lineH_ = 16, charW_ = 7, fieldH_ = 22;
  unsigned long bg_ = 0, fieldBg_ = 0, border_ = 0, ink_ = 0, grey_ = 0, accent_ = 0, face_ = 0,
                pressedFace_ = 0, selBg_ = 0;
  std::map<std::uint32_t, unsigned long> colours_;
  std::vector<std::unique_ptr<XW>> shells_;
  std::map<Window, XW*> windows_;
  std::deque<Tk_Event> queue_;
  Tk_EventSource source_ = nullptr;
  XEvent current_{};
  bool doubleClick_ = false;
  XW* pressed_ = nullptr;
  bool pressedInside_ = false;
  XW* lastClick_ = nullptr;
  int lastLine_ = -1;
  Time lastTime_ = 0;
};

std::unique_ptr<X11> display;

}  // namespace

void TkX11_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "TkX11");
  if (!init) return;
  UCommon_Init();
  Tk_Init();
}

Tk_Backend* TkX11_Open(const char* displayName) {
  TkX11_Close();
  auto d = std::make_unique<X11>();
  if (!d->Open(displayName)) return nullptr;
  display = std::move(d);
  Tk_SetBackend(display.get());
  return display.get();
}

void TkX11_Close() {
  if (display == nullptr) return;
  if (Tk_Current() == display.get()) Tk_SetBackend(nullptr);
  display.reset();
}

unsigned long TkX11_Window(Tk_Widget shell) {
  return Of(shell)->kind == Tk_Kind::shell ? Of(shell)->win : 0;
}
TkX11_Rect TkX11_Where(Tk_Widget w) { return display ? display->Where(Of(w)) : TkX11_Rect{}; }
TkX11_Rect TkX11_LineWhere(Tk_Widget list, int line) {
  return display ? display->LineWhere(Of(list), line) : TkX11_Rect{};
}
void TkX11_Sync() {
  if (display) display->Sync();
}
int TkX11_ShellCount() { return display ? static_cast<int>(display->ShellCount()) : 0; }
