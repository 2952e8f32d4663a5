// bkdevices: the device catalogue as the toolkit sees it.
//
//   bkdevices [--no-check]
//
// One line per catalogue device: class, base type, subtype, capacities (native and
// maximum, bytes), header and data block sizes, host, whether it is in use at the
// resource manager and whether it is ready ("read", "write" or "no"; "-" with
// --no-check). Exit status 0; 1 when the catalogue cannot be read; 2 on a usage error.
#include <cstdio>
#include <string>
#include <vector>

#include "BkDevSel.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "SDevAllo.hpp"
#include "UArgs.hpp"
#include "UCommon.hpp"

namespace {

const char* kUsage =
    "usage: bkdevices [--no-check]\n"
    "Lists the devices of the catalogue devices.Velmar (found along ZOLTENV): class, base\n"
    "type, subtype, native and maximum capacity in bytes, header and data block sizes,\n"
    "host, in use at the resource manager, and ready (read, write, no; - with --no-check).\n";

[[noreturn]] void Exit(int status) {
  std::fflush(stdout);
  Processe_SetExitStatus(status);
  Processe_Exit();
}

const char* SubtypeText(const DevListEntry& e) {
  switch (e.baseType) {
    case BkDevSel_tape:
      return BkDevSel_TpSubTypeToString(e.subtype);
    case BkDevSel_disk:
      return BkDevSel_DskSubTypeToString(e.subtype);
    case BkDevSel_filesys:
      return BkDevSel_FsSubTypeToString(e.subtype);
    default:
      return "-";
  }
}

std::string Readiness(DevListEntry& e) {
  if (e.baseType != BkDevSel_tape && e.baseType != BkDevSel_disk &&
      e.baseType != BkDevSel_filesys) {
    return "-";
  }
  bool ready = false, writable = false;
  BkDevSel_CheckDevReady(e, false, ready, writable);
  BkDevSel_Unmount(e);
  if (!ready) return "no";
  if (e.baseType == BkDevSel_filesys) {
    BkDevSel_CheckDevReady(e, true, ready, writable);
    BkDevSel_Unmount(e);
  }
  return writable ? "write" : "read";
}

}  // namespace

int main(int argc, char** argv, char** envp) {
  M2C_INIT(argc, argv, envp);
  Processe_Init();
  Messages_Init();
  BkDevSel_Init();
  std::vector<std::string> args(argv + 1, argv + argc);
  bool check = true;
  for (const auto& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      Exit(0);
    } else if (a == "--no-check") {
      check = false;
    } else {
      std::fprintf(stderr, "bkdevices: unknown argument %s\n", a.c_str());
      std::fputs(kUsage, stderr);
      Exit(2);
    }
  }
  // Open for the rest of the run: every way out ends the process.
  const Messages_Ignoring quiet;
  BkDevSel_DevList list = nullptr;
  BkDevSel_SetupFullDevList(list, ~0u);
  if (SDevAllo_error != 0) {
    Messages_ShowError(2);
    if (SDevAllo_error == 3)
      std::fprintf(stderr, "bkdevices: %s holds no device\n", SDevAllo_CataloguePath().c_str());
    Exit(1);
  }
  Messages_ForgetErrorReasons();
  std::printf("%-12s %-8s %-9s %14s %14s %8s %8s %-16s %-6s %-6s %s\n", "CLASS", "BASE", "SUBTYPE",
              "NATIVE", "MAXIMUM", "BLKHDR", "BLKDATA", "HOST", "INUSE", "READY", "DESCRIPTION");
  for (DevListEntry* e = BkDevSel_FirstDev(list); e != nullptr; e = BkDevSel_NextDev(e)) {
    double min = 0, max = 0;
    BkDevSel_DevDescToCapacity(*e, min, max);
    const std::string ready = check ? Readiness(*e) : "-";
    std::printf("%-12s %-8s %-9s %14.0f %14.0f %8u %8u %-16s %-6s %-6s %s\n",
                SDevAllo_ClassName(e->record.devClass), BkDevSel_BaseDevTypeToString(e->baseType),
                SubtypeText(*e), min, max, e->blkHeader, e->blkData, e->record.host,
                e->record.inUse ? "yes" : "no", ready.c_str(), e->label);
  }
  BkDevSel_DestroyDevList(list, false);
  Exit(0);
}
