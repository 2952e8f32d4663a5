// TCP sockets for the request protocol: connecting and listening, Nagle's algorithm,
// writing whole buffers and waiting for input. Descriptors are close-on-exec, so a
// server started by a client never inherits the client's connections.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

void Socket_Init();

// The machine's node name (what gethostname gives).
std::string Socket_NodeName();

// True for the empty host, "localhost", this machine's node name, and names that
// resolve to a loopback address. The local machine is reached through the loopback
// interface, so a node name that does not resolve still works.
bool Socket_IsLocalHost(std::string_view host);

// Connects to host:port; bufferSize > 0 sets the socket's send and receive buffers.
// Returns the descriptor, or -1 with a reason in error.
int Socket_Connect(std::string_view host, int port, int bufferSize, std::string& error);

// Listens on every interface, or with loopbackOnly on the loopback interface only, at
// port (0: any free port). Returns the descriptor or -1.
int Socket_Listen(int port, int backlog, std::string& error, bool loopbackOnly = false);
// The port a listening socket is bound to, or -1.
int Socket_LocalPort(int fd);
// Accepts one connection (non-blocking, close-on-exec), or -1. The peer's address
// in text form goes to peer when given.
int Socket_Accept(int listenFd, std::string* peer);

bool Socket_SetNoDelay(int fd);
bool Socket_SetNonBlocking(int fd, bool on);

// Writes all bytes, waiting while the socket is full; never raises SIGPIPE.
bool Socket_WriteAll(int fd, const char* data, std::size_t n);

enum class Socket_Wait { Ready, Timeout, Error };
// Waits up to ms milliseconds (negative: no limit) until fd can be read.
Socket_Wait Socket_WaitReadable(int fd, int ms);

// Reads what is there, up to n bytes, without blocking: > 0 bytes read, 0 the peer
// closed the connection, -1 an error, -2 nothing to read right now.
long Socket_Read(int fd, char* buffer, std::size_t n);

void Socket_Close(int& fd);
