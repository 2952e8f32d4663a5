#include "UCommon.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {
std::vector<std::string>& InitOrder() {
  static std::vector<std::string> order;
  return order;
}
}  // namespace

namespace zolt {

ModuleInit::ModuleInit(bool& started, const char* name) : name_(name), first_(!started) {
  started = true;
}

ModuleInit::~ModuleInit() {
  if (first_) InitOrder().emplace_back(name_);
}

}  // namespace zolt

void UCommon_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "UCommon");
}

const std::vector<std::string>& UCommon_InitOrder() { return InitOrder(); }

void HALT() {
  std::fflush(stdout);
  static const char text[] = "\n *** HALT called ***\n";
  ssize_t ignored = ::write(1, text, sizeof text - 1);
  (void)ignored;
  std::_Exit(1);
}
