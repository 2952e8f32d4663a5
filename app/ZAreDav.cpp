// The program's entry: starts every module once and in order, reads the mode argument
// and runs backup ("backup", exactly) or restore (anything else).
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "BFileIO.hpp"
#include "DirAcces.hpp"
#include "FileIO.hpp"
#include "I.hpp"
#include "IScript.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "SPrintf.hpp"
#include "StringOp.hpp"
#include "Strings.hpp"
#include "TkVirtual.hpp"
#if ZAREDAV_HAVE_X11
#include "TkX11.hpp"
#endif
#include "UArgs.hpp"
#include "UCommon.hpp"
#include "Utility.hpp"
#include "Vuvedur.hpp"

char ZAreDav_tmpStr[128];

namespace {

// With ZAREDAV_TRACE_INIT set, the order in which the modules finished starting goes
// to standard error, one name a line: a check of start-up for operators and tests.
void TraceInitOrder() {
  const char* trace = std::getenv("ZAREDAV_TRACE_INIT");
  if (trace == nullptr || *trace == '\0') return;
  std::string text = "init:";
  for (const auto& name : UCommon_InitOrder()) text += " " + name;
  text += "\n";
  ssize_t ignored = ::write(2, text.data(), text.size());
  (void)ignored;
}

// A message of the program's own section on standard error, "%s" filled with arg.
void Say(int fd, std::uint32_t number, const std::string& arg) {
  char text[512];
  Messages_GetMsg("ZAreDav", number, text);
  SPrintf_String(text, arg);
  const std::string line = StrIn(text).str() + "\n";
  ssize_t ignored = ::write(fd, line.data(), line.size());
  (void)ignored;
}

// The display the dialogs appear on: the virtual one with ZAREDAV_DISPLAY=virtual, else
// the X display of $DISPLAY. Without one the mode cannot start.
bool OpenDisplay() {
  const char* choice = std::getenv("ZAREDAV_DISPLAY");
  if (choice != nullptr && std::string_view(choice) == "virtual") {
    return TkVirtual_Open(false) != nullptr;
  }
#if ZAREDAV_HAVE_X11
  const char* display = std::getenv("DISPLAY");
  if (display != nullptr && *display != '\0') return TkX11_Open(nullptr) != nullptr;
#endif
  return false;
}

// With ZAREDAV_SCRIPT set, the scripted driver acts on the dialogs instead of a person.
const char* ScriptPath() {
  const char* path = std::getenv("ZAREDAV_SCRIPT");
  return path != nullptr && *path != '\0' ? path : nullptr;
}

// However the program ends, a script with steps left over means the run did not go as
// the script expected; a failed step has said so already.
void CheckScriptDone() {
  const char* script = ScriptPath();
  if (script == nullptr || IScript_Finished() || Processe_ExitStatus() != 0) return;
  Say(2, 3, script);
  Processe_SetExitStatus(1);
}

}  // namespace

int main(int argc, char** argv, char** envp) {
  M2C_INIT(argc, argv, envp);
  UCommon_Init();
  UArgs_Init();
  Strings_Init();
  Processe_Init();
  StringOp_Init();
  Messages_Init();
  FileIO_Init();
  BFileIO_Init();
  Utility_Init();
  DirAcces_Init();
  Vuvedur_Init();
  TraceInitOrder();

  UArgs_GetParam(1, ZAreDav_tmpStr);
  I_UseContextCat("ZAREDAVdlg");
  Messages_UseMsgCat("ZAREDAVmsg");
  // The one argument that opens no dialog: an operator asking what the program does.
  if (Strings_CompareStr(ZAreDav_tmpStr, "--help") == 0 ||
      Strings_CompareStr(ZAreDav_tmpStr, "-h") == 0) {
    Say(1, 4, "");
    Processe_Exit();
  }
  const bool backup = Strings_CompareStr(ZAreDav_tmpStr, "backup") == 0;
  if (!OpenDisplay()) {
    Say(2, backup ? 1 : 2, "");
    Processe_SetExitStatus(1);
    Processe_Exit();
  }
  const char* script = ScriptPath();
  if (script != nullptr) {
    if (!IScript_Start(StrIn::FromC(script))) {
      Processe_SetExitStatus(1);
      Processe_Exit();
    }
    Processe_InstallTerminationProcedure(CheckScriptDone);
  }
  if (backup) {
    Vuvedur_Backup();
  } else {
    Vuvedur_Restore();
  }
  Processe_Exit();
}
