#include "CIO.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <bitset>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "Sandbox.hpp"

namespace {

using zolt::test::ReadFile;

class CIOTest : public ::testing::Test {
 protected:
  void SetUp() override { CIO_Init(); }
  void TearDown() override { CIO_SetDynStrHooks(nullptr, nullptr); }
};

std::string F1(StrIn fmt, CIO_Arg a) {
  char b[1024];
  CIO_SPr1(b, fmt, a);
  return b;
}
std::string F2(StrIn fmt, CIO_Arg a, CIO_Arg b) {
  char t[1024];
  CIO_SPr2(t, fmt, a, b);
  return t;
}

// Sends a descriptor into a file of the sandbox while it lives.
class Capture {
 public:
  Capture(int fd, const char* file) : fd_(fd), file_(file) {
    std::fflush(nullptr);
    saved_ = ::dup(fd);
    const int f = ::open(file, O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(f, fd);
    ::close(f);
  }
  std::string Text() {
    std::fflush(nullptr);
    ::dup2(saved_, fd_);
    ::close(saved_);
    return ReadFile(file_);
  }

 private:
  int fd_;
  const char* file_;
  int saved_;
};

// One directive, one argument: the text each combination of flags gives.
TEST_F(CIOTest, EachDirectiveFormatsItsArgument) {
  const char full[3] = {'a', 'b', 'c'};  // no terminator: read up to its HIGH bound
  const char* cstr = "plain";
  const void* p = reinterpret_cast<const void*>(std::uintptr_t{0x12ab});
  const struct {
    const char* fmt;
    CIO_Arg arg;
    const char* want;
  } cases[] = {
      // Integers in every base, with width, precision and the alternative forms.
      {"%d", -42, "-42"},
      {"%d", std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      {"%d", 4294967295u, "4294967295"},  // unsigned stays unsigned
      {"%u", -1, "4294967295"},           // two's complement of its own width
      {"%u", std::int64_t{-1}, "18446744073709551615"},
      {"[%5d]", -42, "[  -42]"},
      {"[%-5d]", 42, "[42   ]"},
      {"[%05d]", -42, "[-0042]"},
      {"[%2d]", 12345, "[12345]"},  // a width never cuts
      {"%.5d", 42, "00042"},
      {"%pd", 5, "+5"},
      {"%pd", -5, "-5"},
      {"%.d", -1234567, "-1,234,567"},
      {"%.u", 1000u, "1,000"},
      {"%.u", 999u, "999"},
      {"%X", 255, "FF"},
      {"%.x", 255, "0xff"},
      {"%.X", 255, "0XFF"},
      {"%08.x", 255, "0x0000ff"},
      {"%x", -1, "ffffffff"},
      {"%hx", short{-1}, "ffff"},
      {"%lx", std::int64_t{-1}, "ffffffffffffffff"},
      {"%.o", 8, "010"},
      {"%.o", 0, "0"},
      {"%.t", 5, "0b101"},
      {"[%8t]", 5, "[     101]"},
      {"%bd", static_cast<signed char>(-3), "-3"},
      // Reals in fixed and exponent form.
      {"%f", 2.0, "2.000000"},
      {"%.0f", 2.5, "3"},
      {"[%08.3f]", -1.5, "[-001.500]"},
      {"[%-8.1f]", 0.5, "[0.5     ]"},
      {"%p.2f", 1.0, "+1.00"},
      {"%.f", 1500.0, "1.500000E+003"},
      {"%.2.f", -0.00125, "-1.25E-003"},
      {"%f", 1.0f, "1.000000"},
      {"%f", std::nan(""), "NaN"},
      {"%f", -HUGE_VAL, "-Inf"},
      // Strings, characters, booleans, sets and addresses.
      {"<%s>", full, "<abc>"},
      {"%s", cstr, "plain"},
      {"[%s]", static_cast<const char*>(nullptr), "[]"},
      {"[%-8s]", "abc", "[abc     ]"},
      {"[%08s]", "abc", "[     abc]"},  // zero fill is for numbers only
      {"%.2s", "abcdef", "ab"},
      {"%.s", "my file$(1).txt", "my\\ file\\$\\(1\\).txt"},
      {"[%3c]", 'x', "[  x]"},
      {"%C", 'x', "x"},
      {"%c", static_cast<unsigned char>(65), "A"},
      {"%.c", '\n', "'\\n'"},
      {"%.c", '\x01', "'\\x01'"},
      {"%.c", '\'', "'\\''"},
      {"%B", false, "FALSE"},
      {"%.B", true, "T"},
      {"[%-6B]", false, "[FALSE ]"},
      {"%S", std::bitset<32>(0b111010), "{1,3,4,5}"},
      {"%.S", std::bitset<32>(0b111010), "{1,3..5}"},
      {"%.S", std::bitset<8>(0b10000001), "{0,7}"},
      {"%S", std::bitset<32>(), "{}"},
      {"%a", p, "12ab"},
      {"%.a", p, "0x12ab"},
      {"%.a", static_cast<const void*>(nullptr), "0x0"},
      // Escapes in the format are translated; what is no escape stays as written.
      {"a\\tb\\n%d", 1, "a\tb\n1"},
      {"\\101\\x42\\\\%d", 1, "AB\\1"},
      {"\\\"\\'\\e%d", 1,
       "\"'\x1b"
       "1"},
      {"\\q\\xZ%d\\", 1, "\\q\\xZ1\\"},
      {"100%% of %d", 7, "100% of 7"},
  };
  for (const auto& c : cases) EXPECT_EQ(F1(StrIn::FromC(c.fmt), c.arg), c.want) << c.fmt;
  EXPECT_EQ(F1("%s", std::string("std")), "std");
  EXPECT_EQ(F2("[%*d]", -6, 42), "[42    ]");
}

TEST_F(CIOTest, DirectivesTakeTheirArgumentsInOrder) {
  char b[128];
  CIO_SPr5(b, "%s:%d:%B:%c:%.x", "f", 3, true, 'z', 16u);
  EXPECT_STREQ(b, "f:3:TRUE:z:0x10");
  CIO_SPr3(b, "%s has %d items (%.B)", "box", 3, false);
  EXPECT_STREQ(b, "box has 3 items (F)");
  CIO_SPr4(b, "%d%d%d%d", 1, 2, 3, 4);
  EXPECT_STREQ(b, "1234");
  // The destination may be one of the arguments.
  char path[32] = "/projects";
  CIO_SPr2(path, "%s/%s", path, "orders");
  EXPECT_STREQ(path, "/projects/orders");
  // A bounded result is cut to the destination.
  char small[8];
  CIO_SPr1(small, "%s", "abcdefghij");
  EXPECT_EQ(std::string(small, sizeof small), "abcdefgh");  // full: no terminator
  CIO_SPr1(small, "%d", 1234567);
  EXPECT_STREQ(small, "1234567");
}

TEST_F(CIOTest, DynamicStringsGoThroughTheInstalledHooks) {
  std::string a = "a b";
  auto* handle = reinterpret_cast<DynStrRec*>(&a);
  EXPECT_EQ(F1("%D", static_cast<DynStrRec*>(nullptr)), "<DS nil>");
  EXPECT_EQ(F1("%D", handle), "<DS 0x" + F1("%x", reinterpret_cast<std::uintptr_t>(&a)) + ">");

  CIO_SetDynStrHooks(
      [](const DynStrRec* ds) {
        return ds ? reinterpret_cast<const std::string*>(ds)->c_str() : nullptr;
      },
      [](const char* text, DynStrRec** ds) { *reinterpret_cast<std::string*>(*ds) = text; });
  EXPECT_EQ(F1("[%D]", handle), "[a b]");
  EXPECT_EQ(F1("[%D]", static_cast<DynStrRec*>(nullptr)), "[]");
  EXPECT_EQ(F1("%.D", handle), "a\\ b");
  EXPECT_EQ(F1("[%-5.1D]", handle), "[a    ]");

  EXPECT_EQ(CIO_Sc1("  word rest", "%D", handle), 1);
  EXPECT_EQ(a, "word");
}

TEST_F(CIOTest, OutputReachesEachFamilysDestination) {
  Capture out(1, "out.txt");
  CIO_Pr2("%s=%d", "n", 5);
  CIO_PrLn();
  CIO_Pr1("%s\\n", "tab");
  CIO_Msg("plain %d\\n");
  CIO_Pr3("%d%d%d", 1, 2, 3);
  CIO_Pr4("%d%d%d%d", 4, 5, 6, 7);
  CIO_Pr5("%d%d%d%d%d", 8, 9, 0, 1, 2);
  CIO_Flush();
  EXPECT_EQ(out.Text(), "n=5\ntab\nplain %d\\n\n123456789012");

  Capture err(2, "err.txt");
  CIO_EPr2("%s: %d\n", "error", 2);
  CIO_EPr5("%c%c%c%c%c", 'a', 'b', 'c', 'd', 'e');
  EXPECT_EQ(err.Text(), "error: 2\nabcde");

  const int f = ::open("file.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  EXPECT_TRUE(CIO_FPr1(f, "%s\n", "first"));
  EXPECT_TRUE(CIO_FPr3(f, "%d %d %d\n", 1, 2, 3));
  ::close(f);
  EXPECT_EQ(ReadFile("file.txt"), "first\n1 2 3\n");
  EXPECT_FALSE(CIO_FPr1(f, "%d", 1));  // closed
}

TEST_F(CIOTest, StandardOutputAndErrorKeepTheirOrder) {
  Capture out(1, "both.txt");
  Capture err(2, "both.txt");
  CIO_Pr1("%s ", "out");  // buffered until the error text is written
  CIO_EPr1("%s ", "err");
  CIO_Pr1("%s", "out");
  err.Text();
  EXPECT_EQ(out.Text(), "out err out");
}

TEST_F(CIOTest, ScannersReadWhatThePrintersWrite) {
  char text[256];
  CIO_SPr5(text, "%d %u %.x %s %B", -17, 4000000000u, 0xbeef, "name", true);
  int i = 0;
  unsigned u = 0;
  unsigned x = 0;
  char word[16];
  bool flag = false;
  EXPECT_EQ(CIO_Sc5(text, "%d %u %x %s %B", i, u, x, word, flag), 5);
  EXPECT_EQ(std::tuple(i, u, x, std::string(word), flag),
            std::tuple(-17, 4000000000u, 0xbeefu, std::string("name"), true));

  std::bitset<32> set, back;
  set.set(2).set(3).set(4).set(9);
  double r = 0;
  char c = 0;
  const void* p = nullptr;
  CIO_SPr4(text, "%.S;%.3f;%c;%.a", set, -2.5, 'q', &r);
  EXPECT_EQ(CIO_Sc4(text, "%S;%f;%c;%a", back, r, c, p), 4);
  EXPECT_EQ(std::tuple(back, r, c, p), std::tuple(set, -2.5, 'q', &r));

  std::int64_t big = 0;
  std::string s;
  EXPECT_EQ(CIO_Sc3("0b101 777 f", "%t %o %B", u, x, flag), 3);
  EXPECT_EQ(std::tuple(u, x, flag), std::tuple(5u, 0777u, false));
  EXPECT_EQ(CIO_Sc2("-9223372036854775808 tail", "%ld%s", big, s), 2);
  EXPECT_EQ(big, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(s, "tail");
}

TEST_F(CIOTest, ScannersStopAtTheFirstFieldThatDoesNotMatch) {
  int a = 0, b = 0;
  EXPECT_EQ(CIO_Sc2("x=5;y=7", "x=%d,y=%d", a, b), 1);
  EXPECT_EQ(std::pair(a, b), std::pair(5, 0));
  EXPECT_EQ(CIO_Sc2("12345", "%2d%d", a, b), 2);  // a width limits the field
  EXPECT_EQ(std::pair(a, b), std::pair(12, 345));
  EXPECT_EQ(CIO_Sc1("1 2", "%*d %d", a), 1);  // "*" reads without storing
  EXPECT_EQ(a, 2);

  signed char small = 0;
  unsigned u = 9;
  std::int64_t big = 0;
  EXPECT_EQ(CIO_Sc1("300", "%d", small), 0);  // outside the output's range
  EXPECT_EQ(CIO_Sc1("-1", "%d", u), 0);
  EXPECT_EQ(u, 9u);
  EXPECT_EQ(CIO_Sc1("99999999999999999999", "%d", big), 0);
  EXPECT_EQ(CIO_Sc1("   ", "%d", a), 0);
  bool flag = true;
  EXPECT_EQ(CIO_Sc1("maybe", "%B", flag), 0);
  EXPECT_TRUE(flag);

  char line[8];
  EXPECT_EQ(CIO_Sc1("name:  my file\nnext", "name:%.s", line), 1);
  EXPECT_STREQ(line, "my file");
  EXPECT_EQ(CIO_Sc1("abcdefghijkl", "%s", line), 1);  // cut to the array
  EXPECT_EQ(std::string(line, sizeof line), "abcdefgh");
  std::bitset<4> four;
  EXPECT_EQ(CIO_Sc1("{1,5}", "%S", four), 0);  // 5 is no member of a 4-set
}

TEST_F(CIOTest, DirectiveAndArgumentMismatchesHalt) {
  char b[64];
  int i = 0;
  std::string s;
  const std::function<void()> cases[] = {
      [&] { CIO_SPr1(b, "%d", "text"); },     [&] { CIO_SPr1(b, "%B", 1); },
      [&] { CIO_SPr1(b, "%s", 5); },          [&] { CIO_SPr1(b, "%f", 5); },
      [&] { CIO_SPr1(b, "%c", 65); },         [&] { CIO_SPr1(b, "%ld", 5); },
      [&] { CIO_SPr1(b, "%S", 5u); },         [&] { CIO_SPr1(b, "%D", "text"); },
      [&] { CIO_SPr1(b, "%q", 1); },          [&] { CIO_SPr1(b, "ends in %", 1); },
      [&] { CIO_SPr1(b, "%d %d", 1); },       [&] { CIO_SPr2(b, "%d", 1, 2); },
      [&] { CIO_SPr2(b, "%*d", "wide", 2); }, [&] { CIO_Sc1("5", "%d", s); },
      [&] { CIO_Sc1("5", "%d %d", i); },      [&] { CIO_Sc2("5", "%d", i, i); },
      [&] { CIO_Sc1("x", "%D", s); },
  };
  for (const auto& c : cases) {
    EXPECT_EXIT(
        {
          ::dup2(2, 1);  // HALT reports on standard output
          c();
        },
        ::testing::ExitedWithCode(1), "HALT called");
  }
  DynStrRec* ds = nullptr;
  EXPECT_EXIT(
      {
        ::dup2(2, 1);
        CIO_Sc1("x", "%D", ds);  // no dynamic-string hooks installed
      },
      ::testing::ExitedWithCode(1), "HALT called");
}

}  // namespace
