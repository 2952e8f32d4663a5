// Test support: sample job roots and one session in the backup dialog's job-root and
// order-list fields, driven by the scripted driver on whatever display is in use.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Capture.hpp"
#include "DirAcces.hpp"
#include "I.hpp"
#include "IScript.hpp"
#include "Imisc.hpp"
#include "Messages.hpp"
#include "OOinfos.hpp"
#include "Odirs.hpp"
#include "Oresourc.hpp"
#include "SPrintf.hpp"
#include "Sandbox.hpp"
#include "Vuvedur.hpp"
#include "test/Rival.hpp"

namespace vuvedur_test {

using zolt::test::SandboxDir;

// "<dir>/orders" with n sample orders of the generator (dir relative to the sandbox).
inline std::string MakeJobRoot(const std::string& dir, int n, int seed = 1) {
  const std::string root = SandboxDir() + "/" + dir + "/orders";
  const auto r = zolt::test::RunCommand(zolt::test::ProgramPath("mkorders") + " --orders " +
                                        std::to_string(n) + " --size 200k --seed " +
                                        std::to_string(seed) + " " + root);
  EXPECT_EQ(r.status, 0) << r.err;
  return root;
}

// The list lines of the orders of a root, as the order model lists them.
inline std::vector<std::string> OrderLines(const std::string& root) {
  std::vector<std::string> lines;
  Odirs_NameList names = OOinfos_GetOrderlist(root);
  for (auto* e = names; e != nullptr; e = e->next) lines.emplace_back(e->text);
  Odirs_DestroyNamelist(names);
  return lines;
}

inline std::string Join(const std::vector<std::string>& parts, const std::string& sep) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? sep : "") + parts[i];
  return out;
}

// A word of a script line.
inline std::string Quote(const std::string& text) {
  std::string q = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') q += '\\';
    if (c == '\n') {
      q += "\\n";
      continue;
    }
    q += c;
  }
  return q + "\"";
}

// A message of the application as its error box shows it.
inline std::string BoxText(std::uint32_t number, const std::string& arg) {
  char text[128];
  Messages_GetMsg(Vuvedur_sectionN, number, text);
  SPrintf_String(text, arg);
  return Join(Imisc_BreakLines(Imisc_Terminate(text, '!')), "\n");
}

// The session: two job roots, a known-roots file, an order of the second root held by
// another process. The script refuses a directory that is not an orders directory and an
// empty entry, keeps the root when the question is answered no, switches by the list and
// sees the held order left out with message 31.
struct Session {
  std::string root1, root2, notOrders;
  std::vector<std::string> lines1, lines2;
  std::string heldLine;
  // Opens the display in the session's own process, when the test has not opened one.
  std::function<bool()> openDisplay;

  void Prepare() {
    root1 = SandboxDir() + "/projects/orders";  // the standard root of the sandbox
    MakeJobRoot("projects", 3);
    root2 = MakeJobRoot("second", 3, 2);
    notOrders = SandboxDir() + "/second/forms";
    zolt::test::WriteFile(SandboxDir() + "/customer/folvaneoJobRoots",
                          "   " + root2 + "\n\n" + root1 + "\n");
    lines1 = OrderLines(root1);
    lines2 = OrderLines(root2);
    heldLine = lines2.at(1);
    lines2.erase(lines2.begin() + 1);
  }

  std::string HeldResource() const {
    char name[128];
    Odirs_GetName(heldLine, name);
    char res[256];
    Oresourc_OrderRes(root2 + "/" + name, true, res);
    return res;
  }

  std::string Script() const {
    const std::string B = "Vuvedur_Bck ";
    return "wait Vuvedur_Bck\n"
           "expect " +
           B + "13 " + Quote(root1) +
           "\n"
           "expect " +
           B + "8 " + Quote(Join(lines1, "|")) +
           "\n"
           "expect " +
           B + "15 " + Quote(root1 + "|" + root2) +
           "\n"
           // An existing directory that is no orders directory: refused without a word.
           "type " +
           B + "13 " + Quote(notOrders) +
           "\n"
           "wait Imisc_yes\nanswer Imisc_yes 0\n"
           "expect " +
           B + "13 " + Quote(root1) +
           "\n"
           // An empty entry: message 51.
           "type " +
           B +
           "13 \"  \"\n"
           "wait Imisc_errmsg\nanswer Imisc_errmsg 0\n"
           "expect " +
           B + "13 " + Quote(root1) +
           "\n"
           // The question answered no keeps the root.
           "type " +
           B + "13 " + Quote(" " + root2 + " ") +
           "\n"
           "wait Imisc_yes\nanswer Imisc_yes 1\n"
           "expect " +
           B + "13 " + Quote(root1) +
           "\n"
           // From the list: the held order is refused after its attempts.
           "click " +
           B +
           "15 1\n"
           "wait Imisc_yes\nanswer Imisc_yes 0\n"
           "wait Imisc_errmsg 20000\n"
           "expect Imisc_errmsg 1 " +
           Quote(BoxText(31, heldLine)) +
           "\n"
           "answer Imisc_errmsg 0\n"
           "expect " +
           B + "13 " + Quote(root2) +
           "\n"
           "expect " +
           B + "8 " + Quote(Join(lines2, "|")) +
           "\n"
           "expect " +
           B + "15 " + Quote(root2 + "|" + root1) +
           "\n"
           // The medium's sizes in gigabytes of 1073741824 bytes.
           "expect " +
           B +
           "11 1.50\n"
           "expect " +
           B +
           "16 400.00\n"
           "expect " +
           B +
           "17 800.25\n"
           "close Vuvedur_Bck\n"
           "gone Vuvedur_Bck\n";
  }

  // Runs the backup dialog's job-root and order-list part until the script closes it;
  // the child's result and how long it took.
  zolt::test::ChildResult Run(std::chrono::milliseconds& took) const {
    orders_test::Rival rival(HeldResource());
    EXPECT_TRUE(rival.holds());
    const auto start = std::chrono::steady_clock::now();
    const auto r = zolt::test::RunInChild([&] {
      if (openDisplay && !openDisplay()) std::_Exit(5);
      I_UseContextCat("ZAREDAVdlg");
      Messages_UseMsgCat("ZAREDAVmsg");
      if (!IScript_StartText(Script(), "jobroots")) std::_Exit(3);
      VuvedurData* ctx = Vuvedur_dataRef = Vuvedur_Create();
      ctx->usedOnMedium = 1610612736.0;
      ctx->nativeCapacity = 400.0 * 1073741824.0;
      ctx->capacity = 800.25 * 1073741824.0;
      ctx->backupDialog = I_Create(Vuvedur_sectionBck, false);
      Vuvedur_SetupJobRoots(ctx, ctx->backupDialog);
      Vuvedur_BckUpdateOrderList(ctx);
      I_Activate(ctx->backupDialog);
      I_Dialog(ctx->backupDialog);
      Vuvedur_Free(ctx);
      if (!IScript_Finished()) std::_Exit(4);
    });
    took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
    return r;
  }
};

}  // namespace vuvedur_test
