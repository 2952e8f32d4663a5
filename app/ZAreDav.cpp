// The program's entry: starts every module once and in order, reads the mode argument
// and runs backup ("backup", exactly) or restore (anything else).
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "BFileIO.hpp"
#include "DirAcces.hpp"
#include "FileIO.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "StringOp.hpp"
#include "Strings.hpp"
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
  Messages_UseMsgCat("ZAREDAVmsg");
  if (Strings_CompareStr(ZAreDav_tmpStr, "backup") == 0) {
    Vuvedur_Backup();
  } else {
    Vuvedur_Restore();
  }
  Processe_Exit();
}
