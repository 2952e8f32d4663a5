// The module check, run as the build runs it: on a small tree of modules that keep the
// rule, then with each kind of disagreement brought in; and zolt_module refusing a line
// whose .cpp is missing.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Sandbox.hpp"

namespace {

using zolt::test::RunCommand;
using zolt::test::WriteFile;

struct Mod {
  Mod(std::string d = "", std::string i = "", std::string c = "", bool declares = true,
      std::string s = "")
      : deps(std::move(d)),
        includes(std::move(i)),
        inits(std::move(c)),
        declaresInit(declares),
        sources(std::move(s)) {}
  std::string deps;      // as on the zolt_module line
  std::string includes;  // #include lines of X.cpp
  std::string inits;     // the calls in X_Init
  bool declaresInit;     // X.hpp declares X_Init
  std::string sources;   // one extra source, which includes B.hpp
};

// Writes the modules into tree/ with a manifest and runs the check.
zolt::test::CommandResult Check(const std::map<std::string, Mod>& mods) {
  RunCommand("rm -rf tree && mkdir tree");
  std::string manifest;
  for (const auto& [name, m] : mods) {
    manifest += name + "\t" + std::filesystem::current_path().string() + "/tree\t" + m.deps + "\t" +
                m.sources + "\n";
    WriteFile("tree/" + name + ".hpp",
              "#pragma once\n" + (m.declaresInit ? "void " + name + "_Init();\n" : ""));
    WriteFile("tree/" + name + ".cpp", "#include \"" + name + ".hpp\"\n" + m.includes +
                                           "\n#include \"UCommon.hpp\"  // no module here\n"
                                           "void " +
                                           name +
                                           "_Init() {\n"
                                           "  static bool started = false;\n"
                                           "  // B_Init(); in a comment does not count\n" +
                                           m.inits + "  Other(\"{ A_Init(); }\");\n}\n");
    if (!m.sources.empty()) WriteFile("tree/" + m.sources, "#include \"B.hpp\"\n");
  }
  WriteFile("manifest", manifest);
  return RunCommand(zolt::test::ProgramPath("modcheck") + " manifest");
}

const std::map<std::string, Mod> kGood = {
    {"A", {"", "#include <vector>", ""}},
    {"B", {"A", "#include \"A.hpp\"", "  A_Init();\n"}},
    {"C", {"A B", "#include \"B.hpp\"\n#include \"../tree/A.hpp\"", "  A_Init();\n  B_Init();\n"}},
};

TEST(Modcheck, ATreeThatKeepsTheRulePassesSilently) {
  const auto r = Check(kGood);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

TEST(Modcheck, EachDisagreementIsNamedWithItsModule) {
  struct Case {
    const char* what;
    std::string module;
    Mod changed;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"an include not in DEPS",
       "B",
       {"A", "#include \"A.hpp\"\n#include \"C.hpp\"", "  A_Init();\n"},
       "tree/B: includes C.hpp but DEPS does not list C: add it to DEPS"},
      {"DEPS without the include",
       "B",
       {"A C", "#include \"A.hpp\"", "  A_Init();\n  C_Init();\n"},
       "tree/B: DEPS lists C but no C.hpp is included"},
      {"a DEPS module not started",
       "C",
       {"A B", "#include \"A.hpp\"\n#include \"B.hpp\"", "  B_Init();\n"},
       "tree/C: C_Init initialises B; DEPS asks for A B (each once, in this order)"},
      {"started in another order",
       "C",
       {"A B", "#include \"A.hpp\"\n#include \"B.hpp\"", "  B_Init();\n  A_Init();\n"},
       "tree/C: C_Init initialises B A; DEPS asks for A B"},
      {"started twice",
       "B",
       {"A", "#include \"A.hpp\"", "  A_Init();\n  A_Init();\n"},
       "tree/B: B_Init initialises A A; DEPS asks for A"},
      {"no declared X_Init", "A", {"", "", "", false}, "tree/A: A.hpp declares no A_Init()"},
      {"DEPS names no module",
       "A",
       {"Tk", "", "  Tk_Init();\n"},
       "tree/A: DEPS lists Tk, which is no module (no zolt_module line)"},
      {"an include in an extra source",
       "A",
       {"", "", "", true, "A2.cpp"},
       "tree/A: includes B.hpp but DEPS does not list B"},
  };
  for (const Case& c : cases) {
    std::map<std::string, Mod> mods = kGood;
    mods[c.module] = c.changed;
    const auto r = Check(mods);
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << "\n" << r.err;
    EXPECT_NE(r.err.find("The rule: a module's DEPS"), std::string::npos) << c.what;
  }

  // A missing file of a module.
  RunCommand("rm tree/B.cpp");
  const auto r = RunCommand(zolt::test::ProgramPath("modcheck") + " manifest");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("tree/B: B.cpp is missing"), std::string::npos) << r.err;
}

TEST(Modcheck, AModuleLineWithoutItsCppStopsTheConfiguration) {
  RunCommand("mkdir proj");
  WriteFile("proj/CMakeLists.txt",
            "cmake_minimum_required(VERSION 3.20)\n"
            "project(probe NONE)\n"
            "include(" ZOLT_SOURCE_DIR
            "/cmake/Zolt.cmake)\n"
            "zolt_module(Gone DEPS UCommon)\n");
  WriteFile("proj/Gone.hpp", "#pragma once\n");
  const auto r = RunCommand(std::string(ZOLT_CMAKE) + " -S proj -B proj/build");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("proj/Gone.cpp does not exist"), std::string::npos) << r.err;
}

}  // namespace
