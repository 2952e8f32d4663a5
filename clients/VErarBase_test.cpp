#include "VErarBase.hpp"

#include <gtest/gtest.h>

namespace {

using K = VErarBase_PrecondKind;

VErarBase_Job FullInlineJob() {
  VErarBase_Job job;
  job.priority = 7;
  job.cpuUsage = VErarBase_CpuUsage::Low;
  job.executeOn = VErarBase_ExecuteOn::Cluster;
  job.id = "node1-1700000000000-42-0";
  job.employerHost = "node1";
  job.workDir = "/projects/my orders";
  job.description = "Backup A";
  job.submitterName = "ZAreDav";
  job.submitterAddons = "x\\y";
  job.errorFileName = "/tmp/err";
  job.progressFileName = "/tmp/prog";
  job.timeout = 90;
  job.uid = 500;
  job.gid = 100;
  job.preconditions = {{K::Script, "test -f x"},
                       {K::Inherited, "node1:tape0:*"},
                       {K::Resource, "*:M1:*"},
                       {K::File, "/a b"}};
  job.restrictions = {"r1"};
  job.cleanupCommands = {"rm -f x"};
  job.command = "bash /tmp/s.sh ";
  return job;
}

TEST(VErarBaseTest, RendersEveryKeyInOrderWithEscapes) {
  EXPECT_EQ(VErarBase_Render(FullInlineJob()),
            "TYPE=Inline STATUS=waiting PRIORITY=7 EXECUTE_ON=cluster CPU_USAGE=low "
            "ID=node1-1700000000000-42-0 EMPLOYER_HOST=node1 WORK_DIR=/projects/my\\ orders "
            "DESC=Backup\\ A SUBMITTER_NAME=ZAreDav SUBMITTER_ADDONS=x\\\\y "
            "ERRORFILENAME=/tmp/err PROGRESSFILENAME=/tmp/prog TIMEOUT=90 UID=500 GID=100 "
            "PRECONDITION=SCRIPT:test\\ -f\\ x PRECONDITION=INHERIT:node1:tape0:* "
            "PRECONDITION=RESOURCE:*:M1:* PRECONDITION=FILE:/a\\ b RESTRICTION=r1 "
            "CLEANUPCMD=rm\\ -f\\ x INLINE_CMD=bash\\ /tmp/s.sh\\ ");
}

TEST(VErarBaseTest, LeavesOutEmptyValuesUnsetIdsAndTinyTimeouts) {
  VErarBase_Job job;
  job.command = "true ";
  job.timeout = 5e-9;
  EXPECT_EQ(VErarBase_Render(job),
            "TYPE=Inline STATUS=waiting PRIORITY=0 EXECUTE_ON=local CPU_USAGE=high "
            "INLINE_CMD=true\\ ");
  job.timeout = -1e-8;
  EXPECT_NE(VErarBase_Render(job).find(" TIMEOUT=-1e-08 "), std::string::npos);
}

TEST(VErarBaseTest, ScriptAndKorvexJobsNameTheirFiles) {
  VErarBase_Job script;
  script.type = VErarBase_Type::Script;
  script.workDir = "/w";
  script.command = "/s/run.sh";
  EXPECT_EQ(VErarBase_Render(script),
            "TYPE=Script STATUS=waiting PRIORITY=0 EXECUTE_ON=local CPU_USAGE=high WORK_DIR=/w "
            "SCRIPT_FILENAME=/s/run.sh SRC_FILENAME=/s/run.sh DST_PATH=/w");
  VErarBase_Job korvex;
  korvex.type = VErarBase_Type::Korvex;
  korvex.status = VErarBase_Status::Canceled;
  korvex.command = "a.pdf";
  korvex.srcFileName = "src";
  korvex.dstPath = "/d";
  EXPECT_EQ(VErarBase_Render(korvex),
            "TYPE=Korvex STATUS=canceled PRIORITY=0 EXECUTE_ON=local CPU_USAGE=high "
            "PDF_FILENAME=a.pdf DST_PATH=/d SRC_FILENAME=src");
  for (const VErarBase_Job& job : {script, korvex}) {
    VErarBase_Job back;
    std::string error;
    ASSERT_TRUE(VErarBase_Parse(VErarBase_Render(job), back, error)) << error;
    EXPECT_EQ(back, job);
  }
}

TEST(VErarBaseTest, ParsesWhatItRendersAndKeepsUnknownKeys) {
  VErarBase_Job job = FullInlineJob();
  job.status = VErarBase_Status::WaitingForPrecond;
  job.extra = {{"SERVER_PID", "12"}};
  VErarBase_Job back;
  std::string error;
  ASSERT_TRUE(VErarBase_Parse(VErarBase_Render(job), back, error)) << error;
  EXPECT_EQ(back, job);

  // Doubled blanks between pieces and a value that ends in an escaped backslash.
  ASSERT_TRUE(VErarBase_Parse("TYPE=Inline  INLINE_CMD=a\\\\ DESC=x", back, error));
  EXPECT_EQ(back.command, "a\\");
  EXPECT_EQ(back.description, "x");
}

TEST(VErarBaseTest, RefusesPiecesThatDoNotFit) {
  VErarBase_Job job;
  std::string error;
  for (const char* bad : {"TYPE=Inline garbage", "=x", "PRIORITY=high", "UID=1x",
                          "PRECONDITION=BOGUS:x", "PRECONDITION=FILE:", "TIMEOUT=soon"}) {
    EXPECT_FALSE(VErarBase_Parse(bad, job, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST(VErarBaseTest, HolderOfAJobIsNoRealProcessAndStaysTheSame) {
  const std::int32_t a = VErarBase_HolderPid("node1-1-2-0");
  EXPECT_GT(a, 4194304);  // above every process id Linux hands out
  EXPECT_EQ(a, VErarBase_HolderPid("node1-1-2-0"));
  EXPECT_NE(a, VErarBase_HolderPid("node1-1-2-1"));
}

}  // namespace
