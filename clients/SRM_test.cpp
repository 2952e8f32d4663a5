#include "SRM.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Messages.hpp"
#include "UArgs.hpp"
#include "test/FakeServer.hpp"

// The daemon's side (real reservations, both transports, reclaiming) is covered by the
// end-to-end tests of DUrazaze; here a stand-in server records what the client sends.

namespace {

class SRMTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SRM_Init();
    SRM_Reset();
    pid = std::to_string(::getpid());
    host = SRM_localHost;
  }

  // Serves RESERVE with the given reply elements after the status.
  void Serve(SReqObj::Elements reserveResult = {SReqObj::Boolean(true)}) {
    server = std::make_unique<FakeServer>(0, [this, reserveResult](const SReqObj& m) {
      if (m.at(0).AsString() == "RESERVE" && refuseWith != 0) {
        return FakeServer::Wire(SProtocol_ErrorReply(refuseWith, "server trouble"));
      }
      return FakeServer::Wire(SProtocol_SuccessReply(reserveResult));
    });
    ASSERT_TRUE(server->listening());
    ::setenv("VM_DURAZAZE_PORT", std::to_string(server->port()).c_str(), 1);
  }

  // The requests after "CLIENTID", in text form.
  std::vector<std::string> Sent(std::size_t n) {
    EXPECT_TRUE(server->WaitForMessages(n + 1));
    std::vector<std::string> texts;
    for (const SReqObj& m : server->messages()) {
      if (m.at(0).AsString() != "CLIENTID") texts.push_back(SReqObj_ToText(m));
    }
    return texts;
  }
  std::string Req(const std::string& name, const std::string& params) {
    return "[\"" + name + "\", 1, " + (name == "RESERVE" ? "FALSE" : "TRUE") + ", " + params + "]";
  }

  std::unique_ptr<FakeServer> server;
  int refuseWith = 0;
  std::string pid;
  std::string host;
};

TEST_F(SRMTest, NestedReserveSendsUseAndCountsAGrantWithoutTrapIsNotCounted) {
  Serve();
  ASSERT_TRUE(SRM_Reserve("*:M1:*", true));
  EXPECT_EQ(SRM_UseCount("*:M1:*"), 1);
  ASSERT_TRUE(SRM_Reserve("*:M1:*", true));
  EXPECT_EQ(SRM_UseCount("*:M1:*"), 2);
  SRM_Release("*:M1:*");
  EXPECT_EQ(SRM_UseCount("*:M1:*"), 1);
  SRM_Release("*:M1:*");
  EXPECT_EQ(SRM_UseCount("*:M1:*"), 0);
  EXPECT_EQ(SRM_resourceLst, nullptr);
  const auto sent = Sent(4);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], Req("RESERVE", "\"" + host + "\", " + pid + ", TRUE, \"*:M1:*\""));
  EXPECT_EQ(sent[1], Req("USE", "\"" + host + "\", " + pid + ", TRUE, \"*:M1:*\""));
  EXPECT_EQ(sent[2], Req("RELEASE", "\"" + host + "\", " + pid + ", \"*:M1:*\""));
  EXPECT_EQ(sent[3], sent[2]);
  EXPECT_EQ(SRM_error, 0);

  // A grant without trapPrematureDeath is not held here: a second reserve asks again.
  EXPECT_TRUE(SRM_Reserve("*:M3:*", false));
  EXPECT_EQ(SRM_UseCount("*:M3:*"), 0);
  EXPECT_TRUE(SRM_Reserve("*:M3:*", false));
  EXPECT_EQ(Sent(6)[5].substr(0, 10), "[\"RESERVE\"");
}

TEST_F(SRMTest, ExclusiveAfterSharedAsksTheServerSharedAfterExclusiveOnlyUses) {
  Serve();
  char shared[256] = "*:/orders/A.aif", exclusive[256] = "*:/orders/A.aif",
       laterShared[256] = "*:/orders/A.aif";
  SRM_ReadResource(shared);
  SRM_UpdateResource(exclusive);
  SRM_ReadResource(laterShared);
  ASSERT_TRUE(SRM_Reserve(shared, true));
  ASSERT_TRUE(SRM_Reserve(exclusive, true));
  ASSERT_TRUE(SRM_Reserve(laterShared, true));
  const auto sent = Sent(3);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].substr(0, 10), "[\"RESERVE\"");
  EXPECT_EQ(sent[1].substr(0, 10), "[\"RESERVE\"");
  EXPECT_NE(sent[1].find(":*\"]"), std::string::npos);
  EXPECT_EQ(sent[2].substr(0, 6), "[\"USE\"");
  // One entry per distinct name, kept in name order.
  ASSERT_NE(SRM_resourceLst, nullptr);
  int entries = 0;
  for (const SRM_Resource* r = SRM_resourceLst; r != nullptr; r = r->next) {
    ++entries;
    if (r->next != nullptr) {
      EXPECT_LT(std::string(r->name), std::string(r->next->name));
    }
  }
  EXPECT_EQ(entries, 3);
}

// A held pattern is found whichever of its fields are plain and wherever its wildcards
// stand, a wildcard spanning colons included; a released one is no longer found.
TEST_F(SRMTest, HeldPatternsMatchWhateverFieldsCarryTheirWildcards) {
  Serve();
  for (const char* name : {"*:/o/A.aif:*", "host:/dev/nst0:*", "x*y", "?:??:*"}) {
    ASSERT_TRUE(SRM_Reserve(StrIn::FromC(name), true)) << name;
  }
  for (const char* held :
       {"h:/o/A.aif:123", "p:q:/o/A.aif:r", "host:/dev/nst0:w", "xa:by", "a:bc:d"}) {
    EXPECT_TRUE(SRM_QueryInUse(StrIn::FromC(held))) << held;
  }
  for (const char* free : {"h:/o/B.aif:1", "host:/dev/nst1:w", "xa:b", "ab:bc:d"}) {
    EXPECT_FALSE(SRM_QueryInUse(StrIn::FromC(free))) << free;
  }
  SRM_Release("*:/o/A.aif:*");
  EXPECT_FALSE(SRM_QueryInUse("h:/o/A.aif:123"));
}

TEST_F(SRMTest, SharedSuffixesCarryTheCounter) {
  char a[256] = "*:/o/B.aif", b[256] = "*:/o/B.aif";
  SRM_ReadResource(a);
  SRM_ReadResource(b);
  char expectedA[256], expectedB[256];
  std::snprintf(expectedA, sizeof expectedA, "*:/o/B.aif:%05d-0-%8s", ::getpid(), SRM_localHost);
  std::snprintf(expectedB, sizeof expectedB, "*:/o/B.aif:%05d-1-%8s", ::getpid(), SRM_localHost);
  EXPECT_STREQ(a, expectedA);
  EXPECT_STREQ(b, expectedB);
  EXPECT_EQ(SRM_sequenceCounter, 2);
  SRM_sequenceCounter = 2147483645;
  char c[256] = "x";
  SRM_ReadResource(c);
  EXPECT_EQ(SRM_sequenceCounter, 0);
  char d[256] = "*:/o/B.aif";
  SRM_UpdateResource(d);
  EXPECT_STREQ(d, "*:/o/B.aif:*");
}

TEST_F(SRMTest, RefusalNamesTheHolderOnlyWhenAskedAndWellFormed) {
  Serve({SReqObj::Boolean(false),
         SReqObj::Array({SReqObj::String("otherhost"), SReqObj::Integer(4711)})});
  SRM_Holder holder{};
  EXPECT_FALSE(SRM_ReserveVerbose("*:M2:*", true, holder));
  EXPECT_STREQ(holder.host, "otherhost");
  EXPECT_EQ(holder.pid, 4711);
  EXPECT_EQ(SRM_resourceLst, nullptr);  // refused names are not held
  EXPECT_FALSE(SRM_Reserve("*:M2:*", true));
  EXPECT_EQ(SRM_error, 0);
}

TEST_F(SRMTest, RefusalWithoutHolderLeavesTheRecordReset) {
  Serve({SReqObj::Boolean(false), SReqObj::String("garbage")});
  SRM_Holder holder{"stale", 3};
  EXPECT_FALSE(SRM_ReserveVerbose("*:M2:*", false, holder));
  EXPECT_STREQ(holder.host, "");
  EXPECT_EQ(holder.pid, -1);
}

TEST_F(SRMTest, UseFreeAndReleaseOnHost) {
  Serve();
  SRM_Use("*:M4:*", "jobhost", true);
  SRM_Use("*:M5:*", "", false);
  EXPECT_EQ(SRM_UseCount("*:M4:*"), 1);
  EXPECT_EQ(SRM_UseCount("*:M5:*"), 0);
  ASSERT_TRUE(SRM_Reserve("*:M40:*", true));
  ASSERT_TRUE(SRM_Reserve("*:N1:*", true));
  SRM_ReleaseOnHost("*:N1:*", "otherhost");
  EXPECT_EQ(SRM_UseCount("*:N1:*"), 1);
  SRM_Free("*:M4*");
  EXPECT_EQ(SRM_UseCount("*:M4:*"), 0);
  EXPECT_EQ(SRM_UseCount("*:M40:*"), 0);
  EXPECT_EQ(SRM_UseCount("*:N1:*"), 1);
  const auto sent = Sent(6);
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[0], Req("USE", "\"jobhost\", " + pid + ", TRUE, \"*:M4:*\""));
  // An empty host goes out unchanged on the socket transport.
  EXPECT_EQ(sent[1], Req("USE", "\"\", " + pid + ", FALSE, \"*:M5:*\""));
  EXPECT_EQ(sent[4], Req("RELEASE", "\"otherhost\", " + pid + ", \"*:N1:*\""));
  EXPECT_EQ(sent[5], Req("FREE", "\"" + host + "\", " + pid + ", \"*:M4*\""));
}

TEST_F(SRMTest, QueryInUse) {
  Serve();
  ASSERT_TRUE(SRM_Reserve("*:Q1:*", true));
  EXPECT_TRUE(SRM_QueryInUse("*:Q1:*"));  // held here: no request
  EXPECT_EQ(Sent(1).size(), 1u);
  // Free at the server: the trial grant is given back at once.
  EXPECT_FALSE(SRM_QueryInUse("*:Q2:*"));
  EXPECT_EQ(SRM_UseCount("*:Q2:*"), 0);
  const auto sent = Sent(3);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1], Req("RESERVE", "\"" + host + "\", " + pid + ", TRUE, \"*:Q2:*\""));
  EXPECT_EQ(sent[2], Req("RELEASE", "\"" + host + "\", " + pid + ", \"*:Q2:*\""));
}

TEST_F(SRMTest, QueryOfAThingHeldElsewhereIsInUse) {
  Serve({SReqObj::Boolean(false)});
  EXPECT_TRUE(SRM_QueryInUse("*:Q3:*"));
  EXPECT_EQ(Sent(1).size(), 1u);
}

TEST_F(SRMTest, ServerCommands) {
  Serve();
  SRM_StartDebugLog();
  SRM_StopDebugLog();
  SRM_DumpResourceDatabase("/tmp/db dump");
  SRM_VMDemonStartup();
  const auto sent = Sent(4);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], Req("DEBUG", "TRUE"));
  EXPECT_EQ(sent[1], Req("DEBUG", "FALSE"));
  EXPECT_EQ(sent[2], Req("DUMP", "\"/tmp/db dump\""));
  EXPECT_EQ(sent[3], Req("VMDEMON", "\"" + host + "\""));
}

TEST_F(SRMTest, FailedExchangeWritesTheSocketDiagnostics) {
  refuseWith = 9;
  Serve();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(SRM_Reserve("*:D1:*", true));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(SRM_error, 0);
  const std::string expected = "server trouble\nparams were : [\"" + host + "\", " + pid +
                               ", TRUE, \"*:D1:*\"]\ncalled by => ReserveViaSocket\n";
  EXPECT_EQ(err.substr(0, expected.size()), expected);
  EXPECT_GT(err.size(), expected.size());  // and the explanation for the operator
}

TEST_F(SRMTest, ClaimOfAnotherEmployerEndsTheProgram) {
  ::setenv("VERAR_EMPLOYER", "some-other-host", 1);
  char* args[] = {const_cast<char*>("srmtool"), nullptr};
  char* env[] = {nullptr};
  M2C_INIT(1, args, env);
  EXPECT_EXIT(SRM_Reserve("*:E1:*", true), ::testing::ExitedWithCode(1),
              "srmtool: Cannot connect to remote DUrazaze");
  // The own machine as employer is fine.
  ::setenv("VERAR_EMPLOYER", SRM_localHost, 1);
  Serve();
  EXPECT_TRUE(SRM_Reserve("*:E1:*", true));
}

TEST_F(SRMTest, WithoutAServerReleaseIsQuietAndReserveFailsWithErrorOne) {
  // No server listens and none can be started.
  ::setenv("PATH", "/usr/bin:/bin", 1);
  std::string error;
  int fd = Socket_Listen(0, 1, error);
  ::setenv("VM_DURAZAZE_PORT", std::to_string(Socket_LocalPort(fd)).c_str(), 1);
  Socket_Close(fd);
  SRM_Release("*:U1:*");
  EXPECT_EQ(SRM_error, 0);
  EXPECT_FALSE(SRM_connected);
  Messages_IgnoreErrors(true);
  EXPECT_FALSE(SRM_Reserve("*:U1:*", true));
  Messages_IgnoreErrors(false);
  EXPECT_EQ(SRM_error, 1);
  Messages_ForgetErrorReasons();
}

}  // namespace
