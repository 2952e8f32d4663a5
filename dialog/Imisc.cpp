#include "Imisc.hpp"

#include <cstdio>

#include "I.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "Tk.hpp"
#include "UCommon.hpp"

namespace {

constexpr std::int32_t kText = 1;
constexpr std::int32_t kButtons = 2;
constexpr std::int32_t kTextField = 2;
constexpr unsigned kTickMs = 500;

std::string Join(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& l : lines) all += (all.empty() ? "" : "\n") + l;
  return all;
}

void ButtonPressed(I_Context ctx, std::int32_t, std::int32_t, void*) { I_Deactivate(ctx); }

// Creates the box, fills and sizes its text; nil (nothing reported) when it cannot.
I_Context MakeBox(StrIn contextName, std::string_view text) {
  if (!Tk_DisplayOpen()) return nullptr;
  Messages_Ignoring quiet;
  I_Context ctx = I_Create(contextName, false);
  quiet.Close();
  if (ctx == nullptr) return nullptr;
  const std::vector<std::string> lines = Imisc_BreakLines(text);
  std::int32_t columns = 1;
  for (const auto& l : lines) columns = std::max(columns, static_cast<std::int32_t>(l.size()));
  const std::int32_t rows = std::max<std::int32_t>(1, static_cast<std::int32_t>(lines.size()));
  I_SetReprAttr(ctx, kTextField, Tk_attrColumns,
                std::span(reinterpret_cast<const std::uint8_t*>(&columns), sizeof columns));
  I_SetReprAttr(ctx, kTextField, Tk_attrRows,
                std::span(reinterpret_cast<const std::uint8_t*>(&rows), sizeof rows));
  I_PutSTRING(ctx, kText, Join(lines));
  I_PutINTEGER(ctx, kButtons, 0);
  return ctx;
}

// Runs a box modally; the value of the button pressed (0: none).
std::int32_t RunBox(StrIn contextName, std::string_view text) {
  I_Context ctx = MakeBox(contextName, text);
  if (ctx == nullptr) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    return 0;
  }
  I_SetINTEGERcallback(ctx, kButtons, ButtonPressed, nullptr);
  I_Activate(ctx);
  I_Dialog(ctx);
  const std::int32_t value = I_GetINTEGER(ctx, kButtons);
  I_Destroy(ctx);
  return value;
}

struct Notice {
  I_Context ctx;
  unsigned ticks;
};

void NoticeTick(void* arg) {
  auto* n = static_cast<Notice*>(arg);
  if (I_Active(n->ctx) && --n->ticks > 0) {
    I_RescheduleTask(kTickMs);
    return;
  }
  I_Destroy(n->ctx);
  delete n;
}

void NoticeButton(I_Context ctx, std::int32_t, std::int32_t, void* arg) {
  I_Deactivate(ctx);
  if (arg == nullptr) I_Destroy(ctx);  // without a countdown nobody else will
}

// Closed by the window manager: the countdown, if any, destroys the box at its next tick.
void NoticeClosed(I_Context ctx, bool, void* arg) {
  if (arg == nullptr) I_Destroy(ctx);
}

}  // namespace

void Imisc_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Imisc");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  Processe_Init();
  I_Init();
  Tk_Init();
}

std::vector<std::string> Imisc_BreakLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size() && lines.size() < Imisc_maxLines) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view para = text.substr(start, end - start);
    do {
      if (para.size() <= Imisc_columns) {
        lines.emplace_back(para);
        para = {};
      } else {
        std::size_t cut = para.rfind(' ', Imisc_columns);
        const bool atBlank = cut != std::string_view::npos && cut > 0;
        if (!atBlank) cut = Imisc_columns;
        lines.emplace_back(para.substr(0, cut));
        para.remove_prefix(atBlank ? cut + 1 : cut);
      }
    } while (!para.empty() && lines.size() < Imisc_maxLines);
    start = end + 1;
  }
  return lines;
}

std::string Imisc_Terminate(std::string_view text, char mark) {
  std::string t(text);
  if (t.empty() || std::string_view(" ?.!").find(t.back()) == std::string_view::npos) t += mark;
  return t;
}

void Imisc_StrErrMsg(StrIn text) { RunBox("Imisc_errmsg", Imisc_Terminate(text.view(), '!')); }

bool Imisc_StrYes(StrIn text) {
  return RunBox("Imisc_yes", Imisc_Terminate(text.view(), '?')) == 1;
}

bool Imisc_StrYesDestroys(StrIn text) {
  return RunBox("Imisc_yesDestroys", Imisc_Terminate(text.view(), '?')) == 1;
}

int Imisc_StrGenericConfirm(StrIn text, StrIn contextName) {
  const std::int32_t v = RunBox(contextName, text.view());
  return v >= 1 && v <= 8 ? v - 1 : -1;
}

void Imisc_ErrMsg(StrIn section, std::uint32_t number) {
  char text[5120];
  Messages_GetMsg(section, number, text);
  Imisc_StrErrMsg(text);
}

bool Imisc_Yes(StrIn section, std::uint32_t number) {
  char text[5120];
  Messages_GetMsg(section, number, text);
  return Imisc_StrYes(text);
}

bool Imisc_YesDestroys(StrIn section, std::uint32_t number) {
  char text[5120];
  Messages_GetMsg(section, number, text);
  return Imisc_StrYesDestroys(text);
}

void Imisc_StrNotify(StrIn text, unsigned seconds) {
  const std::string t = Imisc_Terminate(text.view(), '!');
  const std::string_view box =
      seconds == 1 || seconds == 2 ? "Imisc_timedNotify" : "Imisc_timedNotifyOK";
  I_Context ctx = MakeBox(box, t);
  if (ctx == nullptr) {
    std::fprintf(stderr, "%s\n", t.c_str());
    return;
  }
  Notice* n = seconds > 0 ? new Notice{ctx, 2 * seconds} : nullptr;
  I_SetINTEGERcallback(ctx, kButtons, NoticeButton, n);
  I_SetCloseCallback(ctx, NoticeClosed, n);
  I_Activate(ctx);
  if (n != nullptr) I_ScheduleTask(kTickMs, NoticeTick, n);
}

void Imisc_Notify(StrIn section, std::uint32_t number, unsigned seconds) {
  char text[5120];
  Messages_GetMsg(section, number, text);
  Imisc_StrNotify(text, seconds);
}

void Imisc_ErrorExplain() {
  std::vector<std::string> reasons;
  char reason[5120];
  while (Messages_ErrorReason(reason)) reasons.push_back(StrIn(reason).str());
  if (reasons.empty()) return;
  if (!Tk_DisplayOpen()) {
    for (const auto& r : reasons) std::fprintf(stderr, "%s\n", r.c_str());
    Processe_SetExitStatus(1);
    return;
  }
  RunBox("Imisc_ErrExpl", Join(reasons));
}

I_Context Imisc_ContextOnce(I_Context& ctx, StrIn name) {
  if (ctx != nullptr) return ctx;
  Messages_Ignoring quiet;
  ctx = I_Create(name, false);
  Messages_ForgetErrorReasons();
  return ctx;
}

void Imisc_RunModal(I_Context ctx) {
  I_Activate(ctx);
  I_Dialog(ctx);
}
