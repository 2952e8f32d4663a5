#include "IScript.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "Capture.hpp"
#include "ITestSupport.hpp"

using namespace zolt::test;

namespace {

struct Seen {
  std::vector<std::string> calls;
};
Seen seen;

void Bool(I_Context, std::int32_t id, bool v, void*) {
  seen.calls.push_back("bool " + std::to_string(id) + "=" + std::to_string(v));
}
void Int(I_Context ctx, std::int32_t id, std::int32_t v, void*) {
  seen.calls.push_back("int " + std::to_string(id) + "=" + std::to_string(v));
  if (id == 1) I_Deactivate(ctx);
}
void Str(I_Context, std::int32_t id, StrIn v, void*) {
  seen.calls.push_back("str " + std::to_string(id) + "=" + v.str());
}
void Gen(I_Context ctx, std::int32_t id, std::span<const std::uint8_t>, void*) {
  std::string sel;
  for (auto* p = I_GetList<I_ListRec>(ctx, id); p; p = p->next) sel += p->selected ? '1' : '0';
  seen.calls.push_back("list " + sel + (I_WasDoubleClick() ? " double" : ""));
}

class IScriptTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    IScript_Init();
    seen = {};
    ctx_ = I_Create("T_Main", false);
    I_SetBOOLEANcallback(ctx_, 2, Bool, nullptr);
    I_SetINTEGERcallback(ctx_, 3, Int, nullptr);
    I_SetSTRINGcallback(ctx_, 6, Str, nullptr);
    I_SetGenericCallback(ctx_, 7, Gen, nullptr);
    I_SetINTEGERcallback(ctx_, 1, Int, nullptr);
    for (int i = 0; i < 2; ++i) {
      std::snprintf(recs_[i].text, sizeof recs_[i].text, "order %d", i + 1);
      recs_[i].next = i == 0 ? &recs_[1] : nullptr;
    }
    I_PutList(ctx_, 7, &recs_[0]);
  }
  // Runs the dialog under the script in a child; its standard error and exit status.
  ChildResult RunScript(const std::string& script) {
    return RunInChild([&] {
      if (!IScript_StartText(script, "s")) std::_Exit(3);
      I_Activate(ctx_);
      I_Dialog(ctx_);
    });
  }

  I_Context ctx_ = nullptr;
  I_ListRec recs_[2] = {};
};

TEST_F(IScriptTest, ActsThroughTheWidgetsLikeAUser) {
  ASSERT_TRUE(
      IScript_StartText("# a whole session\n"
                        "wait T_Main\n"
                        "type T_Main 6 \"Order \\\"A\\\"\"\n"
                        "expect T_Main 6 \"Order \\\"A\\\"\"\n"
                        "toggle T_Main 2\n"
                        "expect T_Main 2 1\n"
                        "type T_Main 3 17\n"
                        "click T_Main 7 1\n"
                        "doubleclick T_Main 7 0\n"
                        "expect T_Main 7 \"order 1|order 2\"\n"
                        "press T_Main 1 2\n"
                        "gone T_Main\n",
                        "session"));
  I_Activate(ctx_);
  I_Dialog(ctx_);
  EXPECT_TRUE(IScript_Finished());
  const std::vector<std::string> want = {"str 6=Order \"A\"", "bool 2=1",       "int 3=17",
                                         "list 01",           "list 11 double", "int 1=2"};
  EXPECT_EQ(seen.calls, want);
}

TEST_F(IScriptTest, WaitsForDialogsThatTasksBringUp) {
  I_ScheduleTask(
      2000, [](void*) { I_Create("T_Child", true); }, nullptr);
  ASSERT_TRUE(IScript_StartText("wait T_Child 5000\npress T_Child 1 1\npress T_Main 1 1\n", "s"));
  I_Activate(ctx_);
  I_Dialog(ctx_);
  EXPECT_TRUE(IScript_Finished());
}

TEST_F(IScriptTest, ShotKeepsTheWindowAsItWasAtThatStep) {
  const std::string file = std::string(std::getenv("TMP")) + "/main.txt";
  ASSERT_TRUE(
      IScript_StartText("wait T_Main\n"
                        "toggle T_Main 2\n"
                        "click T_Main 7 1\n"
                        "shot T_Main " +
                            file +
                            "\n"
                            "toggle T_Main 2\n"
                            "press T_Main 1 2\n",
                        "s"));
  I_Activate(ctx_);
  I_Dialog(ctx_);
  EXPECT_TRUE(IScript_Finished());
  std::ifstream in(file);
  const std::string shown((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(shown.find("[x] "), std::string::npos) << shown;  // not the later state
  EXPECT_NE(shown.find("\n    order 1\n  * order 2\n"), std::string::npos) << shown;
}

TEST_F(IScriptTest, StepsThatCannotBeDoneEndTheRunNamingTheLine) {
  const struct {
    const char* script;
    const char* message;
  } cases[] = {
      {"expect T_Main 6 x\n", "script s:1: shows '', expected 'x'"},
      {"\npress T_Main 1 7\n", "script s:2: no fitting widget for AObj 1"},
      {"press T_Main 42 1\n", "script s:1: dialog 'T_Main' has no AObj 42"},
      {"press T_Child 1 1\n", "script s:1: dialog 'T_Child' is not shown"},
      {"wait T_Child\n", "script s:1: dialog 'T_Child' never appears"},
      {"click T_Main 7 5\n", "script s:1: the list has no line 5"},
      {"type T_Main 2 x\n", "no fitting widget for AObj 2"},
      {"toggle T_Main 2\n", "the program waits for input after the last step"},
      {"shot T_Child x.txt\n", "script s:1: dialog 'T_Child' is not shown"},
      {"shot T_Main no/such/dir/x.txt\n", "script s:1: no picture of 'T_Main': cannot write"},
  };
  for (const auto& c : cases) {
    const ChildResult r = RunScript(c.script);
    EXPECT_EQ(r.exitStatus, 1) << c.script;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  I_Disable(ctx_, 1);
  const ChildResult r = RunScript("press T_Main 1 1\n");
  EXPECT_NE(r.err.find("script s:1: the widget cannot be used now"), std::string::npos) << r.err;
}

TEST_F(IScriptTest, MalformedScriptsAreRefusedBeforeRunning) {
  for (const char* bad : {"jump T_Main\n", "press T_Main 1\n", "type T_Main 1 \"open\n"}) {
    const std::string err = CaptureStderr([&] { EXPECT_FALSE(IScript_StartText(bad, "s")); });
    EXPECT_NE(err.find("script s:1:"), std::string::npos) << err;
  }
  EXPECT_FALSE(IScript_Start("no-such-script"));
  TkVirtual_Close();
  EXPECT_FALSE(IScript_StartText("wait T_Main\n", "s"));  // no display to act on
}

}  // namespace
