#include "BkJukeI.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Messages.hpp"
#include "Sandbox.hpp"

namespace {

using zolt::test::ReadFile;

class BkJukeITest : public ::testing::Test {
 protected:
  void SetUp() override {
    BkJukeI_Init();
    ::setenv("DISPLAY", "ws7:1.0", 1);
    ::unsetenv("LD_LIBRARY_PATH");
  }
};

// The selection file named last in the arguments.
std::string FileOf(const SJobQues_Job* job) {
  const std::string args = job->arguments;
  return args.substr(args.rfind(' ') + 1);
}

TEST_F(BkJukeITest, JobRunsTheInventoryProgramAndRemovesItsSelection) {
  BkJuke_Selection selection;
  selection.slots = {0, 3};
  selection.drives = {1};
  struct Case {
    BkJukeI_Speed speed;
    BkJukeI_Scope scope;
    const char* words;
  };
  for (const Case& c : {Case{BkJukeI_Speed::Fast, BkJukeI_Scope::AllUnknown, "fast allUnknown"},
                        Case{BkJukeI_Speed::Slow, BkJukeI_Scope::AllSelected, "slow allSelected"},
                        Case{BkJukeI_Speed::Fast, BkJukeI_Scope::All, "fast all"}}) {
    SJobQues_Job* job = BkJukeI_MkJob("lib1", c.speed, c.scope, selection);
    ASSERT_NE(job, nullptr) << c.words;
    EXPECT_STREQ(job->command, "DISPLAY=ws7:1.0; export DISPLAY; VUDAVUZ");
    const std::string file = FileOf(job);
    EXPECT_EQ(std::string(job->arguments),
              std::string(" -C lib1 ") + c.words + " " + file + "; rm -f " + file);
    EXPECT_EQ(file.rfind(std::string(std::getenv("TMP")) + "/jukesel.", 0), 0u) << file;
    BkJuke_Selection back;
    std::string text = ReadFile(file);
    ASSERT_FALSE(text.empty());
    text.pop_back();
    ASSERT_TRUE(BkJuke_DecodeSelection(text, back)) << text;
    EXPECT_EQ(back.slots, selection.slots);
    EXPECT_EQ(back.drives, selection.drives);
    ::unlink(file.c_str());
    SJobQues_DestroyJob(job);
  }
}

TEST_F(BkJukeITest, NamesThatBreakTheShellLineAreRefused) {
  for (const char* name : {"", "a b", "x;rm -rf /", "$(id)", "q'"}) {
    Messages_Ignoring quiet;
    EXPECT_EQ(BkJukeI_MkJob(std::string(name), BkJukeI_Speed::Fast, BkJukeI_Scope::All, {}),
              nullptr)
        << name;
    EXPECT_EQ(BkJukeI_error, 2) << name;
  }
  // No selection file was left behind.
  EXPECT_EQ(::system("ls \"$TMP\" | grep -q jukesel"), 256);
}

TEST_F(BkJukeITest, NoWritableTemporaryDirectory) {
  ::setenv("TMP", "/nonexistent/dir", 1);
  Messages_Ignoring quiet;
  EXPECT_EQ(BkJukeI_MkJob("lib1", BkJukeI_Speed::Slow, BkJukeI_Scope::All, {}), nullptr);
  EXPECT_EQ(BkJukeI_error, 1);
}

}  // namespace
