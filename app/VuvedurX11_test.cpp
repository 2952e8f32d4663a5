// The backup dialog's job roots and order list on a real X server: the scripted session
// of the application's own tests, this time through the X11 display under a private Xvfb.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "SRM.hpp"
#include "TkX11.hpp"
#include "VuvedurTestJobs.hpp"

namespace {

bool XvfbInstalled() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (std::size_t at = 0; at <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', at), dirs.size());
    if (access((dirs.substr(at, end - at) + "/Xvfb").c_str(), X_OK) == 0) return true;
    at = end + 1;
  }
  return false;
}

class VuvedurX11 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    StartServer();
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
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
    }
  }

  // Xvfb picks a free display number itself and writes it to the pipe.
  void StartServer() {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    server_ = fork();
    if (server_ == 0) {
      close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      if (std::freopen("/dev/null", "w", stderr) == nullptr) _exit(126);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0",
             "1280x1024x24", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c;
    while (poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }

  pid_t server_ = -1;
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
