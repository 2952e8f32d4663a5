// What the toolkit dialog tests share: the demo installation's devices in the sandbox,
// a scripted child on a fresh virtual display, and texts as the message boxes show them.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "BkArchivNames.hpp"
#include "BkDevSel.hpp"
#include "Capture.hpp"
#include "I.hpp"
#include "IScript.hpp"
#include "Imisc.hpp"
#include "JobServerFixture.hpp"
#include "Messages.hpp"
#include "PrivateXvfb.hpp"
#include "SDevAllo.hpp"
#include "SPrintf.hpp"
#include "TkVirtual.hpp"
#include "TkX11.hpp"
#include "test/DeviceTest.hpp"

namespace dialog_test {

using zolt::test::SandboxDir;

inline std::string Join(const std::vector<std::string>& parts, const std::string& sep) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? sep : "") + parts[i];
  return out;
}

// A word of a script line.
inline std::string Quote(const std::string& text) {
  std::string q = "\"";
  for (char c : text) {
    if (c == '\n') {
      q += "\\n";
      continue;
    }
    if (c == '\\' || c == '"') q += '\\';
    q += c;
  }
  return q + "\"";
}

// A message with its "%s" filled in order.
inline std::string MsgText(const char* section, std::uint32_t number,
                           const std::vector<std::string>& args = {}) {
  char text[1024];
  Messages_GetMsg(StrIn::FromC(section), number, text);
  for (const std::string& a : args) SPrintf_String(text, a);
  return text;
}

// The same as a message box shows it (mark ends a text that has no end mark).
inline std::string BoxText(const char* section, std::uint32_t number,
                           const std::vector<std::string>& args = {}, char mark = '!') {
  return Join(Imisc_BreakLines(Imisc_Terminate(MsgText(section, number, args), mark)), "\n");
}

using zolt::test::FreeForOthers;

// Stops a server that a client started in the sandbox.
inline void StopServer(const char* server, const char* portVariable) {
  using zolt::test::Env;
  const std::string pidFile = Env("ZOLTDAT") + "/" + server + "-" + Env(portVariable) + ".pid";
  const int pid = std::atoi(zolt::test::ReadFile(pidFile).c_str());
  if (pid > 0 && ::kill(pid, SIGTERM) == 0 &&
      !zolt::test::Eventually([&] { return zolt::test::ReadFile(pidFile).empty(); }, 3000)) {
    ::kill(pid, SIGKILL);
  }
}

// Failures seen inside a scripted child; the child ends with status 6 when there are any.
struct Checks {
  std::string failed;
  void operator()(bool ok, const std::string& what) {
    if (!ok) failed += what + "\n";
  }
  void Finish() const {
    if (failed.empty()) return;
    std::fprintf(stderr, "%s", failed.c_str());
    std::_Exit(6);
  }
};

using zolt::test::PrivateXvfb;

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    IScript_Init();
    TkVirtual_Init();
    SDevAllo_Reset();
    ::setenv("VM_REMOTE_SHELL", "vrsh", 1);
    const auto r = zolt::test::RunCommand(std::string(ZOLT_DEMO_DIR) + "/make-devices.sh '" +
                                          SandboxDir() + "' '" + zolt::test::BuildDir() + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    std::filesystem::create_directories(BkArchiv_stdArchivDir);
  }
  void TearDown() override {
    TkVirtual_Close();
    zolt::test::StopResourceManager();
  }

  // Runs the dialogs on a private X server from now on (false: Xvfb is missing).
  bool UseX11() {
    if (!PrivateXvfb::Installed()) return false;
    const std::string display = xvfb_.Start();
    if (display.empty()) return false;
    display_ = display;
    TkX11_Init();
    openDisplay_ = [display] { return TkX11_Open(display.c_str()) != nullptr; };
    return true;
  }

  // Runs body in a child on a fresh display (the virtual one unless UseX11 chose the X
  // server) with the script attached; the child must finish the script and every check.
  template <typename Fn>
  void Scripted(const std::string& script, Fn&& body) {
    if (!openDisplay_) TkVirtual_Open(false);
    const auto r = zolt::test::RunInChild([&] {
      // The connection to the X server belongs to the process that runs the dialog.
      if (openDisplay_ && !openDisplay_()) std::_Exit(5);
      I_UseContextCat("ZAREDAVdlg");
      // Without a script the body acts itself.
      if (!script.empty() && !IScript_StartText(script, "dialogs")) std::_Exit(3);
      Checks check;
      body(check);
      if (!script.empty() && !IScript_Finished()) std::_Exit(4);
      check.Finish();
    });
    EXPECT_TRUE(r.exited && r.exitStatus == 0) << r.exitStatus << "\n" << r.err;
  }

  PrivateXvfb xvfb_;
  std::string display_;  // the private X server's, once UseX11 started it
  std::function<bool()> openDisplay_;

  // The labels of the devices of the classes as the device dialog lists them.
  static std::vector<std::string> Lines(std::uint32_t mask) {
    BkDevSel_DevList list = nullptr;
    BkDevSel_SetupFullDevList(list, mask);
    std::vector<std::string> lines;
    for (DevListEntry* e = list; e != nullptr; e = e->next)
      if (e->record.devClass != 0) lines.emplace_back(e->label);
    BkDevSel_DestroyDevList(list, false);
    return lines;
  }
  static int IndexOf(const std::vector<std::string>& lines, const std::string& prefix) {
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (lines[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    ADD_FAILURE() << "no line " << prefix;
    return 0;
  }
  // The demo file system's entry, selected, in a list of its own.
  static BkDevSel_DevList FsList() {
    BkDevSel_DevList list = nullptr;
    BkDevSel_SetupFullDevList(list, 1u << SDevAllo_ClassOfName("unixFS"));
    for (DevListEntry* e = list; e != nullptr; e = e->next) e->selected = e->record.devClass != 0;
    return list;
  }
};

}  // namespace dialog_test
