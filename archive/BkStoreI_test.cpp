// The media store's dialogs, driven by the scripted driver on the virtual display against
// known media in the sandbox's archive directory, the demo devices and our resource
// manager.
#include "BkStoreI.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "BFileIO.hpp"
#include "BkArchivRead.hpp"
#include "BkArchivText.hpp"
#include "BkIact.hpp"
#include "BkStoreM.hpp"
#include "Jk.hpp"
#include "test/DialogTest.hpp"

namespace {

using namespace dialog_test;
using zolt::test::ReadFile;
using zolt::test::WriteFile;

class BkStoreITest : public DialogTest {
 protected:
  void SetUp() override {
    BkStoreI_Init();
    BkArchivText_Init();
    DialogTest::SetUp();
    BkDevSel_DevList fs = FsList();
    fsMediaId = BkDevSel_DevClassToMediaID(fs->record.devClass, fs->subtype);
    BkDevSel_DestroyDevList(fs, false);
  }
  void TearDown() override {
    DialogTest::TearDown();
    StopServer("DUvuvuzo", "VM_DUVUVUZO_PORT");
  }

  // A header copy in the archive directory for a medium of the demo file system, with
  // one order archive; its media name.
  std::string Known(int n, const std::string& description, const std::string& order) {
    char name[128];
    std::snprintf(name, sizeof name, "20261205%02d.%02d", n, fsMediaId);
    Header* h = nullptr;
    BkArchiv_NewHeader(h, mfmtStdD, "Offset-Folvane", description);
    Strings_Assign(StrIn::FromC(name), h->label);
    Archive* a = nullptr;
    BkArchiv_AppendEmptyArchive(h, a, "Offset-Folvane");
    char comment[4096] = "";
    BkArchiv_EncodeComment(comment, "HOST", "blade");
    BkArchiv_EncodeComment(comment, "ORDERNUM", order);
    BkArchiv_EncodeComment(comment, "DESCRIPTION", "order " + order);
    BkArchiv_SetArchiveComment(a, comment);
    BkArchiv_SetArchiveBaseDir(a, "/projects/orders");
    FileList files = nullptr;
    DirAcces_DirEntry info{};
    info.size = 1000;
    BkFLists_AppendOnFileList(files, order + ".aif", true, info, 1, 1);
    BkArchiv_SetArchiveFiles(a, files);
    BFileIO_File out = BFileIO_Create(std::string(BkArchiv_stdArchivDir) + "/" + name, 1);
    BkArchiv_GenHeader(out, h, true);
    BFileIO_Close(out);
    BkArchiv_DestroyHeaderAndArchives(h);
    return name;
  }

  // Three known media; the list's lines and each medium's order lines.
  void ThreeMedia() {
    names = {Known(1, "alpha", "1001"), Known(2, "beta", "1002"), Known(3, "gamma", "1003")};
    MediaInfoList list = nullptr;
    BkStore_GetMediaInfo(1, list);
    for (MediaInfo* m = list; m != nullptr; m = m->next) {
      lines.emplace_back(m->displayText);
      std::vector<std::string> jobs;
      for (JobInfo* j = m->jobs; j != nullptr; j = j->next) jobs.emplace_back(j->text);
      orders.push_back(Join(jobs, "|"));
    }
    BkStore_DestroyMediaInfo(list, false);
    ASSERT_EQ(lines.size(), 3u);
    ASSERT_FALSE(orders[0].empty());
  }

  int fsMediaId = 0;
  std::vector<std::string> names, lines, orders;
};

// The same once on the virtual display and once on a private X server with real input.
class BkStoreIDisplays : public BkStoreITest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    BkStoreITest::SetUp();
    if (GetParam() && !UseX11()) GTEST_SKIP() << "no Xvfb";
  }
};
INSTANTIATE_TEST_SUITE_P(Display, BkStoreIDisplays, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "X11" : "Virtual"; });

const std::string S = "BkStoreI_SelectMedia ";

// OK without a medium is refused; a medium another program holds is refused with its
// message; the details follow exactly one selected medium; unselecting gives a medium
// back; the chosen medium stays reserved for a second process to see, and cancelling
// gives back whatever the dialog held.
TEST_P(BkStoreIDisplays, ChoosingAMediumReservesItAndASecondProcessSeesIt) {
  ThreeMedia();
  // clang-format off
  const std::string script =
      "wait BkStoreI_SelectMedia\n"
      "expect " + S + "4 " + Quote(Join(lines, "|")) + "\n"
      "press " + S + "1 1\n"
      "wait Imisc_errmsg\n"
      "expect Imisc_errmsg 1 " + Quote(BoxText("BkStoreI", 8)) + "\n"
      "answer Imisc_errmsg 0\n"
      "click " + S + "4 1\n"
      "wait Imisc_errmsg\n"
      "expect Imisc_errmsg 1 " + Quote(BoxText("BkStoreI", 2, {"beta"})) + "\n"
      "answer Imisc_errmsg 0\n"
      "click " + S + "4 0\n"
      "expect " + S + "20 " + Quote(names[0]) + "\n"
      "expect " + S + "21 Offset-Folvane\n"
      "expect " + S + "5 " + Quote(orders[0]) + "\n"
      "click " + S + "4 2\n"
      "expect " + S + "20 \"\"\n"
      "expect " + S + "5 \"\"\n"
      "click " + S + "4 2\n"
      "press " + S + "1 1\n"
      "wait BkStoreI_SelectMedia\n"
      "click " + S + "4 2\n"
      "press " + S + "1 2\n"
      "gone BkStoreI_SelectMedia\n";
  // clang-format on
  // The exclusive form in which a medium is reserved.
  const auto res = [](const std::string& name) { return "*:" + name + ":*"; };
  Scripted(script, [&](Checks& check) {
    static zolt::test::Holder rival;
    rival = zolt::test::HoldInChild([&] {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      return FreeForOthers(res(names[1])) && SRM_Reserve(res(names[1]), true);
    });
    check(rival.ok, "the rival holds beta");
    bool cancelled = true;
    MediaInfo* mi = BkStoreI_SelectMedia(1, "Media", cancelled);
    check(!cancelled && mi != nullptr && std::string(mi->name) == names[0] && mi->reserved,
          "alpha chosen and reserved");
    check(!FreeForOthers(res(names[0])), "a second process sees alpha reserved");
    check(FreeForOthers(res(names[2])), "gamma was given back");
    BkStore_ReleaseMedia(mi);
    check(FreeForOthers(res(names[0])), "released, alpha is free again");
    MediaInfoList copy = mi;
    BkStore_DestroyMediaInfo(copy, false);

    mi = BkStoreI_SelectMedia(1, "Media", cancelled);
    check(cancelled && mi == nullptr, "cancelled");
    check(FreeForOthers(res(names[2])), "cancel gives gamma back");
    rival.Kill();
  });
}

// The search dialog selects the next match (and reserves it); a pattern that does not
// compile is refused with its message; removing the header copies of the selected media
// asks first and sets the list up again without them.
TEST_F(BkStoreITest, SearchSelectsTheMatchAndRemovingDropsTheCopies) {
  ThreeMedia();
  std::vector<std::string> left = {lines[0], lines[2]};
  // clang-format off
  const std::string script =
      "wait BkStoreI_SelectMedia\n"
      "press " + S + "2 10\n"
      "wait BkStoreI_Search\n"
      "type BkStoreI_Search 2 \"(\"\n"
      "wait Imisc_errmsg\n"
      "expect Imisc_errmsg 1 " + Quote(BoxText("BkStoreI", 17)) + "\n"
      "answer Imisc_errmsg 0\n"
      "type BkStoreI_Search 2 bet\n"
      "press BkStoreI_Search 1 10\n"
      "expect " + S + "20 " + Quote(names[1]) + "\n"
      "press " + S + "2 16\n"
      "wait Imisc_yesDestroys\n"
      "expect Imisc_yesDestroys 1 " + Quote(BoxText("BkStoreI", 15, {}, '?')) + "\n"
      "answer Imisc_yesDestroys 0\n"
      "expect " + S + "4 " + Quote(Join(left, "|")) + "\n"
      "press " + S + "1 2\n";
  // clang-format on
  Scripted(script, [&](Checks& check) {
    bool cancelled = false;
    check(BkStoreI_SelectMedia(1, "Media", cancelled) == nullptr && cancelled, "cancelled");
    check(::access((std::string(BkArchiv_stdArchivDir) + "/" + names[1]).c_str(), F_OK) != 0,
          "beta's copy is gone");
    check(::access((std::string(BkArchiv_stdArchivDir) + "/" + names[0]).c_str(), F_OK) == 0,
          "alpha's copy stays");
  });
}

// Printing sends one job per selected medium to the job server: its line, an empty line
// and its order lines.
TEST_F(BkStoreITest, PrintingSendsOneJobPerSelectedMedium) {
  ThreeMedia();
  const std::string printed = SandboxDir() + "/printed";
  const std::string printer = SandboxDir() + "/bin/fake-lpr";
  WriteFile(printer, "#!/bin/sh\ncat \"$1\" >> '" + printed + "'\n");
  ::chmod(printer.c_str(), 0755);
  // clang-format off
  const std::string script =
      "wait BkStoreI_SelectMedia\n"
      "click " + S + "4 0\n"
      "click " + S + "4 2\n"
      "press " + S + "2 15\n"
      "press " + S + "1 2\n";
  // clang-format on
  Scripted(script, [&](Checks&) {
    BkStoreI_SetPrintCommand(printer);
    bool cancelled = false;
    BkStoreI_SelectMedia(1, "Media", cancelled);
  });
  const std::string first = lines[0] + "\n\n" + orders[0] + "\n";
  const std::string third = lines[2] + "\n\n" + orders[2] + "\n";
  EXPECT_TRUE(zolt::test::Eventually(
      [&] { return ReadFile(printed).size() == first.size() + third.size(); }, 10000));
  const std::string text = ReadFile(printed);
  EXPECT_TRUE(text == first + third || text == third + first) << text;
}

// "Archived medium" in the restore's device dialog: the chosen medium comes back as a
// device of its class that reads its header copy and holds its reservation; it needs no
// waiting and its header is the copy's.
TEST_F(BkStoreITest, ArchivedMediumStandsAsTheDevice) {
  ThreeMedia();
  // clang-format off
  const std::string script =
      "wait BkIact_DevSelect_Archiv\n"
      "press BkIact_DevSelect_Archiv 1 3\n"
      "wait BkStoreI_SelectMedia\n"
      "click " + S + "4 2\n"
      "press " + S + "1 1\n"
      "gone BkStoreI_SelectMedia\n";
  // clang-format on
  Scripted(script, [&](Checks& check) {
    BkDevSel_DevList list = nullptr;
    bool cancelled = true;
    BkIact_SelectDevices(list, ~0u, "Restore from", true, 4, false, cancelled);
    check(!cancelled && list != nullptr && list->next == nullptr, "one device");
    if (list == nullptr) return;
    check(list->selected && list->isArchive, "selected archive device");
    check(std::string(list->archiveFile) == std::string(BkArchiv_stdArchivDir) + "/" + names[2],
          std::string("header copy ") + list->archiveFile);
    check(std::string(list->storeResourceID) == "*:" + names[2] + ":*", "holds the reservation");
    check(!FreeForOthers("*:" + names[2] + ":*"), "reserved for others");
    BkIact_ReadyWait(list, true, false, cancelled);
    check(!cancelled, "ready without asking");
    Header* hdr = nullptr;
    BkIact_PrepareWriteMedia(*list, hdr, false, 4, cancelled);
    check(!cancelled && hdr != nullptr && std::string(hdr->label) == names[2], "its header");
    BkArchiv_DestroyHeaderAndArchives(hdr);
    BkDevSel_DestroyDevList(list, true);
    check(FreeForOthers("*:" + names[2] + ":*"), "destroying the device gives it back");
  });
}

// Labelling the demo file system that holds an earlier medium: the overwrite is asked
// first, the label written through the dialog reads back from the medium with its
// comment lines, and the earlier medium's header copy is gone from the store.
TEST_P(BkStoreIDisplays, LabelWrittenThroughTheDialogReadsBack) {
  const std::string medium = SandboxDir() + "/media/fs";
  const std::string oldName = Known(7, "old medium", "2001");
  WriteFile(medium + "/DHEADER", ReadFile(std::string(BkArchiv_stdArchivDir) + "/" + oldName));
  // clang-format off
  const std::string script =
      "wait BkIact_ConfirmOverwrite\n"
      "expect BkIact_ConfirmOverwrite 2 " + Quote(oldName) + "\n"
      "expect BkIact_ConfirmOverwrite 5 " + Quote(MsgText("BkIact", 9)) + "\n"
      "press BkIact_ConfirmOverwrite 1 1\n"
      "wait BkStoreI_Label\n"
      "expect BkStoreI_Label 4 1\n"
      "type BkStoreI_Label 2 \"Customer Mayer\"\n"
      "type BkStoreI_Label 3 \"catalogue 2027\"\n"
      "press BkStoreI_Label 1 1\n"
      "gone BkStoreI_Label\n";
  // clang-format on
  Scripted(script, [&](Checks& check) {
    BkDevSel_DevList list = FsList();
    Header* hdr = nullptr;
    BkStoreI_LabelMediaInDev(*list, hdr);
    check(hdr != nullptr, "a header was written");
    if (hdr == nullptr) return;
    const std::string name = hdr->label;
    check(name != oldName && name != "NONAME", "a new media name " + name);
    BkArchiv_DestroyHeaderAndArchives(hdr);
    bool ready = false, writable = false;
    BkDevSel_CheckDevReady(*list, false, ready, writable);
    Header* back = nullptr;
    bool recovered = false, isEmpty = false;
    {
      Messages_Ignoring quiet;
      BkArchiv_ReadHeader(*list, false, back, recovered, isEmpty);
    }
    check(back != nullptr && std::string(back->label) == name && isEmpty,
          "the label reads back from the medium");
    if (back != nullptr) {
      check(std::string(back->mediaComment) == "Customer Mayer\ncatalogue 2027",
            std::string("comment ") + back->mediaComment);
      BkArchiv_DestroyHeaderAndArchives(back);
    }
    check(::access((std::string(BkArchiv_stdArchivDir) + "/" + oldName).c_str(), F_OK) != 0,
          "the earlier medium's copy is gone");
    BkDevSel_DestroyDevList(list, false);
  });
}

// A medium swapped while the label dialog is open is not labelled: the dialog says so and
// stays open, and the medium in the drive keeps what it holds.
TEST_F(BkStoreITest, SwappedMediumIsNotLabelled) {
  const std::string medium = SandboxDir() + "/media/fs";
  const std::string first = Known(8, "first medium", "2002");
  const std::string second = Known(9, "second medium", "2003");
  const std::string archive = std::string(BkArchiv_stdArchivDir) + "/";
  WriteFile(medium + "/DHEADER", ReadFile(archive + first));
  BkDevSel_DevList fs = FsList();
  const std::string device = fs->record.description;
  BkDevSel_DestroyDevList(fs, false);
  MediaInfoList known = nullptr;
  BkStore_GetMediaInfo(1, known);
  const std::string label = BkStore_SelectByName(known, first)->label;
  BkStore_DestroyMediaInfo(known, false);
  // clang-format off
  const std::string script =
      "wait BkIact_ConfirmOverwrite\n"
      "press BkIact_ConfirmOverwrite 1 1\n"
      "wait BkStoreI_Label\n"
      "press BkStoreI_Label 1 1\n"
      "wait Imisc_errmsg\n"
      "expect Imisc_errmsg 1 " + Quote(BoxText("BkStoreI", 12, {device, label})) + "\n"
      "answer Imisc_errmsg 0\n"
      "press BkStoreI_Label 1 2\n"
      "gone BkStoreI_Label\n";
  // clang-format on
  Scripted(script, [&](Checks& check) {
    // The operator swaps the medium while the question is open.
    static std::string swapped;
    swapped = ReadFile(archive + second);
    I_ScheduleTask(
        0, [](void*) { WriteFile(SandboxDir() + "/media/fs/DHEADER", swapped); }, nullptr);
    BkDevSel_DevList list = FsList();
    Header* hdr = nullptr;
    BkStoreI_LabelMediaInDev(*list, hdr);
    check(hdr == nullptr, "nothing written");
    check(ReadFile(medium + "/DHEADER") == swapped, "the second medium is untouched");
    BkDevSel_DestroyDevList(list, false);
  });
}

// Loading by label: a known medium already in its device is there without a word; a
// device name that does not exist is refused with its message; a medium that is not in
// the device is asked for until the user gives up.
TEST_F(BkStoreITest, LoadingByLabelFindsTheMediumOrAsksForIt) {
  const std::string medium = SandboxDir() + "/media/fs";
  const std::string name = Known(4, "in the drive", "3001");
  const std::string other = Known(5, "on the shelf", "3002");
  WriteFile(medium + "/DHEADER", ReadFile(std::string(BkArchiv_stdArchivDir) + "/" + name));
  MediaInfoList list = nullptr;
  BkStore_GetMediaInfo(1, list);
  const std::string label = BkStore_SelectByName(list, name)->label;
  const std::string otherLabel = BkStore_SelectByName(list, other)->label;
  BkStore_DestroyMediaInfo(list, false);
  BkDevSel_DevList fs = FsList();
  const std::string device = fs->record.description;
  BkDevSel_DestroyDevList(fs, false);
  // clang-format off
  const std::string script =
      "wait Imisc_errmsg\n"
      "expect Imisc_errmsg 1 " + Quote(BoxText("BkStoreI", 10, {"nosuchdrive"})) + "\n"
      "answer Imisc_errmsg 0\n"
      "wait Imisc_yes\n"
      "expect Imisc_yes 1 " + Quote(BoxText("BkStoreI", 9, {"on the shelf", device}, '?')) + "\n"
      "answer Imisc_yes 0\n"
      "wait Imisc_yes\n"
      "answer Imisc_yes 1\n";
  // clang-format on
  Scripted(script, [&](Checks& check) {
    bool ok = false, known = false;
    MediaInfo* mi = nullptr;
    BkStoreI_LoadMedia(label, "demofs", ok, known, mi);
    check(ok && known && mi != nullptr && mi->device != nullptr, "in its device at once");
    MediaInfoList l = mi;
    BkStore_DestroyMediaInfo(l, true);  // unbinds the device from the known medium
    BkStoreI_LoadMedia(label, "nosuchdrive", ok, known, mi);
    check(!ok && known, "no such device");
    l = mi;
    BkStore_DestroyMediaInfo(l, true);  // unbinds the device from the known medium
    BkStoreI_LoadMedia(otherLabel, "demofs", ok, known, mi);
    check(!ok && known, "the user gave up after asking twice");
    l = mi;
    BkStore_DestroyMediaInfo(l, true);  // unbinds the device from the known medium
  });
}

// The jukebox management opened from the media list: the chosen selection kind is shown,
// a job needs a jukebox, and an inventory of the chosen jukebox with its selected
// elements reaches the job server.
TEST_F(BkStoreITest, JukeboxManagementStartsAnInventory) {
  const std::string root = SandboxDir() + "/juke";
  for (const char* e :
       {"robos/robo.0", "slots/slot.1", "slots/slot.2", "ports/port.3", "drives/drive.4"}) {
    std::filesystem::create_directories(root + "/" + e);
  }
  WriteFile(root + "/slots/slot.1/tapeA", "A");
  WriteFile(std::string(std::getenv("VM_CUSTOMER")) + "/juke.conf",
            "[jukebox/lib1]\nJukeComment=test jukebox\nJukeType=FILESYS\nJukeDev=" + root +
                "\nJukeState=" + SandboxDir() +
                "/state.lib1\nLoadSleepTime=0\n"
                "RetrySleepTime=0\nDrive0Dev=" +
                SandboxDir() + "/lib1-drive0\n");
  Jk_ForgetConfig();
  ThreeMedia();
  const std::string J = "BkJukeI_Manage ";
  // clang-format off
  const std::string script =
      "wait BkStoreI_SelectMedia\n"
      "press " + S + "2 30\n"
      "wait BkJukeI_Manage\n"
      "expect " + J + "7 " + Quote(MsgText("BkJukeI", 8)) + "\n"
      "press " + J + "4 1\n"
      "expect " + J + "7 " + Quote(MsgText("BkJukeI", 9)) + "\n"
      "press " + J + "1 2\n"
      "wait Imisc_errmsg\n"
      "answer Imisc_errmsg 0\n"
      "click " + J + "2 0\n"
      "click " + J + "5 0\n"
      "press " + J + "1 2\n"
      "expect " + J + "6 " + Quote(MsgText("BkJukeI", 4, {"lib1"})) + "\n"
      "press " + J + "1 1\n"
      "wait BkStoreI_SelectMedia\n"
      "press " + S + "1 2\n";
  // clang-format on
  Scripted(script, [&](Checks& check) {
    bool cancelled = false;
    BkStoreI_SelectMedia(1, "Media", cancelled);
    check(cancelled, "closed");
  });
}

}  // namespace

// The resource editor lists only media reservations; releasing one needs a chosen line
// and a "yes" (a "no" keeps it), and then takes every use the holder had, while the
// holder's other reservations stay.
TEST_F(BkStoreITest, ResourceEditorReleasesAChosenMediumReservationAfterAsking) {
  const std::string medium = "*:2026120501.07:*", other = "*:/projects/orders/A.aif:*";
  const std::string R = "BkStoreI_Resources ";
  const auto count = [](int n) { return Quote(MsgText("BkStoreI", 33, {std::to_string(n)})); };
  // clang-format off
  const std::string script =
      "wait BkStoreI_SelectMedia\n"
      "press " + S + "2 20\n"
      "wait BkStoreI_Resources\n"
      "expect " + R + "4 " + count(1) + "\n"
      "press " + R + "1 3\n"
      "wait Imisc_errmsg\n"
      "expect Imisc_errmsg 1 " + Quote(BoxText("BkStoreI", 34)) + "\n"
      "answer Imisc_errmsg 0\n"
      "click " + R + "3 0\n"
      "press " + R + "1 3\n"
      "wait Imisc_yesDestroys\n"
      "answer Imisc_yesDestroys 1\n"
      "press " + R + "1 2\n"
      "expect " + R + "4 " + count(1) + "\n"
      "click " + R + "3 0\n"
      "press " + R + "1 3\n"
      "wait Imisc_yesDestroys\n"
      "answer Imisc_yesDestroys 0\n"
      "expect " + R + "4 " + count(0) + "\n"
      "expect " + R + "3 \"\"\n"
      "press " + R + "1 1\n"
      "press " + S + "1 2\n";
  // clang-format on
  Scripted(script, [&](Checks& check) {
    static zolt::test::Holder rival;
    rival = zolt::test::HoldInChild([&] {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      return SRM_Reserve(medium, true) && SRM_Reserve(medium, true) && SRM_Reserve(other, true);
    });
    check(rival.ok, "the rival holds the medium twice and an order");
    bool cancelled = false;
    BkStoreI_SelectMedia(1, "Media", cancelled);
    check(FreeForOthers(medium), "the medium is free");
    check(!FreeForOthers(other), "the order stays held");
    rival.Kill();
  });
}
