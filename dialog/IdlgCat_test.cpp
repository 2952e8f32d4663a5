#include "IdlgCat.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "ITestSupport.hpp"
#include "Messages.hpp"

using namespace zolt::test;

namespace {

class IdlgCatTest : public ::testing::Test {
 protected:
  void SetUp() override { IdlgCat_Init(); }
  template <typename Fn>
  unsigned Reported(Fn&& fn) {
    Messages_IgnoreErrors(true);
    fn();
    Messages_ForgetErrorReasons();
    Messages_IgnoreErrors(false);
    return IdlgCat_error;
  }
};

const char* kLayout = R"(template base extends text columns=20 tip="from base"
template derived extends base columns=30
context A
  aobj 1 first INTEGER note="the buttons"
  aobj 5 list LIST
  robj 1 shell shell label="Ä title"
    robj 2 row box
      robj 3 deep derived aobj=1
      robj 4 again derived
    robj 5 after label
end
context B
  aobj 7 s STRING value=hello
  robj 1 shell shell
    robj 2 t derived aobj=7 columns=40
end
)";

TEST_F(IdlgCatTest, CompiledLayoutReadsBackWithTemplatesAndTree) {
  ASSERT_TRUE(IdlgCat_LoadFile(CompileLayout("a", kLayout)));
  const IdlgCat_Context* a = IdlgCat_Find("A");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->aobjs.size(), 2u);
  EXPECT_STREQ(a->aobjs[0].name, "first");
  EXPECT_STREQ(a->aobjs[0].note, "the buttons");
  EXPECT_STREQ(IdlgCat_Attr(a->aobjs[0].attrs, a->aobjs[0].tmpl, "type"), "1");
  EXPECT_EQ(a->aobjs[1].number, 5);
  EXPECT_EQ(std::atoi(IdlgCat_Attr(a->aobjs[1].attrs, a->aobjs[1].tmpl, "size")),
            static_cast<int>(sizeof(void*)));
  EXPECT_STREQ(IdlgCat_Attr(a->aobjs[1].attrs, a->aobjs[1].tmpl, "type"),
               "5");  // LIST extends Generic
  ASSERT_EQ(a->robjs.size(), 1u);
  const IdlgCat_RObj& shell = a->robjs[0];
  EXPECT_STREQ(IdlgCat_Attr(shell.attrs, shell.tmpl, "label"), "\xC4 title");  // Latin-1
  ASSERT_EQ(shell.children.size(), 2u);
  const IdlgCat_RObj& deep = shell.children[0].children[0];
  EXPECT_EQ(deep.number, 3);
  EXPECT_EQ(deep.aobj, 1);
  EXPECT_STREQ(IdlgCat_Attr(deep.attrs, deep.tmpl, "columns"), "30");
  EXPECT_STREQ(IdlgCat_Attr(deep.attrs, deep.tmpl, "tip"), "from base");
  EXPECT_STREQ(IdlgCat_Attr(deep.attrs, deep.tmpl, "class"), "text");
  EXPECT_EQ(IdlgCat_Attr(deep.attrs, deep.tmpl, "nothing"), nullptr);
  // Later references to a template (here in another context) share the first one.
  const IdlgCat_Context* b = IdlgCat_Find("B");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->robjs[0].children[0].tmpl, deep.tmpl);
  EXPECT_EQ(shell.children[0].children[1].tmpl, deep.tmpl);
  EXPECT_STREQ(IdlgCat_Attr(b->robjs[0].children[0].attrs, deep.tmpl, "columns"), "40");
  EXPECT_EQ(shell.children[1].number, 5);
  EXPECT_EQ(shell.children[1].aobj, 0);
}

TEST_F(IdlgCatTest, PoolSearchesNewestFirstAndLoadsEachNameOnce) {
  ASSERT_TRUE(
      IdlgCat_LoadFile(CompileLayout("one", "context X\n  robj 1 s shell label=one\nend\n")));
  ASSERT_TRUE(
      IdlgCat_LoadFile(CompileLayout("two", "context X\n  robj 1 s shell label=two\nend\n")));
  const IdlgCat_Context* x = IdlgCat_Find("X");
  EXPECT_STREQ(IdlgCat_Attr(x->robjs[0].attrs, nullptr, "label"), "two");
  EXPECT_STREQ(x->catalogue, "two.drf");
  const auto before = IdlgCat_Catalogues().size();
  EXPECT_TRUE(IdlgCat_LoadFile(SandboxDir() + "/work/one.drf"));
  EXPECT_EQ(IdlgCat_Catalogues().size(), before);
  EXPECT_EQ(Reported([] { IdlgCat_GetContext("Nope"); }), 4u);
  EXPECT_EQ(IdlgCat_Find("Nope"), nullptr);
}

TEST_F(IdlgCatTest, FoundAlongZoltEnvByLanguageWithFallbacks) {
  // The sandbox's ZOLTENV holds the built catalogues in eng and deu.
  setenv("LANGUAGE", "de_DE", 1);
  ASSERT_TRUE(IdlgCat_UseContextCat("zoltdlg"));
  const IdlgCat_Context* c = IdlgCat_Find("Imisc_yes");
  ASSERT_NE(c, nullptr);
  EXPECT_STREQ(IdlgCat_Attr(c->robjs[0].attrs, c->robjs[0].tmpl, "label"), "Frage");
  setenv("LANGUAGE", "fr", 1);  // no French catalogues: English
  ASSERT_TRUE(IdlgCat_UseContextCat("ZAREDAVdlg.drf"));
  c = IdlgCat_Find("AskContinue");
  ASSERT_NE(c, nullptr);
  EXPECT_STREQ(IdlgCat_Attr(c->robjs[0].attrs, c->robjs[0].tmpl, "label"), "Continue?");
  EXPECT_EQ(Reported([] { IdlgCat_UseContextCat("missing"); }), 3u);
}

std::string Bytes(std::initializer_list<std::uint32_t> words) {
  std::string s;
  for (auto w : words)
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((w >> (8 * i)) & 0xFF));
  return s;
}

TEST_F(IdlgCatTest, DamagedFilesAreRefusedWithTheirErrorNumber) {
  const std::string good = ReadFile(CompileLayout("g", kLayout));
  ASSERT_GT(good.size(), 40u);
  const struct {
    const char* name;
    std::string bytes;
    unsigned error;
  } cases[] = {
      {"magic.drf", Bytes({24290, 4}) + good.substr(8), 1},
      {"version.drf", Bytes({24291, 3}) + good.substr(8), 2},
      {"empty.drf", "", 6},
      {"cut.drf", good.substr(0, good.size() - 3), 6},
      {"pool.drf", Bytes({24291, 4, 0, 0, 0, 0, 0xFFFFFF}), 6},
      // a pool of one empty identifier, then one context named by identifier 5
      // context "a" with one AObj whose template "a" extends itself, otherwise complete
      {"cycle.drf",
       Bytes({24291, 4, 0, 0, 0, 0, 2}) + std::string(2, '\0') + std::string("\1\0a", 3) +
           Bytes({1, 1, 1, 1, 0, 7, 1}) + std::string(1, '\0') + Bytes({0, 1, 0, 0}),
       6},
      {"badref.drf", Bytes({24291, 4, 0, 0, 0, 0, 1}) + std::string(2, '\0') + Bytes({1, 5}), 6},
  };
  for (const auto& c : cases) {
    WriteFile(c.name, c.bytes);
    EXPECT_EQ(Reported([&] { EXPECT_FALSE(IdlgCat_LoadFile(StrIn::FromC(c.name))); }), c.error)
        << c.name;
  }
  EXPECT_TRUE(IdlgCat_LoadFile(CompileLayout("g2", kLayout)));
}

TEST_F(IdlgCatTest, CompilerRejectsFaultyLayoutsNamingTheLine) {
  const struct {
    const char* layout;
    const char* message;
  } cases[] = {
      {"context A\n  aobj 1 a INTEGER\n  aobj 1 b STRING\n  robj 1 s shell\nend\n",
       "t.dlg:3: AObj number 1 used twice"},
      {"context A\n  aobj 1 a NOPE\n  robj 1 s shell\nend\n", "t.dlg:2: unknown template 'NOPE'"},
      {"context A\n  robj 1 s shell\n    robj 2 b button aobj=4\nend\n",
       "t.dlg:3: RObj bound to unknown AObj 4"},
      {"context A\n  aobj 1 g Generic\n  robj 1 s shell\nend\n",
       "t.dlg:2: a Generic AObj needs size"},
      {"context A\n  robj 1 s label\nend\n", "t.dlg:1: context 'A' needs exactly one top widget"},
      {"context A\n  robj 1 s shell label=\"open\nend\n", "t.dlg:2: missing closing quote"},
      {"context A\n  robj 1 s shell\n", "lacks its 'end'"},
      {"context A\n  aobj 1 a shell\n  robj 1 s shell\nend\n", "'shell' is no value template"},
      {"context A\n  robj 1 s shell\n    robj 2 l list select=some\nend\n",
       "t.dlg:3: bad select 'some'"},
      {"template one extends list select=single\ncontext A\n  robj 1 s shell\n"
       "    robj 2 t text\n    robj 3 b box\n      robj 4 l one\n      robj 5 x text "
       "select=single\nend\n",
       "t.dlg:7: select= is only for widgets of class list"},
      {"context A\n  robj 1 s shell\n    robj 2 b box orient=diagonal\nend\n",
       "t.dlg:3: bad orient 'diagonal'"},
      {"context A\n  robj 1 s shell\n    robj 2 l list orient=horizontal\nend\n",
       "t.dlg:3: orient= is only for widgets of class box"},
  };
  for (const auto& c : cases) {
    WriteFile("t.dlg", c.layout);
    const auto r = RunCommand(ProgramPath("drfc") + " -o t.drf t.dlg");
    EXPECT_EQ(r.status, 1) << c.layout;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_TRUE(ReadFile("t.drf").empty());
  }
}

}  // namespace
