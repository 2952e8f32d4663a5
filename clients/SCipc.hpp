// Pipe transport between local clients and a server: services offered through a
// named local (Unix-domain) stream socket in a directory of the installation ("scipc"
// below the first directory of ZOLTDAT), one exchange per connected client.
//
//   <dir>/<service>        the service's socket; a client connects to it
//
// A request travels as one frame: its length and the client's process id (4 bytes
// each, host order: the frames never leave the machine), then the request bytes. An
// answer is a 4-byte length and the answer bytes. Each client has its own exchange, so
// a frame that cannot be read (too long, cut off) ends that client's exchange only.
// The server knows its clients' process and user from the kernel, not from what the
// frames claim. The socket may be used by the server's own user and the members of
// its group (mode 0660); the directory is writable by the server's user only, so no one
// else can put a socket of their own in the service's place.
//
// SCipc_error after each operation:
//   0 success        1 request too long          2 time-out waiting for the answer
//   3 system error (also: not allowed to use the service)
//   4 the server went away      5 the service does not exist
//   14 broken pipe: the server is gone (found while sending)
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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

// One request as the server receives it.
struct SCipc_Request {
  int client = 0;  // the exchange it came through, unique for the life of the server
  int pid = 0;     // the client's process, as the kernel reports it
  int uid = -1;    // the client's user, as the kernel reports it
  std::string bytes;
};

// Offers a service: creates its socket. nullptr (with a reason) when the directory
// cannot be made or a live server already offers the service.
SCipc_Server* SCipc_Offer(StrIn service, std::string& error);
// Descriptor to wait on for new clients and requests.
int SCipc_ServerFd(const SCipc_Server* server);
// Takes in new clients and what arrived: appends the whole requests in arrival order
// and the exchanges that ended (the client went, or sent a frame that cannot be read).
void SCipc_Serve(SCipc_Server* server, std::vector<SCipc_Request>& requests,
                 std::vector<int>& ended);
// Answers the client of an exchange. False when it is gone.
bool SCipc_Answer(SCipc_Server* server, int client, std::string_view answer);
// Withdraws the service and frees the server.
void SCipc_Withdraw(SCipc_Server*& server);
