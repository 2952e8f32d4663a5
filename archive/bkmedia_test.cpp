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

TEST(BkMedia, ShowAndCanonOfAGoodHeader) {
  CommandResult r = BkMedia("show " + kGolden);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* part :
       {"Identification: 2026120503.02_Offset_tape_05.12.2026_10:11:12\n",
        "Capacity:       4.00 GB to 8.00 GB\n", "Archives:       2 with 5 files",
        "  1. Offset-Folvane, 05.12.2026 10:11:12, /projects/orders, 4 files, 0.66 GB, "
        "file marks 1-2, order 4711: Spring catalogue\n"}) {
    EXPECT_TRUE(Has(r.out, part)) << part << "\n" << r.out;
  }
  EXPECT_EQ(BkMedia("check " + kGolden).err, "");
  // Carriage returns and tabs come out as the program writes the text.
  std::string dos;
  for (char c : ReadFile(kGolden)) dos += c == '\n' ? std::string("\r\n") : std::string(1, c);
  dos.replace(dos.find("%%HOST alpha"), 12, "%%HOST\talpha");
  WriteFile("dos.hdr", dos);
  r = BkMedia("canon dos.hdr");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, ReadFile(kGolden));
}

TEST(BkMedia, BadInputIsRefusedWithItsReasons) {
  std::string text = ReadFile(kGolden);
  WriteFile("bad.hdr", text.replace(text.find("2026120503.02"), 13, "ABC"));
  text = ReadFile(kGolden);
  WriteFile("zero.hdr", text.replace(text.find("\n4\n"), 3, "\n0\n"));
  WriteFile("empty.hdr", "");
  const struct {
    const char* args;
    const char* message;
  } cases[] = {
      {"check bad.hdr",
       "The header file 'bad.hdr' is not a valid archive header:\n"
       "  ::ParseStdSHeader: bad media label\n"},
      {"check zero.hdr mfmtStdA", "::ParseStdSHeader: bad value for 'nextData'"},
      {"show empty.hdr", "::ParseStdSHeader: version mismatch"},
      {"check missing.hdr", "The header file 'missing.hdr' could not be opened."},
      {"check x.hdr mfmtATar", "'mfmtATar' is not a media format name."},
      {"decode 261205.02", "'261205.02' is not a media name."},
      {"next 100", "'100' is not a media identifier"},
      {"", "Usage: bkmedia"},
      {"decode a b", "Usage: bkmedia"},
  };
  for (const auto& c : cases) {
    const CommandResult r = BkMedia(c.args);
    EXPECT_EQ(r.status, 1) << c.args;
    EXPECT_TRUE(Has(r.err, c.message)) << c.args << ": " << r.err;
  }
  // nextData 0 suits a disk, the default; an unreadable capacity is only a note.
  EXPECT_EQ(BkMedia("check zero.hdr").status, 0);
  text = ReadFile(kGolden);
  WriteFile("note.hdr", text.replace(text.find("4294967296"), 10, "lots"));
  const CommandResult r = BkMedia("check note.hdr");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.err, "bad value for 'minCapacity'")) << r.err;
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
  std::smatch m1, m2;
  const std::regex name("^([0-9]{8})([0-9]{2})\\.02\n$");
  ASSERT_TRUE(std::regex_match(first.out, m1, name)) << first.out << first.err;
  ASSERT_TRUE(std::regex_match(second.out, m2, name)) << second.out << second.err;
  if (m1[1] == m2[1]) {  // not across midnight
    EXPECT_EQ(std::stoi(m2[2]), std::stoi(m1[2]) + 1);
  }
}

}  // namespace

// A tape of two appendable jobs made by stock tar and the vtape tool; the copy of the
// second job is damaged when damaged is set.
void MakeTape(bool damaged) {
  const std::string header = ReadFile(kGolden);
  std::string script = "set -e; rm -rf tape m; vtape create tape 10M; mkdir m; cd m\n";
  for (int job = 0; job < 2; ++job) {
    std::string text = header;
    text.replace(text.find("\n4\n"), 3, "\n" + std::to_string(3 * job + 3) + "\n");
    WriteFile("m" + std::to_string(job), text);
    script += "cp ../m" + std::to_string(job) + " AHEADER; echo data > data\n";
    script += "tar --format=ustar -b20 -cf - AHEADER | vtape -f ../tape write\n";
    script += "tar -b20 -cf - data | vtape -f ../tape write\n";
    script += (damaged && job == 1 ? std::string("tar -b20 -cf - data")
                                   : std::string("tar --format=ustar -b20 -cf - AHEADER")) +
              " | vtape -f ../tape write\n";
  }
  const CommandResult r = zolt::test::RunCommand(script);
  ASSERT_EQ(r.status, 0) << r.err;
}

TEST(BkMedia, ShowOfMedia) {
  MakeTape(false);
  CommandResult r = BkMedia("show tape");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "Medium:         tape (")) << r.out;
  EXPECT_TRUE(Has(r.out, ", mfmtStdTarA)\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "Next data file: 6\n")) << r.out;
  // The same through the remote tape server.
  const std::string here = zolt::test::RunCommand("pwd").out;
  r = zolt::test::RunCommand("VM_REMOTE_SHELL=vrsh " + zolt::test::ProgramPath("bkmedia") +
                             " show localhost:" + here.substr(0, here.size() - 1) + "/tape");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "Next data file: 6\n")) << r.out;
  // A damaged last copy: the walk's progress, and the pair before it.
  MakeTape(true);
  r = BkMedia("show --recover tape");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, " first header at 3 ok\n")) << r.out;
  EXPECT_TRUE(Has(r.out, " second header at 5 bad\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "Recovered:      last valid header at file 2\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "Next data file: 3\n")) << r.out;
  // A file-system root without header, an unknown device, options out of place.
  zolt::test::RunCommand("mkdir -p fsroot");
  r = BkMedia("show fsroot");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "The header of the medium 'fsroot' could not be read:")) << r.err;
  EXPECT_TRUE(Has(r.err, "::ReadHeader: ReadFirstHdrBlock failed")) << r.err;
  EXPECT_TRUE(Has(BkMedia("show nodevice").err, "'nodevice' is neither")) << r.err;
  EXPECT_EQ(BkMedia("check --recover tape").status, 1);
}
