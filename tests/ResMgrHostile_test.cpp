// The resource manager against hostile and careless clients: claims of another user,
// the pipe service's strangers and broken frames, huge names, many holdings, a server
// out of descriptors, pipelined and half-closed connections, restarts.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "DirAcces.hpp"
#include "SCipc.hpp"
#include "SClient.hpp"
#include "SRM.hpp"
#include "SRMproto.hpp"
#include "SReqObj.hpp"
#include "Sandbox.hpp"
#include "Socket.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uid_t kNobody = 65534;

std::string DatDir() {
  char dat[1024] = {};
  DirAcces_GetSpecialPath(DirAcces_datPath, dat);
  return dat;
}

std::string Port() { return std::getenv("VM_DURAZAZE_PORT"); }
std::string PidFile() { return DatDir() + "/DUrazaze-" + Port() + ".pid"; }
int ServerPid() { return std::atoi(zolt::test::ReadFile(PidFile()).c_str()); }

using zolt::test::Eventually;

// Runs body in a forked process, as user uid when uid is not -1; its result is the
// exit status.
int InChild(const std::function<int()>& body, int uid = -1) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(uid)) != 0 ||
                     ::setuid(static_cast<uid_t>(uid)) != 0)) {
      ::_exit(98);
    }
    SRM_Reset();
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool FreeForOthers(const std::string& name) {
  return InChild([name] { return SRM_Reserve(name, true) ? 0 : 1; }) == 0;
}

void StopServer() {
  const int pid = ServerPid();
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!Eventually([] { return zolt::test::ReadFile(PidFile()).empty(); }, 3000)) {
    ::kill(pid, SIGKILL);
  }
}

std::string Message(const char* name, bool noReply, SReqObj::Elements params) {
  SReqObj m =
      SReqObj::Array({SReqObj::String(name), SReqObj::Integer(1), SReqObj::Boolean(noReply)});
  for (SReqObj& p : params) m.Append(std::move(p));
  std::string w;
  SReqObj_Send(m, w);
  return w + "\n";
}

std::string Reserve(const std::string& name, std::int32_t pid = 1, bool trap = true) {
  return Message(
      "RESERVE", false,
      {SReqObj::String("h"), SReqObj::Integer(pid), SReqObj::Boolean(trap), SReqObj::String(name)});
}

// Reads n replies; their text joined by "|", "closed" when the server closed first,
// "" on time-out.
std::string ReadReplies(int fd, int n = 1, int ms = 5000) {
  std::string input, texts;
  std::size_t at = 0;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    SReqObj reply;
    std::size_t used = 0;
    while (n > 0 && SReqObj_ReceiveMessage(std::string_view(input).substr(at), &reply, used) ==
                        SReqObj_Result::Complete) {
      at += used;
      if (!texts.empty()) texts += "|";
      texts += SReqObj_ToText(reply);
      --n;
    }
    if (n == 0) return texts;
    if (Socket_WaitReadable(fd, 50) != Socket_Wait::Ready) continue;
    char buffer[65536];
    const long r = Socket_Read(fd, buffer, sizeof buffer);
    if (r == 0 || r == -1) return "closed";
    if (r > 0) input.append(buffer, static_cast<std::size_t>(r));
  }
  return "";
}

class ResMgrHostile : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("VM_DURAZAZE_USE_SCIPC_SERVICES");
    SRM_Init();
    SRM_Reset();
    ASSERT_TRUE(SRM_Reserve("*:up:*", true));  // starts the server
  }
  void TearDown() override {
    for (int& fd : open_) Socket_Close(fd);
    StopServer();
  }
  int Connect() {
    std::string error;
    const int fd = Socket_Connect("", std::atoi(Port().c_str()), 0, error);
    EXPECT_GE(fd, 0) << error;
    open_.push_back(fd);
    return fd;
  }
  static void Write(int fd, const std::string& bytes) {
    ASSERT_TRUE(Socket_WriteAll(fd, bytes.data(), bytes.size()));
  }
  void ExpectServing() {
    const int fd = Connect();
    Write(fd, Message("TEST_SERVICE", false, {}));
    EXPECT_EQ(ReadReplies(fd), "[0]");
  }
  std::vector<int> open_;
};

#define SKIP_UNLESS_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "needs the superuser to act as another user"

TEST_F(ResMgrHostile, AnotherUserCannotReleaseOrFreeWhatIsNotHis) {
  SKIP_UNLESS_ROOT();
  ASSERT_TRUE(SRM_Reserve("*:mine:*", false));
  ASSERT_TRUE(SRM_Reserve("*:trapped:*", true));
  const int owner = ::getpid();
  const std::string host = SRM_localHost;
  // Over the socket, naming the holder's host and process: refused with a reason.
  const int port = std::atoi(Port().c_str());
  const int rc = InChild(
      [owner, host, port] {
        std::string error;
        const int fd = Socket_Connect("", port, 0, error);
        const auto str = [](const std::string& t) { return SReqObj::String(t); };
        const std::string requests =
            Message("RELEASE", false, {str(host), SReqObj::Integer(owner), str("*:mine:*")}) +
            Message("FREE", false, {str(host), SReqObj::Integer(0), str("*")}) +
            Message("VMDEMON", false, {str(host)}) +
            Message("USE", false,
                    {str(host), SReqObj::Integer(123), SReqObj::Boolean(false), str("*:mine:*")}) +
            // Claiming the holder's own process does not make the name his either.
            Message("RESERVE", false,
                    {str(host), SReqObj::Integer(owner), SReqObj::Boolean(false), str("*:mine:*")});
        if (fd < 0 || !Socket_WriteAll(fd, requests.data(), requests.size())) return 1;
        const std::string replies = ReadReplies(fd, 5);
        std::fprintf(stderr, "%s\n", replies.c_str());
        if (replies.find("[3, \"RELEASE: reservation *:mine:* is held by another user") != 0) {
          return 2;
        }
        if (replies.find("|[3, \"FREE: 3 of the reservations matching *") == std::string::npos)
          return 3;
        if (replies.find("|[3, \"USE: reservation *:mine:* is held by another process") ==
            std::string::npos) {
          return 4;
        }
        return replies.ends_with("|[0, FALSE, [\"" + host + "\", " + std::to_string(owner) + "]]")
                   ? 0
                   : 5;
      },
      kNobody);
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(FreeForOthers("*:mine:*"));
  EXPECT_FALSE(FreeForOthers("*:trapped:*"));
}

TEST_F(ResMgrHostile, ThePipeServiceIsClosedToStrangers) {
  SKIP_UNLESS_ROOT();
  ::setenv("VM_DURAZAZE_USE_SCIPC_SERVICES", "on", 1);
  SRM_Reset();
  ASSERT_TRUE(SRM_Reserve("*:pipe-up:*", true));
  // Let the stranger reach (and use) the data directory: only the service itself may
  // keep him out.
  ::chmod(zolt::test::SandboxDir().c_str(), 0711);
  ::chmod(DatDir().c_str(), 01777);
  EXPECT_EQ(InChild([] { return SCipc_Connect(SRMproto_service) == nullptr ? 0 : 1; }, kNobody), 0);
  EXPECT_EQ(InChild([] { return SCipc_Connect(SRMproto_service) == nullptr ? 1 : 0; }), 0);
}

// A raw client of the pipe service.
int PipeConnect() {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  const std::string path = SCipc_Directory() + "/" + std::string(SRMproto_service);
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST_F(ResMgrHostile, ABrokenPipeFrameEndsOnlyItsSendersExchange) {
  ::setenv("VM_DURAZAZE_USE_SCIPC_SERVICES", "on", 1);
  SRM_Reset();
  ASSERT_TRUE(SRM_Reserve("*:pipe-up:*", true));
  // One promises 4,000 bytes and sends 4; another sends a length no frame can have.
  const int liar = PipeConnect();
  ASSERT_GE(liar, 0);
  const std::uint32_t header[3] = {4000, static_cast<std::uint32_t>(::getpid()), 0};
  ASSERT_EQ(::write(liar, header, sizeof header), static_cast<ssize_t>(sizeof header));
  const int wild = PipeConnect();
  const std::uint32_t huge[2] = {0xFFFFFFFFu, 1};
  ASSERT_EQ(::write(wild, huge, sizeof huge), static_cast<ssize_t>(sizeof huge));
  char byte;
  EXPECT_EQ(::read(wild, &byte, 1), 0);  // that exchange is over
  ::close(wild);
  // Other clients are served at once, whatever the liar does.
  const auto start = Clock::now();
  EXPECT_EQ(InChild([] { return SRM_Reserve("*:honest:*", true) ? 0 : 1; }), 0);
  EXPECT_EQ(InChild([] { return SRM_Reserve("*:honest2:*", true) ? 0 : 1; }), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  ::close(liar);
}

TEST_F(ResMgrHostile, HugeNamesAreRefusedWithAReasonAndCostNothing) {
  const int fd = Connect();
  const std::string huge = "*:" + std::string(65532, 'x') + ":*";  // the protocol's longest
  const auto start = Clock::now();
  Write(fd, Reserve(huge, 1) + Reserve(huge, 2));
  const std::string replies = ReadReplies(fd, 2);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_NE(replies.find("limited to 1024 characters"), std::string::npos)
      << replies.substr(0, 300);
  EXPECT_EQ(replies.find("TRUE"), std::string::npos);
  // The longest accepted name still works.
  Write(fd, Reserve("a:" + std::string(1020, 'y') + ":*"));  // 1,024 characters
  EXPECT_EQ(ReadReplies(fd), "[0, TRUE]");
  ExpectServing();
}

TEST_F(ResMgrHostile, TenThousandHoldingsDoNotSlowReservations) {
  const int fd = Connect();
  std::string many;
  for (int i = 0; i < 10000; ++i) many += Reserve("*:/o/order" + std::to_string(i) + ".aif:*");
  Write(fd, many);
  const std::string replies = ReadReplies(fd, 10000, 20000);
  ASSERT_EQ(replies.find("FALSE"), std::string::npos);
  ASSERT_NE(replies, "");
  // 2,000 pairs, each waiting for its reply: a few hundred milliseconds unloaded.
  const int other = Connect();
  const std::string pair =
      Reserve("*:/o/bench.aif:*", 2, false) +
      Message("RELEASE", true,
              {SReqObj::String("h"), SReqObj::Integer(2), SReqObj::String("*:/o/bench.aif:*")});
  const auto start = Clock::now();
  for (int i = 0; i < 2000; ++i) {
    Write(other, pair);
    ASSERT_EQ(ReadReplies(other), "[0, TRUE]");
  }
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
}

TEST_F(ResMgrHostile, PipelinedRequestsCostTimeInProportionToTheirNumber) {
  const int fd = Connect();
  std::string stream;
  const std::string quiet = Message("TEST_SERVICE", true, {});
  for (int i = 0; i < 150000; ++i) stream += quiet;
  stream += Message("TEST_SERVICE", false, {});
  const auto start = Clock::now();
  Write(fd, stream);
  EXPECT_EQ(ReadReplies(fd, 1, 20000), "[0]");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

TEST_F(ResMgrHostile, ARequestFollowedByAHalfCloseIsAnswered) {
  const int fd = Connect();
  Write(fd, Reserve("*:half:*", 9) + Message("TEST_SERVICE", false, {}));
  ASSERT_EQ(::shutdown(fd, SHUT_WR), 0);
  EXPECT_EQ(ReadReplies(fd, 2), "[0, TRUE]|[0]");
  EXPECT_EQ(ReadReplies(fd, 1, 2000), "closed");
  // The connection is gone, and with it what it held for trapPrematureDeath.
  EXPECT_TRUE(Eventually([] { return FreeForOthers("*:half:*"); }));
}

// CPU seconds a process has used.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;
  long utime = 0, stime = 0;
  fields >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

TEST_F(ResMgrHostile, RunningOutOfDescriptorsDoesNotMakeTheServerSpin) {
  StopServer();
  const pid_t server = ::fork();
  if (server == 0) {
    const rlimit few{20, 20};
    ::setrlimit(RLIMIT_NOFILE, &few);
    const std::string program = zolt::test::ProgramPath("DUrazaze");
    ::execl(program.c_str(), program.c_str(), "-f", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_TRUE(Eventually([] { return ServerPid() > 0; }));
  for (int i = 0; i < 40; ++i) Connect();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double before = CpuSeconds(server);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_LT(CpuSeconds(server) - before, 0.5);
  // Once descriptors are free again, new clients are served.
  for (int& fd : open_) Socket_Close(fd);
  open_.clear();
  EXPECT_TRUE(Eventually([&] {
    const int fd = Connect();
    Write(fd, Message("TEST_SERVICE", false, {}));
    return ReadReplies(fd, 1, 500) == "[0]";
  }));
  ::kill(server, SIGTERM);
  int status = 0;
  ::waitpid(server, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(ResMgrHostile, ARestartKeepsHandedOverHoldingsAndTakesTheirReassertionOnce) {
  // The hand-over of a job's reservation, as the submitter does it.
  const std::int32_t holder = SRMproto_firstHolderPid + 4711;
  std::string error;
  ASSERT_TRUE(SRM_HandOver({"dev:tape0:*"}, SRM_localHost, holder, error)) << error;
  const int first = ServerPid();
  ::kill(first, SIGKILL);
  ASSERT_TRUE(Eventually([first] { return ::kill(first, 0) != 0; }));
  EXPECT_FALSE(FreeForOthers("dev:tape0:*"));  // starts the server again
  // The job server asserts the job's holding again: held once, not twice.
  ASSERT_TRUE(SRM_HandOver({"dev:tape0:*"}, SRM_localHost, holder, error)) << error;
  const std::string dump = DatDir() + "/dump";
  SRM_DumpResourceDatabase(StrIn(dump));
  ASSERT_TRUE(Eventually([&] { return !zolt::test::ReadFile(dump).empty(); }));
  EXPECT_NE(zolt::test::ReadFile(dump).find("dev:tape0:*\t" + std::string(SRM_localHost) + "\t" +
                                            std::to_string(holder) + "\t1\tkept"),
            std::string::npos)
      << zolt::test::ReadFile(dump);
}

TEST_F(ResMgrHostile, HandOversOnThePipeTransportUseThePipe) {
  ::setenv("VM_DURAZAZE_USE_SCIPC_SERVICES", "on", 1);
  SRM_Reset();
  const std::int32_t holder = SRMproto_firstHolderPid + 99;
  std::string error;
  ASSERT_TRUE(SRM_HandOver({"dev:disk1:*"}, SRM_localHost, holder, error)) << error;
  EXPECT_TRUE(SRM_connected);
  EXPECT_FALSE(SRM_connection.useSocket);
  EXPECT_EQ(SRM_connection.client, nullptr);  // no socket connection beside the pipe
  EXPECT_FALSE(FreeForOthers("dev:disk1:*"));
}

TEST_F(ResMgrHostile, AServerThatCannotWriteItsPidFileEnds) {
  StopServer();
  ASSERT_TRUE(Eventually([] { return zolt::test::ReadFile(PidFile()).empty(); }));
  ::unlink(PidFile().c_str());
  ASSERT_EQ(::mkdir(PidFile().c_str(), 0755), 0);  // nothing can be renamed over it
  const zolt::test::CommandResult r = zolt::test::RunCommand("timeout 10 DUrazaze -f");
  ::rmdir(PidFile().c_str());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find(".pid"), std::string::npos) << r.err;
}

}  // namespace
