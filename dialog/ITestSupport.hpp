// Shared set-up of the dialog framework tests: the framework on a fresh virtual display
// with virtual time, and a small test catalogue compiled by drfc in the sandbox.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "I.hpp"
#include "IdlgCat.hpp"
#include "Messages.hpp"
#include "Sandbox.hpp"
#include "TkVirtual.hpp"

namespace zolt::test {

inline const char* kTestLayout = R"(# test catalogue
template short extends text columns=8
context T_Main
  aobj 1 buttons INTEGER
  aobj 2 flag BOOLEAN
  aobj 3 count INTEGER
  aobj 4 amount CARDINAL
  aobj 5 size REAL
  aobj 6 name STRING
  aobj 7 items LIST
  aobj 8 blob Generic size=3
  aobj 9 remembered STRING config=1
  aobj 10 kind INTEGER
  robj 1 shell shell label="Test"
    robj 2 flag toggle aobj=2 label="Flag"
    robj 3 count number aobj=3
    robj 4 amount number aobj=4
    robj 5 size number aobj=5 decimals=1
    robj 6 name short aobj=6
    robj 7 items list aobj=7
    robj 8 row box
      robj 9 ok button aobj=1 value=1 label="OK"
      robj 10 cancel button aobj=1 value=2 label="Cancel" when=10:0,2
    robj 11 remembered text aobj=9
    robj 12 nameShown label aobj=6
end
context T_Child
  aobj 1 buttons INTEGER
  aobj 2 text STRING
  robj 1 shell shell label="Child"
    robj 2 text text aobj=2
    robj 3 ok button aobj=1 value=1 label="OK"
end
)";

// Compiles a layout with drfc into the sandbox; the path of the catalogue.
inline std::string CompileLayout(const std::string& name, const std::string& layout) {
  WriteFile(name + ".dlg", layout);
  const auto r = RunCommand(ProgramPath("drfc") + " -o " + name + ".drf " + name + ".dlg");
  EXPECT_EQ(r.status, 0) << r.err;
  return SandboxDir() + "/work/" + name + ".drf";
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    I_Init();
    TkVirtual_Init();
    tk_ = TkVirtual_Open(true);
    ASSERT_TRUE(IdlgCat_LoadFile(CompileLayout("test", kTestLayout)));
  }
  void TearDown() override { TkVirtual_Close(); }

  // Runs fn inside an ignore bracket; the error number I reported.
  template <typename Fn>
  unsigned Reported(Fn&& fn) {
    const Messages_Ignoring quiet;
    fn();
    Messages_ForgetErrorReasons();
    return I_ilibError;
  }

  Tk_Backend* tk_ = nullptr;
};

}  // namespace zolt::test
