// VUDAVUZ: our inventory program. It walks the chosen slots of a jukebox, loads each
// medium into a drive, reads what the medium says about itself and records that in the
// jukebox's state, then puts the medium back into its slot.
//
//   VUDAVUZ -C <jukebox> fast|slow allUnknown|allSelected|all <selection file>
//
// fast    reads only the first block of each medium: its identification label.
// slow    reads and parses the whole header (on appendable tapes the newest copy), so a
//         medium whose header is damaged is found out; the label is taken from the
//         parsed header, the description tells its name and how many archives it holds.
//
// allUnknown takes the full slots that carry no label yet, all every full slot, and
// allSelected the slots named in the selection file (as the management writes it:
// "slots 0 2 ports drives"). Cleaning media are never loaded. A blank medium gets an empty
// label and the description "blank medium"; an unreadable one keeps its label and is
// reported. The drive used is the first working drive; a medium found in it is put back
// first. The jukebox stays locked for the whole walk, and the state is saved after each
// medium, so an interrupted walk keeps what it has learnt.
//
// One line per medium on standard output ("slot <index>: <label>"). Exit status 0 when
// every medium was read, 1 when one or more were not or the jukebox failed, 2 for a wrong
// command line.
#include <fcntl.h>
#include <sys/mtio.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BFileIO.hpp"
#include "BOutIn.hpp"
#include "BkArchiv.hpp"
#include "BkArchivRead.hpp"
#include "BkArchivText.hpp"
#include "BkDevSel.hpp"
#include "BkJuke.hpp"
#include "DirAcces.hpp"
#include "DynStr.hpp"
#include "Jk.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "ScsiSim.hpp"
#include "TpDrive.hpp"
#include "TpVirt.hpp"
#include "UArgs.hpp"
#include "UCommon.hpp"

extern char** environ;

namespace {

constexpr const char* kUsage =
    "usage: VUDAVUZ -C <jukebox> fast|slow allUnknown|allSelected|all <selection file>\n"
    "  Loads each chosen medium of the jukebox, reads its identification label (fast) or\n"
    "  its whole header (slow) and records the label in the jukebox's state.\n";

[[noreturn]] void Exit(int status) {
  Processe_SetExitStatus(status);
  Processe_Exit();
}

[[noreturn]] void Usage(const std::string& why) {
  std::fprintf(stderr, "VUDAVUZ: %s\n%s", why.c_str(), kUsage);
  Exit(2);
}

// The device entry that reads the medium in a drive, its kind from the drive's type or,
// when the configuration does not tell, from what the device path is.
DevListEntry DriveDevice(const JkElement& drive) {
  DevListEntry e{};
  e.blkHeader = 10240;
  e.isLocal = true;
  Strings_Assign(drive.device, e.record.devName);
  int type = drive.driveType;
  if (type == jkUnknown) {
    struct stat st {};
    const bool isDir = ::stat(drive.device.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (isDir && !TpVirt_IsVirtual(drive.device.c_str())) {
      type = jkFilesys;
    } else {
      type = isDir || S_ISCHR(st.st_mode) ? jkTape : jkDisk;
    }
  }
  if (type == jkFilesys) {
    e.baseType = BkDevSel_filesys;
    e.fs.root = DSCreateStr(drive.device.c_str(), 0);
  } else {
    e.baseType = type == jkTape ? BkDevSel_tape : BkDevSel_disk;
  }
  return e;
}

struct Reading {
  bool ok = false;
  std::string label, description, reason;
};

std::string Reason() { return "reading failed with error " + std::to_string(BkArchiv_bkaError); }

Reading ReadMedium(DevListEntry& device, bool slow) {
  Reading r;
  Messages_Ignoring quiet;
  if (!slow) {
    BkArchiv_HdrHead head;
    bool atEnd = false;
    BkArchiv_CheckForHeader(device, head, atEnd);
    if (BkArchiv_bkaError != 0) {
      r.reason = Reason();
    } else if (atEnd || head.isEmpty) {
      r.ok = true;
      r.description = "blank medium";
    } else {
      r.ok = true;
      r.label = head.label;
      r.description = head.name;
    }
    return r;
  }
  Header* hdr = nullptr;
  bool recovered = false, isEmpty = false;
  BkArchiv_ReadHeader(device, false, hdr, recovered, isEmpty);
  const std::uint8_t readError = BkArchiv_bkaError;
  if (hdr == nullptr) {
    // A medium that holds nothing is blank, not broken.
    BkArchiv_HdrHead head;
    bool atEnd = false;
    BkArchiv_CheckForHeader(device, head, atEnd);
    if (BkArchiv_bkaError == 0 && (atEnd || head.isEmpty)) {
      r.ok = true;
      r.description = "blank medium";
    } else {
      r.reason = "the header cannot be read (error " + std::to_string(readError) + ")";
    }
    return r;
  }
  char label[256];
  BkArchiv_MkLabelFromHdr(hdr, label);
  int archives = 0;
  for (const Archive* a = hdr->archives; a != nullptr; a = a->next) ++archives;
  r.ok = true;
  r.label = label;
  r.description = std::string(hdr->label) + ", " + std::to_string(archives) + " archive" +
                  (archives == 1 ? "" : "s");
  BkArchiv_DestroyHeaderAndArchives(hdr);
  return r;
}

// Slot indexes the walk takes; false when the selection file cannot be read.
bool Chosen(JkJukeDesc& d, const std::string& scope, const std::string& file,
            std::vector<int>& slots) {
  if (scope == "allSelected") {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    BkJuke_Selection selection;
    std::string s = text.str();
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    if (!in || !BkJuke_DecodeSelection(s, selection)) {
      std::fprintf(stderr, "VUDAVUZ: cannot read the selection from '%s'\n", file.c_str());
      return false;
    }
    for (const int i : selection.slots) {
      if (i < 0 || i >= static_cast<int>(d.slots.size())) {
        std::fprintf(stderr, "VUDAVUZ: no slot %d in jukebox '%s'\n", i, d.name.c_str());
      } else {
        slots.push_back(i);
      }
    }
    return true;
  }
  for (const JkElement& s : d.slots) {
    if (scope == "all" || s.label.empty()) slots.push_back(s.index);
  }
  return true;
}

// Reads the medium of one slot; false when it was not read or not put back.
bool Inventory(JkJukeDesc& d, int slotIndex, int driveIndex, bool slow) {
  JkElement& slot = d.slots[static_cast<std::size_t>(slotIndex)];
  if (!slot.full || slot.cleaningMedia) {
    if (slot.full) std::printf("slot %d: cleaning medium, left alone\n", slotIndex);
    return true;
  }
  JkElement& drive = d.drives[static_cast<std::size_t>(driveIndex)];
  if (!JkLoadMedia(d, slot, drive)) {
    std::printf("slot %d: cannot be loaded\n", slotIndex);
    return false;
  }
  DevListEntry device = DriveDevice(drive);
  if (device.baseType == BkDevSel_tape) {
    // Some drives leave a tape the changer brought offline until they are told to load
    // it (a virtual tape unloaded by the script that wrote it, too).
    const int fd = TpDrive_Open(drive.device.c_str(), O_RDONLY, 0);
    if (fd >= 0) {
      TpDrive_OfFd(fd).tapeOp(fd, MTLOAD, 1);
      TpDrive_Close(fd);
    }
  }
  const Reading r = ReadMedium(device, slow);
  if (device.fs.root != dsNil) DSFree(&device.fs.root);
  if (r.ok) {
    JkSetLabel(d, drive, r.label.c_str());
    JkSetDescription(d, drive, r.description.c_str());
    std::printf("slot %d: %s\n", slotIndex, r.label.empty() ? "(blank)" : r.label.c_str());
  } else {
    std::printf("slot %d: unreadable: %s\n", slotIndex, r.reason.c_str());
  }
  std::fflush(stdout);
  // Back where it came from: the slot is still empty, the lock keeps others out.
  if (!JkUnloadMedia(d, drive, slot)) {
    std::fprintf(stderr, "VUDAVUZ: the medium of slot %d stays in drive %d\n", slotIndex,
                 driveIndex);
    return false;
  }
  // Known as of now: not changed since the inventory.
  if (r.ok) slot.changed = false;
  return JkSaveState(d) && r.ok;
}

}  // namespace

int main(int argc, char** argv) {
  M2C_INIT(argc, argv, environ);
  UCommon_Init();
  Processe_Init();
  Messages_Init();
  BFileIO_Init();
  BOutIn_Init();
  DirAcces_Init();
  BkArchivText_Init();
  BkArchivRead_Init();
  BkDevSel_Init();
  BkJuke_Init();
  Jk_Init();
  ScsiSim_Init();
  TpVirt_Init();
  Messages_UseMsgCat("ZAREDAVmsg");

  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 1 && (a[0] == "--help" || a[0] == "-h")) {
    std::fputs(kUsage, stdout);
    Exit(0);
  }
  if (a.size() != 5 || a[0] != "-C") Usage("wrong number of arguments");
  const std::string juke = a[1], speed = a[2], scope = a[3], file = a[4];
  if (speed != "fast" && speed != "slow") Usage("unknown speed '" + speed + "'");
  if (scope != "allUnknown" && scope != "allSelected" && scope != "all") {
    Usage("unknown selection '" + scope + "'");
  }

  JkJukeDesc d;
  if (!JkLoadState(juke.c_str(), d)) {
    std::fprintf(stderr, "VUDAVUZ: cannot read jukebox '%s'\n", juke.c_str());
    Exit(1);
  }
  if (!JkLockJukeBox(d)) {
    std::fprintf(stderr, "VUDAVUZ: jukebox '%s' is in use\n", juke.c_str());
    JkFreeJukeDesc(d);
    Exit(1);
  }
  // The state may have changed while we waited for the lock.
  JkUpdateState(d);
  int driveIndex = -1;
  for (const JkElement& e : d.drives) {
    if (e.ok) {
      driveIndex = e.index;
      break;
    }
  }
  int failures = 0;
  if (driveIndex < 0) {
    std::fprintf(stderr, "VUDAVUZ: jukebox '%s' has no working drive\n", juke.c_str());
    ++failures;
  } else if (d.drives[static_cast<std::size_t>(driveIndex)].full &&
             !JkPutBackMedia(d, d.drives[static_cast<std::size_t>(driveIndex)])) {
    std::fprintf(stderr, "VUDAVUZ: drive %d cannot be emptied\n", driveIndex);
    ++failures;
  } else if (std::vector<int> slots; !Chosen(d, scope, file, slots)) {
    ++failures;
  } else {
    for (const int slot : slots) {
      if (!Inventory(d, slot, driveIndex, speed == "slow")) ++failures;
    }
  }
  if (failures == 0 && !JkSaveState(d)) ++failures;
  JkUnlockJukeBox(d);
  JkFreeJukeDesc(d);
  std::printf("%d failure%s\n", failures, failures == 1 ? "" : "s");
  Exit(failures == 0 ? 0 : 1);
}
