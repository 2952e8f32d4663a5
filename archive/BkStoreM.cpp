#include "BkStoreM.hpp"

#include "BkArchiv.hpp"
#include "BkDevSel.hpp"
#include "BkJobs.hpp"
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
  BkDevSel_Init();
  BkJobs_Init();
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

bool BkStoreM_LabelMedia(const DevListEntry& device, std::uint8_t mediaFormat, StrIn comment1,
                         StrIn comment2, Header*& hdr) {
  hdr = nullptr;
  const BkArchiv_DevInfo info = BkJobs_DevInfo(device);
  bool written = false;
  {
    Messages_Ignoring quiet;
    written = BkArchiv_GetEmptyHeader(info, mediaFormat, comment1, comment2, hdr) &&
              hdr != nullptr && (BkArchiv_SetDevInfo(hdr, info), BkJobs_WriteLabel(device, hdr));
  }
  if (written) return true;
  BkArchiv_DestroyHeaderAndArchives(hdr);
  hdr = nullptr;
  BkStore_Fail(7);
  return false;
}
