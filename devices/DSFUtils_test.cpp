// File operations on dynamic strings against the sandbox's file system.
#include "DSFUtils.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

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
  DS a = dsNil, b = dsNil, c = dsNil, d = dsNil;
  DSCreateLongTmpNameWD(&a, Ds(".tar"));
  DSCreateLongTmpNameWD(&b, dsNil);
  DSCreateLongTmpName(&c, Ds(".TAR"));
  DSCreateLongUniqueVarName(&d, Ds(""));
  const std::string sa = DSStr(a), sb = DSStr(b), sc = DSStr(c), sd = DSStr(d);
  EXPECT_TRUE(sa.starts_with("T") && sa.find(".tar") == sa.size() - 4) << sa;
  EXPECT_NE(sa.substr(0, 14), sb.substr(0, 14));  // a fresh counter every call
  EXPECT_TRUE(sb.find_first_of("/.") == std::string::npos) << sb;
  EXPECT_TRUE(sc.starts_with(std::string(std::getenv("TMP")) + "/T") && sc.ends_with(".TAR")) << sc;
  EXPECT_TRUE(sd.starts_with(std::string(std::getenv("ZOLTDAT")) + "/tmp/T") && !sd.ends_with("."));
  for (DS* s : {&a, &b, &c, &d}) DSFree(s);
}

TEST(DSFUtilsTest, FileOperationsOnDynamicNames) {
  DSFUtils_Init();
  const Ds dir(Work() + "/x/y"), file(Work() + "/x/f"), copy(Work() + "/x/g"),
      link(Work() + "/x/l");
  EXPECT_TRUE(DSAssertDir(dir, 0755));
  BFileIO_File f = DSBCreate(file, 1);
  ASSERT_NE(f, BFileIO_Nil);
  BFileIO_Close(f);
  WriteFile(Work() + "/x/g", "new");
  DSCopy(copy, file);
  DSAtomicRename(file, copy);  // replaces the copy
  EXPECT_EQ(ReadFile(Work() + "/x/g"), "new");
  EXPECT_FALSE(DSAccess(file, DirAcces_exists));
  DSSymlink(copy, link);
  DS target = dsNil;
  DSReadLink(link, &target);
  EXPECT_STREQ(DSStr(target), (Work() + "/x/g").c_str());
  DSFree(&target);
  DSChMod(link, Ds("640"));
  DirAcces_DirEntry entry{};
  DSFileStatN(link, entry);
  EXPECT_EQ(entry.size, 3.0);
  EXPECT_EQ(entry.mode & 0777, 0640u);
  DSRemove(link);
  DSChDir(Ds(Work() + "/x"));
  EXPECT_TRUE(DSAccess(Ds("g"), DirAcces_readable) && !DSAccess(Ds("l"), DirAcces_exists));
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
