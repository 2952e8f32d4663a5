#include "I.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>

#include "IdlgCat.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "SIdPool.hpp"
#include "SrcFile.hpp"
#include "Tk.hpp"
#include "UCommon.hpp"
#include "Utility.hpp"

std::uint8_t I_ilibError = 0;

namespace {

I_Context mainContext = nullptr;
unsigned activeCount = 0;
bool leaveMainLoop = false;
std::vector<I_Context> parentStack;
volatile std::sig_atomic_t terminateRequested = 0;
bool termHandlerInstalled = false;
void (*buttonHook)() = nullptr;

struct Task {
  std::int64_t due;
  I_TaskProc proc;
  void* arg;
  std::int32_t number;
};
std::list<Task> tasks;  // ascending by due time, equal times in scheduling order
std::list<Task> idleTasks;
std::int32_t nextTaskNumber = 0;
const Task* runningTask = nullptr;  // the task being run (nested loops keep their own)

void Fail(std::uint8_t n, const std::string& info = "") {
  I_ilibError = n;
  if (!info.empty()) Messages_SupplyAdditionalInfo(info);
  Messages_Error("I", n);
}

void FailAObj(I_Context ctx, std::int32_t id) {
  Fail(2, std::string("In dialog context: ") + ctx->name + " AObjID: " + std::to_string(id));
}

// The AObj of that number and type for an operation; reports and returns nullptr otherwise.
Ibase_AObj* Lookup(I_Context ctx, std::int32_t id, int type) {
  I_ilibError = 0;
  if (ctx == nullptr) {
    Fail(4);
    return nullptr;
  }
  Ibase_AObj* a = Ibase_AObjOf(ctx, id);
  if (a == nullptr) {
    FailAObj(ctx, id);
    return nullptr;
  }
  if (type >= 0 && a->type != type) {
    Fail(3, std::string("In dialog context: ") + ctx->name + " AObjID: " + std::to_string(id));
    return nullptr;
  }
  return a;
}

std::string Format(const Ibase_RObj& r, const Ibase_AObj& a) {
  char buf[64];
  switch (a.type) {
    case I_BOOLEAN:
      return a.b ? "1" : "0";
    case I_INTEGER:
      return std::to_string(a.i);
    case I_CARDINAL:
      return std::to_string(a.c);
    case I_REAL:
      std::snprintf(buf, sizeof buf, "%.*f", r.decimals, a.r);
      return buf;
    case I_STRING:
      return StrIn(a.s).str();
    default:
      return "";
  }
}

I_ListRec* ListHead(const Ibase_AObj& a) {
  I_ListRec* first = nullptr;
  if (a.g.size() == sizeof first) std::memcpy(&first, a.g.data(), sizeof first);
  return first;
}

void Show(Ibase_AObj& a) {
  Tk_Backend* tk = Tk_Current();
  if (tk == nullptr) return;
  for (Ibase_RObj* r : a.widgets) {
    switch (r->kind) {
      case Tk_Kind::label:
      case Tk_Kind::text:
      case Tk_Kind::number:
        tk->ShowText(r->widget, Format(*r, a));
        break;
      case Tk_Kind::toggle:
        tk->ShowState(r->widget, a.b);
        break;
      case Tk_Kind::list: {
        std::vector<Tk_Line> lines;
        for (I_ListRec* p = ListHead(a); p != nullptr; p = p->next)
          lines.push_back({StrIn(p->text).str(), p->selected != 0, p->colour.red, p->colour.green,
                           p->colour.blue});
        tk->ShowLines(r->widget, lines);
        break;
      }
      default:
        break;
    }
  }
}

// Widgets with a "when" attribute ("<AObj>:<v>,<v>...") are usable only while that
// INTEGER or BOOLEAN AObj holds one of the listed values: the layout decides, for
// instance, which choices each kind of a dialog offers.
void ApplyWhen(I_Context ctx) {
  Tk_Backend* tk = Tk_Current();
  for (auto& [n, r] : ctx->robjs) {
    const char* when = IdlgCat_Attr(r.def->attrs, r.def->tmpl, "when");
    if (when == nullptr) continue;
    char* p = nullptr;
    const Ibase_AObj* a = Ibase_AObjOf(ctx, static_cast<std::int32_t>(std::strtol(when, &p, 10)));
    if (a == nullptr || *p != ':') continue;
    const long value = a->type == I_BOOLEAN ? (a->b ? 1 : 0) : a->i;
    bool on = false;
    while (*p == ':' || *p == ',') {
      const char* start = p + 1;
      const long v = std::strtol(start, &p, 10);
      if (p == start) break;
      on = on || v == value;
    }
    tk->SetSensitive(r.widget, on);
    // A choice that is not offered may be left out of the window altogether.
    const char* hide = IdlgCat_Attr(r.def->attrs, r.def->tmpl, "hide");
    if (hide != nullptr && std::strcmp(hide, "1") == 0) {
      const std::int32_t hidden = on ? 0 : 1;
      tk->SetAttr(r.widget, Tk_attrHidden, &hidden, sizeof hidden);
    }
  }
}

void PersistentChanged(void* arg) { Show(*static_cast<Ibase_AObj*>(arg)); }

// Binds a persistent AObj to its settings key: a value already known to the settings is
// taken over, otherwise the AObj's value becomes the setting.
void Persist(I_Context ctx, Ibase_AObj& a) {
  if (a.type == I_Generic) return;
  const std::string key = std::string(ctx->name) + "_" + a.def->name;
  Messages_Ignoring quiet;
  if (SrcFile_IsDefined(key)) {
    switch (a.type) {
      case I_BOOLEAN:
        a.b = SrcFile_QueryBool(key);
        break;
      case I_INTEGER:
        a.i = SrcFile_QueryInt(key);
        break;
      case I_CARDINAL:
        a.c = SrcFile_QueryCard(key);
        break;
      case I_REAL:
        a.r = SrcFile_QueryReal(key);
        break;
      default:
        SrcFile_QueryString(key, StrOut(a.s, I_stringSize - 2));
        break;
    }
    Messages_ForgetErrorReasons();
    return;
  }
  switch (a.type) {
    case I_BOOLEAN:
      SrcFile_DefineBool(key, a.b);
      break;
    case I_INTEGER:
      SrcFile_DefineInt(key, a.i);
      break;
    case I_CARDINAL:
      SrcFile_DefineCard(key, a.c);
      break;
    case I_REAL:
      SrcFile_DefineReal(key, a.r);
      break;
    default:
      SrcFile_DefineString(key, StrOut(a.s, I_stringSize - 2));
      break;
  }
  SrcFile_DefineICB(key, PersistentChanged, &a);
  const bool ok = SrcFile_error == 0;
  Messages_ForgetErrorReasons();
  quiet.Close();
  if (ok) a.key = SIdPool_Put(key);
}

Tk_Kind KindOf(const char* cls) {
  const std::string_view c = cls ? cls : "box";
  if (c == "shell") return Tk_Kind::shell;
  if (c == "label") return Tk_Kind::label;
  if (c == "text") return Tk_Kind::text;
  if (c == "number") return Tk_Kind::number;
  if (c == "toggle") return Tk_Kind::toggle;
  if (c == "button") return Tk_Kind::button;
  if (c == "list") return Tk_Kind::list;
  return Tk_Kind::box;
}

std::int32_t IntAttr(const IdlgCat_RObj& d, const char* key, std::int32_t dflt) {
  const char* v = IdlgCat_Attr(d.attrs, d.tmpl, key);
  return v ? static_cast<std::int32_t>(std::strtol(v, nullptr, 10)) : dflt;
}

void Build(I_Context ctx, const IdlgCat_RObj& d, Tk_Widget parent) {
  Tk_Backend* tk = Tk_Current();
  Ibase_RObj& r = ctx->robjs[d.number];
  r.def = &d;
  r.ctx = ctx;
  r.kind = KindOf(IdlgCat_Attr(d.attrs, d.tmpl, "class"));
  r.decimals = IntAttr(d, "decimals", 2);
  const char* label = IdlgCat_Attr(d.attrs, d.tmpl, "label");
  if (parent == nullptr) {
    r.widget = ctx->shell = tk->CreateShell(ctx->name, label ? label : ctx->name, &r);
  } else {
    r.widget =
        tk->CreateWidget(parent, r.kind, d.name, label ? label : "", IntAttr(d, "value", 0), &r);
  }
  for (auto [attr, key] : {std::pair{Tk_attrColumns, "columns"}, std::pair{Tk_attrRows, "rows"}}) {
    const std::int32_t n = IntAttr(d, key, -1);
    if (n >= 0) tk->SetAttr(r.widget, attr, &n, sizeof n);
  }
  // Words the layout compiler accepted, each the value of a widget attribute.
  static constexpr struct {
    Tk_Attr attr;
    const char* key;
    const char* word;
    std::int32_t value;
  } kWords[] = {{Tk_attrSelect, "select", "single", Tk_selectSingle},
                {Tk_attrSelect, "select", "multiple", Tk_selectMultiple},
                {Tk_attrOrient, "orient", "vertical", Tk_orientVertical},
                {Tk_attrOrient, "orient", "horizontal", Tk_orientHorizontal},
                {Tk_attrDestructive, "destructive", "1", 1}};
  for (const auto& w : kWords) {
    const char* v = IdlgCat_Attr(d.attrs, d.tmpl, w.key);
    if (v != nullptr && std::strcmp(v, w.word) == 0)
      tk->SetAttr(r.widget, w.attr, &w.value, sizeof w.value);
  }
  if (d.aobj != 0) {
    r.aobj = Ibase_AObjOf(ctx, d.aobj);
    if (r.aobj != nullptr) r.aobj->widgets.push_back(&r);
  }
  for (const auto& c : d.children) Build(ctx, c, r.widget);
}

void SetActive(I_Context ctx, bool active) {
  if (ctx->active == active) return;
  ctx->active = active;
  if (active) {
    ++activeCount;
  } else {
    --activeCount;
  }
}

void DeactivateTree(I_Context ctx) {
  if (ctx->active && Tk_Current() != nullptr) Tk_Current()->Popdown(ctx->shell);
  SetActive(ctx, false);
  for (I_Context c : ctx->children) DeactivateTree(c);
}

void DoDestroy(I_Context ctx) {
  while (!ctx->children.empty()) DoDestroy(ctx->children.back());
  DeactivateTree(ctx);
  if (ctx->parent != nullptr) std::erase(ctx->parent->children, ctx);
  for (auto& [id, a] : ctx->aobjs)
    if (a.key != nullptr) SrcFile_SUndefine(StrIn::FromC(a.key));
  if (Tk_Current() != nullptr && ctx->shell != nullptr) Tk_Current()->DestroyShell(ctx->shell);
  std::erase(Ibase_Contexts(), ctx);
  std::erase(parentStack, ctx);
  if (mainContext == ctx) mainContext = nullptr;
  delete ctx;
}

void DestroyIfDue(I_Context ctx) {
  if (ctx->destroyPending && ctx->nesting == 0 && ctx->busy == 0) DoDestroy(ctx);
}

void WindowClosed(I_Context ctx) {
  DeactivateTree(ctx);
  const bool leaving = activeCount == 0 || ctx == mainContext;
  if (leaving) leaveMainLoop = true;
  if (ctx->close != nullptr) ctx->close(ctx, leaving, ctx->closeArg);
}

template <typename Proc, typename V>
void Call(I_Context ctx, Ibase_AObj& a, V value) {
  if (a.enabled && a.proc != nullptr) reinterpret_cast<Proc>(a.proc)(ctx, a.number, value, a.arg);
}

// A user action on a widget: the new value goes into the AObj, then its callback runs.
void Notified(Tk_Widget, void* client, const Tk_Change& change) {
  auto* r = static_cast<Ibase_RObj*>(client);
  I_Context ctx = r->ctx;
  ++ctx->busy;
  if (change.kind == Tk_Change::close) {
    WindowClosed(ctx);
  } else if (Ibase_AObj* a = r->aobj; a != nullptr) {
    const char* text = change.text.c_str();
    char* end = nullptr;
    switch (a->type) {
      case I_BOOLEAN:
        if (change.kind == Tk_Change::toggled) {
          a->b = change.state;
          Call<I_BOOLEANProc>(ctx, *a, a->b);
        }
        break;
      case I_INTEGER:
        if (change.kind == Tk_Change::pressed) {
          a->i = change.value;
          Call<I_INTEGERProc>(ctx, *a, a->i);
        } else if (change.kind == Tk_Change::commit) {
          const long v = std::strtol(text, &end, 10);
          if (end != text && *end == '\0') {
            a->i = static_cast<std::int32_t>(v);
            Show(*a);
            Call<I_INTEGERProc>(ctx, *a, a->i);
          } else {
            Show(*a);
          }
        }
        break;
      case I_CARDINAL:
        if (change.kind == Tk_Change::commit) {
          const unsigned long v = std::strtoul(text, &end, 10);
          if (end != text && *end == '\0' && text[0] != '-') {
            a->c = static_cast<std::uint32_t>(v);
            Show(*a);
            Call<I_CARDINALProc>(ctx, *a, a->c);
          } else {
            Show(*a);
          }
        }
        break;
      case I_REAL:
        if (change.kind == Tk_Change::commit) {
          const double v = std::strtod(text, &end);
          if (end != text && *end == '\0') {
            a->r = v;
            Show(*a);
            Call<I_REALProc>(ctx, *a, a->r);
          } else {
            Show(*a);
          }
        }
        break;
      case I_STRING:
        if (change.kind == Tk_Change::commit) {
          Strings_Assign(change.text, a->s);
          Show(*a);
          Call<I_STRINGProc>(ctx, *a, StrIn(a->s));
        }
        break;
      case I_Generic:
        if (change.kind == Tk_Change::selection) {
          std::size_t i = 0;
          for (I_ListRec* p = ListHead(*a); p != nullptr && i < change.selected.size(); p = p->next)
            p->selected = change.selected[i++] ? 1 : 0;
          Call<I_GenericProc>(ctx, *a, std::span<const std::uint8_t>(a->g));
        }
        break;
    }
  }
  --ctx->busy;
  if (!ctx->destroyPending) ApplyWhen(ctx);
  DestroyIfDue(ctx);
}

void OnTerminate(unsigned) { terminateRequested = 1; }

void HandleTerminate() {
  if (!terminateRequested) return;
  terminateRequested = 0;
  leaveMainLoop = true;
  if (mainContext != nullptr && mainContext->close != nullptr)
    mainContext->close(mainContext, true, mainContext->closeArg);
}

void Insert(const Task& t) {
  auto it = tasks.begin();
  while (it != tasks.end() && it->due <= t.due) ++it;
  tasks.insert(it, t);
}

}  // namespace

void I_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "I");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  Processe_Init();
  Utility_Init();
  SrcFile_Init();
  SIdPool_Init();
  IdlgCat_Init();
  Ibase_Init();
  Tk_Init();
  Tk_SetNotify(Notified);
  {
    const Messages_Ignoring quiet;
    IdlgCat_UseContextCat("zoltdlg");
    Messages_ForgetErrorReasons();
  }
}

void I_UseContextCat(StrIn name) {
  I_ilibError = 0;
  IdlgCat_UseContextCat(name);
}

I_Context I_Create(StrIn name, bool activate) {
  I_ilibError = 0;
  const IdlgCat_Context* t = IdlgCat_Find(name);
  if (t == nullptr) {
    Fail(1, "::I_Create: dialog context '" + name.str() + "'");
    return nullptr;
  }
  if (Tk_Current() == nullptr || t->robjs.empty()) {
    Fail(4, "::I_Create: no display for '" + name.str() + "'");
    return nullptr;
  }
  auto* ctx = new I_ContextRec{};
  ctx->tmpl = t;
  ctx->name = t->name;
  for (const auto& d : t->aobjs) {
    Ibase_AObj& a = ctx->aobjs[d.number];
    a.def = &d;
    a.number = d.number;
    const char* type = IdlgCat_Attr(d.attrs, d.tmpl, "type");
    a.type = static_cast<I_Type>(type ? std::atoi(type) : I_Generic);
    const char* size = IdlgCat_Attr(d.attrs, d.tmpl, "size");
    a.size = a.type == I_Generic && size ? std::strtoul(size, nullptr, 10) : 0;
    a.g.assign(a.size, 0);
    if (const char* v = IdlgCat_Attr(d.attrs, d.tmpl, "value")) {
      a.b = std::atoi(v) != 0;
      a.i = std::atoi(v);
      a.c = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
      a.r = std::atof(v);
      if (a.type == I_STRING) Strings_Assign(StrIn::FromC(v), a.s);
    }
    const char* config = IdlgCat_Attr(d.attrs, d.tmpl, "config");
    if (config != nullptr && std::strcmp(config, "1") == 0) Persist(ctx, a);
  }
  Build(ctx, t->robjs.front(), nullptr);
  for (auto& [id, a] : ctx->aobjs) Show(a);
  ApplyWhen(ctx);
  if (!parentStack.empty()) {
    ctx->parent = parentStack.back();
    ctx->parent->children.push_back(ctx);
  }
  Ibase_Contexts().push_back(ctx);
  if (activate && (ctx->parent == nullptr || ctx->parent->active)) I_Activate(ctx);
  return ctx;
}

void I_Activate(I_Context ctx) {
  I_ilibError = 0;
  if (ctx == nullptr || Tk_Current() == nullptr) {
    Fail(4);
    return;
  }
  if (!termHandlerInstalled) {
    termHandlerInstalled = true;
    Processe_InstallSignalHandler(Processe_SIGTERM, OnTerminate);
  }
  if (ctx->active) {
    Tk_Current()->Raise(ctx->shell);
    return;
  }
  Tk_Current()->Popup(ctx->shell);
  SetActive(ctx, true);
  if (mainContext == nullptr) mainContext = ctx;
}

void I_Deactivate(I_Context ctx) {
  I_ilibError = 0;
  if (ctx == nullptr) {
    Fail(4);
    return;
  }
  DeactivateTree(ctx);
}

void I_Destroy(I_Context& ctx) {
  I_ilibError = 0;
  if (ctx == nullptr) return;
  I_Context c = ctx;
  ctx = nullptr;
  DeactivateTree(c);
  c->destroyPending = true;
  DestroyIfDue(c);
}

bool I_Active(I_Context ctx) { return ctx != nullptr && ctx->active; }
I_Context I_Nil() { return nullptr; }
bool I_Equal(I_Context a, I_Context b) { return a == b; }
I_Context I_MainContext() { return mainContext; }
unsigned I_ActiveCount() { return activeCount; }

void I_SetCloseCallback(I_Context ctx, I_CloseProc proc, void* arg) {
  I_ilibError = 0;
  if (ctx == nullptr) {
    Fail(4);
    return;
  }
  ctx->close = proc;
  ctx->closeArg = arg;
}

// ---- Values ----

void I_PutBOOLEAN(I_Context ctx, std::int32_t id, bool value) {
  Ibase_AObj* a = Lookup(ctx, id, I_BOOLEAN);
  if (a == nullptr || a->b == value) return;
  a->b = value;
  Show(*a);
  ApplyWhen(ctx);
}

void I_PutINTEGER(I_Context ctx, std::int32_t id, std::int32_t value) {
  Ibase_AObj* a = Lookup(ctx, id, I_INTEGER);
  if (a == nullptr || a->i == value) return;
  a->i = value;
  Show(*a);
  ApplyWhen(ctx);
}

void I_PutCARDINAL(I_Context ctx, std::int32_t id, std::uint32_t value) {
  if (Ibase_AObj* a = Lookup(ctx, id, I_CARDINAL)) {
    a->c = value;
    Show(*a);
  }
}

void I_PutREAL(I_Context ctx, std::int32_t id, double value) {
  if (Ibase_AObj* a = Lookup(ctx, id, I_REAL)) {
    a->r = value;
    Show(*a);
  }
}

void I_PutSTRING(I_Context ctx, std::int32_t id, StrIn text) {
  if (Ibase_AObj* a = Lookup(ctx, id, I_STRING)) {
    Strings_Assign(text, a->s);
    Show(*a);
  }
}

void I_PutGeneric(I_Context ctx, std::int32_t id, std::span<const std::uint8_t> bytes) {
  Ibase_AObj* a = Lookup(ctx, id, I_Generic);
  if (a == nullptr) return;
  if (bytes.size() != a->size) {
    Fail(3, std::string("In dialog context: ") + ctx->name + " AObjID: " + std::to_string(id));
    return;
  }
  a->g.assign(bytes.begin(), bytes.end());
  Show(*a);
}

bool I_GetBOOLEAN(I_Context ctx, std::int32_t id) {
  Ibase_AObj* a = Lookup(ctx, id, I_BOOLEAN);
  return a != nullptr && a->b;
}
std::int32_t I_GetINTEGER(I_Context ctx, std::int32_t id) {
  Ibase_AObj* a = Lookup(ctx, id, I_INTEGER);
  return a != nullptr ? a->i : 0;
}
std::uint32_t I_GetCARDINAL(I_Context ctx, std::int32_t id) {
  Ibase_AObj* a = Lookup(ctx, id, I_CARDINAL);
  return a != nullptr ? a->c : 0;
}
double I_GetREAL(I_Context ctx, std::int32_t id) {
  Ibase_AObj* a = Lookup(ctx, id, I_REAL);
  return a != nullptr ? a->r : 0;
}
void I_GetSTRING(I_Context ctx, std::int32_t id, StrOut text) {
  Ibase_AObj* a = Lookup(ctx, id, I_STRING);
  Strings_Assign(a != nullptr ? StrIn(a->s) : StrIn(""), text);
}
void I_GetGeneric(I_Context ctx, std::int32_t id, std::span<std::uint8_t> bytes) {
  Ibase_AObj* a = Lookup(ctx, id, I_Generic);
  if (a != nullptr && bytes.size() != a->size) {
    Fail(3, std::string("In dialog context: ") + ctx->name + " AObjID: " + std::to_string(id));
    a = nullptr;
  }
  if (a == nullptr) {
    std::fill(bytes.begin(), bytes.end(), 0);
    return;
  }
  std::copy(a->g.begin(), a->g.end(), bytes.begin());
}

namespace {
void SetCallback(I_Context ctx, std::int32_t id, I_Type type, void* proc, void* arg) {
  if (Ibase_AObj* a = Lookup(ctx, id, type)) {
    a->proc = proc;
    a->arg = arg;
    a->enabled = true;
  }
}
}  // namespace

void I_SetBOOLEANcallback(I_Context ctx, std::int32_t id, I_BOOLEANProc proc, void* arg) {
  SetCallback(ctx, id, I_BOOLEAN, reinterpret_cast<void*>(proc), arg);
}
void I_SetINTEGERcallback(I_Context ctx, std::int32_t id, I_INTEGERProc proc, void* arg) {
  SetCallback(ctx, id, I_INTEGER, reinterpret_cast<void*>(proc), arg);
}
void I_SetCARDINALcallback(I_Context ctx, std::int32_t id, I_CARDINALProc proc, void* arg) {
  SetCallback(ctx, id, I_CARDINAL, reinterpret_cast<void*>(proc), arg);
}
void I_SetREALcallback(I_Context ctx, std::int32_t id, I_REALProc proc, void* arg) {
  SetCallback(ctx, id, I_REAL, reinterpret_cast<void*>(proc), arg);
}
void I_SetSTRINGcallback(I_Context ctx, std::int32_t id, I_STRINGProc proc, void* arg) {
  SetCallback(ctx, id, I_STRING, reinterpret_cast<void*>(proc), arg);
}
void I_SetGenericCallback(I_Context ctx, std::int32_t id, I_GenericProc proc, void* arg) {
  SetCallback(ctx, id, I_Generic, reinterpret_cast<void*>(proc), arg);
}

// ---- Widgets and state ----

namespace {
void SensitiveAll(I_Context ctx, bool enabled) {
  for (auto& [n, r] : ctx->robjs)
    if (r.kind != Tk_Kind::shell) Tk_Current()->SetSensitive(r.widget, enabled);
  for (I_Context c : ctx->children) SensitiveAll(c, enabled);
}
}  // namespace

void I_SetEnabled(I_Context ctx, std::int32_t id, bool enabled) {
  if (id == 0) {
    I_ilibError = 0;
    if (ctx == nullptr) {
      Fail(4);
      return;
    }
    SensitiveAll(ctx, enabled);
    return;
  }
  if (Ibase_AObj* a = Lookup(ctx, id, -1))
    for (Ibase_RObj* r : a->widgets) Tk_Current()->SetSensitive(r->widget, enabled);
}
void I_Enable(I_Context ctx, std::int32_t id) { I_SetEnabled(ctx, id, true); }
void I_Disable(I_Context ctx, std::int32_t id) { I_SetEnabled(ctx, id, false); }

Tk_Widget I_AccessWidget(I_Context ctx, std::int32_t robjId) {
  I_ilibError = 0;
  if (ctx == nullptr) return nullptr;
  if (robjId == -1) return ctx->shell;
  auto it = ctx->robjs.find(robjId);
  return it == ctx->robjs.end() ? nullptr : it->second.widget;
}

void I_SetReprAttr(I_Context ctx, std::int32_t robjId, int attribute,
                   std::span<const std::uint8_t> bytes) {
  I_ilibError = 0;
  if (ctx == nullptr) {
    Fail(4);
    return;
  }
  auto it = ctx->robjs.find(robjId);
  if (it == ctx->robjs.end()) {
    Fail(5, std::string("In dialog context: ") + ctx->name + " RObjID: " + std::to_string(robjId));
    return;
  }
  if (!Tk_Current()->SetAttr(it->second.widget, attribute, bytes.data(), bytes.size())) Fail(6);
}

bool I_WasDoubleClick() { return Tk_Current() != nullptr && Tk_Current()->WasDoubleClick(); }

// ---- Event loop and tasks ----

void I_LoopIteration() {
  Tk_Backend* tk = Tk_Current();
  if (tk == nullptr) {
    Fail(4);
    leaveMainLoop = true;
    return;
  }
  HandleTerminate();
  tk->SetBusyCursor(false);
  if (!tk->Pending() && (!idleTasks.empty() || !tasks.empty())) {
    const std::int64_t now = Utility_GetCurrentTimeMillis();
    if (!tasks.empty() && tasks.front().due <= now) {
      const Task task = tasks.front();
      tasks.pop_front();
      const Task* outer = runningTask;
      runningTask = &task;
      task.proc(task.arg);
      runningTask = outer;
    } else if (!idleTasks.empty()) {
      const Task t = idleTasks.front();
      idleTasks.pop_front();
      t.proc(t.arg);
    } else {
      tk->Wait(tasks.front().due - now);
    }
  } else {
    Tk_Event ev;
    if (tk->NextEvent(ev)) {
      if (ev.button) {
        tk->SetBusyCursor(true);
        if (buttonHook != nullptr) buttonHook();
      }
      tk->Dispatch(ev);
    }
  }
  HandleTerminate();
  tk->RunDeferred();
}

void I_MainLoop() {
  while (!leaveMainLoop) I_LoopIteration();
}

void I_LeaveMainLoop() { leaveMainLoop = true; }

void I_Dialog(I_Context ctx) {
  I_ilibError = 0;
  if (ctx == nullptr) {
    Fail(4);
    return;
  }
  leaveMainLoop = false;
  ++ctx->nesting;
  parentStack.push_back(ctx);
  while (ctx->active && !ctx->destroyPending && !leaveMainLoop) I_LoopIteration();
  // Only this loop's entry: the same context may run nested loops.
  if (auto it = std::find(parentStack.rbegin(), parentStack.rend(), ctx); it != parentStack.rend())
    parentStack.erase(std::next(it).base());
  --ctx->nesting;
  DestroyIfDue(ctx);
}

std::int32_t I_ScheduleTask(std::uint32_t milliseconds, I_TaskProc proc, void* arg) {
  const std::int32_t number = nextTaskNumber;
  nextTaskNumber = nextTaskNumber == INT32_MAX ? 0 : nextTaskNumber + 1;
  Insert({Utility_GetCurrentTimeMillis() + milliseconds, proc, arg, number});
  return number;
}

std::int32_t I_RescheduleTask(std::uint32_t milliseconds) {
  if (runningTask == nullptr) return I_nilTask;
  Insert({Utility_GetCurrentTimeMillis() + milliseconds, runningTask->proc, runningTask->arg,
          runningTask->number});
  return runningTask->number;
}

void I_CancelScheduledTask(std::int32_t number) {
  std::erase_if(tasks, [number](const Task& t) { return t.number == number; });
}

void I_QueueIdleTask(I_TaskProc proc, void* arg) { idleTasks.push_back({0, proc, arg, 0}); }

void I_SetButtonHook(void (*hook)()) { buttonHook = hook; }
