#include "BkJukeI.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BkJuke.hpp"
#include "BkMisc.hpp"
#include "I.hpp"
#include "Imisc.hpp"
#include "Jk.hpp"
#include "Messages.hpp"
#include "SJobQues.hpp"
#include "SPrintf.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

int BkJukeI_error = 0;

namespace {

int Fail(int n, const std::string& info) {
  BkJukeI_error = n;
  Messages_SupplyAdditionalInfo(info);
  Messages_Error("BkJukeI", static_cast<std::uint32_t>(n));
  return n;
}

// A new file below $TMP ("/tmp" when empty) holding the selection; empty on failure.
std::string WriteSelection(const BkJuke_Selection& selection) {
  const char* tmp = std::getenv("TMP");
  std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/jukesel.XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return "";
  const std::string text = BkJuke_EncodeSelection(selection) + "\n";
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  // The job may run under another user: it must read and remove the file.
  ok = ::fchmod(fd, 0666) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    ::unlink(path.c_str());
    return "";
  }
  return path;
}

int Start(StrIn juke, BkJukeI_Speed speed, BkJukeI_Scope scope, const BkJuke_Selection& selection) {
  SJobQues_Job* job = BkJukeI_MkJob(juke, speed, scope, selection);
  if (job == nullptr) return BkJukeI_error;
  {
    Messages_Ignoring quiet;
    SJobQues_Submit(BkMisc_localHost, job);
  }
  const int error = SJobQues_error;
  if (error != 0) {
    // The job never runs: its file goes now.
    const std::string args = job->arguments;
    ::unlink(args.substr(args.rfind(' ') + 1).c_str());
  }
  SJobQues_DestroyJob(job);
  if (error != 0) return Fail(3, "::BkJukeI.Submit: error " + std::to_string(error));
  BkJukeI_error = 0;
  return 0;
}

}  // namespace

void BkJukeI_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkJukeI");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  BkMisc_Init();
  BkJuke_Init();
  SJobQues_Init();
  I_Init();
  Imisc_Init();
  Jk_Init();
  SPrintf_Init();
}

const char* BkJukeI_SpeedWord(BkJukeI_Speed speed) {
  return speed == BkJukeI_Speed::Fast ? "fast" : "slow";
}

const char* BkJukeI_ScopeWord(BkJukeI_Scope scope) {
  switch (scope) {
    case BkJukeI_Scope::AllUnknown:
      return "allUnknown";
    case BkJukeI_Scope::AllSelected:
      return "allSelected";
    case BkJukeI_Scope::All:
      break;
  }
  return "all";
}

SJobQues_Job* BkJukeI_MkJob(StrIn juke, BkJukeI_Speed speed, BkJukeI_Scope scope,
                            const BkJuke_Selection& selection) {
  BkJukeI_error = 0;
  const std::string name = juke.str();
  // The name is one word of a shell line.
  if (name.empty() || name.find_first_of(" \t\n;&|<>()$`'\"\\*?[]#~") != std::string::npos) {
    Fail(2, "::BkJukeI.MkJob: bad jukebox name '" + name + "'");
    return nullptr;
  }
  const std::string file = WriteSelection(selection);
  if (file.empty()) {
    Fail(1, "::BkJukeI.MkJob: cannot write the selection file");
    return nullptr;
  }
  char env[5120];
  BkMisc_GetInheritEnvStr(env);
  const std::string command = std::string(env) + "; " + BkJukeI_program;
  char args[5121];
  const int n =
      std::snprintf(args, sizeof args, " -C %s %s %s %s; rm -f %s", name.c_str(),
                    BkJukeI_SpeedWord(speed), BkJukeI_ScopeWord(scope), file.c_str(), file.c_str());
  SJobQues_Job* job = nullptr;
  if (command.size() < sizeof job->command && n > 0 && static_cast<std::size_t>(n) < sizeof args) {
    job = SJobQues_CreateJob();
  }
  if (job == nullptr) {
    ::unlink(file.c_str());
    Fail(2, "::BkJukeI.MkJob: the command line does not fit into a job");
    return nullptr;
  }
  Strings_Assign(command, job->command);
  Strings_Assign(args, job->arguments);
  const char* tmp = std::getenv("TMP");
  Strings_Assign(std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp"), job->workDir);
  job->flag1 = false;
  job->cpuUsage = 0;
  SJobQues_SetReadableCommand(
      job, std::string(speed == BkJukeI_Speed::Fast ? "Inventory " : "Verification ") + name);
  return job;
}

int BkJukeI_StartInventory(StrIn juke, BkJukeI_Scope scope, const BkJuke_Selection& selection) {
  return Start(juke, BkJukeI_Speed::Fast, scope, selection);
}

int BkJukeI_StartVerification(StrIn juke, BkJukeI_Scope scope, const BkJuke_Selection& selection) {
  return Start(juke, BkJukeI_Speed::Slow, scope, selection);
}

namespace {

constexpr std::int32_t kButtons = 1, kJukes = 2, kScope = 4, kElements = 5, kStatus = 6,
                       kScopeShown = 7;
enum : std::int32_t { kClose = 1, kInventory = 2, kVerify = 3 };

// One line of the element list and the element it stands for.
struct ElementLine {
  enum Kind { slot, port, drive } kind;
  int index;
};

struct ManageDialog {
  I_Context ctx = nullptr;
  std::vector<JkJukeInfo> jukes;
  std::vector<I_ListRec> jukeLines, elementLines;
  std::vector<ElementLine> elements;
  std::string chosen;  // the jukebox whose elements are shown
};
ManageDialog mng;

std::string Text(std::uint32_t number, const std::string& arg = "") {
  char text[1024];
  Messages_GetMsg("BkJukeI", number, text);
  if (!arg.empty()) SPrintf_String(text, arg);
  return text;
}

void PutLines(std::int32_t id, std::vector<I_ListRec>& lines) {
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) lines[i].next = &lines[i + 1];
  if (!lines.empty()) lines.back().next = nullptr;
  I_PutList(mng.ctx, id, lines.empty() ? nullptr : lines.data());
}

I_ListRec Line(const std::string& text) {
  I_ListRec r{};
  Strings_Assign(text, r.text);
  return r;
}

void AddElements(const std::vector<JkElement>& list, ElementLine::Kind kind, std::uint32_t word) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    const JkElement& e = list[i];
    std::string text = Text(word, std::to_string(i + 1)) + "  ";
    text += !e.full ? Text(14) : !e.label.empty() ? e.label : Text(15);
    if (!e.description.empty()) text += "  " + e.description;
    if (!e.ok) text += "  " + Text(16);
    mng.elementLines.push_back(Line(text));
    mng.elements.push_back({kind, static_cast<int>(i)});
  }
}

void ShowElements(const std::string& juke) {
  mng.chosen = juke;
  mng.elementLines.clear();
  mng.elements.clear();
  JkJukeDesc desc;
  bool loaded;
  {
    Messages_Ignoring quiet;
    loaded = !juke.empty() && JkLoadState(juke.c_str(), desc);
    Messages_ForgetErrorReasons();
  }
  if (loaded) {
    AddElements(desc.slots, ElementLine::slot, 11);
    AddElements(desc.ports, ElementLine::port, 12);
    AddElements(desc.drives, ElementLine::drive, 13);
    JkFreeJukeDesc(desc);
  }
  PutLines(kElements, mng.elementLines);
  I_PutSTRING(mng.ctx, kStatus, juke.empty() || loaded ? "" : Text(7, juke));
}

void JukeChosen(I_Context, std::int32_t, std::span<const std::uint8_t>, void*) {
  std::string juke;
  for (std::size_t i = 0; i < mng.jukeLines.size() && i < mng.jukes.size(); ++i)
    if (mng.jukeLines[i].selected != 0) juke = mng.jukes[i].name;
  if (juke != mng.chosen) ShowElements(juke);
}

void ShowScope(std::int32_t scope) { I_PutSTRING(mng.ctx, kScopeShown, Text(8 + scope)); }

void ScopeChosen(I_Context, std::int32_t, std::int32_t value, void*) { ShowScope(value); }

BkJuke_Selection Selection() {
  BkJuke_Selection s;
  for (std::size_t i = 0; i < mng.elementLines.size(); ++i) {
    if (mng.elementLines[i].selected == 0) continue;
    const ElementLine& e = mng.elements[i];
    (e.kind == ElementLine::slot   ? s.slots
     : e.kind == ElementLine::port ? s.ports
                                   : s.drives)
        .push_back(e.index);
  }
  return s;
}

void Button(I_Context ctx, std::int32_t, std::int32_t value, void*) {
  if (value == kClose) {
    I_Deactivate(ctx);
    return;
  }
  if (mng.chosen.empty()) {
    Imisc_StrErrMsg(Text(6));
    return;
  }
  const std::int32_t scopeValue = I_GetINTEGER(ctx, kScope);
  const BkJukeI_Scope scope = scopeValue == 0   ? BkJukeI_Scope::AllUnknown
                              : scopeValue == 1 ? BkJukeI_Scope::AllSelected
                                                : BkJukeI_Scope::All;
  const BkJuke_Selection selection = Selection();
  int error;
  {
    Messages_Ignoring quiet;
    error = value == kInventory ? BkJukeI_StartInventory(mng.chosen, scope, selection)
                                : BkJukeI_StartVerification(mng.chosen, scope, selection);
  }
  if (error != 0) {
    Imisc_ErrorExplain();
    Messages_ForgetErrorReasons();
    return;
  }
  I_PutSTRING(ctx, kStatus, Text(value == kInventory ? 4 : 5, mng.chosen));
}

}  // namespace

void BkJukeI_Manage() {
  if (mng.ctx == nullptr) {
    Messages_Ignoring quiet;
    mng.ctx = I_Create("BkJukeI_Manage", false);
    Messages_ForgetErrorReasons();
  }
  if (mng.ctx == nullptr) return;
  I_SetINTEGERcallback(mng.ctx, kButtons, Button, nullptr);
  I_SetINTEGERcallback(mng.ctx, kScope, ScopeChosen, nullptr);
  I_SetGenericCallback(mng.ctx, kJukes, JukeChosen, nullptr);
  mng.jukes.clear();
  {
    Messages_Ignoring quiet;
    BkJuke_GetJukeInfo(mng.jukes);
    Messages_ForgetErrorReasons();
  }
  mng.jukeLines.clear();
  for (const JkJukeInfo& j : mng.jukes)
    mng.jukeLines.push_back(Line(j.comment.empty() ? j.name : j.name + "  " + j.comment));
  PutLines(kJukes, mng.jukeLines);
  mng.chosen = "-";
  ShowElements("");
  I_PutINTEGER(mng.ctx, kScope, 0);
  ShowScope(0);
  I_PutINTEGER(mng.ctx, kButtons, kClose);
  I_Activate(mng.ctx);
  I_Dialog(mng.ctx);
  I_PutList<I_ListRec>(mng.ctx, kJukes, nullptr);
  I_PutList<I_ListRec>(mng.ctx, kElements, nullptr);
  mng.jukeLines.clear();
  mng.elementLines.clear();
}
