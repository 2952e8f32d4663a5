// The operator's command-line companion, run as a program.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "Sandbox.hpp"

namespace {

using zolt::test::CommandResult;
using zolt::test::ReadFile;
using zolt::test::WriteFile;

const std::string kGolden = std::string(BKARCHIV_TESTDATA) + "/standard.hdr";

CommandResult BkMedia(const std::string& args) {
  return zolt::test::RunCommand(zolt::test::ProgramPath("bkmedia") + " " + args);
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(BkMedia, ShowSummarisesAHeader) {
  const CommandResult r = BkMedia("show " + kGolden);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* part :
       {"Label:          2026120503.02\n",
        "Identification: 2026120503.02_Offset_tape_05.12.2026_10:11:12\n",
        "Description:    Week 49 orders\n", "Next data file: 4\n",
        "Capacity:       4.00 GB to 8.00 GB\n", "Archives:       2 with 5 files",
        "  1. Offset-Folvane, 05.12.2026 10:11:12, /projects/orders, 4 files, 0.66 GB, "
        "file marks 1-2, order 4711: Spring catalogue\n",
        "  2. Raw Tar, 05.12.2026 10:11:12, /, 1 files, 0.00 GB, file marks 3-3\n"}) {
    EXPECT_TRUE(Has(r.out, part)) << part << "\n" << r.out;
  }
}

TEST(BkMedia, CheckAcceptsGoodHeadersAndExplainsBadOnes) {
  CommandResult r = BkMedia("check " + kGolden);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");

  std::string text = ReadFile(kGolden);
  WriteFile("bad.hdr", text.replace(text.find("2026120503.02"), 13, "ABC"));
  r = BkMedia("check bad.hdr");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "The header file 'bad.hdr' is not a valid archive header:")) << r.err;
  EXPECT_TRUE(Has(r.err, "::ParseStdSHeader: bad media label")) << r.err;
  EXPECT_TRUE(Has(r.err, "damaged")) << r.err;
  EXPECT_EQ(r.out, "");

  // A capacity that cannot be read is a note, not a failure.
  text = ReadFile(kGolden);
  WriteFile("note.hdr", text.replace(text.find("4294967296"), 10, "lots"));
  r = BkMedia("check note.hdr");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.err, "bad value for 'minCapacity'")) << r.err;

  // nextData 0 is legal only where the format allows it.
  text = ReadFile(kGolden);
  WriteFile("zero.hdr", text.replace(text.find("\n4\n"), 3, "\n0\n"));
  EXPECT_EQ(BkMedia("check zero.hdr").status, 0);
  EXPECT_EQ(BkMedia("check zero.hdr mfmtStdD").status, 0);
  r = BkMedia("check zero.hdr mfmtStdA");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "bad value for 'nextData'")) << r.err;
}

TEST(BkMedia, UnusableInputIsRefusedClearly) {
  const struct {
    const char* args;
    const char* message;
  } cases[] = {
      {"check missing.hdr", "The header file 'missing.hdr' could not be opened."},
      {"show /", "The header file '/' "},
      {"check x.hdr mfmtATar", "'mfmtATar' is not a media format name."},
      {"decode 261205.02", "'261205.02' is not a media name."},
      {"next 100", "'100' is not a media identifier"},
      {"next two", "'two' is not a media identifier"},
      {"", "Usage: bkmedia"},
      {"frobnicate x", "Usage: bkmedia"},
      {"decode a b", "Usage: bkmedia"},
  };
  WriteFile("empty.hdr", "");
  for (const auto& c : cases) {
    const CommandResult r = BkMedia(c.args);
    EXPECT_EQ(r.status, 1) << c.args;
    EXPECT_TRUE(Has(r.err, c.message)) << c.args << ": " << r.err;
  }
  const CommandResult r = BkMedia("check empty.hdr");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "::ParseStdSHeader: version mismatch")) << r.err;
}

TEST(BkMedia, CanonReEmitsTheStandardText) {
  CommandResult r = BkMedia("canon " + kGolden);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, ReadFile(kGolden));
  // Carriage returns and tabs come out as the program writes the text.
  std::string dos;
  for (char c : ReadFile(kGolden)) dos += c == '\n' ? std::string("\r\n") : std::string(1, c);
  dos.replace(dos.find("%%HOST alpha"), 12, "%%HOST\talpha");
  WriteFile("dos.hdr", dos);
  r = BkMedia("canon dos.hdr");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, ReadFile(kGolden));
}

TEST(BkMedia, DecodeAndNextName) {
  CommandResult r = BkMedia("decode 2026120503-1.02c1.3");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "date 2026-12-05\ncounter 3\nmedia id 2\nduplicate 1\nvolume 1 of 3\n");
  r = BkMedia("decode 99120503.12");
  EXPECT_EQ(r.out, "date 1999-12-05\ncounter 3\nmedia id 2\nshort digit 1\n");

  // Two names in a row: the counter of the day advances (the archive directory is made).
  const CommandResult first = BkMedia("next 2");
  const CommandResult second = BkMedia("next 2");
  ASSERT_EQ(first.status, 0) << first.err;
  ASSERT_EQ(second.status, 0) << second.err;
  std::smatch m1, m2;
  const std::regex name("^([0-9]{8})([0-9]{2})\\.02\n$");
  ASSERT_TRUE(std::regex_match(first.out, m1, name)) << first.out;
  ASSERT_TRUE(std::regex_match(second.out, m2, name)) << second.out;
  if (m1[1] == m2[1]) {  // not across midnight
    EXPECT_EQ(std::stoi(m2[2]), std::stoi(m1[2]) + 1);
  }
  EXPECT_FALSE(ReadFile(zolt::test::SandboxDir() + "/projects/backups/.counter").empty());
}

}  // namespace
