// Pipe transport between local clients and a server: services offered through named
// pipes in a directory of the installation ("scipc" below the first directory of
// ZOLTDAT).
//
//   <dir>/<service>        the server's request pipe; every client writes to it
//   <dir>/<service>.<pid>  the answer pipe of the client process pid
//
// A request travels as one frame: its length and the client's process id (4 bytes
// each, host order: the pipes never leave the machine), then the request bytes. An
// answer is a 4-byte length and the answer bytes. Frames fit in PIPE_BUF, so writes of
// concurrent clients never mix. Only the service's server reads the request pipe; a
// request pipe without reader means the service is not there.
//
// SCipc_error after each operation:
//   0 success        1 request too long          2 time-out waiting for the answer
//   3 system error   4 the server went away      5 the service does not exist
//   14 broken pipe: the server is gone (found while sending)
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "Strings.hpp"

extern int SCipc_error;

inline constexpr int SCipc_errTooLong = 1;
inline constexpr int SCipc_errTimeout = 2;
inline constexpr int SCipc_errSystem = 3;
inline constexpr int SCipc_errServerGone = 4;
inline constexpr int SCipc_errNoService = 5;
inline constexpr int SCipc_errBrokenPipe = 14;

// Largest request or answer that fits into one frame.
std::size_t SCipc_MaxMessage();

void SCipc_Init();

// The directory of the pipes.
std::string SCipc_Directory();

// ---- Client side ----

struct SCipc_Channel;

// Connects to a service; nullptr with SCipc_error 5 when no server offers it.
SCipc_Channel* SCipc_Connect(StrIn service);
bool SCipc_Send(SCipc_Channel* channel, std::string_view request);
// Waits up to timeoutMs (negative: no limit) for one answer of at most max bytes.
bool SCipc_Receive(SCipc_Channel* channel, std::string& answer, std::size_t max, int timeoutMs);
void SCipc_Close(SCipc_Channel*& channel);

// ---- Server side ----

struct SCipc_Server;

// Offers a service: creates its request pipe. nullptr (with a reason) when the
// directory cannot be made or a live server already offers the service.
SCipc_Server* SCipc_Offer(StrIn service, std::string& error);
// Descriptor to wait on for requests.
int SCipc_ServerFd(const SCipc_Server* server);
// Reads what arrived; then takes the next whole request. False when none is complete.
bool SCipc_NextRequest(SCipc_Server* server, int& pid, std::string& request);
// Answers the client process pid. False when it is gone.
bool SCipc_Answer(SCipc_Server* server, int pid, std::string_view answer);
// Removes the answer pipe a dead client left behind.
void SCipc_ForgetClient(SCipc_Server* server, int pid);
// Withdraws the service and frees the server.
void SCipc_Withdraw(SCipc_Server*& server);
