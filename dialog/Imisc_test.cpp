#include "Imisc.hpp"

#include <gtest/gtest.h>

#include "Capture.hpp"
#include "IScript.hpp"
#include "ITestSupport.hpp"
#include "Processe.hpp"
#include "Utility.hpp"

using namespace zolt::test;

namespace {

TEST(ImiscText, LinesAreBrokenAtSixtyColumnsAndSeventeenLines) {
  const std::string sixty(60, 'a');
  const struct {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"short", {"short"}},
      {sixty, {sixty}},
      {sixty + " b", {sixty, "b"}},
      {std::string(55, 'a') + " bbbbbbbbbb", {std::string(55, 'a'), "bbbbbbbbbb"}},
      {std::string(130, 'c'), {std::string(60, 'c'), std::string(60, 'c'), std::string(10, 'c')}},
      {"one\ntwo\n\nfour", {"one", "two", "", "four"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Imisc_BreakLines(c.text), c.lines) << c.text;
  std::string many;
  for (int i = 0; i < 20; ++i) many += "line " + std::to_string(i) + "\n";
  const auto lines = Imisc_BreakLines(many);
  ASSERT_EQ(lines.size(), Imisc_maxLines);
  EXPECT_EQ(lines.back(), "line 16");
}

TEST(ImiscText, MarkIsAppendedUnlessTheTextEndsInBlankQuestionPeriodOrBang) {
  const struct {
    const char* text;
    const char* want;
  } cases[] = {{"Disk full", "Disk full!"}, {"Continue?", "Continue?"}, {"Done.", "Done."},
               {"Stop!", "Stop!"},          {"Trailing ", "Trailing "}, {"", "!"}};
  for (const auto& c : cases) EXPECT_EQ(Imisc_Terminate(c.text, '!'), c.want);
  EXPECT_EQ(Imisc_Terminate("Overwrite", '?'), "Overwrite?");
}

class ImiscBox : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    IScript_Init();
    Imisc_Init();
  }
  void Script(const std::string& text) { ASSERT_TRUE(IScript_StartText(text, "t")); }
};

// Loop iterations until no context of that name is shown; the time that took.
std::int64_t TimeUntilGone(const char* name) {
  const std::int64_t t0 = Utility_GetCurrentTimeMillis();
  for (int i = 0; i < 100 && Ibase_FindActive(StrIn::FromC(name)) != nullptr; ++i)
    I_LoopIteration();
  return Utility_GetCurrentTimeMillis() - t0;
}

TEST_F(ImiscBox, ErrorBoxShowsTheTerminatedTextSizedToFit) {
  static TkVirtual_Info seen;
  I_ScheduleTask(
      0,
      [](void*) { seen = TkVirtual_Inspect(I_AccessWidget(Ibase_FindActive("Imisc_errmsg"), 2)); },
      nullptr);
  Script("expect Imisc_errmsg 1 \"The tape is write-protected!\"\nanswer Imisc_errmsg 0\n");
  Imisc_StrErrMsg("The tape is write-protected");
  EXPECT_TRUE(IScript_Finished());
  EXPECT_EQ(seen.columns, 28);
  EXPECT_EQ(seen.rows, 1);
  EXPECT_EQ(Ibase_FindActive("Imisc_errmsg"), nullptr);
  EXPECT_TRUE(TkVirtual_Shells().empty());
}

TEST_F(ImiscBox, CatalogueMessagesInTheBoxes) {
  Script(
      "expect Imisc_errmsg 1 \"The dialog has no field with this number.\"\nanswer Imisc_errmsg 0\n"
      "expect Imisc_yes 1 \"The dialog catalogue has no such dialog.\"\nanswer Imisc_yes 0\n"
      "expect Imisc_timedNotifyOK 1 \"There is no dialog window, or no display to show it on.\"\n"
      "answer Imisc_timedNotifyOK 0\n");
  Imisc_ErrMsg("I", 2);
  EXPECT_TRUE(Imisc_Yes("IdlgCat", 4));
  Imisc_Notify("I", 4, 5);
  EXPECT_EQ(TimeUntilGone("Imisc_timedNotifyOK"), 0);  // the button closed it at once
  EXPECT_TRUE(IScript_Finished());
}

TEST_F(ImiscBox, QuestionsAndConfirmationsReturnTheButtonPressed) {
  Script(
      "expect Imisc_yes 1 \"Overwrite the medium?\"\nanswer Imisc_yes 0\n"
      "answer Imisc_yes 1\n"
      "answer AskContinue 1\n"
      "close AskContinue\n");
  I_UseContextCat("ZAREDAVdlg");
  EXPECT_TRUE(Imisc_StrYes("Overwrite the medium?"));
  EXPECT_FALSE(Imisc_StrYes("Really"));
  EXPECT_EQ(Imisc_StrGenericConfirm("Insert the tape", "AskContinue"), 1);
  EXPECT_EQ(Imisc_StrGenericConfirm("Insert the tape", "AskContinue"), -1);
  EXPECT_TRUE(IScript_Finished());
}

TEST_F(ImiscBox, TimedNotificationsCountDownInHalfSecondTicks) {
  Imisc_StrNotify("Labelled", 3);
  I_Context box = Ibase_FindActive("Imisc_timedNotifyOK");
  ASSERT_NE(box, nullptr);
  char text[512];
  I_GetSTRING(box, 1, text);
  EXPECT_STREQ(text, "Labelled!");
  EXPECT_EQ(TimeUntilGone("Imisc_timedNotifyOK"), 6 * 500);
  EXPECT_TRUE(TkVirtual_Shells().empty());

  Imisc_StrNotify("Short", 2);
  EXPECT_NE(Ibase_FindActive("Imisc_timedNotify"), nullptr);
  EXPECT_EQ(TimeUntilGone("Imisc_timedNotify"), 4 * 500);

  // Without a time only the button or the window manager closes it.
  Imisc_StrNotify("Stays", 0);
  Imisc_StrNotify("Stays too", 0);
  Script("answer Imisc_timedNotifyOK 0\nclose Imisc_timedNotifyOK\n");
  EXPECT_EQ(TimeUntilGone("Imisc_timedNotifyOK"), 0);
  EXPECT_TRUE(TkVirtual_Shells().empty());
  // Closed before its time is up, a timed box goes at the next tick.
  const std::int64_t t0 = Utility_GetCurrentTimeMillis();
  Imisc_StrNotify("Closed early", 5);
  Script("close Imisc_timedNotifyOK\n");
  for (int i = 0; i < 10 && !TkVirtual_Shells().empty(); ++i) I_LoopIteration();
  EXPECT_TRUE(TkVirtual_Shells().empty());
  EXPECT_EQ(Utility_GetCurrentTimeMillis() - t0, 500);
}

TEST_F(ImiscBox, ErrorExplainShowsEveryReasonOnItsOwnLine) {
  Messages_IgnoreErrors(true);
  Messages_SupplyAdditionalInfo("::Read: first");
  Messages_SupplyAdditionalInfo("::Open: second");
  Script(
      "expect Imisc_ErrExpl 1 \"    ::Open: second\\n    ::Read: first\"\nanswer Imisc_ErrExpl "
      "0\n");
  Imisc_ErrorExplain();
  Messages_IgnoreErrors(false);
  EXPECT_TRUE(IScript_Finished());
  EXPECT_EQ(Messages_ErrorCount(false), 0u);
}

TEST(ImiscNoDisplay, ErrorExplainWritesToStandardErrorAndSetsExitStatus) {
  const auto r = RunInChild([] {
    Imisc_Init();
    Imisc_ErrorExplain();  // nothing collected: nothing happens
    std::fprintf(stderr, "status %d\n", Processe_ExitStatus());
    Messages_IgnoreErrors(true);
    Messages_SupplyAdditionalInfo("::Read: first");
    Messages_SupplyAdditionalInfo("::Open: second");
    Imisc_ErrorExplain();
    std::fprintf(stderr, "status %d\n", Processe_ExitStatus());
    EXPECT_FALSE(Imisc_StrYes("Go on"));  // no display: no
  });
  EXPECT_EQ(r.err, "status 0\n    ::Open: second\n    ::Read: first\nstatus 1\nGo on?\n");
}

}  // namespace
