#include "Ibase.hpp"

#include "UCommon.hpp"

void Ibase_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Ibase");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  IdlgCat_Init();
  Tk_Init();
}

std::vector<I_Context>& Ibase_Contexts() {
  // Never destroyed: contexts may live until the process ends.
  static auto* all = new std::vector<I_Context>;
  return *all;
}

I_Context Ibase_FindActive(StrIn name) {
  const auto& all = Ibase_Contexts();
  for (auto it = all.rbegin(); it != all.rend(); ++it)
    if ((*it)->active && !(*it)->destroyPending && name.view() == (*it)->name) return *it;
  return nullptr;
}

Ibase_AObj* Ibase_AObjOf(I_Context ctx, std::int32_t id) {
  if (ctx == nullptr) return nullptr;
  auto it = ctx->aobjs.find(id);
  return it == ctx->aobjs.end() ? nullptr : &it->second;
}
