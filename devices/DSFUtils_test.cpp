// File operations on dynamic strings against the sandbox's file system.
#include "DSFUtils.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "Messages.hpp"
#include "Sandbox.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::WriteFile;

// A string to pass (released at the end of the test).
struct Ds {
  explicit Ds(const std::string& text) : ds(DSCreateStr(text.c_str(), 0)) {}
  ~Ds() { DSFree(&ds); }
  operator DS() const { return ds; }
  DS ds;
};

std::string Work() { return zolt::test::SandboxDir() + "/work"; }

TEST(DSFUtilsTest, TempNamesEndInTheSuffixExactlyOnce) {
  DSFUtils_Init();
  const Ds tar(".tar"), upper(".TAR"), empty("");
  DS a = dsNil, b = dsNil, c = dsNil, d = dsNil, e = dsNil;
  DSCreateLongTmpNameWD(&a, tar);
  DSCreateLongTmpNameWD(&b, dsNil);
  DSCreateLongTmpName(&c, upper);
  DSCreateLongUniqueVarName(&d, empty);
  DSCreateLongUniqueVarName(&e, tar);
  const std::string sa = DSStr(a), sb = DSStr(b), sc = DSStr(c), sd = DSStr(d), se = DSStr(e);
  EXPECT_EQ(sa.find(".tar"), sa.size() - 4) << sa;
  EXPECT_TRUE(sa.starts_with("T") && sb.find('/') == std::string::npos) << sb;
  EXPECT_NE(sa.substr(0, 14), sb.substr(0, 14));  // a fresh counter every call
  EXPECT_TRUE(sb.find(".tar") == std::string::npos && !sb.ends_with(".")) << sb;
  EXPECT_EQ(sc.rfind(std::string(std::getenv("TMP")) + "/T", 0), 0u) << sc;
  EXPECT_TRUE(sc.ends_with(".TAR")) << sc;
  const std::string varTmp = std::string(std::getenv("ZOLTDAT")) + "/tmp/T";
  EXPECT_EQ(sd.rfind(varTmp, 0), 0u) << sd;
  EXPECT_EQ(se.rfind(varTmp, 0), 0u) << se;
  EXPECT_TRUE(se.ends_with(".tar") && !sd.ends_with(".")) << sd;
  for (DS* s : {&a, &b, &c, &d, &e}) DSFree(s);
}

TEST(DSFUtilsTest, FileOperationsOnDynamicNames) {
  DSFUtils_Init();
  const Ds deep(Work() + "/x/y/z"), file(Work() + "/x/f"), copy(Work() + "/x/g"),
      link(Work() + "/x/l");
  EXPECT_TRUE(DSAssertDir(deep, 0755));
  EXPECT_TRUE(DSAccess(deep, DirAcces_searchable));
  BFileIO_File f = DSBCreate(file, 1);
  ASSERT_NE(f, BFileIO_Nil);
  BFileIO_Write(f, "bytes\0ok", 8);
  BFileIO_Close(f);
  DSCopy(file, copy);
  EXPECT_EQ(ReadFile(Work() + "/x/g"), std::string("bytes\0ok", 8));
  // The atomic rename replaces the target.
  WriteFile(Work() + "/x/g", "new");
  DSAtomicRename(copy, file);
  EXPECT_EQ(ReadFile(Work() + "/x/f"), "new");
  DSSymlink(file, link);
  DS target = dsNil;
  DSReadLink(link, &target);
  EXPECT_STREQ(DSStr(target), (Work() + "/x/f").c_str());
  DSFree(&target);
  DirAcces_DirEntry entry{};
  DSFileStatN(link, entry);
  EXPECT_EQ(entry.size, 3.0);
  const Ds mode("640");
  DSChMod(file, mode);
  struct stat st {};
  ASSERT_EQ(::stat((Work() + "/x/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  DSRemove(link);
  EXPECT_FALSE(DSAccess(link, DirAcces_exists));
  DSChDir(Ds(Work() + "/x"));
  EXPECT_TRUE(DSAccess(Ds("f"), DirAcces_readable));
}

TEST(DSFUtilsTest, AccessIgnoringCaseFindsEveryComponent) {
  DSFUtils_Init();
  ASSERT_EQ(zolt::test::RunCommand("mkdir -p Orders/Job1 && echo x > Orders/Job1/Info.AIF").status,
            0);
  DS found = dsNil;
  EXPECT_TRUE(DSAccessICASE(Ds("orders/JOB1/info.aif"), DirAcces_readable, &found));
  EXPECT_STREQ(DSStr(found), "Orders/Job1/Info.AIF");
  EXPECT_TRUE(DSAccessICASE(Ds(Work() + "/ORDERS/job1"), DirAcces_searchable, &found));
  EXPECT_EQ(DSStr(found), Work() + "/Orders/Job1");
  // Not there in any case: false, and the last name found stays.
  EXPECT_FALSE(DSAccessICASE(Ds("orders/job2/info.aif"), DirAcces_exists, &found));
  EXPECT_EQ(DSStr(found), Work() + "/Orders/Job1");
  // Found, but without the access asked for.
  ASSERT_EQ(::chmod("Orders/Job1/Info.AIF", 0444), 0);
  EXPECT_FALSE(DSAccessICASE(Ds("orders/job1/INFO.aif"), DirAcces_searchable, &found));
  DSFree(&found);
}

}  // namespace
