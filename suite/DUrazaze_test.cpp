// End-to-end: the resource manager client against the real DUrazaze, over both
// transports, with further processes forked as competing clients.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "SCipc.hpp"
#include "SRM.hpp"
#include "SRMproto.hpp"
#include "Sandbox.hpp"
#include "Socket.hpp"
#include "Strings.hpp"

namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

std::string DatDir() {
  char dat[1024] = {};
  DirAcces_GetSpecialPath(DirAcces_datPath, dat);
  return dat;
}

std::string PidFile() { return DatDir() + "/DUrazaze-" + std::getenv("VM_DURAZAZE_PORT") + ".pid"; }

int ServerPid() { return std::atoi(zolt::test::ReadFile(PidFile()).c_str()); }

using zolt::test::Eventually;

// A competing client: a forked process that starts afresh on the module's state, runs
// body and ends with its result as exit status. With stay set it writes one byte to
// the returned descriptor after body and then waits to be killed.
struct Child {
  pid_t pid = -1;
  int ready = -1;
};

Child Fork(const std::function<int()>& body, bool stay = false) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  Child c;
  c.pid = ::fork();
  if (c.pid == 0) {
    ::close(fds[0]);
    SRM_Reset();
    const int rc = body();
    if (stay) {
      const char byte = static_cast<char>(rc);
      if (::write(fds[1], &byte, 1) != 1) ::_exit(99);
      for (;;) ::pause();
    }
    ::_exit(rc);
  }
  ::close(fds[1]);
  c.ready = fds[0];
  return c;
}

int Wait(const Child& c) {
  int status = 0;
  ::waitpid(c.pid, &status, 0);
  ::close(c.ready);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunInChild(const std::function<int()>& body) { return Wait(Fork(body)); }

// Whether another process could reserve name right now.
bool FreeForOthers(const std::string& name) {
  return RunInChild([name] { return SRM_Reserve(name, true) ? 0 : 1; }) == 0;
}

void StopServer() {
  const int pid = ServerPid();
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!Eventually([] { return zolt::test::ReadFile(PidFile()).empty(); }, 3000)) {
    ::kill(pid, SIGKILL);
  }
}

class DUrazazeTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) ::setenv("VM_DURAZAZE_USE_SCIPC_SERVICES", "on", 1);
    SRM_Init();
    SRM_Reset();
  }
  void TearDown() override { StopServer(); }
  bool pipe() const { return GetParam(); }
};

TEST_P(DUrazazeTest, ASecondProcessCannotReserveAnExclusiveNameMeanwhile) {
  ASSERT_TRUE(SRM_Reserve("*:/orders/A.aif:*", true));
  const int parent = ::getpid();
  const std::string host = std::string(SRM_localHost).substr(0, pipe() ? 16 : 127);
  EXPECT_EQ(RunInChild([parent, host] {
              SRM_Holder holder{};
              if (SRM_ReserveVerbose("*:/orders/A.aif:*", true, holder)) return 1;
              if (holder.pid != parent) return 2;
              return host == holder.host ? 0 : 3;
            }),
            0);
  SRM_Release("*:/orders/A.aif:*");
  EXPECT_TRUE(Eventually([] { return FreeForOthers("*:/orders/A.aif:*"); }, 2000));
}

// The shared (read) or exclusive (update) name of what name names.
std::string Use(const char* name, bool shared) {
  char use[256];
  Strings_Assign(StrIn::FromC(name), use);
  shared ? SRM_ReadResource(use) : SRM_UpdateResource(use);
  return use;
}

TEST_P(DUrazazeTest, SharedReservationsCoexistAndBlockAnExclusiveOne) {
  const std::string shared = Use("*:/orders/B.aif", true);
  ASSERT_TRUE(SRM_Reserve(shared, true));
  EXPECT_EQ(RunInChild([] {
              if (!SRM_Reserve(Use("*:/orders/B.aif", true), true)) return 1;
              return SRM_Reserve(Use("*:/orders/B.aif", false), true) ? 2 : 0;
            }),
            0);
  // While this process holds the exclusive name, nobody gets a shared one.
  SRM_Release(shared);
  ASSERT_TRUE(Eventually([&] { return SRM_Reserve(Use("*:/orders/B.aif", false), true); }, 2000));
  EXPECT_EQ(RunInChild([] { return SRM_Reserve(Use("*:/orders/B.aif", true), true) ? 1 : 0; }), 0);
}

TEST_P(DUrazazeTest, FirstReservationStartsTheServerNestedUsesHoldUntilTheLastRelease) {
  EXPECT_TRUE(zolt::test::ReadFile(PidFile()).empty());
  ASSERT_TRUE(SRM_Reserve("host:tape|0:*", true));
  EXPECT_TRUE(SRM_connected);
  EXPECT_EQ(::kill(ServerPid(), 0), 0);
  ASSERT_TRUE(SRM_Reserve("host:tape|0:*", true));
  EXPECT_EQ(SRM_UseCount("host:tape|0:*"), 2);
  SRM_Release("host:tape|0:*");
  EXPECT_FALSE(FreeForOthers("host:tape|0:*"));
  SRM_Release("host:tape|0:*");
  EXPECT_TRUE(Eventually([] { return FreeForOthers("host:tape|0:*"); }, 2000));
}

TEST_P(DUrazazeTest, AKilledClientLosesItsTrapPrematureDeathReservations) {
  // Start the server first so the child's reservation is quick.
  ASSERT_TRUE(SRM_Reserve("*:warmup:*", true));
  Child c = Fork(
      [] {
        const bool a = SRM_Reserve("*:K1:*", true);
        const bool b = SRM_Reserve("*:K2:*", false);
        return a && b ? 0 : 1;
      },
      true);
  char byte = 9;
  ASSERT_EQ(::read(c.ready, &byte, 1), 1);
  ASSERT_EQ(byte, 0);
  EXPECT_FALSE(FreeForOthers("*:K1:*"));
  ::kill(c.pid, SIGKILL);
  EXPECT_EQ(Wait(c), 128 + SIGKILL);
  const Clock::time_point killed = Clock::now();
  EXPECT_TRUE(Eventually([] { return SRM_Reserve("*:K1:*", false); }, 4000));
  EXPECT_LT(Clock::now() - killed, std::chrono::seconds(4));
  // What was reserved without trapPrematureDeath stays.
  EXPECT_FALSE(SRM_Reserve("*:K2:*", false));
}

TEST_P(DUrazazeTest, FreeAndVMDemonGiveReservationsBack) {
  ASSERT_TRUE(SRM_Reserve("*:F1:*", false));
  ASSERT_TRUE(SRM_Reserve("*:F2:*", true));
  ASSERT_TRUE(SRM_Reserve("*:G1:*", true));
  SRM_Free("*:F?:*");
  EXPECT_EQ(SRM_UseCount("*:F2:*"), 0);
  EXPECT_EQ(SRM_UseCount("*:G1:*"), 1);
  EXPECT_TRUE(Eventually([] { return FreeForOthers("*:F1:*") && FreeForOthers("*:F2:*"); }, 2000));
  EXPECT_FALSE(FreeForOthers("*:G1:*"));
  // A daemon start on this host means its earlier processes are gone.
  SRM_VMDemonStartup();
  EXPECT_TRUE(Eventually([] { return FreeForOthers("*:G1:*"); }, 2000));
}

TEST_P(DUrazazeTest, DumpWritesTheDatabaseAndDebugSwitchesTheLog) {
  ASSERT_TRUE(SRM_Reserve("*:D1:*", true));
  const std::string dump = zolt::test::SandboxDir() + "/reservations";
  SRM_DumpResourceDatabase(dump);
  ASSERT_TRUE(Eventually([&] { return !zolt::test::ReadFile(dump).empty(); }));
  const std::string text = zolt::test::ReadFile(dump);
  EXPECT_NE(text.find("*:D1:*\t" + std::string(SRM_localHost).substr(0, pipe() ? 16 : 127) + "\t" +
                      std::to_string(::getpid()) + "\t1\ttrapPrematureDeath\n"),
            std::string::npos)
      << text;

  const std::string log = DatDir() + "/DUrazaze.log";
  SRM_StartDebugLog();
  ASSERT_TRUE(SRM_Reserve("*:D2:*", true));
  ASSERT_TRUE(
      Eventually([&] { return zolt::test::ReadFile(log).find("*:D2:*") != std::string::npos; }));
  SRM_StopDebugLog();
  ASSERT_TRUE(
      Eventually([&] { return zolt::test::ReadFile(log).find("stopped") != std::string::npos; }));
  ASSERT_TRUE(SRM_Reserve("*:D3:*", true));
  SRM_DumpResourceDatabase(dump);  // a round trip later the log is still quiet
  ASSERT_TRUE(
      Eventually([&] { return zolt::test::ReadFile(dump).find("*:D3:*") != std::string::npos; }));
  EXPECT_EQ(zolt::test::ReadFile(log).find("*:D3:*"), std::string::npos);
}

TEST_P(DUrazazeTest, AServerThatWentAwayIsStartedAgainByTheNextRequestAndKeepsWhatMustLast) {
  ASSERT_TRUE(SRM_Reserve("*:R1:*", false));
  ASSERT_TRUE(SRM_Reserve("*:T1:*", true));
  const int first = ServerPid();
  ::kill(first, SIGKILL);
  ASSERT_TRUE(Eventually([first] { return ::kill(first, 0) != 0; }, 3000));
  // The next request finds a fresh server. What was held without being tied to the
  // connection is still held; what was tied to the dead connection is free.
  EXPECT_TRUE(SRM_Reserve("*:R2:*", false));
  EXPECT_EQ(SRM_error, 0);
  EXPECT_NE(ServerPid(), first);
  EXPECT_FALSE(FreeForOthers("*:R1:*"));
  EXPECT_TRUE(FreeForOthers("*:T1:*"));
}

INSTANTIATE_TEST_SUITE_P(Transports, DUrazazeTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Pipe" : "Socket";
                         });

// ---- bad input straight on the wire ----

class DUrazazeWireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SRM_Init();
    SRM_Reset();
    ASSERT_TRUE(SRM_Reserve("*:up:*", true));  // starts the server
    port = std::atoi(std::getenv("VM_DURAZAZE_PORT"));
  }
  void TearDown() override {
    for (int& fd : open) Socket_Close(fd);
    StopServer();
  }

  int Connect() {
    std::string error;
    const int fd = Socket_Connect("", port, 0, error);
    EXPECT_GE(fd, 0) << error;
    open.push_back(fd);
    return fd;
  }
  static std::string Message(const SReqObj& m) {
    std::string w;
    SReqObj_Send(m, w);
    return w + "\n";
  }
  static std::string Request(const char* name, bool noReply, SReqObj::Elements params) {
    SReqObj m =
        SReqObj::Array({SReqObj::String(name), SReqObj::Integer(1), SReqObj::Boolean(noReply)});
    for (SReqObj& p : params) m.Append(std::move(p));
    return Message(m);
  }
  static std::string Reserve(const char* host, SReqObj pid, const char* name) {
    return Request(
        "RESERVE", false,
        {SReqObj::String(host), std::move(pid), SReqObj::Boolean(true), SReqObj::String(name)});
  }
  // Reads one reply; "closed" when the server closed the connection, "" on time-out.
  static std::string ReadReply(int fd, int ms = 2000) {
    std::string input;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      SReqObj reply;
      std::size_t used = 0;
      if (SReqObj_ReceiveMessage(input, &reply, used) == SReqObj_Result::Complete) {
        return SReqObj_ToText(reply);
      }
      if (Socket_WaitReadable(fd, 50) != Socket_Wait::Ready) continue;
      char buffer[4096];
      const long n = Socket_Read(fd, buffer, sizeof buffer);
      if (n == 0 || n == -1) return "closed";
      if (n > 0) input.append(buffer, static_cast<std::size_t>(n));
    }
    return "";
  }
  static bool Write(int fd, const std::string& bytes) {
    return Socket_WriteAll(fd, bytes.data(), bytes.size());
  }
  // The server still answers a well-formed request on a fresh connection.
  void ExpectServing() {
    const int fd = Connect();
    Write(fd, Request("TEST_SERVICE", false, {}));
    EXPECT_EQ(ReadReply(fd), "[0]");
  }

  int port = 0;
  std::vector<int> open;
};

TEST_F(DUrazazeWireTest, ErrorsAreRepliedToWhoWaits) {
  const int fd = Connect();
  Write(fd, Request("NO_SUCH", false, {}));
  EXPECT_EQ(ReadReply(fd), R"([1, "Unknown request NO_SUCH version 1"])");
  Write(fd, Reserve("h", SReqObj::String("pid"), "*:x:*"));
  EXPECT_EQ(ReadReply(fd), R"([2, "Type mismatch for parameter clientPID"])");
  Write(fd, Request("RESERVE", false, {SReqObj::String("h")}));
  EXPECT_EQ(ReadReply(fd), R"([2, "Wrong number of parameters"])");
  Write(fd, Message(SReqObj::Array({SReqObj::Integer(1)})));
  EXPECT_EQ(ReadReply(fd), R"([2, "Malformed request"])");
  // Nothing comes back for what nobody waits for, and the connection stays usable.
  Write(fd, Request("NO_SUCH", true, {}));
  Write(fd, Reserve("h", SReqObj::Integer(1), "*:wire:*"));
  EXPECT_EQ(ReadReply(fd), "[0, TRUE]");
}

TEST_F(DUrazazeWireTest, BrokenFramesCloseTheConnectionOnly) {
  std::string unended = Request("TEST_SERVICE", false, {});
  unended.back() = 'X';
  const std::string frames[] = {
      "Zgarbage\n",          // unknown type character
      "S\x7f\xff\xff\xff"s,  // string beyond the limit
      "A\x00\x10\x00\x00"s,  // array beyond the limit
      unended,               // no line feed after the object
  };
  for (const std::string& frame : frames) {
    const int fd = Connect();
    Write(fd, frame);
    EXPECT_EQ(ReadReply(fd), "closed") << SReqObj_ToText(SReqObj::String(frame));
  }
  // A message longer than the server accepts.
  const int fd = Connect();
  SReqObj big = SReqObj::Array();
  for (int i = 0; i < 20; ++i) big.Append(SReqObj::String(std::string(65536, 'x')));
  Write(fd, Message(big));  // may fail half-way: the server stops reading
  EXPECT_EQ(ReadReply(fd), "closed");
  ExpectServing();
}

TEST_F(DUrazazeWireTest, ADroppedConnectionGivesBackOnlyItsOwnTrapReservations) {
  const int fd = Connect();
  Write(fd, Reserve("remote", SReqObj::Integer(77), "*:drop:*"));
  EXPECT_EQ(ReadReply(fd), "[0, TRUE]");
  EXPECT_FALSE(SRM_Reserve("*:drop:*", false));
  Socket_Close(open.back());
  EXPECT_TRUE(Eventually([] { return SRM_Reserve("*:drop:*", false); }, 2000));
  // The reservation of the test process itself, on its own connection, is untouched.
  EXPECT_FALSE(FreeForOthers("*:up:*"));
}

TEST_F(DUrazazeWireTest, MalformedPipeRequestsDoNotStopTheServer) {
  SCipc_Channel* channel = SCipc_Connect(SRMproto_service);
  ASSERT_NE(channel, nullptr);
  std::string answer;
  // Too short for the layout: a reserve still gets its (refusing) answer.
  ASSERT_TRUE(SCipc_Send(channel, "R\xff"s));
  ASSERT_TRUE(SCipc_Receive(channel, answer, 1024, 2000));
  EXPECT_EQ(answer.substr(0, 2), "NO");
  ASSERT_TRUE(SCipc_Send(channel, "Q"s + std::string(40, 'x') + '\0'));
  ASSERT_TRUE(SCipc_Send(channel, ""));
  // A well-formed request after them is served.
  ASSERT_TRUE(SCipc_Send(channel, SRMproto_BuildRequest('R', true, ::getpid(), "", "*:pipe:*")));
  ASSERT_TRUE(SCipc_Receive(channel, answer, 1024, 2000));
  EXPECT_EQ(answer, "OK");
  SCipc_Close(channel);
  ExpectServing();
}

}  // namespace
