// bksums against real archivers: the sums of the members of tar and cpio streams must be
// those xxh128sum (the default) or sha256sum give for the files, in both of its ways of
// running.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "Sandbox.hpp"

namespace {

using namespace std::string_literals;
using zolt::test::ReadFile;
using zolt::test::RunCommand;
using zolt::test::WriteFile;

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

class BksumsTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const std::string longDir(60, 'd');
    std::filesystem::create_directories("tree/sub dir/" + longDir + "/" + longDir);
    WriteFile("tree/empty", "");
    WriteFile("tree/sub dir/block of 512", std::string(512, 'x'));
    std::string big;
    for (int i = 0; i < 5000000; ++i) big += static_cast<char>(i * 7 + i / 256);
    WriteFile("tree/sub dir/" + longDir + "/" + longDir + "/long name.bin", big);
    WriteFile("tree/small", "abc");
    ASSERT_EQ(0, ::symlink("small", "tree/link"));
    const auto r = RunCommand(
        "cd tree && find . -type f | sed 's|^\\./||' | LC_ALL=C sort >../names"
        " && tr '\\n' '\\0' <../names | xargs -0 sha256sum >../want.sha256"
        " && tr '\\n' '\\0' <../names | xargs -0 xxh128sum >../want");
    ASSERT_EQ(0, r.status) << r.err;
  }
};

TEST_P(BksumsTest, SumsOfTheMembersAreThoseOfTheFiles) {
  const std::string format = GetParam();
  const std::string make = format == "cpio"
                               ? "find . -mindepth 1 | sed 's|^\\./||' | cpio -o -H odc --quiet"
                               : "tar -cf - --format=" + format + " .";
  // tar names the members "./x"; the checksum programs were given "x".
  const std::string strip = format == "cpio" ? "" : " | sed 's|  \\./|  |'";
  const std::string bksums = zolt::test::ProgramPath("bksums");
  const std::string want = ReadFile("want");
  ASSERT_NE("", want);
  // SHA-256 with the processor's instructions where it has them, and without.
  const struct {
    const char *env, *args, *want;
  } runs[] = {{"", "", "want"},
              {"", "-a xxh128 ", "want"},
              {"", "-a sha256 ", "want.sha256"},
              {"BKSUMS_PORTABLE=1 ", "-a sha256 ", "want.sha256"}};
  for (const auto& run : runs) {
    auto r = RunCommand("cd tree && " + make + " | " + run.env + bksums + " " + run.args +
                        (format == "cpio" ? "cpio" : "tar") + strip);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(SortedLines(ReadFile(run.want)), SortedLines(r.out))
        << format << " " << run.env << run.args;
  }
  // Passing the stream on: unchanged, the sums appended to the file.
  WriteFile("sums", "# before\n");
  auto r = RunCommand("cd tree && " + make + " >../plain && " + bksums + " -o ../sums " +
                      (format == "cpio" ? "cpio" : "tar") +
                      " <../plain >../passed && cmp ../plain ../passed");
  ASSERT_EQ(0, r.status) << r.err;
  r = RunCommand("tail -n +2 sums" + strip);
  EXPECT_EQ(SortedLines(want), SortedLines(r.out));
  EXPECT_EQ(0u, ReadFile("sums").rfind("# before\n", 0));
  // The symbolic links alone, for the restore's look at what a data file would plant.
  r = RunCommand(bksums + " -l " + (format == "cpio" ? "cpio" : "tar") +
                 " <plain | tr '\\0' '\\n'");
  EXPECT_EQ(format == "cpio" ? "link\n" : "./link\n", r.out);
  // And with them the names of all the members.
  r = RunCommand(bksums + " -l -n names.all " + (format == "cpio" ? "cpio" : "tar") +
                 " <plain >/dev/null && tr '\\0' '\\n' <names.all | grep -c 'small$'");
  EXPECT_EQ("1\n", r.out) << r.err;
  // A file is read by its headers alone: the same names as from a pipe, which it must read whole.
  r = RunCommand("cat plain | " + bksums + " -l -n names.pipe " +
                 (format == "cpio" ? "cpio" : "tar") + " >links.pipe && " + bksums +
                 " -l -n names.file " + (format == "cpio" ? "cpio" : "tar") +
                 " <plain >links.file && cmp names.pipe names.file && cmp links.pipe links.file");
  EXPECT_EQ(0, r.status) << r.err;
  // A stream that comes in small pieces: members cut across many reads, the large one
  // across several of the blocks that the hashing threads share.
  r = RunCommand("dd if=plain bs=777 status=none | " + bksums + " -o dribbled " +
                 (format == "cpio" ? "cpio" : "tar") + " | cmp - plain && cat dribbled" + strip);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(SortedLines(want), SortedLines(r.out));
}

INSTANTIATE_TEST_SUITE_P(Formats, BksumsTest, ::testing::Values("ustar", "gnu", "cpio"));

// The sums come in the order of the stream although threads take them: a large member
// first, whose hashing ends last, then many small ones.
TEST(Bksums, SumsKeepTheOrderOfTheStream) {
  const std::string bksums = zolt::test::ProgramPath("bksums");
  std::filesystem::create_directories("many");
  std::string big;
  for (int i = 0; i < 9000000; ++i) big += static_cast<char>(i * 13 + i / 512);
  WriteFile("many/0big", big);
  for (int i = 0; i < 300; ++i) WriteFile("many/f" + std::to_string(i), std::to_string(i));
  for (const char* format : {"tar", "cpio"}) {
    const std::string make = std::string(format) == "tar"
                                 ? "tar -cf - --sort=name many"
                                 : "find many -type f | LC_ALL=C sort | cpio -o -H odc --quiet";
    const auto r = RunCommand(
        make + " >stream && " + bksums + " " + format + " <stream | cut -c 35- >got && " +
        (std::string(format) == "tar" ? "tar -tf stream" : "cpio -it <stream") +
        " 2>/dev/null | grep -v '/$' | grep -vx many >order && cmp got order");
    EXPECT_EQ(0, r.status) << format << ": " << r.out << r.err;
  }
}

// A member larger than what the threads may hold at once is hashed in batches, not held
// whole (which would wait for ever); a stream cut inside a member still gives the sum of
// the bytes that came.
TEST(Bksums, LargeAndCutMembers) {
  const std::string bksums = zolt::test::ProgramPath("bksums");
  std::filesystem::create_directories("huge");
  auto r = RunCommand(
      "head -c 100000 /dev/urandom >huge/a && truncate -s 80M huge/a && tar -cf huge.tar huge/a &&"
      " timeout 60 " +
      bksums +
      " -a sha256 tar <huge.tar | cut -c 1-64 >got &&"
      " sha256sum <huge/a | cut -c 1-64 | cmp - got");
  EXPECT_EQ(0, r.status) << r.out << r.err;
  // tar: the data follow a header of 512 bytes; cpio (odc): 76 bytes and the name "a\0".
  r = RunCommand(
      "cd huge && tar -cf ../one.tar a && printf 'a\n' | cpio -o -H odc --quiet >../one.cpio");
  ASSERT_EQ(0, r.status) << r.err;
  for (const auto& [format, start] : {std::pair{"tar", 512}, std::pair{"cpio", 78}}) {
    r = RunCommand("head -c " + std::to_string(start + 70000) + " one." + format + " | " + bksums +
                   " -o cut.sums " + format +
                   " >/dev/null && cut -c 1-32 cut.sums >got &&"
                   " head -c 70000 huge/a | xxh128sum | cut -c 1-32 | cmp - got");
    EXPECT_EQ(0, r.status) << format << ": " << r.out << r.err;
    std::filesystem::remove("cut.sums");
  }
}

TEST(Bksums, CommandLine) {
  const std::string bksums = zolt::test::ProgramPath("bksums");
  EXPECT_EQ(0, RunCommand(bksums + " --help").status);
  EXPECT_EQ(2, RunCommand(bksums + " zip </dev/null").status);
  EXPECT_EQ(1, RunCommand("echo x | " + bksums + " -o no/such/dir/sums tar >/dev/null").status);
}

// The guard in front of cpio: a stream with nothing to refuse passes byte for byte, the
// padding behind the trailer included, with or without a list of wanted names.
TEST(BksumsGuard, PassesACleanStreamUnchanged) {
  const std::string bksums = zolt::test::ProgramPath("bksums");
  std::filesystem::create_directories("clean/sub dir");
  WriteFile("clean/sub dir/a", std::string(3000000, 'a'));
  WriteFile("clean/b", "b");
  ASSERT_EQ(0, ::symlink("b", "clean/to b"));
  auto r = RunCommand(
      "cd clean && find . -mindepth 1 | sed 's|^\\./||' | LC_ALL=C sort >../all &&"
      " cpio -o -H odc --quiet <../all >../clean.cpio && tr '\\n' '\\0' <../all >../all0 &&"
      " printf 'sub dir/\\0' >>../all0");
  ASSERT_EQ(0, r.status) << r.err;
  for (const std::string opts : {"-g", "-g -w all0"}) {
    r = RunCommand(bksums + " " + opts + " cpio <clean.cpio >got && cmp clean.cpio got");
    EXPECT_EQ(0, r.status) << opts << ": " << r.out << r.err;
    EXPECT_EQ("", r.err) << opts;
  }
}

// A hostile stream: a link to the outside, then a large member below it, a name with
// "..", an absolute name, and harmless members before and after. The refused members go
// without a trace; those behind them still extract.
TEST(BksumsGuard, RefusesMembersAndTheRestExtracts) {
  const std::string bksums = zolt::test::ProgramPath("bksums");
  std::filesystem::create_directories("h/in/lnk");
  std::filesystem::create_directories("outside");
  std::filesystem::create_directories("out");
  WriteFile("h/in/first", "first");
  WriteFile("h/in/lnk/x", std::string(2500000, 'x'));
  WriteFile("h/in/after", "after");
  WriteFile("h/esc", "esc");
  const std::string abs = std::filesystem::absolute("h/abs").string();
  WriteFile(abs, "abs");
  auto r = RunCommand(
      "cd h/in && mv lnk lnk.d && ln -s ../outside lnk &&"
      " printf 'first\\nlnk\\n' | cpio -o -H odc --quiet >../../s.cpio && rm lnk && mv lnk.d lnk &&"
      " printf 'lnk/x\\n../esc\\n" +
      abs + "\\nafter\\n' | cpio -o -A -H odc -O ../../s.cpio 2>/dev/null");
  ASSERT_EQ(0, r.status) << r.err;
  const std::string extract = " 2>err | (cd out && cpio -idmu --quiet --no-absolute-filenames)";
  r = RunCommand(bksums + " -g cpio <s.cpio" + extract);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("first", ReadFile("out/first"));
  EXPECT_EQ("after", ReadFile("out/after"));
  EXPECT_TRUE(std::filesystem::is_symlink("out/lnk"));
  EXPECT_FALSE(std::filesystem::exists("outside/x"));
  EXPECT_FALSE(std::filesystem::exists("esc"));
  EXPECT_EQ(
      "not restored: lnk/x (below the symbolic link lnk)\n"
      "not restored: ../esc (a name with '..')\n"
      "not restored: " +
          abs + " (an absolute name)\n",
      ReadFile("err"));
  // With a list only the wanted members pass, and only wanted ones are reported.
  std::filesystem::remove_all("out");
  std::filesystem::create_directories("out");
  WriteFile("wanted", std::string("lnk/x\0after\0", 12));
  r = RunCommand(bksums + " -g -w wanted cpio <s.cpio" + extract);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("after", ReadFile("out/after"));
  EXPECT_FALSE(std::filesystem::exists("out/first"));
  EXPECT_FALSE(std::filesystem::exists("outside/x"));
  EXPECT_EQ("not restored: lnk/x (below the symbolic link lnk)\n", ReadFile("err"));
}

// A damaged header ends the stream rather than letting cpio search on for members that
// were never looked at; wrong command lines and unreadable lists are errors.
TEST(BksumsGuard, DamageAndCommandLine) {
  const std::string bksums = zolt::test::ProgramPath("bksums");
  WriteFile("one", "one");
  auto r = RunCommand(
      "printf 'one\\n' | cpio -o -H odc --quiet >one.cpio &&"
      " { head -c 83 one.cpio; printf 'garbage%.0s' $(seq 20); cat one.cpio; } >bad.cpio");
  ASSERT_EQ(0, r.status) << r.err;
  r = RunCommand(bksums + " -g cpio <bad.cpio >passed");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("damaged")) << r.err;
  EXPECT_EQ(83u, ReadFile("passed").size());
  EXPECT_EQ(2, RunCommand(bksums + " -g zip </dev/null").status);
  EXPECT_EQ(2, RunCommand(bksums + " -g -w cpio </dev/null").status);
  EXPECT_EQ(1, RunCommand(bksums + " -g -w no/such/list cpio </dev/null").status);
}

// The guard in front of tar. A tree whose names and link targets overflow the header's
// fields, written by tar in its three formats, with blocking as the data path writes it:
// without a list, or with every name wanted, the stream passes byte for byte.
class BksumsTarGuard : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const std::string deep = "t/" + std::string(90, 'd') + "/" + std::string(40, 'e');
    std::filesystem::create_directories(deep);
    WriteFile(deep + "/long name " + std::string(80, 'n'), "long");
    WriteFile("t/plain", "plain");
    WriteFile("t/other", std::string(70000, 'o'));
    // ustar has no room for a link target of more than 100 bytes.
    const std::string format = GetParam();
    const std::string far = format == "ustar" ? deep.substr(2, 90) : "../" + deep.substr(2);
    ASSERT_EQ(0, ::symlink(far.c_str(), "t/far link"));
    ASSERT_EQ(0, ::link("t/plain", "t/hard"));
    // A global header (comment) in the pax format, kept whatever is wanted.
    const auto r = RunCommand("tar -cf t.tar -b 20 --format=" + format +
                              (format == "pax" ? " --pax-option=comment=kept" : "") +
                              " t && tar -tf t.tar | tr '\\n' '\\0' >all");
    ASSERT_EQ(0, r.status) << r.err;
  }
};

TEST_P(BksumsTarGuard, PassesAndSelectsWholeMembers) {
  const std::string bksums = zolt::test::ProgramPath("bksums");
  for (const std::string opts : {"-g", "-g -w all"}) {
    const auto r = RunCommand(bksums + " " + opts + " tar <t.tar | cmp - t.tar");
    EXPECT_EQ(0, r.status) << opts << ": " << r.out << r.err;
  }
  // The long-named member alone, and the hard link with its target: what tar extracts
  // from the guard's output is those, whole, and nothing else.
  const std::string longName =
      std::string(90, 'd') + "/" + std::string(40, 'e') + "/long name " + std::string(80, 'n');
  WriteFile("some", "t/" + longName + '\0' + "t/plain" + '\0' + "t/hard" + '\0');
  auto r = RunCommand("mkdir out && " + bksums +
                      " -g -w some tar <t.tar >some.tar && cd out && tar -xf ../some.tar &&"
                      " find . -type f | LC_ALL=C sort");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("./t/" + longName + "\n./t/hard\n./t/plain\n", r.out);
  EXPECT_EQ("long", ReadFile("out/t/" + longName));
  EXPECT_EQ(std::string(GetParam()) == "pax",
            ReadFile("some.tar").find("comment=kept") != std::string::npos);
  // The link with the long target: its extended header goes with it.
  WriteFile("link", std::string("t/far link\0", 11));
  r = RunCommand(bksums + " -g -w link tar <t.tar | tar -tvf - | grep -c ' -> '");
  EXPECT_EQ("1\n", r.out) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Formats, BksumsTarGuard, ::testing::Values("gnu", "pax", "ustar"));

// Members that would write outside: a link, then a member below it; "..", an absolute
// name; a hard link whose target stays behind. The rest extracts; the wanted ones left
// out are reported in the order of the stream.
TEST(BksumsTarGuardRefusals, RefusesAndTheRestExtracts) {
  const std::string bksums = zolt::test::ProgramPath("bksums");
  std::filesystem::create_directories("h/in");
  std::filesystem::create_directories("outside");
  std::filesystem::create_directories("out");
  const std::string abs = std::filesystem::absolute("h/abs").string();
  WriteFile(abs, "abs");
  WriteFile("h/esc", "esc");
  auto r = RunCommand(
      "cd h/in && ln -s ../../outside lnk && tar -cf ../../s.tar lnk && rm lnk && mkdir lnk &&"
      " echo x >lnk/x && echo first >first && ln first hard && tar -rf ../../s.tar lnk/x &&"
      " tar -rPf ../../s.tar ../esc " +
      abs + " first hard");
  ASSERT_EQ(0, r.status) << r.err;
  WriteFile("wanted", "lnk\0lnk/x\0../esc\0"s + abs + "\0hard\0"s);
  r = RunCommand(bksums + " -g -w wanted tar <s.tar 2>err | (cd out && tar -xf -)");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(std::filesystem::is_symlink("out/lnk"));
  EXPECT_FALSE(std::filesystem::exists("outside/x"));
  EXPECT_FALSE(std::filesystem::exists("out/hard"));
  EXPECT_EQ(
      "not restored: lnk/x (below the symbolic link lnk)\n"
      "not restored: ../esc (a name with '..')\n"
      "not restored: " +
          abs + " (an absolute name)\n" +
          "not restored: hard (a hard link to first, which is not restored)\n",
      ReadFile("err"));
}

// A flipped header byte stops the stream at the member before it; a stream cut inside a
// member, or inside the extended header in front of it, fails; sizes in base 256 are read.
TEST(BksumsTarGuardRefusals, DamageCutsAndBase256Sizes) {
  const std::string bksums = zolt::test::ProgramPath("bksums");
  WriteFile("a", "a");
  WriteFile("b" + std::string(120, 'b'), std::string(3000, 'b'));
  auto r = RunCommand("tar -cf ab.tar --format=pax a b*");
  ASSERT_EQ(0, r.status) << r.err;
  std::string tar = ReadFile("ab.tar");
  // Every member comes with an extended header: a's at 0, its own header at 1024; b's
  // at 2048 with its records at 2560, its own header at 3072 and its data at 3584.
  WriteFile("bad.tar", tar.substr(0, 2048) + "X" + tar.substr(2049));
  r = RunCommand(bksums + " -g tar <bad.tar >passed");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("damaged")) << r.err;
  EXPECT_EQ(2048u, ReadFile("passed").size());
  for (const std::size_t cut : {2800u, 4000u}) {
    WriteFile("cut.tar", tar.substr(0, cut));
    r = RunCommand(bksums + " -g tar <cut.tar >passed");
    EXPECT_EQ(1, r.status) << cut;
    EXPECT_NE(std::string::npos, r.err.find("cut short")) << r.err;
    EXPECT_EQ(cut < 3072 ? 2048u : cut, ReadFile("passed").size());
  }
  // b's size as a base-256 number: the guard must skip the same 3000 bytes as tar.
  std::string big = tar;
  std::string field(12, '\0');
  field[0] = '\x80', field[10] = '\x0b', field[11] = '\xb8';  // 3000
  big.replace(3072 + 124, 12, field);
  big.replace(3072 + 148, 8, "        ");
  unsigned sum = 0;
  for (std::size_t i = 3072; i < 3584; ++i) sum += static_cast<unsigned char>(big[i]);
  char chk[8];
  std::snprintf(chk, sizeof chk, "%06o", sum);
  big.replace(3072 + 148, 7, std::string(chk, 6) + '\0');
  WriteFile("big.tar", big);
  WriteFile("none", "");
  r = RunCommand(bksums + " -g -w none tar <big.tar | tar -tf - && " + bksums +
                 " -g tar <big.tar | cmp - big.tar");
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ("", r.out);
}

}  // namespace
