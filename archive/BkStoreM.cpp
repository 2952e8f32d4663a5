#include "BkStoreM.hpp"

#include "BkArchiv.hpp"
#include "BkJuke.hpp"
#include "BkStore.hpp"
#include "Messages.hpp"
#include "UCommon.hpp"

void BkStoreM_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkStoreM");
  if (!init) return;
  UCommon_Init();
  BkArchiv_Init();
  BkJuke_Init();
  BkStore_Init();
  Messages_Init();
  Strings_Init();
}

bool BkStoreM_UpdateMediaInfo(StrIn label, Header* hdr) {
  if (!BkStore_UpdateMediaInfo(label, hdr)) return false;
  char description[4096];
  BkArchiv_GetMediaDescription(hdr, description);
  BkJuke_Location location;
  const std::string text = label.str();
  // A medium in no jukebox is the common case, not a failure.
  Messages_Ignoring quiet;
  const bool inJuke = BkJuke_MediaInJuke(text.c_str(), location);
  Messages_ForgetErrorReasons();
  quiet.Close();
  return !inJuke || BkJuke_UpdateMediaInfo(location, text.c_str(), description);
}
