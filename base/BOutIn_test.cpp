#include "BOutIn.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "BConvert.hpp"
#include "Messages.hpp"
#include "Sandbox.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::WriteFile;

class BOutInTest : public ::testing::Test {
 protected:
  void SetUp() override { BOutIn_Init(); }
  void TearDown() override {
    if (f_ != BFileIO_Nil) BFileIO_Close(f_);
  }
  void Open(const std::string& text) {
    WriteFile("in.txt", text);
    f_ = BFileIO_Open("in.txt", FileIO_readOnly);
    ASSERT_NE(f_, BFileIO_Nil);
  }
  std::string Line() {
    char s[128] = "junk";
    BOutIn_ReadString(f_, s);
    return s;
  }
  // A read's outcome: whether it was done, and the variable afterwards.
  template <class T>
  std::pair<bool, T> Read(void (*read)(BFileIO_File, T&), T value) {
    read(f_, value);
    return {BOutIn_done, value};
  }
  char Next() {
    char ch = 0;
    BFileIO_ReadChar(f_, ch);
    return ch;
  }
  BFileIO_File f_ = BFileIO_Nil;
};

TEST_F(BOutInTest, ReadStringDeliversLinesWithoutTheirEnds) {
  Open("first line\r\nsecond\tpart\n\nlast");
  // An empty line is not the end of the file.
  for (const char* want : {"first line", "second part", "", "last"}) {
    EXPECT_EQ(Line(), want);
    EXPECT_TRUE(BOutIn_done) << want;
  }
  EXPECT_EQ(Line(), "");
  EXPECT_FALSE(BOutIn_done);
  EXPECT_EQ(Messages_ErrorCount(false), 0u);
}

TEST_F(BOutInTest, ReadStringStopsWhenTheStringIsFull) {
  Open("abcdefg\nnext\n");
  struct {
    char s[4];
    char guard[4];
  } b;
  std::memset(b.guard, 'G', 4);
  BOutIn_ReadString(f_, b.s);
  EXPECT_TRUE(BOutIn_done);
  EXPECT_EQ(std::string(b.s, 8), "abcdGGGG");
  EXPECT_EQ(Line(), "efg");  // the rest of the line stays for the next read
  BOutIn_ReadLn(f_);         // skips "next" with its line end
  EXPECT_EQ(Line(), "");
  EXPECT_FALSE(BOutIn_done);
}

TEST_F(BOutInTest, NumbersSkipControlCharactersAndPushBackTheNextCharacter) {
  Open("  \t\r\n 42abc\n-17 3.5e2,x 99999999999 4294967295 - 7");
  using C = std::uint32_t;
  using I = std::int32_t;
  EXPECT_EQ(Read<C>(BOutIn_ReadCard, 0), std::pair(true, 42u));
  EXPECT_EQ(Next(), 'a');
  BOutIn_ReadLn(f_);
  EXPECT_EQ(Read<I>(BOutIn_ReadInt, 0), std::pair(true, -17));
  EXPECT_EQ(Read<double>(BOutIn_ReadReal, 0), std::pair(true, 350.0));
  EXPECT_EQ(Next(), ',');
  EXPECT_EQ(Read<C>(BOutIn_ReadCard, 5), std::pair(false, 5u));  // "x" is no number
  EXPECT_EQ(Next(), 'x');
  EXPECT_EQ(Read<C>(BOutIn_ReadCard, 5), std::pair(false, 5u));  // overflow
  EXPECT_EQ(Read<C>(BOutIn_ReadCard, 5), std::pair(true, 4294967295u));
  EXPECT_EQ(Read<I>(BOutIn_ReadInt, 3), std::pair(false, 3));  // a lone minus
  EXPECT_EQ(Read<I>(BOutIn_ReadInt, 3), std::pair(true, 7));   // ends with the file
  EXPECT_EQ(Read<I>(BOutIn_ReadInt, 7), std::pair(false, 7));
}

TEST_F(BOutInTest, WritesAreRightJustifiedAndLinesEndWithCharacterTen) {
  BFileIO_File out = BFileIO_Create("out.txt", FileIO_writeOnly);
  BOutIn_WriteString(out, "size:");
  BOutIn_WriteCard(out, 42, 5);
  BOutIn_WriteInt(out, -7, 4);
  BOutIn_WriteLn(out);
  BOutIn_WriteStringLn(out, "");
  BOutIn_WriteCardLn(out, 4294967295u, 1);
  BOutIn_WriteIntLn(out, -2147483647 - 1, 0);
  BOutIn_WriteRealLn(out, 2.5, 6, 2);
  BOutIn_WriteReal(out, 1234.5, 0, -1);
  EXPECT_TRUE(BOutIn_done);
  BFileIO_Close(out);

  char exponent[64] = "";
  BConvert_RealToStr(exponent, 1234.5, 0, -1);
  EXPECT_EQ(ReadFile("out.txt"),
            "size:   42  -7\n\n4294967295\n-2147483648\n  2.50\n" + std::string(exponent));

  // A file that cannot be written makes done false.
  Open("read only");
  Messages_IgnoreErrors(true);
  BOutIn_WriteStringLn(f_, "no");
  Messages_IgnoreErrors(false);
  EXPECT_FALSE(BOutIn_done);
  EXPECT_EQ(BFileIO_ioError, 5);
  Messages_ForgetErrorReasons();
  BOutIn_WriteString(f_, "");
  EXPECT_TRUE(BOutIn_done);  // nothing to write is always done
}

}  // namespace
