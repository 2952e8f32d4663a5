#include "SJobQues.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "SProtocol.hpp"
#include "SRMproto.hpp"
#include "Sandbox.hpp"
#include "VErar.hpp"
#include "test/FakeServer.hpp"

namespace {

class SJobQuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SJobQues_Init();
    job_ = SJobQues_CreateJob();
  }
  void TearDown() override {
    SJobQues_DestroyJob(job_);
    SJobQues_SetReadableCommandPrefix("");
  }
  std::vector<std::string> Resources() const { return job_->resources; }

  SJobQues_Job* job_ = nullptr;
};

TEST_F(SJobQuesTest, NewRecordHasTheDefaults) {
  char cwd[1024];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_STREQ(job_->workDir, cwd);
  EXPECT_STREQ(job_->command, "job.bat");
  EXPECT_EQ(job_->cpuUsage, 1);
  EXPECT_EQ(job_->uid, static_cast<std::int32_t>(::geteuid()));
  EXPECT_EQ(job_->gid, static_cast<std::int32_t>(::getegid()));
}

TEST_F(SJobQuesTest, ResourceListStaysSortedWithoutDuplicates) {
  SJobQues_InheritResourceToJob(job_, "*:M2:*");
  SJobQues_InheritResourceToJob(job_, "*:M1:*");
  SJobQues_InheritResourceToJob(job_, "*:M1:*");
  SJobQues_AddResourceToPrecondition(job_, "node:tape0:*");
  SJobQues_AddResourceToPrecondition(job_, "");
  SJobQues_InheritResourceToJob(job_, "");
  SJobQues_AddFileToPrecondition(job_, "/data/ready");
  EXPECT_EQ(Resources(),
            (std::vector<std::string>{"!*:M1:*", "!*:M2:*", "/data/ready", "?node:tape0:*"}));

  // Each delete removes only its own kind.
  SJobQues_DeleteResourceFromPrecondition(job_, "*:M1:*");
  SJobQues_DeleteFileFromPrecondition(job_, "node:tape0:*");
  EXPECT_EQ(Resources().size(), 4u);
  SJobQues_DeleteInheritedResource(job_, "*:M1:*");
  SJobQues_DeleteResourceFromPrecondition(job_, "node:tape0:*");
  SJobQues_DeleteFileFromPrecondition(job_, "/data/ready");
  EXPECT_EQ(Resources(), (std::vector<std::string>{"!*:M2:*"}));

  // Entries are cut to 255 characters.
  SJobQues_AddResourceToPrecondition(job_, std::string(300, 'x'));
  EXPECT_EQ(Resources().back().size(), 255u);
}

TEST_F(SJobQuesTest, ErrorsForEmptyFilePreconditionAndMissingJob) {
  Messages_IgnoreErrors(true);
  SJobQues_AddFileToPrecondition(job_, "");
  EXPECT_EQ(SJobQues_error, SJobQues_errEmptyFile);
  EXPECT_TRUE(job_->resources.empty());
  SJobQues_Submit("", nullptr);
  EXPECT_EQ(SJobQues_error, SJobQues_errNoJob);
  SJobQues_AppendToQueueFile("/nonexistent/dir/jobqueue", job_);
  EXPECT_EQ(SJobQues_error, SJobQues_errQueueFile);
  Messages_IgnoreErrors(false);
  Messages_ForgetErrorReasons();
  SJobQues_Job* none = nullptr;
  SJobQues_DestroyJob(none);  // clears the error
  EXPECT_EQ(SJobQues_error, 0);
}

TEST_F(SJobQuesTest, ReadableCommandGetsThePrefixAndIsCut) {
  SJobQues_SetReadableCommand(job_, "plain");
  EXPECT_STREQ(job_->readableCommand, "plain");
  SJobQues_SetReadableCommandPrefix("Backup: ");
  SJobQues_SetReadableCommand(job_, "order A");
  EXPECT_STREQ(job_->readableCommand, "Backup: order A");
  SJobQues_SetReadableCommand(job_, std::string(200, 'y'));
  EXPECT_EQ(std::string(job_->readableCommand).size(), 127u);
}

TEST_F(SJobQuesTest, ConversionMakesAnInlineJob) {
  using K = VErarBase_PrecondKind;
  Strings_Assign("-test -d /mnt", job_->scriptPrecondition);
  SJobQues_InheritResourceToJob(job_, "node:tape0:*");
  SJobQues_AddResourceToPrecondition(job_, "*:M1:*");
  SJobQues_AddFileToPrecondition(job_, "/ready");
  Strings_Assign("/w", job_->workDir);
  Strings_Assign("Save", job_->readableCommand);
  job_->priority = 3;
  VErarBase_Job job = VErar_ConvertClassicJob(*job_);
  EXPECT_EQ(job.type, VErarBase_Type::Inline);
  EXPECT_EQ(job.command, "job.bat ");  // empty arguments: command and one blank
  EXPECT_EQ(job.workDir, "/w");
  EXPECT_EQ(job.description, "Save");
  EXPECT_EQ(job.priority, 3u);
  EXPECT_EQ(job.executeOn, VErarBase_ExecuteOn::Local);
  // "!" sorts before "/" before "?"; a script marked with "-" comes after the list.
  EXPECT_EQ(job.preconditions, (std::vector<VErarBase_Precondition>{{K::Inherited, "node:tape0:*"},
                                                                    {K::File, "/ready"},
                                                                    {K::Resource, "*:M1:*"},
                                                                    {K::Script, "test -d /mnt"}}));
  Strings_Assign("test -d /mnt", job_->scriptPrecondition);
  EXPECT_EQ(VErar_ConvertClassicJob(*job_).preconditions.front(),
            (VErarBase_Precondition{K::Script, "test -d /mnt"}));

  const std::pair<int, VErarBase_CpuUsage> usage[] = {{0, VErarBase_CpuUsage::Low},
                                                      {1, VErarBase_CpuUsage::High},
                                                      {2, VErarBase_CpuUsage::Free},
                                                      {9, VErarBase_CpuUsage::High}};
  for (const auto& [classic, expected] : usage) {
    job_->cpuUsage = static_cast<std::uint8_t>(classic);
    EXPECT_EQ(VErar_ConvertClassicJob(*job_).cpuUsage, expected) << classic;
  }
}

TEST_F(SJobQuesTest, JobClassFileDecidesWhereAJobRuns) {
  char path[1024] = {};
  DirAcces_IncludeSpecialPath(DirAcces_envPath, "jobclasses", path);
  zolt::test::WriteFile(path, "# classes\nrender cluster\nbackup local # here\n");
  EXPECT_EQ(VErar_ExecuteOnForClass("render"), VErarBase_ExecuteOn::Cluster);
  EXPECT_EQ(VErar_ExecuteOnForClass("backup"), VErarBase_ExecuteOn::Local);
  EXPECT_EQ(VErar_ExecuteOnForClass("other"), VErarBase_ExecuteOn::Local);
  Strings_Assign("render", job_->jobClass);
  EXPECT_EQ(VErar_ConvertClassicJob(*job_).executeOn, VErarBase_ExecuteOn::Cluster);
}

// The submission against stand-ins of both servers: what goes over the wire.
TEST_F(SJobQuesTest, SubmissionSendsTheJobStringAndHandsOverReservations) {
  const auto success = [](const SReqObj&) { return FakeServer::Wire(SProtocol_SuccessReply()); };
  FakeServer jobServer(std::atoi(std::getenv("VM_DUVUVUZO_PORT")));
  FakeServer resourceManager(std::atoi(std::getenv("VM_DURAZAZE_PORT")), success);
  ASSERT_TRUE(jobServer.listening() && resourceManager.listening());

  Strings_Assign("/projects/a b", job_->workDir);
  SJobQues_InheritResourceToJob(job_, "*:M1:*");
  SJobQues_Submit("otherhost", job_);
  EXPECT_EQ(SJobQues_error, 0);
  SJobQues_BufferedSubmit("", job_);
  SJobQues_FlushSubmitBuffer();
  ASSERT_TRUE(jobServer.WaitForMessages(3));

  char host[128] = {};
  DirAcces_GetMachineName(host);
  const std::vector<SReqObj> sent = jobServer.messages();
  EXPECT_EQ(sent[0].at(0).AsString(), "CLIENTID");
  std::vector<std::string> ids;
  for (int i = 1; i <= 2; ++i) {
    ASSERT_EQ(sent[i].size(), 4u);
    EXPECT_EQ(sent[i].at(0).AsString(), "ASYNC_SUBMIT_JOB");
    EXPECT_EQ(sent[i].at(1).AsInteger(), 1);
    EXPECT_TRUE(sent[i].at(2).AsBoolean());
    const std::string text = sent[i].at(3).AsString();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        text, m,
        std::regex("TYPE=Inline STATUS=waiting PRIORITY=0 EXECUTE_ON=local CPU_USAGE=high "
                   "ID=(\\S+) EMPLOYER_HOST=(\\S+) WORK_DIR=/projects/a\\\\ b UID=\\d+ GID=\\d+ "
                   "PRECONDITION=INHERIT:\\*:M1:\\* INLINE_CMD=job\\.bat\\\\ ")))
        << text;
    EXPECT_EQ(m[2].str(), host);
    // "<host>-<milliseconds>-<pid>-<counter>"
    const std::string id = m[1].str(), prefix = std::string(host) + "-";
    ASSERT_EQ(id.rfind(prefix, 0), 0u) << id;
    EXPECT_TRUE(std::regex_match(id.substr(prefix.size()),
                                 std::regex("\\d{13}-" + std::to_string(::getpid()) + "-\\d+")))
        << id;
    ids.push_back(m[1].str());
  }
  // The per-process counter counts on.
  EXPECT_EQ(std::stoi(ids[1].substr(ids[1].rfind('-') + 1)),
            std::stoi(ids[0].substr(ids[0].rfind('-') + 1)) + 1);

  // Each submission hands "*:M1:*" to the job's own holder, then waits for the server.
  ASSERT_TRUE(resourceManager.WaitForMessages(5));
  const std::vector<SReqObj> rm = resourceManager.messages();
  EXPECT_EQ(rm[1], SProtocol_BuildMessage(
                       *SProtocol_FindRequest(*SRMproto_CreateProtocol(), "USE", 1),
                       SReqObj::Array({SReqObj::String(host),
                                       SReqObj::Integer(VErarBase_HolderPid(ids[0])),
                                       SReqObj::Boolean(false), SReqObj::String("*:M1:*")})));
  EXPECT_EQ(rm[2].at(0).AsString(), "TEST_SERVICE");
  EXPECT_EQ(rm[3].at(4).AsInteger(), VErarBase_HolderPid(ids[1]));
}

}  // namespace
