#include "Processe.hpp"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "UCommon.hpp"

namespace {
std::vector<Processe_TerminationProcedure>& Procedures() {
  static std::vector<Processe_TerminationProcedure> procs;
  return procs;
}
int exitStatus = 0;
}  // namespace

void Processe_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Processe");
  if (!init) return;
  UCommon_Init();
}

void Processe_InstallTerminationProcedure(Processe_TerminationProcedure proc) {
  Procedures().push_back(proc);
}

void Processe_SetExitStatus(int status) { exitStatus = status; }

int Processe_ExitStatus() { return exitStatus; }

void Processe_Exit() {
  // A procedure may itself end in Processe_Exit; each runs at most once.
  auto& procs = Procedures();
  while (!procs.empty()) {
    const auto proc = procs.back();
    procs.pop_back();
    proc();
  }
  std::fflush(nullptr);
  std::exit(exitStatus);
}
