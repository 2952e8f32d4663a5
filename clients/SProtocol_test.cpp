#include "SProtocol.hpp"

#include <gtest/gtest.h>

namespace {

using T = SProtocol_ParamType;

class SProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SProtocol_Init();
    protocol = SProtocol_Create("Server", 1234, 4096);
    SProtocol_AddRequest(
        *protocol, "SET", 1,
        {SProtocol_MakeParam(T::Enumeration, "status", 2), SProtocol_MakeParam(T::Boolean, "flag"),
         SProtocol_MakeParam(T::Array, "ids")},
        true, false);
    SProtocol_AddRequest(*protocol, "PEEK", 1, {SProtocol_MakeParam(T::Integer, "types")}, true,
                         false);
    SProtocol_AddRequest(*protocol, "PEEK", 2, {SProtocol_MakeParam(T::String, "usages")}, true,
                         false);
    SProtocol_AddRequest(*protocol, "ASYNC", 1, {}, true, true);
  }
  std::unique_ptr<SProtocol> protocol;
};

TEST_F(SProtocolTest, EveryProtocolHoldsTheStandardRequests) {
  const SProtocol_Request* id = SProtocol_FindRequest(*protocol, "CLIENTID", 1);
  ASSERT_NE(id, nullptr);
  ASSERT_EQ(id->params.size(), 5u);
  const char* names[] = {"hostname", "binaryName", "pid", "connNo", "clientType"};
  const T types[] = {T::String, T::String, T::Integer, T::Integer, T::Integer};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(id->params[i].name, names[i]);
    EXPECT_EQ(id->params[i].type, types[i]);
    EXPECT_EQ(id->params[i].index, i);
  }
  EXPECT_FALSE(id->hasResult);
  for (const char* name : {"TEST_SERVICE", "DEBUG_SERVICE", "SUPPORTED_VERSIONS", "SET_EVENT_MASK",
                           "CURRENT_CLIENTS"}) {
    EXPECT_NE(SProtocol_FindRequest(*protocol, name, 1), nullptr) << name;
  }
  EXPECT_EQ(protocol->serverName, "Server");
  EXPECT_EQ(protocol->port, 1234);
  EXPECT_EQ(protocol->bufferSize, 4096);
}

TEST_F(SProtocolTest, RequestsAreFoundByNameAndVersion) {
  EXPECT_EQ(SProtocol_FindRequest(*protocol, "PEEK", 2)->params[0].type, T::String);
  EXPECT_EQ(SProtocol_FindRequest(*protocol, "PEEK", 1)->params[0].type, T::Integer);
  EXPECT_EQ(SProtocol_FindRequest(*protocol, "PEEK", 3), nullptr);
  EXPECT_EQ(SProtocol_FindRequest(*protocol, "peek", 1), nullptr);
  EXPECT_EQ(SProtocol_Versions(*protocol, "PEEK"), (std::vector<int>{1, 2}));
  EXPECT_TRUE(SProtocol_Versions(*protocol, "NONE").empty());
}

TEST_F(SProtocolTest, ParameterChecks) {
  const SProtocol_Request& set = *SProtocol_FindRequest(*protocol, "SET", 1);
  const auto params = [](SReqObj status, SReqObj flag, SReqObj ids) {
    return SReqObj::Array({std::move(status), std::move(flag), std::move(ids)});
  };
  EXPECT_EQ(SProtocol_CheckParameters(
                set, params(SReqObj::Integer(1), SReqObj::Boolean(true), SReqObj::Array())),
            "");
  EXPECT_EQ(SProtocol_CheckParameters(set, SReqObj::Integer(1)),
            "Parameter object has to be of type ARRAY");
  EXPECT_EQ(SProtocol_CheckParameters(set, SReqObj::Array({SReqObj::Integer(1)})),
            "Wrong number of parameters");
  EXPECT_EQ(SProtocol_CheckParameters(
                set, params(SReqObj::Integer(0), SReqObj::Integer(1), SReqObj::Array())),
            "Type mismatch for parameter flag");
  EXPECT_EQ(SProtocol_CheckParameters(
                set, params(SReqObj::Integer(2), SReqObj::Boolean(true), SReqObj::Array())),
            "Value out of range for parameter status");
  EXPECT_EQ(SProtocol_CheckParameters(
                set, params(SReqObj::Integer(-1), SReqObj::Boolean(true), SReqObj::Array())),
            "Value out of range for parameter status");
  EXPECT_EQ(SProtocol_CheckParameters(
                set, params(SReqObj::String("running"), SReqObj::Boolean(true), SReqObj::Array())),
            "Type mismatch for parameter status");
}

TEST_F(SProtocolTest, MessagesCarryNameVersionFlagAndParameters) {
  const SProtocol_Request& peek = *SProtocol_FindRequest(*protocol, "PEEK", 2);
  const SReqObj m = SProtocol_BuildMessage(peek, SReqObj::Array({SReqObj::String("low")}));
  EXPECT_EQ(SReqObj_ToText(m), R"(["PEEK", 2, FALSE, "low"])");
  SProtocol_Message split;
  ASSERT_TRUE(SProtocol_SplitMessage(m, split));
  EXPECT_EQ(split.name, "PEEK");
  EXPECT_EQ(split.version, 2);
  EXPECT_FALSE(split.noReply);
  EXPECT_EQ(SReqObj_ToText(split.params), R"(["low"])");
  // Asynchronous requests and requests without a result are not answered.
  EXPECT_TRUE(SProtocol_FindRequest(*protocol, "ASYNC", 1)->NoReply());
  EXPECT_TRUE(SProtocol_FindRequest(*protocol, "CLIENTID", 1)->NoReply());
  const SReqObj a =
      SProtocol_BuildMessage(*SProtocol_FindRequest(*protocol, "ASYNC", 1), SReqObj::Array());
  EXPECT_EQ(SReqObj_ToText(a), R"(["ASYNC", 1, TRUE])");
}

TEST_F(SProtocolTest, SplitRefusesOtherLayouts) {
  SProtocol_Message m;
  EXPECT_FALSE(SProtocol_SplitMessage(SReqObj::String("RESERVE"), m));
  EXPECT_FALSE(
      SProtocol_SplitMessage(SReqObj::Array({SReqObj::String("X"), SReqObj::Integer(1)}), m));
  EXPECT_FALSE(SProtocol_SplitMessage(
      SReqObj::Array({SReqObj::Integer(1), SReqObj::Integer(1), SReqObj::Boolean(false)}), m));
  EXPECT_FALSE(SProtocol_SplitMessage(
      SReqObj::Array({SReqObj::String("X"), SReqObj::Integer(1), SReqObj::Integer(0)}), m));
}

TEST_F(SProtocolTest, Replies) {
  EXPECT_EQ(SReqObj_ToText(SProtocol_SuccessReply({SReqObj::Boolean(true)})), "[0, TRUE]");
  EXPECT_EQ(SReqObj_ToText(SProtocol_ErrorReply(3, "bad")), R"([3, "bad"])");
  // An error never looks like success.
  EXPECT_EQ(SProtocol_ErrorReply(0, "x").at(0).AsInteger(), 1);
}

}  // namespace
