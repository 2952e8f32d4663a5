#include "BStorage.hpp"

#include <cstdlib>

#include "Messages.hpp"
#include "UCommon.hpp"

void BStorage_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BStorage");
  if (!init) return;
  UCommon_Init();
  Messages_Init();
}

void BStorage_ALLOCATE(void*& p, std::size_t size) {
  p = nullptr;
  if (size == 0) {
    Messages_Error("BStorage", 1);
    return;
  }
  p = std::malloc(size);
  if (p == nullptr) Messages_Error("BStorage", 0);
}

void BStorage_DEALLOCATE(void*& p, std::size_t /*size*/) {
  std::free(p);
  p = nullptr;
}
