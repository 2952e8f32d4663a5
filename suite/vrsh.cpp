// vrsh: the remote shell of machines that have none. It runs the command for this host
// only and refuses any other, so that remote device names like "localhost:/dev/nst0"
// work on one machine. The tape layer uses it when VM_REMOTE_SHELL names it. Built a
// second time as "rcmd", the remote command program that restore jobs call to register
// an order on the host of its orders directory ("rcmd HOST \"COMMAND\"").
//
//   vrsh HOST [-l USER] COMMAND [ARGUMENT...]
//
// HOST must be this machine: "localhost", a loopback address, or the host name (full
// or short). USER, when given, must be the user running vrsh. The command words are
// joined with blanks and run by /bin/sh, as a remote shell does; its exit status is
// vrsh's. A refused host or user: a message on standard error and exit status 1; a wrong
// command line: exit status 2.
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Processe.hpp"
#include "UArgs.hpp"

extern char** environ;

#ifndef VRSH_NAME
#define VRSH_NAME "vrsh"
#endif

namespace {

constexpr char kName[] = VRSH_NAME;

[[noreturn]] void Exit(int status) {
  Processe_SetExitStatus(status);
  Processe_Exit();
}

bool ThisHost(const std::string& host) {
  if (host == "localhost" || host == "127.0.0.1" || host == "::1") return true;
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return false;
  const std::string full = name;
  return host == full || host == full.substr(0, full.find('.'));
}

}  // namespace

int main(int argc, char** argv) {
  M2C_INIT(argc, argv, environ);
  Processe_Init();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--help") {
    std::printf(
        "usage: %s HOST [-l USER] COMMAND [ARGUMENT...]\n"
        "Runs the command on this host (the only host it serves).\n",
        kName);
    Exit(0);
  }
  if (args.size() >= 3 && args[1] == "-l") {
    const passwd* me = ::getpwuid(::getuid());
    if (me == nullptr || args[2] != me->pw_name) {
      std::fprintf(stderr, "%s: cannot run commands as user %s, only as %s\n", kName,
                   args[2].c_str(), me != nullptr ? me->pw_name : "the calling user");
      Exit(1);
    }
    args.erase(args.begin() + 1, args.begin() + 3);
  }
  if (args.size() < 2) {
    std::fprintf(stderr, "usage: %s HOST [-l USER] COMMAND [ARGUMENT...]\n", kName);
    Exit(2);
  }
  if (!ThisHost(args[0])) {
    std::fprintf(stderr, "%s: host %s is not this machine; %s runs commands only here\n", kName,
                 args[0].c_str(), kName);
    Exit(1);
  }
  std::string command;
  for (std::size_t i = 1; i < args.size(); ++i) command += (i > 1 ? " " : "") + args[i];
  std::fflush(stdout);
  ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
  std::fprintf(stderr, "%s: /bin/sh: %s\n", kName, std::strerror(errno));
  Exit(1);
}
