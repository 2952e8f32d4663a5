#include "SClient.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "DirAcces.hpp"
#include "Sandbox.hpp"
#include "UArgs.hpp"
#include "test/FakeServer.hpp"

namespace {

using namespace std::string_literals;
using T = SProtocol_ParamType;
using Clock = std::chrono::steady_clock;

// Wire pieces written out by hand, independent of the encoder under test.
std::string U32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}
std::string Str(const std::string& s) {
  return "S" + U32(static_cast<std::uint32_t>(s.size())) + s;
}
std::string Int(std::int32_t i) { return "I" + U32(static_cast<std::uint32_t>(i)); }

int yields = 0;
void CountingYield() { ++yields; }

long MsSince(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// A port nobody listens on.
int UnusedPort() {
  std::string error;
  int fd = Socket_Listen(0, 1, error);
  const int port = Socket_LocalPort(fd);
  Socket_Close(fd);
  return port;
}

class SClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SClient_Init();
    yields = 0;
    protocol = SProtocol_Create("Tester", 1, 8192);
    SProtocol_AddRequest(
        *protocol, "ALL", 1,
        {SProtocol_MakeParam(T::Boolean, "b"), SProtocol_MakeParam(T::Integer, "i"),
         SProtocol_MakeParam(T::String, "s"), SProtocol_MakeParam(T::Array, "a"),
         SProtocol_MakeParam(T::Enumeration, "e", 3)},
        false, false);
    SProtocol_AddRequest(*protocol, "ASK", 1, {SProtocol_MakeParam(T::String, "what")}, true,
                         false);
  }
  void TearDown() override { SClient_CloseConn(connection); }

  void Serve(FakeServer::Answer answer = {}) {
    server = std::make_unique<FakeServer>(0, std::move(answer));
    ASSERT_TRUE(server->listening());
    ::setenv("VM_TESTER_PORT", std::to_string(server->port()).c_str(), 1);
  }
  void Connect(int timeoutMs = 2000) {
    connection = SClient_Connect("", timeoutMs, nullptr, protocol.get(), CountingYield);
    ASSERT_TRUE(SClient_IsConnected(connection)) << SClient_ErrorText(connection);
  }
  int Error() {
    char text[256] = {};
    return SClient_GetError(connection, text);
  }

  std::unique_ptr<SProtocol> protocol;
  std::unique_ptr<FakeServer> server;
  SClient_Connection* connection = nullptr;
};

TEST_F(SClientTest, TheClientAnnouncementAndARequestWithEveryValueTypeHaveExactBytes) {
  Serve();
  Connect();
  ASSERT_TRUE(server->WaitForMessages(1));
  char machine[128] = {};
  DirAcces_GetMachineName(machine);
  const std::string expected = "A"s + U32(8) + Str("CLIENTID") + Int(1) + "B\x01"s + Str(machine) +
                               Str(UArgs_ProgramName()) +
                               Int(static_cast<std::int32_t>(::getpid())) +
                               Int(SClient_ConnectionNumber(connection)) + Int(0) + "\n";
  EXPECT_EQ(server->bytes(), expected);

  // A request with every value type.
  const std::size_t before = server->bytes().size();
  const SReqObj params =
      SReqObj::Array({SReqObj::Boolean(true), SReqObj::Integer(-2), SReqObj::String("a b"),
                      SReqObj::Array({SReqObj::Integer(258), SReqObj(), SReqObj::Boolean(false)}),
                      SReqObj::Integer(2)});
  ASSERT_TRUE(SClient_SendRequest(connection, "ALL", 1, params, nullptr));
  ASSERT_TRUE(server->WaitForMessages(2));
  const std::string request =
      "A\x00\x00\x00\x08"  // name, version, flag and five parameters
      "S\x00\x00\x00\x03"
      "ALL"                // request name
      "I\x00\x00\x00\x01"  // version 1
      "B\x01"              // no reply awaited
      "B\x01"              // b
      "I\xff\xff\xff\xfe"  // i = -2
      "S\x00\x00\x00\x03"
      "a b"                // s
      "A\x00\x00\x00\x03"  // a
      "I\x00\x00\x01\x02"
      "V"
      "B\x00"              //   258, none, false
      "I\x00\x00\x00\x02"  // e = 2
      "\n"s;
  EXPECT_EQ(server->bytes().substr(before), request);

  // Each connection takes the next number.
  SClient_Connection* second = SClient_Connect("", 2000, nullptr, protocol.get(), nullptr);
  ASSERT_TRUE(SClient_IsConnected(second));
  EXPECT_EQ(SClient_ConnectionNumber(second), SClient_ConnectionNumber(connection) + 1);
  SClient_CloseConn(second);
  EXPECT_EQ(second, nullptr);
}

TEST_F(SClientTest, ResultsAreTheElementsAfterTheStatusARefusalKeepsStatusAndText) {
  Serve([](const SReqObj& m) {
    const std::string what = m.at(3).AsString();
    return FakeServer::Wire(what == "job" ? SProtocol_ErrorReply(7, "no such job")
                                          : SProtocol_SuccessReply({SReqObj::String("got " + what),
                                                                    SReqObj::Integer(5)}));
  });
  Connect();
  SReqObj result;
  // A single value stands for the one-element parameter array.
  ASSERT_TRUE(SClient_SendRequest(connection, "ASK", 1, SReqObj::String("x"), &result));
  EXPECT_EQ(SReqObj_ToText(result), R"(["got x", 5])");
  EXPECT_EQ(Error(), 0);
  EXPECT_FALSE(SClient_SendRequest(connection, "ASK", 1, SReqObj::String("job"), &result));
  char text[256] = {};
  EXPECT_EQ(SClient_GetError(connection, text), 7);
  EXPECT_STREQ(text, "no such job");
  // The connection itself is fine.
  EXPECT_TRUE(SClient_IsConnected(connection));
}

TEST_F(SClientTest, BrokenRepliesGiveTheirErrorNumbers) {
  std::string next;
  Serve([&next](const SReqObj&) { return next; });
  Connect();
  const SReqObj q = SReqObj::String("x");
  next = "I\x00\x00\x00\x00\n"s;  // no array
  EXPECT_FALSE(SClient_SendRequest(connection, "ASK", 1, q, nullptr));
  EXPECT_EQ(Error(), SClient_errNoStatus);
  next = "A\x00\x00\x00\x01S\x00\x00\x00\x00\n"s;  // status is not an integer
  EXPECT_FALSE(SClient_SendRequest(connection, "ASK", 1, q, nullptr));
  EXPECT_EQ(Error(), SClient_errNoStatus);
  next = "A\x00\x00\x00\x01I\x00\x00\x00\x00X"s;  // no line feed
  EXPECT_FALSE(SClient_SendRequest(connection, "ASK", 1, q, nullptr));
  EXPECT_EQ(Error(), SClient_errNoLineEnd);
  next = "Q\n"s;  // not an object
  EXPECT_FALSE(SClient_SendRequest(connection, "ASK", 1, q, nullptr));
  EXPECT_EQ(Error(), SClient_errNoStatus);
  // After each broken reply the next request goes to a fresh connection and works.
  next = FakeServer::Wire(SProtocol_SuccessReply());
  EXPECT_TRUE(SClient_SendRequest(connection, "ASK", 1, q, nullptr));
}

TEST_F(SClientTest, WaitingForAReplyYieldsEveryHundredMillisecondsUntilTheTimeOut) {
  Serve();  // never answers
  Connect(450);
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(SClient_SendRequest(connection, "ASK", 1, SReqObj::String("x"), nullptr));
  const long took = MsSince(start);
  EXPECT_EQ(Error(), SClient_errTimeout);
  EXPECT_GE(took, 440);
  EXPECT_LT(took, 1500);
  EXPECT_GE(yields, 3);
  EXPECT_LE(yields, 5);
}

TEST_F(SClientTest, MisusedRequestsAreDumpedAndNotSent) {
  Serve();
  Connect();
  ASSERT_TRUE(server->WaitForMessages(1));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(SClient_SendRequest(connection, "NOPE", 1, SReqObj::Array(), nullptr));
  EXPECT_EQ(Error(), SClient_errBadRequest);
  EXPECT_FALSE(SClient_SendRequest(connection, "ALL", 2, SReqObj::Array(), nullptr));
  EXPECT_FALSE(SClient_SendRequest(connection, "ASK", 1, SReqObj::Integer(1), nullptr));
  EXPECT_EQ(Error(), SClient_errBadRequest);
  EXPECT_FALSE(SClient_SendRequest(connection, "ALL", 1, SReqObj::Boolean(true), nullptr));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Unknown request (request NOPE)"), std::string::npos) << err;
  EXPECT_NE(err.find("Type mismatch for parameter what"), std::string::npos) << err;
  EXPECT_NE(err.find("Parameter object has to be of type ARRAY"), std::string::npos) << err;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(server->messages().size(), 1u);
}

TEST_F(SClientTest, ListenerConnectionsCannotWaitForResults) {
  Serve();
  connection = SClient_Connect(
      "", 2000, [](SClient_Connection*, const SReqObj&) {}, protocol.get(), nullptr);
  ASSERT_TRUE(SClient_IsConnected(connection));
  EXPECT_FALSE(SClient_SendRequest(connection, "ASK", 1, SReqObj::String("x"), nullptr));
  EXPECT_EQ(Error(), SClient_errListener);
  EXPECT_TRUE(SClient_SendRequest(
      connection, "ALL", 1,
      SReqObj::Array({SReqObj::Boolean(false), SReqObj::Integer(0), SReqObj::String(""),
                      SReqObj::Array(), SReqObj::Integer(0)}),
      nullptr));
}

TEST_F(SClientTest, EventMaskIsSentAgainAfterReconnection) {
  Serve();
  Connect();
  ASSERT_TRUE(server->WaitForMessages(1));
  SClient_SetEventMask(connection, 6);
  ASSERT_TRUE(server->WaitForMessages(2));
  EXPECT_EQ(SReqObj_ToText(server->messages()[1]), R"(["SET_EVENT_MASK", 1, TRUE, 6])");
  ASSERT_TRUE(SClient_Reconnect(connection));
  ASSERT_TRUE(server->WaitForMessages(4));
  EXPECT_EQ(server->messages()[2].at(0).AsString(), "CLIENTID");
  EXPECT_EQ(SReqObj_ToText(server->messages()[3]), R"(["SET_EVENT_MASK", 1, TRUE, 6])");
}

TEST_F(SClientTest, ALostConnectionIsMadeAgainBeforeTheNextRequest) {
  Serve([](const SReqObj&) { return FakeServer::Wire(SProtocol_SuccessReply()); });
  Connect();
  ASSERT_TRUE(server->WaitForMessages(1));
  server->DropConnection();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_TRUE(SClient_SendRequest(connection, "ASK", 1, SReqObj::String("x"), nullptr))
      << SClient_ErrorText(connection);
  EXPECT_EQ(server->connections(), 2);
}

TEST_F(SClientTest, ARequestTooLargeToEncodeKeepsTheHealthyConnection) {
  Serve([](const SReqObj&) { return FakeServer::Wire(SProtocol_SuccessReply()); });
  Connect();
  const int number = SClient_ConnectionNumber(connection);
  EXPECT_FALSE(SClient_SendRequest(
      connection, "ASK", 1, SReqObj::String(std::string(SReqObj_maxString + 1, 'x')), nullptr));
  EXPECT_EQ(Error(), SClient_errBadRequest);
  EXPECT_TRUE(SClient_SendRequest(connection, "ASK", 1, SReqObj::String("x"), nullptr))
      << SClient_ErrorText(connection);
  EXPECT_EQ(SClient_ConnectionNumber(connection), number);
  EXPECT_EQ(server->connections(), 1);
}

TEST_F(SClientTest, PortComesFromTheVariableNamedAfterTheServer) {
  ::unsetenv("VM_TESTER_PORT");
  EXPECT_EQ(SClient_ServerPort(*protocol), 1);
  ::setenv("VM_TESTER_PORT", "4711", 1);
  EXPECT_EQ(SClient_ServerPort(*protocol), 4711);
  ::setenv("VM_TESTER_PORT", "", 1);
  EXPECT_EQ(SClient_ServerPort(*protocol), 1);
}

TEST_F(SClientTest, AServerThatComesUpLateIsReachedByTheRetries) {
  const int port = UnusedPort();
  ::setenv("VM_TESTER_PORT", std::to_string(port).c_str(), 1);
  std::thread later([this, port] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    server = std::make_unique<FakeServer>(port);
  });
  const Clock::time_point start = Clock::now();
  connection = SClient_Connect("", 3000, nullptr, protocol.get(), CountingYield);
  later.join();
  EXPECT_TRUE(SClient_IsConnected(connection));
  EXPECT_GE(MsSince(start), 700);
  // Tries 300 ms apart, with the yield procedure between them.
  EXPECT_GE(yields, 2);
  EXPECT_LE(yields, 4);
}

TEST_F(SClientTest, AnUnreachableServerIsStartedOnceThenGivenUpAfterTheTimeOut) {
  // A "server" on PATH that only notes that it was started, and from where.
  const std::string bin = zolt::test::SandboxDir() + "/bin";
  ::mkdir(bin.c_str(), 0755);
  zolt::test::WriteFile(bin + "/Tester", "#!/bin/sh\nreadlink /proc/self/fd/0 >> " +
                                             zolt::test::SandboxDir() + "/started\n");
  ::chmod((bin + "/Tester").c_str(), 0755);
  ::setenv("PATH", (bin + ":" + std::getenv("PATH")).c_str(), 1);
  ::setenv("VM_TESTER_PORT", std::to_string(UnusedPort()).c_str(), 1);

  const Clock::time_point start = Clock::now();
  connection = SClient_Connect("", 1000, nullptr, protocol.get(), CountingYield);
  const long took = MsSince(start);
  EXPECT_FALSE(SClient_IsConnected(connection));
  EXPECT_EQ(Error(), SClient_errNoServer);
  EXPECT_NE(SClient_ErrorText(connection).find("Tester"), std::string::npos);
  EXPECT_GE(took, 1000);
  EXPECT_LT(took, 2000);
  EXPECT_GE(yields, 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(zolt::test::ReadFile(zolt::test::SandboxDir() + "/started"), "/dev/null\n");

  // Requests on the failed connection try again, and fail the same way.
  SClient_SetTimeout(connection, 0);
  EXPECT_FALSE(SClient_SendRequest(connection, "ASK", 1, SReqObj::String("x"), nullptr));
  EXPECT_EQ(Error(), SClient_errNoServer);
}

}  // namespace
