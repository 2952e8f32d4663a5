// The C interface on its own: the built-in reason stack used before the message system
// is plugged in, the output functions, and the hand-over when it is plugged.
#include "Msg.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "Capture.hpp"
#include "Sandbox.hpp"

namespace {

using zolt::test::CaptureStderr;

std::string Pop() {
  char text[256];
  EXPECT_EQ(MsgErrorReason(text, sizeof text - 1), 1);
  text[sizeof text - 1] = '\0';
  return text;
}

void Drain() {
  char text[256];
  while (MsgErrorReason(text, sizeof text - 1)) {
  }
  while (MsgIgnoreLevel() > 0) MsgIgnoreErrors(false);
}

class MsgBuiltin : public ::testing::Test {
 protected:
  void SetUp() override { Drain(); }
};

TEST_F(MsgBuiltin, KeepsReasonsMostRecentFirst) {
  MsgError("cfgFile", 3);
  MsgAddInfo("::CfRead: no file");
  MsgSupplyAdditionalInfo("plain");
  MsgAddIInfo(std::string(130, 'q').c_str());
  EXPECT_EQ(MsgErrorCount(false), 4u);
  EXPECT_EQ(Pop(), "::" + std::string(125, 'q'));
  EXPECT_EQ(Pop(), "plain");
  EXPECT_EQ(Pop(), "::CfRead: no file");
  EXPECT_EQ(Pop(), "(cfgFile, 3) : no message text (message system not started)");
  char text[8] = "x";
  EXPECT_EQ(MsgErrorReason(text, sizeof text - 1), 0);
  EXPECT_STREQ(text, "");
}

TEST_F(MsgBuiltin, HoldsThirtyThreeReasons) {
  for (int i = 0; i < 40; ++i) MsgAddInfo(std::to_string(i).c_str());
  EXPECT_EQ(MsgErrorCount(false), 33u);
  EXPECT_EQ(Pop(), "32");
}

TEST_F(MsgBuiltin, BracketsCountAndForgetAndComplainOnUnderflow) {
  MsgAddInfo("outer");
  MsgIgnoreErrors(true);
  MsgIgnoreErrors(true);
  MsgError("dynStr", 1);
  MsgIgnoreErrors(false);
  EXPECT_EQ(MsgIgnoreLevel(), 1u);
  EXPECT_EQ(MsgErrorCount(true), 1u);
  MsgForgetErrorReasons();
  EXPECT_EQ(MsgErrorCount(true), 0u);
  EXPECT_EQ(MsgErrorCount(false), 1u);
  MsgIgnoreErrors(false);
  EXPECT_EQ(CaptureStderr([] { MsgIgnoreErrors(false); }),
            "::MyIgnoreErrors: ignore stack underflow\n");
  EXPECT_EQ(MsgIgnoreLevel(), 0u);
  EXPECT_EQ(Pop(), "outer");
}

TEST_F(MsgBuiltin, CopiesAtMostLenCharacters) {
  char text[12];
  std::fill(std::begin(text), std::end(text), '#');
  MsgGetMessage("dynStr", 2, text, 5);
  EXPECT_EQ(std::string(text, 6), "*** E#");
  MsgAddInfo("abcdefgh");
  EXPECT_EQ(MsgErrorReason(text, 3), 1);
  EXPECT_EQ(std::string(text, 6), "abc E#");
  MsgAddInfo("ab");
  EXPECT_EQ(MsgErrorReason(text, 3), 1);
  EXPECT_STREQ(text, "ab");
}

TEST_F(MsgBuiltin, ShowErrorsWritesOneLinePerReason) {
  MsgError("cfgFile", 7);
  MsgAddInfo("::CfOpen: detail");
  EXPECT_EQ(CaptureStderr(ShowErrors),
            "::CfOpen: detail\n(cfgFile, 7) : no message text (message system not started)\n");
  EXPECT_EQ(MsgErrorCount(false), 0u);

  zolt::test::WriteFile("log", "earlier\n");
  MsgAddInfo("one");
  MsgAddInfo("two");
  FShowErrors("log");
  EXPECT_EQ(zolt::test::ReadFile("log"), "earlier\ntwo\none\n");

  MsgAddInfo("kept");
  EXPECT_EQ(CaptureStderr([] { FShowErrors("nodir/log"); }),
            "FShowErrors: cannot open 'nodir/log' (No such file or directory)\n");
  EXPECT_EQ(Pop(), "kept");
}

// A message system of the test's own, to see what is forwarded where.
struct Fake {
  std::vector<std::string> calls;
  char message[32] = "text of the fake";
} fake;

MsgOperations FakeOperations() {
  return {
      [](StrIn s, std::uint32_t n) {
        fake.calls.push_back("error " + s.str() + " " + std::to_string(n));
      },
      [](bool on) { fake.calls.push_back(on ? "open" : "close"); },
      [] { return 7u; },
      [](bool since) { return since ? 1u : 2u; },
      [](StrOut text) {
        Strings_Assign("popped", text);
        return true;
      },
      [](StrIn t) { fake.calls.push_back("info " + t.str()); },
      [] { fake.calls.push_back("forget"); },
      [](StrIn n) { fake.calls.push_back("use " + n.str()); },
      [](StrIn s, std::uint32_t n) {
        fake.calls.push_back("get " + s.str() + " " + std::to_string(n));
      },
  };
}

// Plugging is for the rest of the process, so this comes last.
TEST(MsgPlugged, HandsOverWaitingReasonsAndForwardsEveryCall) {
  Drain();
  MsgError("cfgFile", 1);
  MsgAddInfo("later");
  MsgPlugModula(fake.message, sizeof fake.message, FakeOperations());
  EXPECT_EQ(fake.calls,
            (std::vector<std::string>{
                "info (cfgFile, 1) : no message text (message system not started)", "info later"}));
  fake.calls.clear();

  MsgError("dynStr", 4);
  MsgIgnoreErrors(true);
  MsgIgnoreErrors(false);
  MsgAddIInfo("x");
  MsgForgetErrorReasons();
  MsgUseMsgCat("LBASEmsg");
  char text[64];
  MsgGetMessage("dynStr", 9, text, sizeof text - 1);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"error dynStr 4", "open", "close", "info ::x",
                                                  "forget", "use LBASEmsg", "get dynStr 9"}));
  EXPECT_STREQ(text, "text of the fake");
  EXPECT_EQ(MsgIgnoreLevel(), 7u);
  EXPECT_EQ(MsgErrorCount(true), 1u);
  EXPECT_EQ(MsgErrorCount(false), 2u);
  EXPECT_EQ(MsgErrorReason(text, sizeof text - 1), 1);
  EXPECT_STREQ(text, "popped");
}

}  // namespace
