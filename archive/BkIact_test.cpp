// The device, readiness and prepare-write dialogs, driven by the scripted driver on the
// virtual display against the demo installation's devices and our resource manager.
#include "BkIact.hpp"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "BkStore.hpp"
#include "BkStoreM.hpp"
#include "Ibase.hpp"
#include "test/DialogTest.hpp"

// Last: the X headers define words the headers above use.
// clang-format off
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// clang-format on

namespace {

using namespace dialog_test;
using zolt::test::Env;
using zolt::test::ReadFile;
using zolt::test::RunCommand;
using zolt::test::WriteFile;

class BkIactTest : public DialogTest {
 protected:
  void SetUp() override {
    BkIact_Init();
    BkStoreM_Init();
    DialogTest::SetUp();
  }
};

// The same once on the virtual display and once on a private X server with real input.
class BkIactDisplays : public BkIactTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    BkIactTest::SetUp();
    if (GetParam() && !UseX11()) GTEST_SKIP() << "no Xvfb";
  }
};
INSTANTIATE_TEST_SUITE_P(Display, BkIactDisplays, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "X11" : "Virtual"; });

// ---- Choosing a device ----

// Another program takes a drive while the dialog is open: choosing it is refused with its
// message and the line is unselected; OK with nothing chosen does nothing; moving the
// choice from one device to another gives the first back at once; the one chosen is
// held when the dialog ends, and cancelling gives everything back.
TEST_P(BkIactDisplays, DeviceDialogAllocatesFollowingTheSelectionAndRefusesADeviceInUse) {
  const std::vector<std::string> lines = Lines(~0u);
  const int tape = IndexOf(lines, "Exabyte 8500");
  const int fs = IndexOf(lines, "File system");
  const int disk = IndexOf(lines, "MO disk");
  std::vector<std::string> later = lines;  // the rival's drive is no longer offered
  later.erase(later.begin() + tape);
  const std::string D = "BkIact_DevSelect ";
  // clang-format off
  const std::string script =
      "wait BkIact_DevSelect\n"
      "expect " + D + "2 \"Pick one\"\n"
      "expect " + D + "3 " + Quote(Join(lines, "|")) + "\n"
      "click " + D + "3 " + std::to_string(tape) + "\n"
      "wait Imisc_errmsg\n"
      "expect Imisc_errmsg 1 " + Quote(BoxText("BkIact", 12, {lines[tape]})) + "\n"
      "answer Imisc_errmsg 0\n"
      "press " + D + "1 1\n"
      "click " + D + "3 " + std::to_string(fs) + "\n"
      "click " + D + "3 " + std::to_string(disk) + "\n"
      "press " + D + "1 1\n"
      "wait BkIact_DevSelect\n"
      "expect " + D + "3 " + Quote(Join(later, "|")) + "\n"
      "click " + D + "3 " + std::to_string(IndexOf(later, "File system")) + "\n"
      "press " + D + "1 2\n"
      "gone BkIact_DevSelect\n";
  // clang-format on
  Scripted(script, [&](Checks& check) {
    // The rival takes the drive once the dialog shows its list.
    static zolt::test::Holder rival;
    I_ScheduleTask(
        0,
        [](void*) {
          rival = zolt::test::HoldInChild([] {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a failed script
            BkDevSel_DevList all = nullptr;
            BkDevSel_SetupFullDevList(all, ~0u);
            for (DevListEntry* e = all; e != nullptr; e = e->next)
              if (std::string(e->label).rfind("Exabyte 8500", 0) == 0)
                return BkDevSel_AllocateThisDevice(*e, true);
            return false;
          });
        },
        nullptr);
    BkDevSel_DevList list = nullptr;
    bool cancelled = true;
    BkIact_SelectDevices(list, ~0u, "Pick one", false, 0, false, cancelled);
    check(rival.ok, "the rival got the drive");
    check(!cancelled, "not cancelled");
    DevListEntry* chosen = BkDevSel_FirstSelectedDev(list);
    check(BkDevSel_CountSelectedDevs(list) == 1 && chosen != nullptr &&
              std::string(chosen->label) == lines[disk] && chosen->allocated,
          "the disk is chosen and held");
    const auto inUse = [](const std::string& prefix) {
      BkDevSel_DevList all = nullptr;
      BkDevSel_SetupFullDevList(all, ~0u);
      bool used = false;
      for (DevListEntry* e = all; e != nullptr; e = e->next)
        if (std::string(e->label).rfind(prefix, 0) == 0) used = e->record.inUse;
      BkDevSel_DestroyDevList(all, false);
      return used;
    };
    check(!inUse("File system"), "the file system was given back when unselected");
    check(inUse("MO disk"), "the disk is reserved");
    BkDevSel_DestroyDevList(list, true);

    BkIact_SelectDevices(list, ~0u, "Pick one", false, 0, false, cancelled);
    check(cancelled && list == nullptr, "cancel destroys the list");
    check(!inUse("File system"), "cancel gives the device back");
    rival.Kill();
  });
}

// ---- Waiting for a ready device ----

// The file system mounts only at the third attempt: two answers "continue" later the
// device is ready. Cancelling the question ends the wait without another attempt; no
// device at all is cancelled with its reason.
TEST_F(BkIactTest, ReadyAfterTwoRetriesAndCancelStopsTheWait) {
  const std::string demo = SandboxDir();
  WriteFile(demo + "/bin/slow-mount", "#!/bin/sh\nn=$(cat '" + demo +
                                          "/attempts' 2>/dev/null || echo 0)\nn=$((n+1))\n"
                                          "echo $n > '" +
                                          demo + "/attempts'\n[ $n -ge 3 ] || exit 1\nexec '" +
                                          demo + "/bin/fs-mount'\n");
  ::chmod((demo + "/bin/slow-mount").c_str(), 0755);
  WriteFile(Env("ZOLTENV") + "/devices.cfg", "[demofs]\nmountCmd = " + demo +
                                                 "/bin/slow-mount\numountCmd = " + demo +
                                                 "/bin/fs-umount\ncapacity = 1073741824\n");
  BkDevSel_DevList list = FsList();
  const std::string prompt = BoxText("BkIact", 2, {list->label}, '?');
  BkDevSel_DestroyDevList(list, false);
  // clang-format off
  const std::string script =
      "wait AskContinue\n"
      "expect AskContinue 1 " + Quote(prompt) + "\n"
      "answer AskContinue 0\n"
      "wait AskContinue\nanswer AskContinue 0\n"
      // The second wait asks first and is cancelled.
      "wait AskContinue\nanswer AskContinue 1\n";
  // clang-format on
  Scripted(script, [&](Checks& check) {
    BkDevSel_DevList devices = FsList();
    bool cancelled = true;
    BkIact_ReadyWait(devices, false, false, cancelled);
    check(!cancelled, "ready in the end");
    check(ReadFile(demo + "/attempts") == "3\n", "three attempts: " + ReadFile(demo + "/attempts"));
    BkIact_ReadyWait(devices, true, false, cancelled);
    check(cancelled, "cancelled by the answer");
    check(ReadFile(demo + "/attempts") == "3\n", "no attempt after cancel");
    BkDevSel_DestroyDevList(devices, false);
  });

  BkDevSel_DevList none = nullptr;
  bool cancelled = false;
  Messages_Ignoring quiet;
  BkIact_ReadyWait(none, true, true, cancelled);
  EXPECT_TRUE(cancelled);
  char reason[1024];
  ASSERT_TRUE(Messages_ErrorReason(reason));
  EXPECT_NE(std::string(reason).find(BoxText("BkIact", 1, {}, '.')), std::string::npos) << reason;
  Messages_ForgetErrorReasons();
}

// A write-protected tape is ready but not writable: the question names it; continuing
// asks again, cancelling ends the wait.
TEST_F(BkIactTest, WriteProtectedTapeIsNamedAndCanBeGivenUp) {
  ASSERT_EQ(RunCommand("vtape -f '" + SandboxDir() + "/media/exa8500' protect on").status, 0);
  const std::vector<std::string> lines = Lines(1u << SDevAllo_ClassOfName("exa8500"));
  const std::string tape = lines.at(IndexOf(lines, "Exabyte 8500"));
  // clang-format off
  const std::string script =
      "wait AskContinue\n"
      "expect AskContinue 1 " + Quote(BoxText("BkIact", 4, {tape}, '?')) + "\n"
      "answer AskContinue 0\n"
      "wait AskContinue\n"
      "expect AskContinue 1 " + Quote(BoxText("BkIact", 2, {tape}, '?')) + "\n"
      "answer AskContinue 0\n"
      "wait AskContinue\n"
      "answer AskContinue 1\n";
  // clang-format on
  Scripted(script, [&](Checks& check) {
    BkDevSel_DevList list = nullptr;
    BkDevSel_SetupFullDevList(list, 1u << SDevAllo_ClassOfName("exa8500"));
    for (DevListEntry* e = list; e != nullptr; e = e->next) e->selected = e->label == tape;
    bool cancelled = false;
    BkIact_ReadyWait(list, false, true, cancelled);
    check(cancelled, "given up");
    BkDevSel_DestroyDevList(list, false);
  });
}

// ---- Preparing a medium for writing ----

// Corner cases of the kind: an appendable standard medium with no directory
// on a device that appends, a blank tape on one that cannot, and forced new headers.
TEST(BkIactKinds, KindFollowsFormatAppendingAndDirectory) {
  EXPECT_EQ(BkIact_PrepareKind(mfmtStdA, 0, true, false), 0);
  EXPECT_EQ(BkIact_PrepareKind(mfmtStdA, 0, false, false), 3);  // appending needs the device
  EXPECT_EQ(BkIact_PrepareKind(mfmtStdD, 4096, false, false), 1);
  EXPECT_EQ(BkIact_PrepareKind(mfmtATar, 0, false, false), 6);
  EXPECT_EQ(BkIact_PrepareKind(mfmtUnknown, 0, false, false), 9);
  EXPECT_EQ(BkIact_PrepareKind(mfmtStdA, 0, true, true), 10);
  EXPECT_EQ(BkIact_PrepareKind(mfmtUnknown, -1, true, true), 11);
}

// A blank file-system medium offers new headers only; the directory header removes the
// numbered data files. A medium with a header offers appending, which reads it, and a
// new header there is asked about once more (no: nothing happens). A labelled empty
// medium is taken as it is, without a dialog.
TEST_P(BkIactDisplays, PrepareWriteDialogLeadsWhereEachChoiceSays) {
  const std::string medium = SandboxDir() + "/media/fs";
  WriteFile(medium + "/1", "old data");
  WriteFile(medium + "/12", "old data");
  WriteFile(medium + "/keep", "not ours");
  BkDevSel_DevList list = FsList();
  const std::string description = list->record.description;
  bool ready = false, writable = false;
  BkDevSel_CheckDevReady(*list, true, ready, writable);
  ASSERT_TRUE(ready && writable);
  const int blankKind = BkIact_PrepareKind(mfmtUnknown, -1, list->canAppend, false);
  BkDevSel_DestroyDevList(list, false);
  const std::string P = "BkIact_PrepWriteMedia ";
  // clang-format off
  const std::string script =
      "wait BkIact_PrepWriteMedia\n"
      "expect " + P + "3 " + Quote(description) + "\n"
      "press " + P + "1 3\n"
      "wait BkIact_PrepWriteMedia\n"
      "press " + P + "1 5\n"
      "wait BkIact_PrepWriteMedia\n"
      "press " + P + "1 1\n"
      "wait Imisc_yesDestroys\n"
      "expect Imisc_yesDestroys 1 " + Quote(BoxText("BkIact", 7, {}, '?')) + "\n"
      "answer Imisc_yesDestroys 1\n"
      "wait BkIact_PrepWriteMedia\n"
      "press " + P + "1 0\n"
      "gone BkIact_PrepWriteMedia\n";
  // clang-format on
  Scripted(script, [&](Checks& check) {
    BkDevSel_DevList devices = FsList();
    DevListEntry& dev = *devices;
    bool ready = false, writable = false;
    BkDevSel_CheckDevReady(dev, true, ready, writable);
    check(blankKind == 8, "a blank appendable file system is kind 8");

    Header* hdr = nullptr;
    bool cancelled = true;
    BkIact_PrepareWriteMedia(dev, hdr, false, 4, cancelled);
    check(!cancelled && hdr != nullptr && hdr->mediaFormat == mfmtStdD && hdr->newHeader,
          "a new directory header");
    check(ReadFile(medium + "/1").empty() && ReadFile(medium + "/12").empty(),
          "numbered data files removed");
    check(ReadFile(medium + "/keep") == "not ours", "other files stay");
    BkArchiv_DestroyHeaderAndArchives(hdr);

    // A medium with a header of this tool.
    Header* label = nullptr;
    {
      Messages_Ignoring quiet;
      check(BkStoreM_LabelMedia(dev, mfmtStdD, "demo medium", "", label), "labelled");
    }
    std::string text = ReadFile(medium + "/DHEADER");
    const std::string name = label != nullptr ? label->label : "";
    BkArchiv_DestroyHeaderAndArchives(label);
    const auto empty = text.find("EMPTY_MEDIA");
    check(empty != std::string::npos, "labelled empty");
    const std::string emptyText = text;
    if (empty != std::string::npos) text.replace(empty, 11, "Offset-Folvane");
    WriteFile(medium + "/DHEADER", text);
    BkDevSel_CheckDevReady(dev, true, ready, writable);  // labelling unmounts it

    BkIact_PrepareWriteMedia(dev, hdr, false, 4, cancelled);
    check(!cancelled && hdr != nullptr && !hdr->newHeader && std::string(hdr->label) == name,
          "appending reads the header on the medium");
    if (hdr != nullptr) {
      const std::string expect = hdr->expectLabel;
      check(expect.rfind(name + "_Offset-Folvane_", 0) == 0, "expected label " + expect);
    }
    BkArchiv_DestroyHeaderAndArchives(hdr);

    BkIact_PrepareWriteMedia(dev, hdr, false, 4, cancelled);
    check(cancelled && hdr == nullptr, "no to the question: nothing");
    check(ReadFile(medium + "/DHEADER") == text, "the medium is untouched");
    BkIact_PrepareWriteMedia(dev, hdr, false, 4, cancelled);
    check(cancelled && hdr == nullptr, "cancel");

    // Labelled empty: no dialog at all (the script has ended).
    WriteFile(medium + "/DHEADER", emptyText);
    BkDevSel_CheckDevReady(dev, true, ready, writable);
    BkIact_PrepareWriteMedia(dev, hdr, false, 4, cancelled);
    check(!cancelled && hdr != nullptr && std::string(hdr->mediaType) == "EMPTY_MEDIA" &&
              std::string(hdr->label) == name,
          "the empty medium's own header");
    BkArchiv_DestroyHeaderAndArchives(hdr);
    BkDevSel_DestroyDevList(devices, false);
  });
}

// ---- Failed files and recovered headers ----

// The common head is shown once and cut from the paths; the error shown follows the
// selected file (kinds past the known ones share one text); cancel is reported.
TEST_F(BkIactTest, FailedFilesShowTheErrorOfTheSelectedFile) {
  FileList files = nullptr;
  DirAcces_DirEntry info{};
  for (const auto& [path, kind] : std::vector<std::pair<std::string, int>>{
           {"/jobs/a/x.tif", 3}, {"/jobs/a/sub/y.ps", 2}, {"/jobs/a/z", 9}}) {
    BkFLists_AppendOnFileList(files, path, false, info, 0, 1)->errorKind = kind;
  }
  const std::string E = "BkIact_ErrFiles ";
  // clang-format off
  const std::string script =
      "wait BkIact_ErrFiles\n"
      "expect " + E + "2 /jobs/a\n"
      "expect " + E + "5 7\n"
      "expect " + E + "3 \"x.tif|sub/y.ps|z\"\n"
      "expect " + E + "4 " + Quote(MsgText("BckRst", 113)) + "\n"
      "click " + E + "3 2\n"
      "expect " + E + "4 " + Quote(MsgText("BckRst", 115)) + "\n"
      "click " + E + "3 1\n"
      "expect " + E + "4 " + Quote(MsgText("BckRst", 112)) + "\n"
      "press " + E + "1 2\n"
      "wait BkIact_ErrFiles\n"
      "press " + E + "1 1\n";
  // clang-format on
  Scripted(script, [&](Checks& check) {
    bool cancelled = false;
    BkIact_ErrFilesDialog(files, 7, cancelled);
    check(cancelled, "cancel");
    BkIact_ErrFilesDialog(files, 7, cancelled);
    check(!cancelled, "continue");
  });
  BkFLists_DestroyFileList(files);
}

// A recovered header is shown with its orders (a list to look at only) and accepted or
// rejected; closing the window rejects.
TEST_F(BkIactTest, RecoveredHeaderIsShownWithItsOrdersAndConfirmed) {
  Header* hdr = nullptr;
  BkArchiv_NewHeader(hdr, mfmtStdA, "Offset-Folvane", "Customer Mayer\nsecond line");
  Strings_Assign("2026120602.03", hdr->label);
  Archive* a = nullptr;
  BkArchiv_AppendEmptyArchive(hdr, a, "Offset-Folvane");
  char comment[4096] = "";
  BkArchiv_EncodeComment(comment, "HOST", "blade");
  BkArchiv_EncodeComment(comment, "DESCRIPTION", "spring catalogue");
  BkArchiv_SetArchiveComment(a, comment);
  DirAcces_DirEntry info{};
  FileList files = nullptr;
  BkFLists_AppendOnFileList(files, "ord4711.aif", true, info, 1, 1);
  BkArchiv_SetArchiveFiles(a, files);
  MediaInfoList mi = BkStore_NewMediaInfoFromHeader(hdr);
  ASSERT_NE(mi->jobs, nullptr);
  const std::string order = mi->jobs->text;
  BkStore_DestroyMediaInfo(mi, false);
  const std::string R = "BkIact_ConfirmRecover ";
  // clang-format off
  const std::string script =
      "wait BkIact_ConfirmRecover\n"
      "expect " + R + "2 \"Customer Mayer\"\n"
      "expect " + R + "3 2026120602.03\n"
      "expect " + R + "7 " + Quote(order) + "\n"
      "click " + R + "7 0\n"
      "press " + R + "1 2\n"
      "wait BkIact_ConfirmRecover\n"
      "press " + R + "1 1\n"
      "wait BkIact_ConfirmRecover\n"
      "close BkIact_ConfirmRecover\n";
  // clang-format on
  Scripted(script, [&](Checks& check) {
    check(!BkIact_ConfirmRecover(hdr), "rejected");
    check(BkIact_ConfirmRecover(hdr), "accepted");
    check(!BkIact_ConfirmRecover(hdr), "closing rejects");
  });
  BkArchiv_DestroyHeaderAndArchives(hdr);
}

// ---- Real input on the X server ----

// Acts on a dialog through the X server as a user's hands do: once the context is shown,
// the action runs (pointer and keys through XTest).
struct Hands {
  Display* d = nullptr;
  const char* context = nullptr;
  std::function<void(I_Context)> action;

  void ClickOn(I_Context ctx, std::int32_t robj) const {
    const TkX11_Rect r = TkX11_Where(I_AccessWidget(ctx, robj));
    XTestFakeMotionEvent(d, 0, r.x + r.width / 2, r.y + r.height / 2, 0);
    XTestFakeButtonEvent(d, 1, True, 0);
    XTestFakeButtonEvent(d, 1, False, 0);
    XSync(d, False);
  }
  void Key(KeySym sym) const {
    const KeyCode code = XKeysymToKeycode(d, sym);
    XTestFakeKeyEvent(d, code, True, 0);
    XTestFakeKeyEvent(d, code, False, 0);
    XSync(d, False);
  }
  // Waits (as a task of the dialog's own loop) for the context, then acts once.
  void When(const char* name, std::function<void(I_Context)> act) {
    context = name;
    action = std::move(act);
    I_ScheduleTask(100, Poll, this);
  }
  static void Poll(void* arg) {
    auto* h = static_cast<Hands*>(arg);
    const I_Context ctx = Ibase_FindActive(StrIn::FromC(h->context));
    if (ctx == nullptr) {
      I_RescheduleTask(100);
      return;
    }
    TkX11_Sync();
    h->action(ctx);
  }
};

// Return in the overwrite question cancels (the keyboard starts on Cancel); a click on
// Overwrite overwrites; a click on a choice of the prepare-write dialog is taken.
TEST_F(BkIactTest, RealClicksAndKeysOnTheX11Display) {
  if (!UseX11()) GTEST_SKIP() << "no Xvfb";
  Scripted("", [&](Checks& check) {
    Hands hands;
    hands.d = XOpenDisplay(display_.c_str());
    check(hands.d != nullptr, "a connection of our own");
    if (hands.d == nullptr) return;
    hands.When("BkIact_ConfirmOverwrite", [&](I_Context ctx) {
      hands.ClickOn(ctx, 2);  // a text: the keyboard comes to the window
      hands.Key(XK_Return);
    });
    check(!BkIact_ConfirmOverwrite("2026120601.03", "Offset-Folvane", "06.12.2026", ""),
          "Return does not overwrite");
    hands.When("BkIact_ConfirmOverwrite", [&](I_Context ctx) { hands.ClickOn(ctx, 7); });
    check(BkIact_ConfirmOverwrite("2026120601.03", "Offset-Folvane", "06.12.2026", ""),
          "a click on Overwrite overwrites");

    BkDevSel_DevList devices = FsList();
    bool ready = false, writable = false;
    BkDevSel_CheckDevReady(*devices, true, ready, writable);
    hands.When("BkIact_PrepWriteMedia", [&](I_Context ctx) { hands.ClickOn(ctx, 14); });
    Header* hdr = nullptr;
    bool cancelled = true;
    BkIact_PrepareWriteMedia(*devices, hdr, false, 4, cancelled);
    check(!cancelled && hdr != nullptr && hdr->mediaFormat == mfmtStdA, "new appendable header");
    BkArchiv_DestroyHeaderAndArchives(hdr);
    BkDevSel_DestroyDevList(devices, false);
    XCloseDisplay(hands.d);
  });
}

}  // namespace
