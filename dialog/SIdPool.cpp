#include "SIdPool.hpp"

#include <string>
#include <unordered_set>

#include "UCommon.hpp"

namespace {
// Nodes of an unordered_set never move, so the texts keep their addresses.
std::unordered_set<std::string>& Pool() {
  static std::unordered_set<std::string> pool;
  return pool;
}
}  // namespace

void SIdPool_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SIdPool");
  if (!init) return;
  UCommon_Init();
}

const char* SIdPool_Put(std::string_view text) { return Pool().emplace(text).first->c_str(); }

std::size_t SIdPool_Count() { return Pool().size(); }
