// End-to-end: jobs submitted through the classic job records to the real job server,
// with the real resource manager behind both, and the operator's command line.
#include <sys/stat.h>

#include <algorithm>

#include "JobServerFixture.hpp"
#include "Messages.hpp"
#include "Processe.hpp"

namespace {

using namespace zolt::test;

TEST_F(JobServerTest, HandedOverReservationIsHeldWhileTheJobRunsInItsWorkDirectory) {
  const std::string dir = SandboxDir() + "/order dir";
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  ASSERT_TRUE(SRM_Reserve("*:M1:*", true));
  Submit(
      "backup M1", "pwd > where; while [ ! -f go ]; do sleep 0.05; done",
      [](SJobQues_Job* j) {
        SJobQues_InheritResourceToJob(j, "*:M1:*");
        SJobQues_AddResourceToPrecondition(j, "node:RESTORE_FROMtape0:*");
      },
      dir);
  // The submitter lets go of its own hold right away, as the tool does after submitting.
  SRM_Release("*:M1:*");

  ASSERT_TRUE(Eventually([&] { return !ReadFile(dir + "/where").empty(); }));
  EXPECT_EQ(ReadFile(dir + "/where"), dir + "\n");
  EXPECT_EQ(Status("backup M1"), "running");
  EXPECT_FALSE(FreeForOthers("*:M1:*"));
  EXPECT_FALSE(FreeForOthers("*:RESTORE_FROMtape0:*"));

  WriteFile(dir + "/go", "");
  ASSERT_TRUE(Reaches("backup M1", "done"));
  EXPECT_TRUE(FreeForOthers("*:M1:*"));
  EXPECT_TRUE(FreeForOthers("node:RESTORE_FROMtape0:*"));
}

TEST_F(JobServerTest, PreconditionsHoldAJobBackAndItsOutputIsKept) {
  ASSERT_TRUE(SRM_Reserve("*:DEV2:*", true));
  Submit("needs DEV2", "touch ran-dev2",
         [](SJobQues_Job* j) { SJobQues_AddResourceToPrecondition(j, "*:DEV2:*"); });
  Submit("needs flag", "echo out; echo err >&2; exit 3",
         [](SJobQues_Job* j) { Strings_Assign("test -f flag", j->scriptPrecondition); });
  Submit("needs gate", "touch ran-gate",
         [](SJobQues_Job* j) { SJobQues_AddFileToPrecondition(j, "gate"); });

  for (const char* desc : {"needs DEV2", "needs flag", "needs gate"}) {
    EXPECT_TRUE(Reaches(desc, "waitingForPrecond")) << desc;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(ReadFile("ran-dev2").empty() && ::access("ran-dev2", F_OK) != 0);
  EXPECT_NE(::access("ran-gate", F_OK), 0);

  SRM_Release("*:DEV2:*");
  EXPECT_TRUE(Reaches("needs DEV2", "done"));
  EXPECT_EQ(::access("ran-dev2", F_OK), 0);

  WriteFile("flag", "");
  ASSERT_TRUE(Reaches("needs flag", "failed"));
  EXPECT_EQ(ReadFile(Job("needs flag").errorFileName), "out\nerr\n");

  WriteFile("gate", "");
  EXPECT_TRUE(Reaches("needs gate", "done"));
  EXPECT_EQ(::access("ran-gate", F_OK), 0);
}

TEST_F(JobServerTest, RunsJobsOneAfterAnotherAndResumesTheQueueAfterARestart) {
  ::setenv("VM_DUVUVUZO_PARALLEL", "1", 1);  // one job at a time
  Submit("first", "echo 1 >> order; while [ ! -f go ]; do sleep 0.05; done");
  Submit("second", "echo 2 >> order");
  Submit("third", "echo 3 >> order\necho 4 >> order");  // a command of two lines
  ASSERT_TRUE(Reaches("first", "running"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(ReadFile("order"), "1\n");
  EXPECT_EQ(Status("second"), "waiting");

  // The server dies without warning; the running job goes on without it.
  SClient_CloseConn(monitor_);
  Stop(PidFile("DUvuvuzo", "VM_DUVUVUZO_PORT"), SIGKILL);
  WriteFile("go", "");
  // The next request starts the server again; it finds its queue where it left it.

  EXPECT_TRUE(Reaches("third", "done"));
  EXPECT_EQ(Status("first"), "done");
  EXPECT_EQ(Status("second"), "done");
  EXPECT_EQ(ReadFile("order"), "1\n2\n3\n4\n");
}

TEST_F(JobServerTest, OperatorListsShowsAndCancelsJobsAndSeesReservations) {
  ASSERT_TRUE(SRM_Reserve("*:M3:*", true));
  Submit("waits forever", "true", [](SJobQues_Job* j) {
    SJobQues_InheritResourceToJob(j, "*:M3:*");
    SJobQues_AddFileToPrecondition(j, "/nonexistent/gate");
  });
  SRM_Release("*:M3:*");
  ASSERT_TRUE(Reaches("waits forever", "waitingForPrecond"));
  const std::string id = Job("waits forever").id;

  const auto list = RunCommand("vqueue list");
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, id + "\twaitingForPrecond\twaits forever\n");
  const auto show = RunCommand("vqueue show " + id);
  EXPECT_NE(show.out.find("\nDESC=waits forever\n"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("\nPRECONDITION=INHERIT:*:M3:*\n"), std::string::npos);
  const auto held = RunCommand("vqueue reservations");
  EXPECT_EQ(held.status, 0);
  EXPECT_NE(held.out.find("*:M3:*\t"), std::string::npos) << held.out;
  EXPECT_FALSE(FreeForOthers("*:M3:*"));

  EXPECT_EQ(RunCommand("vqueue cancel " + id).out, "1 job canceled\n");
  EXPECT_TRUE(Reaches("waits forever", "canceled"));
  EXPECT_TRUE(Eventually([] { return FreeForOthers("*:M3:*"); }, 3000));
  EXPECT_EQ(RunCommand("vqueue remove").out, "1 job removed\n");
  EXPECT_EQ(RunCommand("vqueue list").out, "");
  EXPECT_EQ(RunCommand("vqueue bogus").status, 2);
}

TEST_F(JobServerTest, ARunningJobsLatestProgressIsShown) {
  Submit(
      "long job",
      "printf 'step 1\\n' > \"$VM_JOB_PROGRESS\"; printf 'step 2 of 2\\n' > \"$VM_JOB_PROGRESS\"; "
      "while [ ! -f go ]; do sleep 0.05; done; exit 1");
  ASSERT_TRUE(Reaches("long job", "running"));
  const std::string id = Job("long job").id;
  std::string out;
  EXPECT_TRUE(Eventually([&] {
    out = RunCommand("vqueue show " + id).out;
    return out.find("\n--- progress\nstep 2 of 2\n") != std::string::npos;
  })) << out;
  EXPECT_EQ(out.find("--- progress\nstep 1"), std::string::npos) << out;
  WriteFile("go", "");
  ASSERT_TRUE(Reaches("long job", "failed"));

  // The server makes the file, empty, before the job starts.
  Submit("peek",
         "test -f \"$VM_JOB_PROGRESS\" && test ! -s \"$VM_JOB_PROGRESS\" && echo fresh > seen");
  ASSERT_TRUE(Reaches("peek", "done"));
  EXPECT_EQ(ReadFile("seen"), "fresh\n");
}

TEST_F(JobServerTest, RootServerRunsTheJobAsItsOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "only a job server running as root changes users";
  // The owner must get through the sandbox to its work directory.
  ASSERT_EQ(::chmod(SandboxDir().c_str(), 0711), 0);
  const std::string dir = SandboxDir() + "/shared";
  ASSERT_EQ(::mkdir(dir.c_str(), 0777), 0);
  ::chmod(dir.c_str(), 0777);
  Submit(
      "as nobody", "id -u > uid; id -g > gid; echo to-error-file",
      [](SJobQues_Job* j) {
        j->uid = 65534;
        j->gid = 65534;
      },
      dir);
  ASSERT_TRUE(Reaches("as nobody", "done")) << ReadFile(Job("as nobody").errorFileName);
  EXPECT_EQ(ReadFile(dir + "/uid"), "65534\n");
  EXPECT_EQ(ReadFile(dir + "/gid"), "65534\n");
  EXPECT_EQ(ReadFile(Job("as nobody").errorFileName), "to-error-file\n");

  // An error file the submitter names is opened as the owner: not where it may not write.
  const std::string closed = SandboxDir() + "/root-only";
  ASSERT_EQ(::mkdir(closed.c_str(), 0700), 0);
  Ask(CCprotocol_submitJob, SReqObj::Array({SReqObj::String(
                                "TYPE=Inline UID=65534 GID=65534 DESC=named WORK_DIR=" + dir +
                                " ERRORFILENAME=" + closed + "/err INLINE_CMD=touch\\ named")}));
  EXPECT_TRUE(Reaches("named", "done"));
  EXPECT_EQ(::access((dir + "/named").c_str(), F_OK), 0);
  EXPECT_NE(::access((closed + "/err").c_str(), F_OK), 0);
}

TEST_F(JobServerTest, RefusesBadJobStringsAndStaysUp) {
  SReqObj result;
  SClient_Connection* c = CCclient_Connect("", 4000, SClient_NoopYield);
  EXPECT_FALSE(SClient_SendRequest(c, CCprotocol_submitJob, 1,
                                   SReqObj::Array({SReqObj::String("TYPE=Inline garbage")}),
                                   &result));
  char text[256] = {};
  EXPECT_EQ(SClient_GetError(c, text), 3);
  EXPECT_FALSE(SClient_SendRequest(c, CCprotocol_submitJob, 1,
                                   SReqObj::Array({SReqObj::String("TYPE=Korvex PDF_FILENAME=a")}),
                                   &result));
  ASSERT_TRUE(SClient_SendRequest(
      c, CCprotocol_submitJob, 1,
      SReqObj::Array({SReqObj::String("TYPE=Inline ID=mine INLINE_CMD=touch\\ sync-ran")}),
      &result));
  EXPECT_EQ(result.at(0).AsString(), "mine");
  EXPECT_TRUE(Reaches("", "done"));
  EXPECT_EQ(::access("sync-ran", F_OK), 0);
  SClient_CloseConn(c);
}

TEST_F(JobServerTest, SubmissionGivesUpWhenTheServerCannotStart) {
  // A job server on PATH that fails at once, so nobody ever listens on the port.
  const std::string bin = SandboxDir() + "/fakebin";
  ASSERT_EQ(::mkdir(bin.c_str(), 0755), 0);
  WriteFile(bin + "/DUvuvuzo", "#!/bin/sh\necho started >> " + SandboxDir() + "/starts\nexit 1\n");
  ::chmod((bin + "/DUvuvuzo").c_str(), 0755);
  ::setenv("PATH", (bin + ":/usr/bin:/bin").c_str(), 1);

  SJobQues_Job* job = SJobQues_CreateJob();
  testing::internal::CaptureStderr();
  Messages_IgnoreErrors(true);
  const Clock::time_point start = Clock::now();
  SJobQues_Submit("", job);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  Messages_IgnoreErrors(false);
  Messages_ForgetErrorReasons();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(SJobQues_error, SJobQues_errNotAccepted);
  EXPECT_GE(ms, 3900);
  EXPECT_LE(ms, 5000);
  EXPECT_EQ(err.rfind(std::string(Processe_ProgramName()) + ": VErar.Submit() failed. ", 0), 0u)
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(ReadFile(SandboxDir() + "/starts"), "started\n");
  SJobQues_DestroyJob(job);
}

}  // namespace
