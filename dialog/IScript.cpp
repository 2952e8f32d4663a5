#include "IScript.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "I.hpp"
#include "Ibase.hpp"
#include "Processe.hpp"
#include "Tk.hpp"
#include "UCommon.hpp"
#include "Utility.hpp"

namespace {

struct Step {
  int line;
  std::vector<std::string> words;
};

std::string scriptName;
std::vector<Step> steps;
std::size_t next = 0;
std::int64_t stepStart = -1;  // when the current waiting step began

bool Words(const std::string& text, std::vector<std::string>& out) {
  out.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t' || text[i] == '\r') {
      ++i;
      continue;
    }
    std::string w;
    if (text[i] == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
          ++i;
          w.push_back(text[i] == 'n' ? '\n' : text[i]);
          continue;
        }
        w.push_back(text[i]);
      }
      if (i >= text.size()) return false;
      ++i;
    } else {
      while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r')
        w.push_back(text[i++]);
    }
    out.push_back(w);
  }
  return true;
}

// The number of words each command takes (with its optional ones).
bool Valid(const std::vector<std::string>& w) {
  const std::string& c = w[0];
  const std::size_t n = w.size();
  if (c == "wait" || c == "gone") return n == 2 || n == 3;
  if (c == "toggle" || c == "answer" || c == "shot") return n == 3;
  if (c == "type" || c == "press" || c == "click" || c == "doubleclick" || c == "expect")
    return n == 4;
  if (c == "close") return n == 2;
  return false;
}

[[noreturn]] void Fail(const Step& s, const std::string& what) {
  std::fprintf(stderr, "script %s:%d: %s\n", scriptName.c_str(), s.line, what.c_str());
  std::fflush(stderr);
  Processe_SetExitStatus(1);
  Processe_Exit();
}

std::int32_t Number(const Step& s, std::size_t i) {
  char* end = nullptr;
  const long v = std::strtol(s.words[i].c_str(), &end, 10);
  if (end == s.words[i].c_str() || *end != '\0') Fail(s, "'" + s.words[i] + "' is no number");
  return static_cast<std::int32_t>(v);
}

I_Context Shown(const Step& s) {
  I_Context ctx = Ibase_FindActive(s.words[1]);
  if (ctx == nullptr) Fail(s, "dialog '" + s.words[1] + "' is not shown");
  return ctx;
}

// The widget of the AObj that fits the action: of that kind, and for buttons of that value.
Tk_Widget WidgetOf(const Step& s, I_Context ctx, std::int32_t id,
                   std::initializer_list<Tk_Kind> kinds, const std::int32_t* value = nullptr) {
  Ibase_AObj* a = Ibase_AObjOf(ctx, id);
  if (a == nullptr) Fail(s, "dialog '" + s.words[1] + "' has no AObj " + std::to_string(id));
  for (Ibase_RObj* r : a->widgets) {
    bool kindOk = false;
    for (Tk_Kind k : kinds) kindOk = kindOk || r->kind == k;
    if (!kindOk) continue;
    const char* v = IdlgCat_Attr(r->def->attrs, r->def->tmpl, "value");
    if (value != nullptr && (v != nullptr ? std::atoi(v) : 0) != *value) continue;
    return r->widget;
  }
  Fail(s, "no fitting widget for AObj " + std::to_string(id) + " in '" + s.words[1] + "'");
}

void Act(const Step& s, Tk_Event::Kind kind, Tk_Widget w, std::string text = "",
         std::int32_t index = 0) {
  Tk_Backend* tk = Tk_Current();
  if (!tk->IsSensitive(w)) Fail(s, "the widget cannot be used now (insensitive)");
  Tk_Event e;
  e.kind = kind;
  e.widget = w;
  e.text = std::move(text);
  e.index = index;
  e.button = kind != Tk_Event::typeText && kind != Tk_Event::close;
  tk->Inject(e);
}

// Called whenever the program waits for input: does steps until one gave an event or
// has to wait for the program.
void Source(std::int64_t waitMs) {
  while (next < steps.size()) {
    const Step& s = steps[next];
    const std::string& c = s.words[0];
    if (c == "wait" || c == "gone") {
      const bool want = c == "wait";
      const std::int64_t limit = s.words.size() == 3 ? Number(s, 2) : 10000;
      const std::int64_t now = Utility_GetCurrentTimeMillis();
      if (stepStart < 0) stepStart = now;
      if ((Ibase_FindActive(s.words[1]) != nullptr) != want) {
        if (waitMs < 0)
          Fail(s, "dialog '" + s.words[1] + (want ? "' never appears" : "' never goes"));
        if (now - stepStart > limit) Fail(s, "time limit passed waiting for '" + s.words[1] + "'");
        return;
      }
      stepStart = -1;
      ++next;
      continue;
    }
    ++next;
    if (c == "expect") {
      I_Context ctx = Shown(s);
      Tk_Widget w = WidgetOf(
          s, ctx, Number(s, 2),
          {Tk_Kind::label, Tk_Kind::text, Tk_Kind::number, Tk_Kind::toggle, Tk_Kind::list});
      const std::string shown = Tk_Current()->ShownText(w);
      if (shown != s.words[3]) Fail(s, "shows '" + shown + "', expected '" + s.words[3] + "'");
      continue;
    }
    if (c == "shot") {
      std::string why;
      if (!Tk_Current()->Snapshot(Shown(s)->shell, s.words[2], why))
        Fail(s, "no picture of '" + s.words[1] + "': " + why);
      continue;
    }
    if (c == "close") {
      Act(s, Tk_Event::close, Shown(s)->shell);
      return;
    }
    I_Context ctx = Shown(s);
    const std::int32_t id = c == "answer" ? 2 : Number(s, 2);
    if (c == "type") {
      Act(s, Tk_Event::typeText, WidgetOf(s, ctx, id, {Tk_Kind::text, Tk_Kind::number}),
          s.words[3]);
    } else if (c == "toggle") {
      Act(s, Tk_Event::toggle, WidgetOf(s, ctx, id, {Tk_Kind::toggle}));
    } else if (c == "press" || c == "answer") {
      const std::int32_t value = c == "answer" ? Number(s, 2) + 1 : Number(s, 3);
      Act(s, Tk_Event::press, WidgetOf(s, ctx, id, {Tk_Kind::button}, &value));
    } else {
      Tk_Widget w = WidgetOf(s, ctx, id, {Tk_Kind::list});
      const std::int32_t line = Number(s, 3);
      if (line < 0 || static_cast<std::size_t>(line) >= Tk_Current()->ShownLines(w).size())
        Fail(s, "the list has no line " + std::to_string(line));
      Act(s, c == "click" ? Tk_Event::click : Tk_Event::doubleClick, w, "", line);
    }
    return;
  }
  if (waitMs < 0) {
    std::fprintf(stderr, "script %s: the program waits for input after the last step\n",
                 scriptName.c_str());
    std::fflush(stderr);
    Processe_SetExitStatus(1);
    Processe_Exit();
  }
}

}  // namespace

void IScript_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "IScript");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Processe_Init();
  Utility_Init();
  I_Init();
  Ibase_Init();
  Tk_Init();
}

bool IScript_StartText(std::string_view text, std::string_view name) {
  scriptName = name;
  steps.clear();
  next = 0;
  stepStart = -1;
  std::istringstream in{std::string(text)};
  std::string line;
  int lineNo = 0;
  bool ok = true;
  while (std::getline(in, line)) {
    ++lineNo;
    std::vector<std::string> w;
    if (!Words(line, w)) {
      std::fprintf(stderr, "script %s:%d: missing closing quote\n", scriptName.c_str(), lineNo);
      ok = false;
      continue;
    }
    if (w.empty() || w[0][0] == '#') continue;
    if (!Valid(w)) {
      std::fprintf(stderr, "script %s:%d: unknown step or wrong number of words\n",
                   scriptName.c_str(), lineNo);
      ok = false;
      continue;
    }
    steps.push_back({lineNo, std::move(w)});
  }
  if (Tk_Current() == nullptr) {
    std::fprintf(stderr, "script %s: no display to act on\n", scriptName.c_str());
    ok = false;
  }
  if (!ok) {
    steps.clear();
    return false;
  }
  Tk_Current()->SetEventSource(Source);
  return true;
}

bool IScript_Start(StrIn path) {
  std::ifstream in(path.str());
  if (!in) {
    std::fprintf(stderr, "script %s: cannot be read\n", path.str().c_str());
    return false;
  }
  std::stringstream all;
  all << in.rdbuf();
  return IScript_StartText(all.str(), path.view());
}

bool IScript_Finished() {
  // A closing "wait" or "gone" may already hold when the program stops asking for input.
  while (next < steps.size() &&
         (steps[next].words[0] == "wait" || steps[next].words[0] == "gone") &&
         (Ibase_FindActive(steps[next].words[1]) != nullptr) == (steps[next].words[0] == "wait")) {
    ++next;
  }
  return next >= steps.size();
}
