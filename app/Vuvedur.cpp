#include "Vuvedur.hpp"

#include <unistd.h>

#include "BConvert.hpp"
#include "BFileIO.hpp"
#include "BStorage.hpp"
#include "BkArchiv.hpp"
#include "BkDevSel.hpp"
#include "BkFLists.hpp"
#include "BkMisc.hpp"
#include "DirAcces.hpp"
#include "FileIO.hpp"
#include "I.hpp"
#include "Imisc.hpp"
#include "Messages.hpp"
#include "OOinfos.hpp"
#include "Odirs.hpp"
#include "Oresourc.hpp"
#include "OutIn.hpp"
#include "Processe.hpp"
#include "SPrintf.hpp"
#include "SRegExpr.hpp"
#include "StrHash.hpp"
#include "StringOp.hpp"
#include "UCommon.hpp"
#include "Utility.hpp"

VuvedurData* Vuvedur_dataRef = nullptr;
char Vuvedur_thisHost[128];
char Vuvedur_formRegExp[128];
char Vuvedur_poolRegExp[128];
char Vuvedur_psRegExp[128];
const Vuvedur_Color Vuvedur_colorBlack = {0, 0, 0};
const Vuvedur_Color Vuvedur_colorBlue = {0, 0, 255};

namespace {

// "^<dir>/..*$": everything below one of the order model's subdirectories.
void MakeSubdirPattern(StrIn subdir, StrOut pattern) {
  Strings_Assign("^%s/..*$", pattern);
  SPrintf_String(pattern, subdir);
}

// Until the mode's dialogs are part of the program, it says so and ends as a handled
// failure.
void ModeNotAvailable(std::uint32_t number) {
  char text[512];
  Messages_GetMsg("ZAreDav", number, text);
  const std::string line = StrIn(text).str() + "\n";
  ssize_t ignored = ::write(2, line.data(), line.size());
  (void)ignored;
  Processe_SetExitStatus(1);
}

}  // namespace

void Vuvedur_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Vuvedur");
  if (!init) return;
  // Imports in the application's order; the dialog framework, device, order-model and
  // archive modules join as they become part of the program.
  BStorage_Init();
  Processe_Init();
  FileIO_Init();
  BFileIO_Init();
  I_Init();
  Imisc_Init();
  Strings_Init();
  StringOp_Init();
  SPrintf_Init();
  StrHash_Init();
  SRegExpr_Init();
  OutIn_Init();
  Messages_Init();
  UCommon_Init();
  Utility_Init();
  DirAcces_Init();
  BConvert_Init();
  BkMisc_Init();
  BkFLists_Init();
  BkDevSel_Init();
  BkArchiv_Init();
  Odirs_Init();
  OOinfos_Init();
  Oresourc_Init();

  Vuvedur_dataRef = nullptr;
  DirAcces_GetMachineName(Vuvedur_thisHost);
  MakeSubdirPattern("form", Vuvedur_formRegExp);
  MakeSubdirPattern("pool", Vuvedur_poolRegExp);
  MakeSubdirPattern("ps", Vuvedur_psRegExp);
}

VuvedurData* Vuvedur_Create() { return new VuvedurData{}; }

void Vuvedur_Free(VuvedurData* context) {
  if (context == nullptr) return;
  Vuvedur_ReleaseOrders(context->orders);
  Vuvedur_DestroyOrderList(context->orders);
  // The device list and the header are not built by this program yet; once they are,
  // this is where they are destroyed and their devices released.
  context->deviceList = nullptr;
  context->device = nullptr;
  context->header = nullptr;
}

void Vuvedur_Backup() {
  if (Vuvedur_dataRef == nullptr) Vuvedur_dataRef = Vuvedur_Create();
  ModeNotAvailable(1);
  Vuvedur_Free(Vuvedur_dataRef);
}

void Vuvedur_Restore() {
  if (Vuvedur_dataRef == nullptr) Vuvedur_dataRef = Vuvedur_Create();
  ModeNotAvailable(2);
  Vuvedur_Free(Vuvedur_dataRef);
}

double Vuvedur_ByteToGB(double bytes) { return bytes * 9.313225746154785e-10; }

double Vuvedur_GBToByte(double gb) { return gb * 1073741824.0; }
