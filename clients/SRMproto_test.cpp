#include "SRMproto.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "DirAcces.hpp"
#include "Sandbox.hpp"

namespace {

using namespace std::string_literals;
using T = SProtocol_ParamType;

class SRMprotoTest : public ::testing::Test {
 protected:
  void SetUp() override { SRMproto_Init(); }

  static bool Matches(const char* name, const char* text) {
    SRegExpr r = SRMproto_RegExpr(StrIn::FromC(name));
    EXPECT_NE(r, SRegExpr_Nil) << name;
    const bool m = SRegExpr_Match(r, StrIn::FromC(text));
    SRegExpr_Destroy(r);
    return m;
  }
  static std::string Pattern(const std::string& name) {
    char p[1024] = {};
    SRMproto_Pattern(name, p);
    return p;
  }
};

TEST_F(SRMprotoTest, SocketProtocolHasTheSevenRequestsWithTheirParameters) {
  const auto p = SRMproto_CreateProtocol();
  EXPECT_EQ(p->serverName, "DUrazaze");
  EXPECT_EQ(p->port, 5624);
  EXPECT_EQ(p->bufferSize, 8192);
  struct Expect {
    const char* name;
    bool result;
    std::vector<std::pair<T, const char*>> params;
  };
  const std::vector<std::pair<T, const char*>> reserve = {{T::String, "hostname"},
                                                          {T::Integer, "clientPID"},
                                                          {T::Boolean, "trapPrematureDeath"},
                                                          {T::String, "resourcePattern"}};
  const std::vector<std::pair<T, const char*>> release = {reserve[0], reserve[1], reserve[3]};
  const Expect expected[] = {
      {"RESERVE", true, reserve},
      {"USE", false, reserve},
      {"RELEASE", false, release},
      {"FREE", false, release},
      {"VMDEMON", false, {{T::String, "hostname"}}},
      {"DEBUG", false, {{T::Boolean, "debug"}}},
      {"DUMP", false, {{T::String, "fileName"}}},
  };
  for (const Expect& e : expected) {
    const SProtocol_Request* r = SProtocol_FindRequest(*p, e.name, 1);
    ASSERT_NE(r, nullptr) << e.name;
    EXPECT_EQ(r->hasResult, e.result) << e.name;
    ASSERT_EQ(r->params.size(), e.params.size()) << e.name;
    for (std::size_t i = 0; i < e.params.size(); ++i) {
      EXPECT_EQ(r->params[i].type, e.params[i].first) << e.name << " " << i;
      EXPECT_EQ(r->params[i].name, e.params[i].second) << e.name << " " << i;
    }
  }
  EXPECT_NE(SProtocol_FindRequest(*p, "CLIENTID", 1), nullptr);
}

TEST_F(SRMprotoTest, TransportFollowsTheFlag) {
  EXPECT_TRUE(SRMproto_UseSocketService());
  ::setenv("VM_DURAZAZE_USE_SCIPC_SERVICES", "on", 1);
  EXPECT_FALSE(SRMproto_UseSocketService());
  ::setenv("VM_DURAZAZE_USE_SCIPC_SERVICES", "Off", 1);
  EXPECT_TRUE(SRMproto_UseSocketService());
  ::unsetenv("VM_DURAZAZE_USE_SCIPC_SERVICES");
  char customer[1024] = {};
  DirAcces_GetSpecialPath(DirAcces_customerPath, customer);
  zolt::test::WriteFile(std::string(customer) + "/DURAZAZE_USE_SCIPC_SERVICES", "");
  EXPECT_FALSE(SRMproto_UseSocketService());
}

TEST_F(SRMprotoTest, PidTakesFourBytesOnlyOnNewerIrix) {
  EXPECT_EQ(SRMproto_PidSizeFor("Linux", "6.1.0"), 2u);
  EXPECT_EQ(SRMproto_PidSizeFor("IRIX64", "6.5"), 4u);
  EXPECT_EQ(SRMproto_PidSizeFor("IRIX", "6.5.22m"), 4u);
  EXPECT_EQ(SRMproto_PidSizeFor("IRIX", "7.0"), 4u);
  EXPECT_EQ(SRMproto_PidSizeFor("IRIX", "6.4"), 2u);
  EXPECT_EQ(SRMproto_PidSizeFor("IRIX", "5.3"), 2u);
  EXPECT_EQ(SRMproto_PidSize(), 2u);  // this is not an IRIX machine
}

TEST_F(SRMprotoTest, PipeRequestLayout) {
  const std::string r = SRMproto_BuildRequest('R', true, 0x12345678, "hostA", "*:M1:*");
  const std::string expected =
      "R\xff"s                          // letter, trapPrematureDeath
      "\x78\x56"s                       // pid, least significant byte first
      "hostA\0\0\0\0\0\0\0\0\0\0\0\0"s  // 17 bytes
      "*:M1:*\0"s;
  EXPECT_EQ(r, expected);
  // No trap: flag byte 0; a long host is cut to 16 characters.
  const std::string l = SRMproto_BuildRequest('L', false, 7, "abcdefghijklmnopqrs", "x");
  EXPECT_EQ(l,
            "L\x00\x07\x00"
            "abcdefghijklmnop\x00"
            "x\x00"s);
  // An empty host stands for this machine.
  char machine[128] = {};
  DirAcces_GetMachineName(machine);
  const std::string u = SRMproto_BuildRequest('U', false, 1, "", "n");
  EXPECT_EQ(u.substr(4, 17).c_str(), std::string(machine).substr(0, 16));
}

TEST_F(SRMprotoTest, VerboseMarkNeedsRoomInTheHostField) {
  std::string r = SRMproto_BuildRequest('R', false, 1, "short", "n");
  EXPECT_FALSE(SRMproto_IsVerbose(r));
  SRMproto_MarkVerbose(r);
  EXPECT_EQ(r[4 + 16], 1);
  EXPECT_TRUE(SRMproto_IsVerbose(r));
  std::string full = SRMproto_BuildRequest('R', false, 1, "sixteen-chars-xx", "n");
  const std::string before = full;
  SRMproto_MarkVerbose(full);
  EXPECT_EQ(full, before);
}

TEST_F(SRMprotoTest, SplitIsTheInverseOfBuild) {
  std::string r = SRMproto_BuildRequest('F', true, 4242, "node7", "*:/o/a.aif:*");
  SRMproto_MarkVerbose(r);
  char letter = 0;
  bool trap = false;
  char host[17] = {};
  int pid = 0;
  char name[256] = {};
  ASSERT_TRUE(SRMproto_SplitRequest(r, letter, trap, host, pid, name));
  EXPECT_EQ(letter, 'F');
  EXPECT_TRUE(trap);
  EXPECT_STREQ(host, "node7");
  EXPECT_EQ(pid, 4242);
  EXPECT_STREQ(name, "*:/o/a.aif:*");
  // Cut short, or without the terminating NUL of the name.
  EXPECT_FALSE(SRMproto_SplitRequest(r.substr(0, 10), letter, trap, host, pid, name));
  EXPECT_FALSE(SRMproto_SplitRequest(r.substr(0, r.size() - 1), letter, trap, host, pid, name));
}

TEST_F(SRMprotoTest, RefusalAnswerCarriesHolderHostAndPid) {
  const std::string a = SRMproto_RefusalAnswer("holderhost", 31337);
  ASSERT_EQ(a.size(), 36u);
  EXPECT_EQ(a.substr(3, 17), "holderhost\0\0\0\0\0\0\0"s);
  EXPECT_EQ(a.substr(20, 16), "31337\0\0\0\0\0\0\0\0\0\0\0"s);
  char host[128] = {};
  int pid = 0;
  ASSERT_TRUE(SRMproto_ParseRefusal(a, host, pid));
  EXPECT_STREQ(host, "holderhost");
  EXPECT_EQ(pid, 31337);
  EXPECT_FALSE(SRMproto_ParseRefusal("NO", host, pid));
}

TEST_F(SRMprotoTest, NamesBecomeAnchoredPatterns) {
  EXPECT_EQ(Pattern("*:a.b|c:*"), "^.*:a\\.b\\|c:.*$");
  EXPECT_EQ(Pattern("x?$()+[]^"), "^x.\\$\\(\\)\\+\\[\\]\\^$");
  EXPECT_EQ(Pattern(""), "^$");
  // Too long: what does not fit is dropped, the pattern stays anchored.
  const std::string p = Pattern(std::string(600, '*'));
  EXPECT_LE(p.size(), 1023u);
  EXPECT_EQ(p.front(), '^');
  EXPECT_EQ(p.back(), '$');
}

TEST_F(SRMprotoTest, DotAndBarMatchOnlyThemselvesWildcardsOfTheHeldNameMatchItsUses) {
  EXPECT_TRUE(Matches("host:dev.0|a:*", "host:dev.0|a:*"));
  EXPECT_FALSE(Matches("host:dev.0|a:*", "host:devX0|a:*"));
  EXPECT_FALSE(Matches("host:dev.0|a:*", "host:dev.0"));
  EXPECT_FALSE(Matches("a|b", "a"));
  EXPECT_FALSE(Matches("a|b", "b"));
  EXPECT_TRUE(Matches("(a)+[b]", "(a)+[b]"));
  EXPECT_FALSE(Matches("(a)+[b]", "aab"));
  // Holding the exclusive name covers a later shared use of the same order ...
  EXPECT_TRUE(Matches("*:/orders/A.aif:*", "*:/orders/A.aif:04711-0-node1"));
  // ... but a shared holding does not cover the exclusive name.
  EXPECT_FALSE(Matches("*:/orders/A.aif:04711-0-node1", "*:/orders/A.aif:*"));
  EXPECT_TRUE(Matches("*:M?:*", "*:M7:*"));
  EXPECT_FALSE(Matches("*:M?:*", "*:M77:*"));
}

}  // namespace
