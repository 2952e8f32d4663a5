#include "SAIF.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Messages.hpp"
#include "Sandbox.hpp"

namespace {

namespace fs = std::filesystem;
using zolt::test::ReadFile;
using zolt::test::WriteFile;

std::string LE(std::uint32_t v, int size) {
  std::string s;
  for (int i = 0; i < size; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

struct Layout {
  std::uint32_t magic = 25892, version = 1, width = 0, height = 0, tileW = 128, tileH = 48,
                channels = 1, tagPos = 1024;
};

std::string Header(const Layout& l) {
  return LE(l.magic, 2) + LE(l.version, 2) + LE(l.width, 2) + LE(l.height, 2) +
         LE((l.width + 127) / 128, 2) + LE((l.height + 47) / 48, 2) + LE(l.tileW, 2) +
         LE(l.tileH, 2) + LE(l.channels, 2) + LE(l.tagPos, 4) + LE(1024, 4);
}

std::string Entry(const std::string& name, const std::string& data) {
  std::string field = name;
  field.resize(128, '\0');
  return LE(static_cast<std::uint32_t>(data.size()), 2) + field + data;
}

// A container file as another program of the suite would leave it.
std::string Container(const std::vector<std::pair<std::string, std::string>>& tags,
                      bool terminated = true, const Layout& l = {}) {
  std::string bytes = Header(l);
  bytes.resize(l.tagPos, '\0');
  for (const auto& [name, data] : tags) bytes += Entry(name, data);
  if (terminated) bytes += LE(0, 2);
  return bytes;
}

std::string Get(SAIF f, const std::string& name) {
  std::vector<char> buffer(SAIF_maxTagData);
  std::size_t length = 0;
  SAIF_TagRetrieve(f, name, length, buffer);
  return std::string(buffer.data(), length);
}

void Put(SAIF f, const std::string& name, const std::string& data) {
  SAIF_TagInsertOrReplace(f, name, data.size(), data);
}

// Every reason on the error stack, joined.
std::string Reasons() {
  std::string all;
  char text[5120];
  while (Messages_ErrorReason(text)) all += std::string(text) + "\n";
  return all;
}

struct stat Stat(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st;
}

class SAIFTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SAIF_Init();
    Messages_IgnoreErrors(true);
  }
  void TearDown() override {
    Messages_IgnoreErrors(false);
    Messages_ForgetErrorReasons();
  }
  SAIF Open(const std::string& path, bool readOnly = false) {
    return SAIF_Open(path, width, height, channels, readOnly);
  }
  std::uint32_t width = 99, height = 99, channels = 99;
};

TEST_F(SAIFTest, NewFileHasTheHeaderAndTagListWhereTheLayoutPutsThem) {
  SAIF f = SAIF_Create("empty.aif", 0, 0, 1);
  ASSERT_NE(f, SAIF_Nil);
  EXPECT_EQ(SAIF_TagListPosition(f), 1024u);
  SAIF_Close(f);
  EXPECT_EQ(f, SAIF_Nil);
  std::string expected = Header({});
  expected.resize(1024, '\0');
  expected += LE(0, 2);
  EXPECT_EQ(ReadFile("empty.aif"), expected);

  // 130 x 50 pixels in 3 channels: 2 x 2 tiles each, the tag list behind them.
  SAIF p = SAIF_Create("pixels.aif", 130, 50, 3);
  ASSERT_NE(p, SAIF_Nil);
  SAIF_Close(p);
  const std::string bytes = ReadFile("pixels.aif");
  const std::uint32_t position = 1024 + 2 * 2 * 3 * 6144;
  EXPECT_EQ(bytes.substr(0, 26),
            Header({.width = 130, .height = 50, .channels = 3, .tagPos = position}));
  EXPECT_EQ(bytes.size(), position + 2);
  SAIF q = Open("pixels.aif");
  EXPECT_EQ(std::vector<std::uint32_t>({width, height, channels}),
            std::vector<std::uint32_t>({130, 50, 3}));
  SAIF_Close(q);
}

TEST_F(SAIFTest, BadHeadersFailWithTheirErrorNameTheFileAndLeaveItAlone) {
  const std::string good = Container({{"ORDERINFO", "x"}});
  struct Case {
    const char* file;
    std::string bytes;
    std::uint32_t error;
  } cases[] = {
      {"magic.aif", Container({{"A", "b"}}, true, {.magic = 25893}), 4},
      {"version2.aif", Container({{"A", "b"}}, true, {.version = 2}), 6},
      {"tiles.aif", Container({{"A", "b"}}, true, {.tileW = 64}), 7},
      {"empty.aif", "", 5},
      {"cut-header.aif", good.substr(0, 20), 5},
      {"cut-name.aif", good.substr(0, 1024 + 2 + 50), 11},
      {"cut-data.aif", Container({{"A", "bcdef"}}).substr(0, 1024 + 2 + 128 + 3), 11},
  };
  for (const Case& c : cases) {
    WriteFile(c.file, c.bytes);
    Messages_ForgetErrorReasons();
    SAIF f = Open(c.file);
    EXPECT_EQ(f, SAIF_Nil) << c.file;
    EXPECT_EQ(SAIF_aifError, c.error) << c.file;
    EXPECT_NE(Reasons().find(c.file), std::string::npos) << c.file;
    EXPECT_EQ(ReadFile(c.file), c.bytes) << c.file;
  }
  EXPECT_EQ(Open("missing.aif"), SAIF_Nil);
  EXPECT_EQ(SAIF_aifError, 3u);
}

TEST_F(SAIFTest, TagListReadsToItsEndMarkOrTheEndOfTheFile) {
  WriteFile("open-end.aif", Container({{"ORDERINFO", "abc"}, {"ORDERNUM", "12"}}, false));
  SAIF f = Open("open-end.aif");
  ASSERT_NE(f, SAIF_Nil);
  EXPECT_EQ(SAIF_aifError, 0u);
  EXPECT_EQ(Get(f, "ORDERINFO"), "abc");
  EXPECT_EQ(Get(f, "ORDERNUM"), "12");
  SAIF_Close(f);

  // Nothing after the end mark counts; a later tag of a name replaces the earlier one;
  // names are compared with their case.
  std::string bytes = Container({{"K", "first"}, {"k", "small"}, {"K", "second"}});
  bytes += Entry("behind", "the end");
  WriteFile("repeat.aif", bytes);
  SAIF g = Open("repeat.aif", true);
  ASSERT_NE(g, SAIF_Nil);
  EXPECT_EQ(Get(g, "K"), "second");
  EXPECT_EQ(Get(g, "k"), "small");
  EXPECT_EQ(Get(g, "behind"), "");
  SAIF_Close(g);
}

TEST_F(SAIFTest, WrittenFileReadsBackAndIsRewrittenOnlyAfterAChange) {
  const std::string name127(127, 'n');
  SAIF f = SAIF_Create("order.aif", 0, 0, 1);
  ASSERT_NE(f, SAIF_Nil);
  Put(f, "ORDERINFO", "Brochure");
  Put(f, name127, "long");
  Put(f, name127 + "xyz", "cut");  // the same tag: names are cut to 127 characters
  Put(f, "BIG", std::string(SAIF_maxTagData, '\xE9'));
  Put(f, "GONE", "soon");
  SAIF_TagDestroy(f, "GONE");
  SAIF_TagDestroy(f, "NEVER");
  SAIF_Close(f);
  const std::string written = ReadFile("order.aif");
  EXPECT_EQ(written.size(), 1024 + 3 * (2 + 128) + 8 + 3 + SAIF_maxTagData + 2);
  EXPECT_NE(written.find(name127 + '\0'), std::string::npos);

  // Opened and closed without change: the very same file, never rewritten.
  const std::uint64_t inode = Stat("order.aif").st_ino;
  SAIF g = Open("order.aif");
  ASSERT_NE(g, SAIF_Nil);
  EXPECT_EQ(Get(g, name127), "cut");
  EXPECT_EQ(Get(g, "GONE"), "");
  std::vector<char> small(3);
  std::size_t length = 0;
  SAIF_TagRetrieve(g, "ORDERINFO", length, small);
  EXPECT_EQ(length, 3u);
  SAIF_Flush(g);
  SAIF_Close(g);
  EXPECT_EQ(Stat("order.aif").st_ino, inode);
  EXPECT_EQ(ReadFile("order.aif"), written);

  // A replaced entry rewrites the file through a new one; the same value gives the same
  // bytes, and no temporary file stays behind.
  ::chmod("order.aif", 0640);
  SAIF h = Open("order.aif");
  Put(h, "ORDERINFO", "Brochure");
  SAIF_Flush(h);
  EXPECT_NE(Stat("order.aif").st_ino, inode);
  EXPECT_EQ(ReadFile("order.aif"), written);
  Put(h, "ORDERINFO", "Flyer");
  SAIF_Close(h);
  EXPECT_NE(ReadFile("order.aif"), written);
  EXPECT_EQ(Stat("order.aif").st_mode & 0777, 0640u);
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
  SAIF r = Open("order.aif", true);
  EXPECT_EQ(Get(r, "ORDERINFO"), "Flyer");
  EXPECT_EQ(Get(r, "BIG"), std::string(SAIF_maxTagData, '\xE9'));

  // A read-only handle does not write its changes.
  Put(r, "ORDERINFO", "Poster");
  const std::string before = ReadFile("order.aif");
  SAIF_Close(r);
  EXPECT_EQ(SAIF_aifError, 11u);
  EXPECT_EQ(ReadFile("order.aif"), before);
}

}  // namespace
