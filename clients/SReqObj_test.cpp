#include "SReqObj.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

std::string Encode(const SReqObj& o) {
  std::string w;
  EXPECT_TRUE(SReqObj_Send(o, w));
  return w;
}

SReqObj_Result Decode(const std::string& wire, SReqObj& out, std::size_t& used) {
  return SReqObj_Receive(wire, &out, used);
}

class SReqObjTest : public ::testing::Test {
 protected:
  void SetUp() override { SReqObj_Init(); }
};

TEST_F(SReqObjTest, EveryTypeHasItsExactBytes) {
  EXPECT_EQ(Encode(SReqObj()), "V");
  EXPECT_EQ(Encode(SReqObj::Boolean(true)), "B\x01"s);
  EXPECT_EQ(Encode(SReqObj::Boolean(false)), "B\x00"s);
  // Network byte order, most significant byte first, two's complement for negatives.
  EXPECT_EQ(Encode(SReqObj::Integer(0x01020304)), "I\x01\x02\x03\x04"s);
  EXPECT_EQ(Encode(SReqObj::Integer(-2)), "I\xff\xff\xff\xfe"s);
  EXPECT_EQ(Encode(SReqObj::String("ab")),
            "S\x00\x00\x00\x02"
            "ab"s);
  EXPECT_EQ(Encode(SReqObj::String("")), "S\x00\x00\x00\x00"s);
  EXPECT_EQ(Encode(SReqObj::Array({SReqObj::Integer(7), SReqObj::Array({SReqObj()})})),
            "A\x00\x00\x00\x02"
            "I\x00\x00\x00\x07"
            "A\x00\x00\x00\x01"
            "V"s);
}

TEST_F(SReqObjTest, DecodesWhatItEncodesAndMeasuresItsLength) {
  const SReqObj o = SReqObj::Array({SReqObj::String("x y\n\\"), SReqObj::Boolean(true),
                                    SReqObj::Integer(-123456), SReqObj(), SReqObj::Array()});
  std::string wire = Encode(o);
  const std::size_t length = wire.size();
  wire += "trailing";
  SReqObj back;
  std::size_t used = 0;
  ASSERT_EQ(Decode(wire, back, used), SReqObj_Result::Complete);
  EXPECT_EQ(used, length);
  EXPECT_EQ(back, o);
  // Measuring only gives the same length.
  used = 0;
  EXPECT_EQ(SReqObj_Receive(wire, nullptr, used), SReqObj_Result::Complete);
  EXPECT_EQ(used, length);
  // Any non-zero boolean byte is true.
  ASSERT_EQ(Decode("B\x07"s, back, used), SReqObj_Result::Complete);
  EXPECT_TRUE(back.AsBoolean());
}

TEST_F(SReqObjTest, EveryProperPrefixIsIncomplete) {
  const std::string wire = Encode(SReqObj::Array(
      {SReqObj::String("abc"), SReqObj::Integer(5), SReqObj::Boolean(false), SReqObj()}));
  for (std::size_t n = 0; n < wire.size(); ++n) {
    SReqObj o;
    std::size_t used = 99;
    EXPECT_EQ(Decode(wire.substr(0, n), o, used), SReqObj_Result::Incomplete) << n;
    EXPECT_EQ(used, 0u);
  }
}

TEST_F(SReqObjTest, RefusesUnknownTypesAndLengthsBeyondTheLimits) {
  SReqObj o;
  std::size_t used = 0;
  EXPECT_EQ(Decode("X", o, used), SReqObj_Result::Malformed);
  EXPECT_EQ(Decode("A\x00\x00\x00\x01Q"s, o, used), SReqObj_Result::Malformed);
  // 65537 bytes announced: refused before the bytes arrive.
  EXPECT_EQ(Decode("S\x00\x01\x00\x01"s, o, used), SReqObj_Result::Malformed);
  EXPECT_EQ(Decode("S\xff\xff\xff\xff"s, o, used), SReqObj_Result::Malformed);
  // 524289 elements announced.
  EXPECT_EQ(Decode("A\x00\x08\x00\x01"s, o, used), SReqObj_Result::Malformed);
  // At the limits a string is fine.
  const std::string big(SReqObj_maxString, 'z');
  ASSERT_EQ(Decode(Encode(SReqObj::String(big)), o, used), SReqObj_Result::Complete);
  EXPECT_EQ(o.AsString().size(), SReqObj_maxString);
}

TEST_F(SReqObjTest, EncoderRefusesValuesBeyondTheLimits) {
  std::string wire = "keep";
  EXPECT_FALSE(SReqObj_Send(SReqObj::String(std::string(SReqObj_maxString + 1, 'a')), wire));
  SReqObj::Elements many(SReqObj_maxArray + 1);
  EXPECT_FALSE(SReqObj_Send(SReqObj::Array(std::move(many)), wire));
  // A bad element deep inside leaves nothing half written.
  EXPECT_FALSE(SReqObj_Send(
      SReqObj::Array({SReqObj::Integer(1),
                      SReqObj::Array({SReqObj::String(std::string(SReqObj_maxString + 1, 'b'))})}),
      wire));
  EXPECT_EQ(wire, "keep");
}

TEST_F(SReqObjTest, DeepNestingIsRefusedNotRecursedInto) {
  std::string wire;
  for (int i = 0; i < 100000; ++i) wire += "A\x00\x00\x00\x01"s;
  wire += "V";
  SReqObj o;
  std::size_t used = 0;
  EXPECT_EQ(Decode(wire, o, used), SReqObj_Result::Malformed);
  std::string fine;
  for (std::size_t i = 0; i < SReqObj_maxDepth; ++i) fine += "A\x00\x00\x00\x01"s;
  fine += "V";
  EXPECT_EQ(Decode(fine, o, used), SReqObj_Result::Complete);
}

TEST_F(SReqObjTest, MessagesEndWithALineFeed) {
  SReqObj o;
  std::size_t used = 0;
  EXPECT_EQ(SReqObj_ReceiveMessage("I\x00\x00\x00\x01\n"s, &o, used), SReqObj_Result::Complete);
  EXPECT_EQ(used, 6u);
  EXPECT_EQ(o.AsInteger(), 1);
  EXPECT_EQ(SReqObj_ReceiveMessage("I\x00\x00\x00\x01"s, &o, used), SReqObj_Result::Incomplete);
  EXPECT_EQ(SReqObj_ReceiveMessage("I\x00\x00\x00\x01x"s, &o, used), SReqObj_Result::Malformed);
}

TEST_F(SReqObjTest, TextFormForDiagnostics) {
  const SReqObj o = SReqObj::Array({SReqObj::String("host \"a\\b\""), SReqObj::Integer(-4),
                                    SReqObj::Boolean(true), SReqObj::Boolean(false), SReqObj(),
                                    SReqObj::Array()});
  EXPECT_EQ(SReqObj_ToText(o), R"(["host \"a\\b\"", -4, TRUE, FALSE, VOID, []])");
}

TEST_F(SReqObjTest, TypedAccessOfOtherTypesGivesNeutralValues) {
  const SReqObj s = SReqObj::String("7");
  EXPECT_EQ(s.AsInteger(), 0);
  EXPECT_FALSE(s.AsBoolean());
  EXPECT_EQ(s.size(), 0u);
  EXPECT_TRUE(s.at(3).IsNone());
  EXPECT_EQ(SReqObj::Integer(3).AsString(), "");
  SReqObj a;
  a.Append(SReqObj::Integer(1));
  EXPECT_TRUE(a.IsArray());
  EXPECT_EQ(a.at(0).AsInteger(), 1);
}

}  // namespace
