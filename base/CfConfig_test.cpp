#include "CfConfig.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Env.hpp"
#include "Messages.hpp"
#include "Sandbox.hpp"

namespace {

using namespace zolt::test;

std::string S(DS ds) { return ds == dsNil ? "<nil>" : DSStr(ds); }

// Every reason on the stack, most recent first, and the stack emptied.
std::vector<std::string> Reasons() {
  std::vector<std::string> all;
  char text[1024];
  while (Messages_ErrorReason(text)) all.emplace_back(text);
  return all;
}

bool Mentions(const std::vector<std::string>& reasons, const std::string& part) {
  for (const auto& r : reasons) {
    if (r.find(part) != std::string::npos) return true;
  }
  return false;
}

class CfConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { CfConfig_Init(); }
  void TearDown() override { CfDestroy(&file_); }
  // Reads text as a file inside an ignore bracket.
  CfFile Read(const std::string& text, CfAttribs attribs = nullptr) {
    WriteFile("test.cfg", text);
    Messages_IgnoreErrors(true);
    file_ = CfRead("./test.cfg", attribs);
    Messages_IgnoreErrors(false);
    return file_;
  }
  template <class Op>
  static auto Quietly(Op&& op) {
    Messages_IgnoreErrors(true);
    auto result = op();
    Messages_IgnoreErrors(false);
    return result;
  }
  CfFile file_ = nullptr;
};

const char* const kSample =
    "# devices of the site\n"
    "timeout = 30   # seconds\n"
    "\n"
    "[Drive]\n"
    "mask = 0x10\n"
    "mode = 010\n"
    "Verbose\n"
    "label = 'a # b'  \"c\"  # not part of it\n"
    "sizes = 1.5 , 2 ,  -3e2\n"
    "hosts = alpha, \\\n"
    "        beta\n"
    "# second part\n"
    "[ drive ]\n"
    "flag = maybe\n"
    "auto = Yes\n"
    "letter = x\n";

TEST_F(CfConfigTest, ReadsSectionsEntriesAndValues) {
  ASSERT_NE(Read(kSample), nullptr);
  EXPECT_EQ(CfError(), 0);
  // An entry before the first header lands in the default section.
  CfSection defaults = CfGetExactSection(file_, "defaults");
  ASSERT_NE(defaults, nullptr);
  EXPECT_STREQ(CfGetSectionName(defaults), "DEFAULTS");
  EXPECT_EQ(CfLongFromCfg(defaults, "TIMEOUT", 0), 30);

  // Two headers that differ in case form one section; entries keep file order, the
  // comments before both headers are kept.
  CfSection drive = CfGetExactSection(file_, "DRIVE");
  ASSERT_NE(drive, nullptr);
  EXPECT_STREQ(CfGetSectionName(drive), "Drive");
  EXPECT_STREQ(CfGetSectionComment(drive), "# devices of the site\n\n# second part\n");
  std::vector<std::string> names;
  for (CfEntry e = CfGetFirstEntry(drive, nullptr); e; e = CfGetNextEntry(drive))
    names.emplace_back(CfGetEntryName(e));
  EXPECT_EQ(names, (std::vector<std::string>{"mask", "mode", "Verbose", "label", "sizes", "hosts",
                                             "flag", "auto", "letter"}));
  EXPECT_EQ(CfGetExactSection(file_, "[Drive]"), nullptr);
  EXPECT_EQ(CfError(), 22);

  EXPECT_EQ(CfLongFromCfg(drive, "mask", 0), 16);
  EXPECT_EQ(CfIntFromCfg(drive, "mode", 0), 8);
  EXPECT_EQ(CfUintFromCfg(drive, "mask", 0), 16u);
  EXPECT_EQ(CfRealFromCfg(drive, "mode", 0), 10.0);  // strtod knows no octal

  char buffer[8];
  CfStrFromCfg(drive, "label", buffer, sizeof buffer, "none");
  EXPECT_STREQ(buffer, "'a # b'");  // cut to the buffer, quotes kept
  DS label = dsNil;
  CfDynStrFromCfg(drive, "label", &label, nullptr);
  EXPECT_EQ(S(label), "'a # b'  \"c\"");
  DSFree(&label);

  CfEntry hosts = CfGetExactEntry(drive, "hosts");
  EXPECT_EQ(S(CfGetRawValue(hosts)), "alpha, beta");
  EXPECT_EQ(CfGetLineNo(hosts), 10);

  std::vector<double> sizes;
  EXPECT_EQ(CfRealArrFromCfg(drive, "sizes", sizes), 3);
  EXPECT_EQ(sizes, (std::vector<double>{1.5, 2, -300}));
  std::vector<std::int32_t> ints;
  EXPECT_EQ(CfIntArrFromCfg(drive, "sizes", ints), 3);
  EXPECT_EQ(ints, (std::vector<std::int32_t>{1, 2, -3}));
}

TEST_F(CfConfigTest, TypedGettersFallBackToDefaultsWithTheirErrors) {
  ASSERT_NE(Read(kSample), nullptr);
  CfSection drive = CfGetExactSection(file_, "drive");
  // Booleans: a name alone is true, yes in any case is true, maybe is an error.
  EXPECT_TRUE(CfBoolFromCfg(drive, "verbose", false));
  EXPECT_EQ(CfError(), 0);
  EXPECT_TRUE(CfBoolFromCfg(drive, "auto", false));
  EXPECT_FALSE(Quietly([&] { return CfBoolFromCfg(drive, "flag", false); }));
  EXPECT_EQ(CfError(), 14);
  EXPECT_TRUE(Mentions(Reasons(), "flag"));
  EXPECT_EXIT(CfBoolFromCfg(drive, "flag", false), testing::ExitedWithCode(2), "");

  struct Case {
    const char* name;
    int error;
  };
  // An absent entry gives error 6, a name without value error 20; both keep the default.
  for (const Case& c : {Case{"absent", 6}, Case{"verbose", 20}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CfLongFromCfg(drive, c.name, -7), -7);
    EXPECT_EQ(CfError(), c.error);
    EXPECT_EQ(CfULongFromCfg(drive, c.name, 9), 9u);
    EXPECT_EQ(CfRealFromCfg(drive, c.name, 2.5), 2.5);
    EXPECT_EQ(CfCharFromCfg(drive, c.name, 'z'), 'z');
    DS ds = DSCreateStr("old", 0);
    CfDynStrFromCfg(drive, c.name, &ds, "fallback");
    EXPECT_EQ(S(ds), "fallback");
    CfDynStrFromCfg(drive, c.name, &ds, nullptr);
    EXPECT_EQ(ds, dsNil);
    std::vector<std::int32_t> ints{1};
    EXPECT_EQ(CfIntArrFromCfg(drive, c.name, ints), 0);
    EXPECT_TRUE(ints.empty());
    EXPECT_EQ(CfError(), c.error);
  }
  EXPECT_EQ(CfCharFromCfg(drive, "letter", '?'), 'x');
  EXPECT_EQ(Quietly([&] { return CfCharFromCfg(drive, "mask", '?'); }), '?');
  EXPECT_EQ(CfError(), 15);
  EXPECT_TRUE(Mentions(Reasons(), "mask"));
  // A nil section behaves like an absent entry.
  EXPECT_EQ(CfLongFromCfg(CfSectionNil(), "x", 4), 4);
  EXPECT_EQ(CfError(), 6);
}

TEST_F(CfConfigTest, MalformedLinesStopTheReadingWithTheTabledError) {
  struct Case {
    const char* text;
    int error;            // kept for CfError
    const char* message;  // part of the reported text
    const char* info;
  };
  const Case cases[] = {
      {"a = 1\n[broken\nb = 2\n", 12, "heading", "[broken"},
      {"[a]\n[]\n", 12, "heading", "[]"},
      {"[s]\n = value\n", 9, "not a valid setting", "= value"},
      // A quote left open is the line reader's error; the file is not read.
      {"x = 1\nkey = 'open # never closed\nnext = 2\n", 1, "quotation mark", "line 2"},
      {"a = 1\n\nx = \"a \\\n b\n", 1, "quotation mark", "line 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Read(c.text), nullptr);
    EXPECT_EQ(CfError(), c.error);
    const auto reasons = Reasons();
    ASSERT_EQ(reasons.size(), 2u);
    EXPECT_NE(reasons[0].find(c.message), std::string::npos) << reasons[0];
    EXPECT_NE(reasons[1].find(c.info), std::string::npos) << reasons[1];
  }
  WriteFile("bad.cfg", "[ok]\n=\n");
  EXPECT_EXIT(CfRead("./bad.cfg", nullptr), testing::ExitedWithCode(2), "");
}

TEST_F(CfConfigTest, FilesAreFoundAlongTheSearchPathOrOpenedAsGiven) {
  namespace fs = std::filesystem;
  fs::create_directories("one");
  fs::create_directories("two");
  WriteFile("two/site.cfg", "[s]\nv = 2\n");
  CfAttribs attribs = CfGetDefaultAttribs();
  attribs->searchPath = "one:two";
  file_ = CfRead("site.cfg", attribs);
  CfDestroy(&attribs);  // the file keeps its own copy
  EXPECT_EQ(attribs, nullptr);
  ASSERT_NE(file_, nullptr);
  EXPECT_EQ(CfLongFromCfg(CfGetExactSection(file_, "s"), "v", 0), 2);

  // The default search path is the catalogue path of the installation.
  const std::string env = std::string(SandboxDir()) + "/env";
  fs::create_directories(env);
  WriteFile(env + "/found.cfg", "a = 1\n");
  ::setenv("ZOLTENV", env.c_str(), 1);
  EnvReset();
  CfAttribs defaults = CfGetDefaultAttribs();
  EXPECT_EQ(defaults->searchPath, env);
  CfFile found = CfRead("found.cfg", defaults);
  EXPECT_NE(found, nullptr);
  CfDestroy(&found);
  CfDestroy(&defaults);

  CfAttribs a = CfGetDefaultAttribs();
  a->searchPath = "one";
  EXPECT_EQ(Quietly([&] { return CfRead("site.cfg", a); }), nullptr);
  EXPECT_EQ(CfError(), 2);
  const auto notFound = Reasons();
  EXPECT_EQ(notFound.size(), 2u);  // the lookup's own report is not kept
  EXPECT_TRUE(Mentions(notFound, "::site.cfg"));
  EXPECT_EQ(Quietly([&] { return CfRead("one/site.cfg", a); }), nullptr);
  EXPECT_EQ(CfError(), 3);
  EXPECT_EQ(CfErrno(), ENOENT);
  EXPECT_TRUE(Mentions(Reasons(), "::one/site.cfg"));
  // A directory opens but cannot be read.
  EXPECT_EQ(Quietly([&] { return CfRead("./one", a); }), nullptr);
  EXPECT_EQ(CfError(), 1);
  Reasons();
  CfDestroy(&a);
  EXPECT_EQ(CfFileNil(), nullptr);
  EXPECT_EQ(CfError(), 0);
}

TEST_F(CfConfigTest, RepeatedEntriesUseTheFirstAndReportTheRepetition) {
  ASSERT_NE(Read("[s]\nport = 1\nPORT = 2\n"), nullptr);
  CfSection s = CfGetExactSection(file_, "s");
  EXPECT_EQ(Quietly([&] { return CfLongFromCfg(s, "port", 0); }), 1);
  EXPECT_EQ(CfError(), 13);
  EXPECT_TRUE(Mentions(Reasons(), "line 3"));
  EXPECT_EXIT(CfGetExactEntry(s, "port"), testing::ExitedWithCode(2), "");
}

TEST_F(CfConfigTest, AttributesChangeCaseCommentsAndMarking) {
  CfAttribs a = CfGetDefaultAttribs();
  a->commentChar = ';';
  a->ignoreCaseEntries = false;
  a->markUsed = false;
  a->defaultSectionName = "global";
  ASSERT_NE(Read("Key = a # b ; remark\nkey = c\n", a), nullptr);
  CfDestroy(&a);
  CfSection g = CfGetExactSection(file_, "GLOBAL");
  ASSERT_NE(g, nullptr);
  DS v = dsNil;
  CfDynStrFromCfg(g, "Key", &v, nullptr);
  EXPECT_EQ(S(v), "a # b");
  CfDynStrFromCfg(g, "key", &v, nullptr);
  EXPECT_EQ(S(v), "c");
  EXPECT_EQ(CfError(), 0);  // different keys: no repetition
  DSFree(&v);
  EXPECT_FALSE(CfGetSectionUsed(g));
  EXPECT_FALSE(CfGetEntryUsed(CfGetExactEntry(g, "key")));
}

TEST_F(CfConfigTest, IterationByPatternAndUsedFlags) {
  ASSERT_NE(Read("[Tape1]\na=1\n[disk]\n[TAPE2]\nb=2\nab=3\nc\n"), nullptr);
  std::vector<std::string> seen;
  for (CfSection s = CfGetFirstSection(file_, "^tape"); s; s = CfGetNextSection(file_))
    seen.emplace_back(CfGetSectionName(s));
  EXPECT_EQ(seen, (std::vector<std::string>{"Tape1", "TAPE2"}));
  EXPECT_EQ(CfGetNextSection(file_), nullptr);
  CfSection disk = CfGetExactSection(file_, "disk");
  EXPECT_TRUE(CfGetSectionUsed(disk));

  CfSection tape2 = CfGetExactSection(file_, "tape2");
  CfEntry first = CfGetFirstEntry(tape2, "b");
  EXPECT_STREQ(CfGetEntryName(first), "b");
  // Deleting the current entry keeps the iteration going with the next one.
  CfDelEntry(&first);
  EXPECT_EQ(first, nullptr);
  EXPECT_STREQ(CfGetEntryName(CfGetNextEntry(tape2)), "ab");
  EXPECT_EQ(CfGetNextEntry(tape2), nullptr);
  EXPECT_TRUE(CfGetSectionWritten(tape2));

  EXPECT_EQ(Quietly([&] { return CfGetFirstEntry(tape2, "(("); }), nullptr);
  EXPECT_EQ(CfError(), 21);
  EXPECT_TRUE(Mentions(Reasons(), "(("));
  EXPECT_EQ(CfGetNextEntry(tape2), nullptr);

  CfSetEntryUsed(CfGetExactEntry(tape2, "ab"), false);
  std::FILE* out = std::tmpfile();
  CfDumpConfig(file_, out, true);
  std::rewind(out);
  std::string dump;
  for (int ch; (ch = std::fgetc(out)) != EOF;) dump += static_cast<char>(ch);
  std::fclose(out);
  EXPECT_EQ(dump,
            "\nFILE\ncfFileName = ./test.cfg\n"
            "\nSECTION\n  sectionName    'Tape1'\n"
            "  comment        '(null)'\n  written        FALSE\n  used           TRUE\n\n"
            "ENTRY\n  lineNo       2\n  entryName    'a'\n  rawValue     '1'\n"
            "  used         FALSE\n"
            "\nSECTION\n  sectionName    'disk'\n  comment        '(null)'\n"
            "  written        FALSE\n  used           TRUE\n\n"
            "\nSECTION\n  sectionName    'TAPE2'\n  entryRexPat    '(('\n"
            "  comment        '(null)'\n  written        TRUE\n  used           TRUE\n\n"
            "ENTRY\n  lineNo       6\n  entryName    'ab'\n  rawValue     '3'\n"
            "  used         FALSE\n"
            "ENTRY\n  lineNo       7\n  entryName    'c'\n  rawValue     '(null)'\n"
            "  used         FALSE\n");
}

TEST_F(CfConfigTest, SectionsAndEntriesBuiltInMemory) {
  file_ = CfNewFile(nullptr, nullptr);
  CfSection s = CfNewSection(file_, "Lists", "# made here\n");
  CfAddSection(s);
  CfEntry e = CfNewEntry(s, "list", "1, 'two", 4);
  CfAddEntry(e);
  std::vector<std::int32_t> ints;
  EXPECT_EQ(Quietly([&] { return CfIntArrFromCfg(s, "list", ints); }), 0);
  EXPECT_EQ(CfError(), 19);
  Reasons();

  DS tmp = DSCreateTmpStr("7, 08 ,9", 0);
  CfAssignToRawValue(e, tmp);
  DSFree(&tmp);
  EXPECT_EQ(CfIntArrFromCfg(s, "list", ints), 3);
  EXPECT_EQ(ints, (std::vector<std::int32_t>{7, 8, 9}));  // list words are decimal

  DS mine = DSCreateStr("shared", 0);
  CfSetRawValue(e, mine);
  DSFree(&mine);  // the entry holds its own reference
  DS copy = dsNil;
  CfAssignFromRawValue(e, &copy);
  EXPECT_EQ(S(copy), "shared");
  CfSetRawValue(e, dsNil);
  CfAssignFromRawValue(e, &copy);
  EXPECT_EQ(copy, dsNil);
  char buffer[4] = "xyz";
  CfAssignStrFromRawValue(e, buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "");

  int slot = 5;
  CfSetValue(e, &slot);
  EXPECT_EQ(CfGetValue(CfGetExactEntry(s, "LIST")), &slot);
  CfDelSection(&s);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(CfGetFirstSection(file_, nullptr), nullptr);

  char text[256];
  CfStrError(14, text, sizeof text);
  EXPECT_NE(std::string(text).find("yes or no"), std::string::npos) << text;
  char other[256];
  CfStrError(99, other, sizeof other);
  CfStrError(2, text, sizeof text);
  EXPECT_STREQ(other, text);
}

}  // namespace
