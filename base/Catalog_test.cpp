// Message catalogues: reading what the compiler writes, the lookup rules, damaged
// files, the search along ZOLTENV with its language fallbacks, the language from the
// environment, and the catalogues this build ships.
#include "Catalog.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "Messages.hpp"
#include "Sandbox.hpp"
#include "SrfReader.hpp"

namespace {

namespace fs = std::filesystem;
using zolt::test::ReadFile;
using zolt::test::WriteFile;

// Compiles source into <dir>/<name>.srf with the build's compiler.
void Compile(const std::string& source, const std::string& dir, const std::string& name) {
  fs::create_directories(dir);
  WriteFile(dir + "/" + name + ".msg", source);
  const auto r = zolt::test::RunCommand(zolt::test::ProgramPath("srfc") + " -o " + dir + "/" +
                                        name + ".srf " + dir + "/" + name + ".msg");
  ASSERT_EQ(r.status, 0) << r.err;
}

std::string U16(unsigned v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }

// One section record built by hand, for files the compiler would refuse to write.
std::string Record(const std::string& name, unsigned count, unsigned textSize,
                   const std::string& body) {
  return name + std::string(16 - name.size(), '\0') + U16(count) + U16(textSize) + body;
}

// Sets (value) or unsets (nullptr) an environment variable.
void SetEnv(const char* name, const char* value) {
  value ? ::setenv(name, value, 1) : ::unsetenv(name);
}

class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override { Catalog_Init(); }
  void TearDown() override {
    if (cat_) Catalog_CloseCatalogue(cat_);
  }
  // The catalogue compiled from kSource, opened.
  void OpenRound();
  std::string Get(const std::string& section, std::uint32_t number) {
    char text[5120];
    Catalog_GetString(cat_, section, number, text);
    return StrIn(text).str();
  }
  Catalog_Catalogue cat_ = nullptr;
};

const char kSource[] =
    "[Middle]\n"
    "10 ten\n"
    "0 zero\n"
    "65535 last %s of %d\n"
    "5\n"
    "[Aardvark]\n"
    "1 Gr\xC3\xBC\xC3\x9F"
    "e\\n\\tzwei\n"
    "[SixteenCharsLong]\n"
    "2 full-length name\n"
    "[Zulu]\n"
    "3 tail\n";

void CatalogTest::OpenRound() {
  Compile(kSource, "xx", "round");
  cat_ = Catalog_OpenForeignCatalogue("round.srf", "xx");
  ASSERT_NE(cat_, nullptr);
}

TEST_F(CatalogTest, ReadsEveryTextTheCompilerWrote) {
  OpenRound();
  EXPECT_EQ(Catalog_catError, Catalog_ok);

  // Every text of the file as the independent reader sees it, through both lookups.
  const auto file = zolt::test::ReadSrf("xx/round.srf");
  ASSERT_EQ(file.problem, "");
  std::size_t seen = 0;
  for (const auto& s : file.sections) {
    for (const auto& [number, text] : s.texts) {
      EXPECT_EQ(Get(s.name, number), text) << s.name << " " << number;
      EXPECT_EQ(Catalog_catError, Catalog_ok);
      EXPECT_STREQ(Catalog_GetStringRef(cat_, s.name, number), text.c_str());
      ++seen;
    }
  }
  EXPECT_EQ(seen, 7u);
  EXPECT_EQ(Get("Aardvark", 1),
            "Gr\xFC\xDF"
            "e\n\tzwei");
}

TEST_F(CatalogTest, AbsentTextsGiveQuestionMarksAndSayWhy) {
  OpenRound();
  const struct {
    const char* section;
    std::uint32_t number;
    unsigned error;
  } cases[] = {
      {"Aaa", 1, Catalog_sectionNotFound},   // sorts before every section
      {"Mid", 10, Catalog_sectionNotFound},  // a prefix of a section
      {"Middlee", 10, Catalog_sectionNotFound},
      {"Zz", 3, Catalog_sectionNotFound},     // after every section
      {"Middle", 7, Catalog_numberNotFound},  // between two numbers
      {"Middle", 65536, Catalog_numberNotFound},
      {"Middle", 70000, Catalog_numberNotFound},
      {"SixteenCharsLongX", 2, Catalog_sectionNotFound},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Get(c.section, c.number), "???") << c.section << " " << c.number;
    EXPECT_EQ(Catalog_catError, c.error) << c.section << " " << c.number;
  }
  Catalog_Catalogue none = nullptr;
  char text[16];
  Catalog_GetString(none, "Middle", 10, text);
  EXPECT_STREQ(text, "???");
  EXPECT_EQ(Catalog_catError, Catalog_noCatalogue);
}

TEST_F(CatalogTest, EnumeratesASectionInIndexOrder) {
  OpenRound();
  Catalog_StartSection(cat_, "Middle");
  EXPECT_EQ(Catalog_catError, Catalog_ok);
  std::vector<std::pair<std::uint32_t, std::string>> got;
  std::uint32_t number = 99;
  while (const char* text = Catalog_NextStringRef(cat_, number)) got.emplace_back(number, text);
  EXPECT_EQ(number, 0u);
  const std::vector<std::pair<std::uint32_t, std::string>> expected = {
      {0, "zero"}, {5, ""}, {10, "ten"}, {65535, "last %s of %d"}};
  EXPECT_EQ(got, expected);

  Catalog_StartSection(cat_, "Nothing");
  EXPECT_EQ(Catalog_catError, Catalog_enumNotFound);
  EXPECT_EQ(Catalog_NextStringRef(cat_, number), nullptr);
}

TEST_F(CatalogTest, RecordsEndTheFileWhereAReadFailsOrACountIsTooLarge) {
  const std::string a = Record("A", 1, 2, U16(1) + U16(0) + std::string("a\0", 2));
  const std::string c = Record("C", 1, 2, U16(1) + U16(0) + std::string("c\0", 2));
  fs::create_directories("xx");
  // The texts of (A, 1) and (C, 1) in a catalogue of the given bytes.
  auto texts = [this](const std::string& bytes) {
    WriteFile("xx/t.srf", bytes);
    Catalog_CloseCatalogue(cat_);
    EXPECT_EQ(cat_, nullptr);
    cat_ = Catalog_OpenForeignCatalogue("t.srf", "xx");
    EXPECT_NE(cat_, nullptr);
    return cat_ ? Get("A", 1) + "|" + Get("C", 1) : "";
  };
  // A count above 15000 ends the reading: the record and all after it are ignored.
  EXPECT_EQ(texts(a + Record("B", 15001, 0, "") + c), "a|???");
  // A few bytes after the last record are not a record: no damage.
  EXPECT_EQ(texts(a + c + "C\0\0"), "a|c");
  // An empty file is a catalogue without sections.
  EXPECT_EQ(texts(""), "???|???");
  EXPECT_EQ(Catalog_catError, Catalog_sectionNotFound);
}

TEST_F(CatalogTest, DamagedFilesAreReportedAndNotOpened) {
  const std::string a = Record("A", 1, 2, U16(1) + U16(0) + std::string("a\0", 2));
  const std::map<std::string, std::string> damaged = {
      {"index cut short", a + Record("B", 2, 2, U16(1) + U16(0) + U16(2))},
      {"texts cut short", a + Record("B", 1, 8, U16(1) + U16(0) + "abc")},
      {"offset outside the texts", Record("B", 1, 2, U16(1) + U16(9) + std::string("b\0", 2))},
  };
  fs::create_directories("xx");
  for (const auto& [what, bytes] : damaged) {
    WriteFile("xx/bad.srf", bytes);
    Messages_IgnoreErrors(true);
    Catalog_Catalogue cat = Catalog_OpenForeignCatalogue("bad.srf", "xx");
    Messages_IgnoreErrors(false);
    EXPECT_EQ(cat, nullptr) << what;
    EXPECT_EQ(Catalog_catError, Catalog_fileDamaged) << what;
    EXPECT_EQ(Messages_ErrorCount(true), 2u) << what;  // the file name and ("Catalog", 0)
    char reason[5120];
    char expected[5120];
    Messages_GetMsg("Catalog", 0, expected);
    ASSERT_TRUE(Messages_ErrorReason(reason));
    EXPECT_STREQ(reason, expected) << what;
    ASSERT_TRUE(Messages_ErrorReason(reason));
    EXPECT_NE(std::string(reason).find("xx/bad.srf"), std::string::npos) << reason;
  }
  EXPECT_EXIT(Catalog_OpenForeignCatalogue("bad.srf", "xx"), ::testing::ExitedWithCode(2),
              "xx/bad.srf");
}

TEST_F(CatalogTest, FindsFilesHereThenAlongZoltEnvThenInEnglishThenGerman) {
  const std::string root = zolt::test::SandboxDir();
  Compile("[S]\n1 here-fra\n", "fra", "t");
  Compile("[S]\n1 first-fra\n", root + "/first/fra", "t");
  Compile("[S]\n1 second-fra\n[S2]\n1 only-second\n", root + "/second/fra", "t");
  Compile("[S]\n1 second-eng\n", root + "/second/eng", "t");
  Compile("[S]\n1 first-deu\n", root + "/first/deu", "t");
  const std::string oldEnv = std::getenv("ZOLTENV");
  SetEnv("ZOLTENV", (":" + root + "/first::" + root + "/second").c_str());
  SetEnv("LANG", "fr_FR.UTF-8");

  auto textOf = [](Catalog_Catalogue cat) {
    char text[64];
    Catalog_GetString(cat, "S", 1, text);
    return StrIn(text).str();
  };
  const std::pair<std::string, std::string> steps[] = {
      {"fra/t.srf", "here-fra"},
      {root + "/first/fra/t.srf", "first-fra"},
      {root + "/second/fra/t.srf", "second-fra"},
      {root + "/second/eng/t.srf", "second-eng"},  // no French left: English
      {root + "/first/deu/t.srf", "first-deu"},    // no English left: German
  };
  for (const auto& [remove, expected] : steps) {
    cat_ = Catalog_OpenCatalogue("t.srf");
    ASSERT_NE(cat_, nullptr) << expected;
    EXPECT_EQ(textOf(cat_), expected);
    Catalog_CloseCatalogue(cat_);
    fs::remove(remove);
  }
  cat_ = Catalog_OpenCatalogue("t.srf");
  EXPECT_EQ(cat_, nullptr);
  EXPECT_EQ(Catalog_catError, Catalog_fileNotFound);

  // A foreign catalogue is taken in its own language only.
  Compile("[S]\n1 second-eng\n", root + "/second/eng", "t");
  EXPECT_EQ(Catalog_OpenForeignCatalogue("t.srf", "fra"), nullptr);
  EXPECT_EQ(Catalog_catError, Catalog_fileNotFound);
  cat_ = Catalog_OpenForeignCatalogue("t.srf", "eng");
  ASSERT_NE(cat_, nullptr);
  EXPECT_EQ(textOf(cat_), "second-eng");
  SetEnv("ZOLTENV", oldEnv.c_str());
  SetEnv("LANG", nullptr);
}

TEST(CatalogLanguage, ComesFromLanguageThenLang) {
  Catalog_Init();
  const struct {
    const char* language;  // nullptr: unset
    const char* lang;
    const char* expected;
  } cases[] = {
      {nullptr, nullptr, "dft"},   {"", "", "dft"},
      {nullptr, "de_DE", "deu"},   {nullptr, "de_AT.UTF-8", "deu"},
      {nullptr, "en_US", "eng"},   {nullptr, "fr_FR", "fra"},
      {nullptr, "it_IT", "ita"},   {nullptr, "es_ES", "spa"},
      {nullptr, "pl_PL", "pol"},   {nullptr, "pt_BR", "por"},
      {nullptr, "german", "deu"},  {nullptr, "German", "deu"},
      {nullptr, "English", "eng"}, {nullptr, "english", "eng"},
      {nullptr, "C", "C"},         {"fr", "de_DE", "fra"},
      {"", "it_IT", "ita"},        {"en_GB:de", "de_DE", "eng"},
  };
  for (const auto& c : cases) {
    SetEnv("LANGUAGE", c.language);
    SetEnv("LANG", c.lang);
    char lang[4];
    Catalog_GetLanguage(lang, "dft");
    EXPECT_EQ(std::string(lang, StrIn(lang).length()), c.expected)
        << (c.language ? c.language : "(unset)") << " / " << (c.lang ? c.lang : "(unset)");
  }
  ::unsetenv("LANGUAGE");
  ::unsetenv("LANG");
}

// The catalogues of this build: well-formed, readable by the runtime text for text, and
// the same (section, number) pairs in English and German.
TEST(BuiltCatalogues, AreWellFormedAndCompleteInBothLanguages) {
  Catalog_Init();
  const fs::path env = fs::path(zolt::test::BuildDir()) / "env";
  std::map<std::string, std::map<std::string, std::set<std::pair<std::string, unsigned>>>> keys;
  std::size_t files = 0;
  for (const char* lang : {"eng", "deu"}) {
    for (const auto& entry : fs::directory_iterator(env / lang)) {
      if (entry.path().extension() != ".srf") continue;
      ++files;
      const std::string fileName = entry.path().filename().string();
      const auto file = zolt::test::ReadSrf(entry.path().string());
      EXPECT_EQ(file.problem, "") << entry.path();
      Catalog_Catalogue cat = Catalog_OpenForeignCatalogue(fileName, StrIn::FromC(lang));
      ASSERT_NE(cat, nullptr) << entry.path();
      for (const auto& s : file.sections) {
        EXPECT_LE(s.texts.size(), 15000u);
        for (const auto& [number, text] : s.texts) {
          EXPECT_EQ(std::string(Catalog_GetStringRef(cat, s.name, number)), text)
              << entry.path() << " " << s.name << " " << number;
          keys[fileName][lang].emplace(s.name, number);
        }
      }
      Catalog_CloseCatalogue(cat);
    }
  }
  EXPECT_GE(files, 8u);
  for (auto& [fileName, byLang] : keys) {
    for (const auto& [from, to] : {std::pair{"eng", "deu"}, std::pair{"deu", "eng"}}) {
      for (const auto& [section, number] : byLang[from]) {
        EXPECT_TRUE(byLang[to].count({section, number}))
            << fileName << ": (" << section << ", " << number << ") has no " << to << " text";
      }
    }
  }
}

}  // namespace
