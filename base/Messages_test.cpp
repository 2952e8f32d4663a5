// The reason stack and its brackets, fatal errors and the report they print, texts from
// the catalogue pool in the native and in foreign languages, and the C interface once
// it is plugged in.
#include "Messages.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Capture.hpp"
#include "Msg.hpp"
#include "Processe.hpp"
#include "Sandbox.hpp"
#include "SrfReader.hpp"

namespace {

namespace fs = std::filesystem;
using zolt::test::RunInChild;

std::string Text(const std::string& section, std::uint32_t number) {
  char text[5120];
  Messages_GetMsg(section, number, text);
  return StrIn(text).str();
}

std::string Pop() {
  char text[5120];
  EXPECT_TRUE(Messages_ErrorReason(text));
  return StrIn(text).str();
}

// A text of the shipped catalogue zolterr, read without the runtime.
std::string Shipped(const std::string& lang, const std::string& section, unsigned number) {
  const auto file = zolt::test::ReadSrf(zolt::test::BuildDir() + "/env/" + lang + "/zolterr.srf");
  for (const auto& s : file.sections) {
    for (const auto& [n, text] : s.texts) {
      if (s.name == section && n == number) return text;
    }
  }
  ADD_FAILURE() << "zolterr " << lang << " lacks (" << section << ", " << number << ")";
  return "";
}

// The report frame around the given reason lines, for this program.
std::string Report(const std::string& lines) {
  std::string trailer = Text("Messages", 103);
  trailer.replace(trailer.find("%s"), 2, "Messages_test");
  return "\n" + Text("Messages", 100) + "\n" + lines + trailer + "\n" + Text("Messages", 102) +
         "\n";
}

// Compiles source into the current directory as <lang>/<name>.srf, where the catalogue
// lookup tries first.
void Catalogue(const std::string& lang, const std::string& name, const std::string& source) {
  fs::create_directories(lang);
  zolt::test::WriteFile(lang + "/" + name + ".msg", source);
  const auto r = zolt::test::RunCommand(zolt::test::ProgramPath("srfc") + " -o " + lang + "/" +
                                        name + ".srf " + lang + "/" + name + ".msg");
  ASSERT_EQ(r.status, 0) << r.err;
}

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Messages_Init();
    char text[5120];
    while (Messages_ErrorReason(text)) {
    }
  }
  void TearDown() override {
    while (Messages_IgnoreLevel() > 0) Messages_IgnoreErrors(false);
    std::error_code ec;
    fs::remove_all("eng", ec);
    fs::remove_all("deu", ec);
    ::unsetenv("LANG");
    Messages_ReloadAllMsgCats();
  }
};

TEST_F(MessagesTest, ForgettingKeepsWhatTheCurrentLevelPushed) {
  Messages_IgnoreErrors(true);
  EXPECT_EQ(Messages_IgnoreLevel(), 1u);
  Messages_SupplyAdditionalInfo("::Outer: level 1 info");
  EXPECT_EQ(Messages_ErrorCount(true), 0u);  // a push at a level moves its mark
  Messages_IgnoreErrors(true);
  Messages_Error("Inner", 2);
  Messages_SupplyAdditionalInfo("::Inner: detail");
  Messages_IgnoreErrors(false);
  EXPECT_EQ(Messages_ErrorCount(true), 2u);
  EXPECT_EQ(Messages_ErrorCount(false), 3u);
  Messages_ForgetErrorReasons();
  EXPECT_EQ(Messages_ErrorCount(true), 0u);
  EXPECT_EQ(Messages_ErrorCount(false), 1u);
  Messages_IgnoreErrors(false);
  EXPECT_EQ(Messages_ErrorCount(true), 1u);  // seen from level 0 it is an inner reason
  EXPECT_EQ(Pop(), "    ::Outer: level 1 info");
  char text[16] = "x";
  EXPECT_FALSE(Messages_ErrorReason(text));
  EXPECT_STREQ(text, "");
}

TEST_F(MessagesTest, ANewTopLevelBracketDiscardsOldReasonsAtItsFirstPush) {
  Messages_IgnoreErrors(true);
  Messages_Error("Old", 1);
  Messages_IgnoreErrors(false);  // not forgotten

  Messages_IgnoreErrors(true);
  EXPECT_EQ(Messages_ErrorCount(false), 1u);  // still there until something new comes
  Messages_IgnoreErrors(true);                // an inner bracket changes nothing
  Messages_Error("New", 2);
  Messages_SupplyAdditionalInfo("::New: more");
  EXPECT_EQ(Messages_ErrorCount(false), 2u);
  Messages_IgnoreErrors(false);
  Messages_IgnoreErrors(false);
  EXPECT_EQ(Pop(), "    ::New: more");
  EXPECT_EQ(Pop(), Text("New", 2));
  EXPECT_EQ(Messages_ErrorCount(false), 0u);

  // Inside a bracket, older reasons of the same bracket stay.
  Messages_IgnoreErrors(true);
  Messages_Error("First", 1);
  Messages_IgnoreErrors(true);
  Messages_Error("Second", 2);
  Messages_IgnoreErrors(false);
  Messages_IgnoreErrors(false);
  EXPECT_EQ(Messages_ErrorCount(false), 2u);
}

TEST_F(MessagesTest, AScopedBracketClosesOnEveryWayOut) {
  const unsigned outside = Messages_IgnoreLevel();
  auto early = [](bool leave) {
    const Messages_Ignoring quiet;
    if (leave) return Messages_IgnoreLevel();
    Messages_Error("Quiet", 1);  // not fatal inside the bracket
    return Messages_IgnoreLevel();
  };
  EXPECT_EQ(early(true), outside + 1);
  EXPECT_EQ(Messages_IgnoreLevel(), outside);
  EXPECT_EQ(early(false), outside + 1);
  EXPECT_EQ(Messages_IgnoreLevel(), outside);
  EXPECT_EQ(Pop(), Text("Quiet", 1));  // the reasons stay, as with a hand-closed bracket
  {
    Messages_Ignoring outer;
    {
      const Messages_Ignoring inner;
      EXPECT_EQ(Messages_IgnoreLevel(), outside + 2);
    }
    outer.Close();
    EXPECT_EQ(Messages_IgnoreLevel(), outside);
    outer.Close();  // once closed, nothing more to close
  }
  EXPECT_EQ(Messages_IgnoreLevel(), outside);
}

TEST_F(MessagesTest, TheStackHoldsFortyEightReasonsAndInformationOfAnyLength) {
  Messages_IgnoreErrors(true);
  for (int i = 0; i < 50; ++i) Messages_SupplyAdditionalInfo("i" + std::to_string(i));
  Messages_Error("Dropped", 1);
  EXPECT_EQ(Messages_ErrorCount(false), 48u);
  EXPECT_EQ(Pop(), "    i47");
  Messages_IgnoreErrors(false);
  Messages_ForgetErrorReasons();

  const std::string fits(127, 'a'), longer(128, 'b'), long200(200, 'c');
  Messages_SupplyAdditionalInfo(fits);
  Messages_SupplyAdditionalInfo(longer);
  Messages_SupplyAdditionalInfo(long200);
  EXPECT_EQ(Pop(), long200);
  EXPECT_EQ(Pop(), longer);
  EXPECT_EQ(Pop(), "    " + fits);
}

TEST_F(MessagesTest, TheReportListsTheReasonsMostRecentFirstAndEmptiesTheStack) {
  const std::string long200 = "::Copy: " + std::string(192, 'x');
  Messages_IgnoreErrors(true);
  Messages_Error("LongSectionName", 1234);
  Messages_SupplyAdditionalInfo("::Open: short");
  Messages_Error("Catalog", 1);
  Messages_Error("Messages", 2);
  Messages_Error("NoSuch", 7);
  Messages_SupplyAdditionalInfo(long200);
  Messages_IgnoreErrors(false);

  const std::string out = zolt::test::CaptureStderr([] { Messages_ShowError(2); });
  EXPECT_EQ(out, Report("\t" + long200 + "\n" +
                        "  (NoSuch,     7) : *** ERROR (NoSuch, 7) : message text not found ***\n" +
                        "  (Messages,   2) : " + Text("Messages", 2) + "\n" +
                        "  (Catalog,    1) : " + Text("Catalog", 1) + "\n" + "\t::Open: short\n" +
                        "  (LongSectionName, 1234) : *** ERROR (LongSectionName, 1234) : message "
                        "text not found ***\n"));
  EXPECT_EQ(Messages_ErrorCount(false), 0u);
  EXPECT_EQ(zolt::test::CaptureStderr([] { Messages_ShowError(2); }), "");
}

TEST_F(MessagesTest, TheReportFallsBackToTheGeneralTrailer) {
  Catalogue("eng", "zolterr", "[Messages]\n100 head\n101 general trailer\n102 closing\n");
  Messages_ReloadAllMsgCats();
  Messages_IgnoreErrors(true);
  Messages_SupplyAdditionalInfo("::Op: x");
  Messages_IgnoreErrors(false);
  EXPECT_EQ(zolt::test::CaptureStderr([] { Messages_ShowError(2); }),
            "\nhead\n\t::Op: x\ngeneral trailer\nclosing\n");
}

TEST_F(MessagesTest, AFatalErrorPrintsTheChainAndExitsWithTwo) {
  const auto r = RunInChild([] {
    Messages_SupplyAdditionalInfo("::Open: cannot read 'x'");
    Messages_Error("Catalog", 0);
    std::_Exit(99);  // not reached
  });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(r.err, Report("  (Catalog,    0) : " + Text("Catalog", 0) + "\n" +
                          "\t::Open: cannot read 'x'\n"));
}

TEST_F(MessagesTest, ASecondFatalErrorWhileEndingIsIgnored) {
  const auto r = RunInChild([] {
    // Runs before the report, being installed after the message system.
    Processe_InstallTerminationProcedure([] {
      Messages_SupplyAdditionalInfo("::Late: info");
      Messages_Error("Second", 9);
    });
    Messages_Error("First", 1);
  });
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(r.err,
            Report("  (First,      1) : *** ERROR (First, 1) : message text not found ***\n"));
}

TEST_F(MessagesTest, WithDebugTheChainComesFirstAndThePostMortemSignalEndsTheProcess) {
  const std::string chain = Report("  (Catalog,    0) : " + Text("Catalog", 0) + "\n");
  // When the signal does not end the process, the normal fatal exit follows.
  for (const bool ignored : {false, true}) {
    const auto r = RunInChild([ignored] {
      ::setenv("DEBUG", "1", 1);
      if (ignored) ::signal(SIGSTKFLT, SIG_IGN);
      Messages_Error("Catalog", 0);
    });
    EXPECT_EQ(r.exited, ignored);
    EXPECT_EQ(ignored ? r.exitStatus : r.signal, ignored ? 2 : SIGSTKFLT);
    EXPECT_EQ(r.err, chain + "DebugModeExit !\n");
  }
}

TEST_F(MessagesTest, MisusedBracketsAreFatal) {
  const auto underflow = RunInChild([] { Messages_IgnoreErrors(false); });
  EXPECT_EQ(underflow.exitStatus, 2);
  EXPECT_EQ(underflow.err, Report("  (Messages,   1) : " + Text("Messages", 1) + "\n"));

  const auto tooDeep = RunInChild([] {
    for (int i = 0; i < 63; ++i) Messages_IgnoreErrors(true);
    if (Messages_IgnoreLevel() != 63) std::_Exit(98);
    Messages_Error("Kept", 1);
    Messages_IgnoreErrors(true);
  });
  EXPECT_EQ(tooDeep.exitStatus, 2);
  EXPECT_EQ(tooDeep.err,
            Report("  (Messages,   2) : " + Text("Messages", 2) + "\n" +
                   "  (Kept,       1) : *** ERROR (Kept, 1) : message text not found ***\n"));
}

TEST_F(MessagesTest, TerminateIfPrintsTheReasonsAndExitsWithOne) {
  const auto r = RunInChild([] {
    Messages_TerminateIf(false);
    Messages_SupplyAdditionalInfo("::Check: failed");
    Messages_TerminateIf(true);
  });
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, Report("\t::Check: failed\n"));
}

TEST_F(MessagesTest, MissingTextsAreNamedNotFatal) {
  Messages_GetMessage("NoSuchSection", 7);
  EXPECT_STREQ(Messages_message, "*** ERROR (NoSuchSection, 7) : message text not found ***");
  EXPECT_TRUE(Messages_IsUndefMessage());
  Messages_GetMessage("Messages", 100);
  EXPECT_EQ(std::string(Messages_message), Shipped("eng", "Messages", 100));
  EXPECT_FALSE(Messages_IsUndefMessage());
}

TEST_F(MessagesTest, TheLanguageComesFromTheEnvironment) {
  const std::string eng = Shipped("eng", "Messages", 100);
  const std::string deu = Shipped("deu", "Messages", 100);
  ASSERT_NE(eng, deu);
  EXPECT_EQ(Text("Messages", 100), eng);  // LANG unset

  ::setenv("LANG", "de_DE.UTF-8", 1);
  Messages_ReloadAllMsgCats();
  EXPECT_EQ(Text("Messages", 100), deu);

  char text[5120];
  EXPECT_TRUE(Messages_GetForeignMsg("eng", "Messages", 100, text));
  EXPECT_EQ(StrIn(text).str(), eng);
  EXPECT_FALSE(Messages_GetForeignMsg("fra", "Messages", 100, text));
  EXPECT_STREQ(text, "*** ERROR (Messages, 100) : message text not found ***");
}

TEST_F(MessagesTest, ProgramCataloguesAreSearchedFirstAndAddedOnce) {
  Catalogue("eng", "mine", "[Messages]\n100 my header\n[Mine]\n3 three\n1 one\n2 two\n");
  Messages_UseMsgCat("mine");
  EXPECT_EQ(Text("Messages", 100), "my header");
  EXPECT_EQ(Text("Messages", 101), Shipped("eng", "Messages", 101));

  // Not in German: the German pool leaves it out.
  char text[5120];
  EXPECT_FALSE(Messages_GetForeignMsg("deu", "Mine", 1, text));
  EXPECT_TRUE(Messages_GetForeignMsg("deu", "Messages", 100, text));
  EXPECT_EQ(StrIn(text).str(), Shipped("deu", "Messages", 100));

  Messages_StartSection("Mine");
  std::uint32_t number = 0;
  std::string listed;
  for (Messages_NextMessage(number); Messages_message[0] != '\0'; Messages_NextMessage(number)) {
    listed += std::to_string(number) + "=" + Messages_message + ";";
  }
  EXPECT_EQ(listed, "1=one;2=two;3=three;");
  EXPECT_EQ(number, 0u);

  // Already in the pool: the file is not read again.
  fs::remove("eng/mine.srf");
  Messages_IgnoreErrors(true);
  Messages_UseMsgCat("mine");
  Messages_IgnoreErrors(false);
  EXPECT_EQ(Messages_ErrorCount(false), 0u);
  // A reload drops what cannot be opened any more.
  Messages_ReloadAllMsgCats();
  EXPECT_EQ(Text("Messages", 100), Shipped("eng", "Messages", 100));
  EXPECT_EQ(Messages_ErrorCount(false), 0u);
}

TEST_F(MessagesTest, MissingCataloguesAndSectionsAreReportedWithTheirNames) {
  Messages_IgnoreErrors(true);
  Messages_UseMsgCat("nosuch");
  Messages_IgnoreErrors(false);
  EXPECT_EQ(Messages_ErrorCount(true), 3u);
  EXPECT_EQ(Pop(), Text("Catalog", 1));
  EXPECT_EQ(Pop(), "    " + Text("Catalog", 1) + "nosuch.srf'");
  const std::string env = std::getenv("ZOLTENV");
  const std::string dirs = Pop();
  EXPECT_EQ(dirs.substr(0, 4 + Text("Catalog", 3).size()), "    " + Text("Catalog", 3));
  for (const std::string& dir :
       {std::string("./eng"), std::string("./deu"), env.substr(0, env.find(':')) + "/eng"}) {
    EXPECT_NE(dirs.find(" " + dir), std::string::npos) << dir << " in " << dirs;
  }

  Messages_IgnoreErrors(true);
  Messages_StartSection("Nope");
  Messages_IgnoreErrors(false);
  EXPECT_EQ(Pop(), Text("Catalog", 6));
  EXPECT_EQ(Pop(), "    " + Text("Catalog", 2) + "Nope'");
  std::uint32_t number = 5;
  Messages_NextMessage(number);
  EXPECT_STREQ(Messages_message, "");
  EXPECT_EQ(number, 0u);

  const auto r = RunInChild([] { Messages_UseMsgCat("nosuch"); });
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("nosuch.srf'"), std::string::npos) << r.err;

  // Without any catalogue (a wrong ZOLTENV) the report still names file and places.
  const auto lost = RunInChild([] {
    ::setenv("ZOLTENV", "/nonexistent/env", 1);
    ::chdir("/");
    Messages_ReloadAllMsgCats();
    Messages_UseMsgCat("nosuch");
  });
  EXPECT_EQ(lost.exitStatus, 2);
  for (const char* part : {"Message catalogue missing: 'nosuch.srf'",
                           "Directories searched: ./eng, /nonexistent/env/eng, ./deu"}) {
    EXPECT_NE(lost.err.find(part), std::string::npos) << part << " in " << lost.err;
  }
}

TEST_F(MessagesTest, CatalogueTextsReachAUTF8TerminalInUTF8) {
  const std::string latin1 =
                        "Gr\xF6\xDF"
                        "e\n",
                    utf8 =
                        "Gr\xC3\xB6\xC3\x9F"
                        "e\n";
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_CTYPE");
  ::setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(Messages_ForOutput(terminal, latin1 + latin1), utf8 + utf8);
  EXPECT_EQ(Messages_ForOutput(terminal, utf8 + latin1), utf8 + utf8);  // UTF-8 lines stay
  EXPECT_EQ(Messages_ForOutput(master + 1000, latin1), latin1);         // no terminal
  ::setenv("LC_CTYPE", "de_DE.ISO-8859-1", 1);
  EXPECT_EQ(Messages_ForOutput(terminal, latin1), latin1);
  ::setenv("LC_ALL", "C.utf8", 1);
  EXPECT_EQ(Messages_ForOutput(terminal, latin1), utf8);
  ::close(terminal);
  ::close(master);
}

TEST_F(MessagesTest, TheCInterfaceForwardsOncePluggedIn) {
  MsgIgnoreErrors(true);
  EXPECT_EQ(Messages_IgnoreLevel(), 1u);
  MsgError("cfgFile", 4);
  MsgAddIInfo(std::string(200, 'z').c_str());
  MsgIgnoreErrors(false);
  EXPECT_EQ(MsgErrorCount(true), 2u);
  EXPECT_EQ(Messages_ErrorCount(true), 2u);

  char text[300];
  EXPECT_EQ(MsgErrorReason(text, sizeof text - 1), 1);
  EXPECT_EQ(std::string(text), "    ::" + std::string(125, 'z'));
  EXPECT_EQ(MsgErrorReason(text, sizeof text - 1), 1);
  EXPECT_EQ(std::string(text), "*** ERROR (cfgFile, 4) : message text not found ***");
  EXPECT_EQ(MsgErrorReason(text, sizeof text - 1), 0);

  MsgGetMessage("Messages", 100, text, sizeof text - 1);
  EXPECT_EQ(std::string(text), Shipped("eng", "Messages", 100));
}

}  // namespace
