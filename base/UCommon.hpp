// Things every module of the suite shares: the guarded module initialisation and HALT.
//
// Module convention. Every module X has exactly one initialisation operation X_Init.
// It runs its body once: the first call enters, every later call (also a recursive
// one through a cycle of imports) returns at once. Before its own work it initialises
// the modules it imports, in import order:
//
//   void DynStr_Init() {
//     static bool started = false;
//     zolt::ModuleInit init(started, "DynStr");
//     if (!init) return;
//     Strings_Init();   // imports, in import order
//     Messages_Init();
//     ... the module's own state ...
//   }
//
// A module counts as initialised when its X_Init returns; the order in which modules
// finish is kept so that start-up can be checked (UCommon_InitOrder).
#pragma once

#include <string>
#include <vector>

namespace zolt {

class ModuleInit {
 public:
  ModuleInit(bool& started, const char* name);
  ~ModuleInit();
  ModuleInit(const ModuleInit&) = delete;
  ModuleInit& operator=(const ModuleInit&) = delete;

  // True for the one call that runs the module's initialisation.
  explicit operator bool() const { return first_; }

 private:
  const char* name_;
  bool first_;
};

}  // namespace zolt

void UCommon_Init();

// Names of the modules in the order their initialisation finished.
const std::vector<std::string>& UCommon_InitOrder();

// A programming error: writes "\n *** HALT called ***\n" to standard output and ends
// the process with exit status 1.
[[noreturn]] void HALT();
