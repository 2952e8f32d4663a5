// The program as operators start it: mode choice, start-up order and exit status.
#include <gtest/gtest.h>

#include <string>

#include "Sandbox.hpp"

namespace {

using zolt::test::ProgramPath;
using zolt::test::RunCommand;

std::string Zaredav(const std::string& args) {
  // Without a display neither mode can start; the message names the mode.
  return "DISPLAY= ZAREDAV_TRACE_INIT=1 " + ProgramPath("zaredav") + " " + args;
}

TEST(ZAreDav, OnlyTheExactWordBackupChoosesTheBackupMode) {
  const struct {
    std::string args;
    bool backup;
  } cases[] = {
      {"backup", true},   {"", false},        {"''", false},          {"Backup", false},
      {"backups", false}, {"restore", false}, {"backup extra", true},
  };
  for (const auto& c : cases) {
    const auto r = RunCommand(Zaredav(c.args));
    SCOPED_TRACE("arguments: " + c.args);
    EXPECT_EQ(r.status, 1) << r.err;
    const bool saidBackup = r.err.find("backup mode") != std::string::npos;
    const bool saidRestore = r.err.find("restore mode") != std::string::npos;
    EXPECT_EQ(saidBackup, c.backup) << r.err;
    EXPECT_EQ(saidRestore, !c.backup) << r.err;
  }
}

TEST(ZAreDav, HelpIsTheOneArgumentThatOpensNoDialog) {
  for (const char* arg : {"--help", "-h"}) {
    const auto r = RunCommand(Zaredav(arg));
    EXPECT_EQ(r.status, 0) << arg << r.err;
    EXPECT_NE(r.out.find("usage: zaredav backup"), std::string::npos) << arg << r.out;
    EXPECT_EQ(r.err.find("mode cannot start"), std::string::npos) << arg << r.err;
  }
}

TEST(ZAreDav, AnArgumentIsCutTo127CharactersBeforeTheComparison) {
  // 127 characters of "backup" followed by more: still not "backup".
  const auto r = RunCommand(Zaredav(std::string(200, 'b')));
  EXPECT_NE(r.err.find("restore mode"), std::string::npos) << r.err;
}

TEST(ZAreDav, ModulesStartInImportOrder) {
  const auto r = RunCommand(Zaredav("backup"));
  const auto at = [&](const std::string& name) { return r.err.find(" " + name + " "); };
  ASSERT_NE(r.err.find("init:"), std::string::npos) << r.err;
  EXPECT_LT(at("UCommon"), at("UArgs"));
  EXPECT_LT(at("UArgs"), at("Strings"));
  EXPECT_LT(at("Strings"), at("Processe"));
  EXPECT_LT(at("Messages"), at("Vuvedur"));
  EXPECT_LT(at("DirAcces"), at("Vuvedur"));
}

TEST(ZAreDav, GermanOperatorsGetGermanTexts) {
  const auto r = RunCommand("LANG=de_DE " + Zaredav(""));
  // The catalogues hold Latin-1, the suite's character set.
  EXPECT_NE(r.err.find("R\xfc"
                       "cksicherung"),
            std::string::npos)
      << r.err;
}

// A run on the virtual display driven by a script; the script file lies in the sandbox.
zolt::test::CommandResult Scripted(const std::string& mode, const std::string& script) {
  const std::string sandbox = zolt::test::SandboxDir();
  RunCommand("mkdir -p '" + sandbox + "/projects/orders'");  // the standard job root, empty
  RunCommand(std::string(ZOLT_DEMO_DIR) + "/make-devices.sh '" + sandbox + "' '" +
             zolt::test::BuildDir() + "'");
  zolt::test::WriteFile("zaredav.script", script);
  return RunCommand("DISPLAY= ZAREDAV_DISPLAY=virtual ZAREDAV_SCRIPT=zaredav.script " +
                    ProgramPath("zaredav") + " " + mode);
}

TEST(ZAreDav, ACancelledDeviceChoiceEndsTheModeNormally) {
  for (const char* mode : {"backup", "restore"}) {
    SCOPED_TRACE(mode);
    const auto r =
        Scripted(mode, "wait BkIact_DevSelect_Archiv\npress BkIact_DevSelect_Archiv 1 2\n");
    EXPECT_EQ(r.status, 0) << r.err;
    // A script that expects more than the program did is an error.
    const auto more = Scripted(mode,
                               "wait BkIact_DevSelect_Archiv\npress BkIact_DevSelect_Archiv 1 2\n"
                               "wait Vuvedur_Bck 500\n");
    EXPECT_EQ(more.status, 1) << more.err;
    EXPECT_NE(more.err.find("zaredav.script"), std::string::npos) << more.err;
  }
}

}  // namespace
