// The catalogue compiler, run as a program: exact output bytes, and each kind of bad
// source rejected with its file and line and without touching the output.
#include <gtest/gtest.h>

#include <string>

#include "Sandbox.hpp"
#include "SrfReader.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::RunCommand;
using zolt::test::WriteFile;

zolt::test::CommandResult Compile(const std::string& source, const std::string& out = "out.srf") {
  WriteFile("in.msg", source);
  return RunCommand(zolt::test::ProgramPath("srfc") + " -o " + out + " in.msg");
}

std::string U16(unsigned v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string Name(const std::string& n) { return n + std::string(16 - n.size(), '\0'); }

TEST(Srfc, WritesSortedSectionsAndIndexesWithDecodedTexts) {
  const auto r = Compile(
      "# comment line\n"
      "[Zeta]\n"
      "7 last \\\n"
      "   part\n"
      "\n"
      "[Alpha]\n"
      "  300\tGr\xC3\xB6\xC3\x9F"
      "e %s\\n\n"
      "2\n"
      "65535 \\sx\\t\\\\\\s\n"
      "0 # not a comment\n");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string expected;
  // Alpha: numbers 0, 2, 300, 65535 with texts at offsets 0, 16, 17, 24.
  const std::string alphaTexts = std::string("# not a comment") + '\0' + '\0' +
                                 "Gr\xF6\xDF"
                                 "e %s\n" +
                                 '\0' + " x\t\\ " + '\0';
  expected += Name("Alpha") + U16(4) + U16(alphaTexts.size());
  expected += U16(0) + U16(0) + U16(2) + U16(16) + U16(300) + U16(17) + U16(65535) + U16(27);
  expected += alphaTexts;
  const std::string zetaTexts = std::string("last part") + '\0';
  expected += Name("Zeta") + U16(1) + U16(zetaTexts.size()) + U16(7) + U16(0) + zetaTexts;
  EXPECT_EQ(ReadFile("out.srf"), expected);
}

TEST(Srfc, EmptySourceAndSixteenCharacterNames) {
  ASSERT_EQ(Compile("# nothing yet\n").status, 0);
  EXPECT_EQ(ReadFile("out.srf"), "");

  // A name of the full 16 characters has no terminator in the file.
  ASSERT_EQ(Compile("[SixteenCharsLong]\n1 a\n").status, 0);
  EXPECT_EQ(ReadFile("out.srf").substr(0, 17), "SixteenCharsLong" + U16(1).substr(0, 1));
  const auto f = zolt::test::ParseSrf(ReadFile("out.srf"));
  EXPECT_EQ(f.problem, "");
  ASSERT_EQ(f.sections.size(), 1u);
  EXPECT_EQ(f.sections[0].name, "SixteenCharsLong");

  EXPECT_EQ(Compile("[SeventeenCharsLng]\n1 a\n").status, 1);
}

struct BadSource {
  const char* what;
  std::string source;
  std::string message;  // expected on standard error
};

TEST(Srfc, RejectsBadSourcesNamingFileAndLineAndKeepsTheOldOutput) {
  const BadSource cases[] = {
      {"duplicate number", "[A]\n1 x\n\n3 y\n1 z\n",
       "in.msg:5: text 1 of section 'A' is already defined at line 2"},
      {"duplicate number across a continuation", "[A]\n4 a \\\n b\n4 c\n",
       "in.msg:4: text 4 of section 'A' is already defined at line 2"},
      {"section opened twice", "[A]\n1 x\n[B]\n[A]\n",
       "in.msg:4: section 'A' is already opened at line 1"},
      {"number too large", "[A]\n65536 x\n", "in.msg:2: message number 65536 is above 65535"},
      {"text before a section", "1 x\n[A]\n", "in.msg:1: text before the first section"},
      {"unknown escape", "[A]\n1 a\\qb\n", "in.msg:2: unknown escape '\\q'"},
      {"character outside Latin-1", "[A]\n1 \xE2\x82\xAC 5\n",
       "in.msg:2: character outside Latin-1"},
      {"broken UTF-8", "[A]\n1 \xF6\n", "in.msg:2: text is not valid UTF-8"},
      {"no number", "[A]\nx1 a\n", "in.msg:2: expected '[section]'"},
      {"number glued to text", "[A]\n12a\n", "in.msg:2: expected '[section]'"},
      {"unclosed section", "[A\n", "in.msg:1: section line must end in ']'"},
      {"blank in section name", "[A B]\n", "in.msg:1: section name may only hold"},
  };
  for (const auto& c : cases) {
    WriteFile("out.srf", "previous");
    const auto r = Compile(c.source);
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(ReadFile("out.srf"), "previous") << c.what;
  }
}

TEST(Srfc, EnforcesTheCountAndTextBlockLimits) {
  std::string source = "[Many]\n";
  for (int i = 0; i < 15000; ++i) source += std::to_string(i) + "\n";
  ASSERT_EQ(Compile(source).status, 0);
  const auto f = zolt::test::ReadSrf("out.srf");
  EXPECT_EQ(f.problem, "");
  ASSERT_EQ(f.sections.size(), 1u);
  EXPECT_EQ(f.sections[0].texts.size(), 15000u);

  const auto tooMany = Compile(source + "15000\n");
  EXPECT_EQ(tooMany.status, 1);
  EXPECT_NE(tooMany.err.find("in.msg:1: section 'Many' has 15001 texts"), std::string::npos)
      << tooMany.err;

  // 65 texts of 1007 characters plus 1 of 79: 65 * 1008 + 80 = 65600 bytes > 65535.
  std::string big = "[Big]\n";
  const std::string text(1007, 'x');
  for (int i = 0; i < 65; ++i) big += std::to_string(i) + " " + text + "\n";
  const std::string fits = big + "65 " + std::string(14, 'y') + "\n";  // 65520 + 15 = 65535
  ASSERT_EQ(Compile(fits).status, 0);
  EXPECT_EQ(zolt::test::ReadSrf("out.srf").problem, "");
  const auto tooBig = Compile(big + "65 " + std::string(15, 'y') + "\n");
  EXPECT_EQ(tooBig.status, 1);
  EXPECT_NE(tooBig.err.find("in.msg:1: the texts of section 'Big' take 65536 bytes"),
            std::string::npos)
      << tooBig.err;
}

TEST(Srfc, UsageErrors) {
  EXPECT_EQ(RunCommand(zolt::test::ProgramPath("srfc") + " in.msg").status, 2);
  EXPECT_EQ(RunCommand(zolt::test::ProgramPath("srfc") + " -o x.srf missing.msg").status, 1);
}

}  // namespace
