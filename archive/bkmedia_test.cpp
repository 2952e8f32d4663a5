// The operator's command-line companion, run as a program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "Sandbox.hpp"
#include "test/FakeServer.hpp"

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
  for (const char* mode : {"check", "show", "canon"}) {
    const CommandResult r = BkMedia(std::string(mode) + " note.hdr");
    EXPECT_EQ(r.status, 0) << mode;
    EXPECT_TRUE(Has(r.err, "bad value for 'minCapacity'")) << mode << ": " << r.err;
  }
}

TEST(BkMedia, HelpOnStandardOutputAndAWrongCommandLineWithStatus2) {
  const CommandResult help = BkMedia("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Has(help.out, "Usage: bkmedia")) << help.out;
  EXPECT_EQ(help.err, "");
  for (const char* args : {"", "decode a b", "list x", "decode", "show a b c"}) {
    const CommandResult r = BkMedia(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_TRUE(Has(r.err, "Usage: bkmedia")) << args << ": " << r.err;
    EXPECT_EQ(r.out, "") << args;
  }
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

// Two header copies in the local archive directory, as the data path leaves them, and a
// file that is no medium.
std::string StoreCopies() {
  const std::string dir = std::string(std::getenv("VM_PROJECTS")) + "/backups";
  std::filesystem::create_directories(dir);
  std::string text = ReadFile(kGolden);
  WriteFile(dir + "/2026120503.02", text);
  text.replace(text.find("2026120503.02"), 13, "2026120601.05");
  text.replace(text.find("Offset tape"), 11, "Kestrin");
  text.replace(text.find("05.12.2026 10:11:12"), 19, "06.12.2026 09:00:00");
  text.replace(text.find("Week 49 orders"), 14, "Week 50 jobs");
  text.replace(text.find("Spring catalogue"), 16, "Autumn brochure");
  WriteFile(dir + "/2026120601.05", text);
  WriteFile(dir + "/README", "no medium");
  return dir;
}

TEST(BkMedia, ListAndSearchTheKnownMedia) {
  StoreCopies();
  const std::string week49 =
      "2026120503.02  Week 49 orders                   4096.00    672.37\n"
      "         Spring 05.12.2026 Spring catalogue\n";
  const std::string week50 =
      "2026120601.05  Week 50 jobs                     4096.00    672.37\n"
      "         Spring 05.12.2026 Autumn brochure\n";
  const struct {
    const char* args;
    std::string out;
  } cases[] = {
      {"list", week49 + week50},
      {"list --type Kestrin", week50},
      {"list --label ^2026120503 --type Offset", week49},
      {"list --date 06.12.2026", week50},
      {"list --date 07.12", ""},
      {"search 'Week 50'", week50},
      {"search '' catalogue", week49},
      {"search Week", week49 + week50},
  };
  for (const auto& c : cases) {
    const CommandResult r = BkMedia(c.args);
    EXPECT_EQ(r.status, 0) << c.args << r.err;
    EXPECT_EQ(r.out, c.out) << c.args;
  }
  EXPECT_EQ(BkMedia("search nothing").status, 1);
  CommandResult r = BkMedia("list --type '(x'");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "'(x' is not a valid search pattern.")) << r.err;
  EXPECT_EQ(BkMedia("list --type").status, 2);
  EXPECT_EQ(BkMedia("list --size 3").status, 2);
  // The cache the listing left behind names both media.
  const std::string cache =
      ReadFile(std::string(std::getenv("VM_PROJECTS")) + "/backups/.knownmedia");
  EXPECT_TRUE(Has(cache, "\n2026120503.02\n") && Has(cache, "\n2026120601.05\n")) << cache;
}

TEST(BkMedia, ForgetHoldsTheMediumExclusively) {
  const std::string dir = StoreCopies();
  bool grant = false;
  std::string reserved;
  FakeServer server(0, [&](const SReqObj& m) {
    if (m.at(0).AsString() != "RESERVE") {
      return FakeServer::Wire(SProtocol_SuccessReply({SReqObj::Boolean(true)}));
    }
    reserved = SReqObj_ToText(m);
    return FakeServer::Wire(SProtocol_SuccessReply({SReqObj::Boolean(grant)}));
  });
  ASSERT_TRUE(server.listening());
  ::setenv("VM_DURAZAZE_PORT", std::to_string(server.port()).c_str(), 1);

  CommandResult r = BkMedia("forget 2026120601.05");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "The medium '2026120601.05' is in use")) << r.err;
  EXPECT_TRUE(Has(reserved, "*:2026120601.05:*")) << reserved;
  EXPECT_TRUE(std::filesystem::exists(dir + "/2026120601.05"));

  grant = true;
  r = BkMedia("forget 2026120601.05");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/2026120601.05"));
  EXPECT_FALSE(Has(ReadFile(dir + "/.knownmedia"), "2026120601.05"));
  EXPECT_EQ(BkMedia("list").out.find("Week 50"), std::string::npos);

  r = BkMedia("forget 2026120601.05");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "'2026120601.05' is not a known medium.")) << r.err;
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
  EXPECT_EQ(BkMedia("check --recover tape").status, 2);  // a wrong command line
}

// A file-system medium in the layout of the data path: "DHEADER" and data file 1, a tar
// of the order's files; the header lists what was meant to be written. sums: the program
// that takes the manifest's sums (a manifest without an algorithm line holds SHA-256).
void MakeFsMedium(const std::string& sums = "sha256sum") {
  ASSERT_EQ(zolt::test::RunCommand("rm -rf fs src && mkdir -p fs src/forms && cd src && "
                                   "printf 'page one\\n' > forms/a.ps && "
                                   "head -c 30000 /dev/zero | tr '\\\\0' x > forms/b.ps && "
                                   "printf info > order.aif")
                .status,
            0);
  WriteFile("fs/DHEADER",
            "10\n2026120601.12\nOffset disk\n06.12.2026 10:00:00\n06.12.2026 10:00:00\n2\n"
            "1000000\n1000000\n0\n10240\n10240\nBEGIN COMMENT\nverify\nEND COMMENT\nBEGIN DIR\n"
            "BEGIN ARCHIVE\nOffset-Folvane\n06.12.2026 10:00:00\nN\nBEGIN COMMENT\nEND COMMENT\n"
            "BEGIN FILES\n/projects/orders\norder.aif F 4 06.12.2026 09:00:00 1 1\n"
            "forms D 0 06.12.2026 09:00:00 1 1\nforms/a.ps F 9 06.12.2026 09:00:00 1 1\n"
            "forms/b.ps F 30000 06.12.2026 09:00:00 1 1\nEND FILES\nEND ARCHIVE\nEND DIR\n");
  // The manifest as the data path keeps it beside the header copy.
  const std::string head = sums == "sha256sum" ? "" : "echo '# checksums xxh128' && ";
  ASSERT_EQ(zolt::test::RunCommand("cd src && (" + head + sums +
                                   " order.aif forms/a.ps forms/b.ps) > ../sums && tar -cf ../fs/1 "
                                   "order.aif forms")
                .status,
            0);
}

TEST(BkMedia, VerifyFindsWhatTheMediumLacks) {
  MakeFsMedium();
  CommandResult r = BkMedia("verify fs sums");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "4 files checked, 0 differences\n")) << r.out;
  const struct {
    const char* damage;
    const char* found;
  } cases[] = {
      {"head -c 10240 fs/1 > cut && mv cut fs/1", "data file 1: tar reports it damaged"},
      {"cd src && tar -cf ../fs/1 order.aif forms/a.ps", "missing: forms/b.ps"},
      {"cd src && printf 'page two!\\n' > forms/a.ps && tar -cf ../fs/1 order.aif forms",
       "size differs: forms/a.ps (10 bytes, listed 9)"},
      {"cd src && printf 'page ONE\\n' > forms/a.ps && tar -cf ../fs/1 order.aif forms",
       "content differs: forms/a.ps"},
      {"rm fs/1", "data file 1 cannot be read from the medium"},
  };
  for (const auto& c : cases) {
    MakeFsMedium();
    ASSERT_EQ(zolt::test::RunCommand(c.damage).status, 0) << c.damage;
    r = BkMedia("verify fs sums");
    EXPECT_EQ(r.status, 1) << c.damage << "\n" << r.out << r.err;
    EXPECT_TRUE(Has(r.out, std::string("  ") + c.found + "\n")) << c.damage << "\n" << r.out;
  }
  // The data path's default sums, XXH3 with 128 bits, named by the manifest's first line.
  MakeFsMedium("xxh128sum");
  r = BkMedia("verify fs sums");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_EQ(zolt::test::RunCommand(
                "cd src && printf 'page ONE\\n' > forms/a.ps && tar -cf ../fs/1 order.aif forms")
                .status,
            0);
  r = BkMedia("verify fs sums");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out, "  content differs: forms/a.ps\n")) << r.out;
  // A tape: data file n is tape file n, read through the tape layer.
  MakeTape(false);
  r = BkMedia("verify tape");
  EXPECT_EQ(r.status, 1);  // the golden header's files were never written
  EXPECT_TRUE(Has(r.out, "  missing: Spring.aif\n")) << r.out;
}
