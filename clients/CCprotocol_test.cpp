#include "CCprotocol.hpp"

#include <gtest/gtest.h>

namespace {

TEST(CCprotocolTest, JobServerTable) {
  const auto p = CCprotocol_CreateServerProtocol();
  EXPECT_EQ(p->serverName, "DUvuvuzo");
  EXPECT_EQ(p->port, 5610);
  EXPECT_EQ(p->bufferSize, 32768);
  struct Row {
    std::string_view name;
    int version;
    std::size_t params;
    bool result;
  };
  for (const Row& r : {Row{"SUBMIT_JOB", 1, 1, true}, Row{"ASYNC_SUBMIT_JOB", 1, 1, false},
                       Row{"MODIFY_JOB", 1, 1, true}, Row{"ASYNC_MODIFY_JOB", 1, 1, false},
                       Row{"PEEK_JOB", 2, 2, true}, Row{"GET_QUEUESTATUS", 1, 0, true},
                       Row{"SET_QUEUESTATUS", 1, 1, true}, Row{"JOB_COMMAND", 1, 3, true},
                       Row{"JOB_FINISHED", 1, 4, true}, Row{"JOB_FINISHED", 2, 5, true},
                       Row{"WORKER_ERROR", 1, 2, false}, Row{"GET_JOBINFOS", 1, 1, true},
                       Row{"IS_JOB_IN_QUEUE", 1, 1, true}, Row{"CLIENTID", 1, 5, false}}) {
    const SProtocol_Request* q = SProtocol_FindRequest(*p, r.name, r.version);
    ASSERT_NE(q, nullptr) << r.name;
    EXPECT_EQ(q->params.size(), r.params) << r.name;
    EXPECT_EQ(q->hasResult, r.result) << r.name;
  }
  EXPECT_TRUE(SProtocol_FindRequest(*p, "ASYNC_SUBMIT_JOB", 1)->NoReply());
  EXPECT_EQ(SProtocol_Versions(*p, "PEEK_JOB"), (std::vector<int>{1, 2}));
  EXPECT_EQ(SProtocol_FindRequest(*p, "PEEK_JOB", 1)->params[1].type, SProtocol_ParamType::Integer);
  EXPECT_EQ(SProtocol_FindRequest(*p, "PEEK_JOB", 2)->params[1].type, SProtocol_ParamType::String);
}

TEST(CCprotocolTest, QueueStatusIsATwoValueEnumeration) {
  const auto p = CCprotocol_CreateServerProtocol();
  const SProtocol_Request& set = *SProtocol_FindRequest(*p, "SET_QUEUESTATUS", 1);
  EXPECT_EQ(SProtocol_CheckParameters(set, SReqObj::Array({SReqObj::Integer(1)})), "");
  EXPECT_EQ(SProtocol_CheckParameters(set, SReqObj::Array({SReqObj::Integer(2)})),
            "Value out of range for parameter status");
  const SProtocol_Request& cmd = *SProtocol_FindRequest(*p, "JOB_COMMAND", 1);
  EXPECT_EQ(
      SProtocol_CheckParameters(cmd, SReqObj::Array({SReqObj::Integer(0), SReqObj::Boolean(false),
                                                     SReqObj::Array({SReqObj::String("id")})})),
      "");
}

}  // namespace
