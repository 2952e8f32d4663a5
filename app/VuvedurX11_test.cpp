// The backup dialog's job roots and order list on a real X server: the scripted session
// of the application's own tests, this time through the X11 display under a private Xvfb.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "PrivateXvfb.hpp"
#include "SRM.hpp"
#include "TkX11.hpp"
#include "VuvedurTestJobs.hpp"

namespace {

class VuvedurX11 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zolt::test::PrivateXvfb::Installed()) GTEST_SKIP() << "Xvfb is not installed";
    display_ = xvfb_.Start();
    ASSERT_FALSE(display_.empty());
    DirAcces_SetInstallRoot(vuvedur_test::SandboxDir());
    Vuvedur_Init();
    SRM_Reset();
    TkX11_Init();
    IScript_Init();
  }
  void TearDown() override {
    if (display_.empty()) return;
    orders_test::StopResourceManager();
  }

  zolt::test::PrivateXvfb xvfb_;
  std::string display_;
};

TEST_F(VuvedurX11, SwitchingRootsAndListingOrders) {
  vuvedur_test::Session session;
  session.Prepare();
  // The connection to the server belongs to the process that runs the dialog.
  session.openDisplay = [this] { return TkX11_Open(display_.c_str()) != nullptr; };
  std::chrono::milliseconds took{};
  const auto r = session.Run(took);
  EXPECT_TRUE(r.exited && r.exitStatus == 0) << r.exitStatus << " " << r.err;
  EXPECT_GE(took, std::chrono::milliseconds(11 * 250));  // the held order's attempts
}

}  // namespace
