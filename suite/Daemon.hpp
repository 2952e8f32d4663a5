// What the stand-in servers share as daemons: leaving the starting client's session and
// descriptors, their data directory, and the pid file kept while they serve.
#pragma once

#include <functional>
#include <string>

void Daemon_Init();

// A new session with standard input and output on /dev/null and no other descriptors
// (a client that starts the server may pass some on by accident).
void Daemon_Detach();

// Runs as a server process: SIGTERM and SIGINT end the request loop (so the service is
// withdrawn and the pid file goes), SIGHUP is ignored.
void Daemon_TakeSignals();

// The first directory of ZOLTDAT.
std::string Daemon_DatDir();

// Runs serve while "<ZOLTDAT>/<name>-<port>.pid" holds the process id. A pid file
// that cannot be written, or a request loop that failed, ends the process with status
// 1 and the reason on standard error: a server nobody can find or stop must not run.
void Daemon_ServeWithPidFile(const std::string& name, int port, const std::function<void()>& serve);

// Writes the pid file (through a temporary file and a rename); false with a reason.
bool Daemon_WritePidFile(const std::string& path, std::string& error);
