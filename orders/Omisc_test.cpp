#include "Omisc.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "DirAcces.hpp"

namespace {

TEST(OmiscTest, ThisMachineIsValidAnUnreachableHostIsNot) {
  Omisc_Init();
  char before[1024], after[1024];
  DirAcces_CurrentDir(before);
  EXPECT_TRUE(Omisc_ValidHost(Omisc_thisHost));
  EXPECT_FALSE(Omisc_ValidHost("no-such-host-of-the-suite"));
  EXPECT_FALSE(Omisc_ValidHost(""));
  // A host whose file systems are mounted below the network root.
  char far[1024];
  DirAcces_NetPath("farhost", "", far);
  std::filesystem::create_directories(far);
  EXPECT_TRUE(Omisc_ValidHost("farhost"));
  DirAcces_CurrentDir(after);
  EXPECT_STREQ(after, before);
}

}  // namespace
