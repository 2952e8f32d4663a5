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
  EXPECT_EQ(2, RunCommand(bksums + " -g tar </dev/null").status);
  EXPECT_EQ(2, RunCommand(bksums + " -g -w cpio </dev/null").status);
  EXPECT_EQ(1, RunCommand(bksums + " -g -w no/such/list cpio </dev/null").status);
}

}  // namespace
