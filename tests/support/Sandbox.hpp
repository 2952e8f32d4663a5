// The private directory each test process works in. Every directory variable of the
// suite and every server port points into it, so no test touches a real installation
// or another test's files.
#pragma once

#include <functional>
#include <string>

namespace zolt::test {

// Root of this process's sandbox (also the current directory at the start of a test).
const std::string& SandboxDir();

// Directory of the build tree (programs in bin/, catalogues in env/).
const std::string& BuildDir();

// A program built into the build tree's bin/.
std::string ProgramPath(const std::string& name);

// Result of running a command through the shell.
struct CommandResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `command` with /bin/sh in the sandbox and collects its output.
CommandResult RunCommand(const std::string& command);

// Writes `text` to `path` (relative paths are taken in the sandbox).
void WriteFile(const std::string& path, const std::string& text);

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// Waits up to ms for condition, looking every 50 ms; whether it came to hold.
bool Eventually(const std::function<bool()>& condition, int ms = 10000);

}  // namespace zolt::test
