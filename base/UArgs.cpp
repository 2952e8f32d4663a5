#include "UArgs.hpp"

#include <algorithm>
#include <cstring>

#include "UCommon.hpp"

namespace {
int argCount = 0;
char** argValues = nullptr;
}  // namespace

void M2C_INIT(int argc, char** argv, char** /*envp*/) {
  argCount = argc;
  argValues = argv;
}

void UArgs_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "UArgs");
  if (!init) return;
  UCommon_Init();
}

std::size_t UArgs_NumParams() { return argCount > 0 ? static_cast<std::size_t>(argCount - 1) : 0; }

bool UArgs_GetParam(std::size_t n, char* param, std::size_t high) {
  const bool present = argValues != nullptr && n < static_cast<std::size_t>(argCount);
  const char* value = present ? argValues[n] : "";
  const std::size_t len = std::min(std::strlen(value), high);
  std::memcpy(param, value, len);
  param[len] = '\0';
  return present;
}

const char* UArgs_ProgramName() {
  if (argValues == nullptr || argCount < 1 || argValues[0] == nullptr) return "???";
  const char* slash = std::strrchr(argValues[0], '/');
  return slash ? slash + 1 : argValues[0];
}
