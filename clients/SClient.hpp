// Client connections to the suite's servers over the request protocol.
//
// A connection knows its server through a protocol description (SProtocol). Connecting
// tries the server's port (the protocol's, or the value of VM_<SERVER>_PORT); when the
// first try fails on the local machine the server is started in the background with
// "<server> </dev/null &", and further tries follow every 300 ms until the time-out is
// used up, calling the yield procedure between them. Once connected the connection
// announces itself with "CLIENTID".
//
// Waiting for a reply happens in slices of 100 ms with the yield procedure called
// between slices, so that a caller with a user interface stays alive.
//
// Connection error numbers (section "SClient"):
//   100 the server could not be reached      101 time-out waiting for a reply
//   102 reply without status                 104 reply not ended by a line feed
//   105 the request object could not be built
//   106 a listener connection cannot send a request with a result
//   107 sending failed
// A reply with a status other than 0 keeps that status as the error number and the
// server's text as the error text.
#pragma once

#include <cstdint>
#include <string>

#include "SProtocol.hpp"
#include "SReqObj.hpp"
#include "Strings.hpp"

struct SClient_Connection;

using SClient_YieldProc = void (*)();
// Receives the objects a server sends on its own to a listener connection.
using SClient_Listener = void (*)(SClient_Connection* connection, const SReqObj& event);

inline constexpr int SClient_errNoServer = 100;
inline constexpr int SClient_errTimeout = 101;
inline constexpr int SClient_errNoStatus = 102;
inline constexpr int SClient_errNoLineEnd = 104;
inline constexpr int SClient_errBadRequest = 105;
inline constexpr int SClient_errListener = 106;
inline constexpr int SClient_errSend = 107;

// Client type announced in "CLIENTID" by every connection of this process.
extern std::int32_t SClient_clientType;

void SClient_Init();

// The yield procedure that does nothing.
void SClient_NoopYield();

// Connects to the protocol's server on host (empty: this machine). timeoutMs < 0 waits
// without limit; the same time-out later bounds the wait for replies. The connection
// object is returned also when connecting failed (see SClient_IsConnected and
// SClient_GetError) so that it can be retried; nullptr only without a protocol.
SClient_Connection* SClient_Connect(StrIn host, int timeoutMs, SClient_Listener listener,
                                    const SProtocol* protocol, SClient_YieldProc yield);
// Connects again (closing the old socket first). True when connected.
bool SClient_Reconnect(SClient_Connection* connection);
bool SClient_IsConnected(const SClient_Connection* connection);
// Closes the connection and frees it; connection becomes nullptr.
void SClient_CloseConn(SClient_Connection*& connection);

// Sends a request of the protocol table. params is the array of parameters (a single
// non-array value stands for a one-element array). A request with a result waits for
// the reply and puts the result elements, as one array, into *result when result is
// given. False on any failure, with the connection's error set. A lost connection is
// re-established first.
bool SClient_SendRequest(SClient_Connection* connection, StrIn name, int version,
                         const SReqObj& params, SReqObj* result);
bool SClient_SendKnownRequest(SClient_Connection* connection, const SProtocol_Request& request,
                              const SReqObj& params, SReqObj* result);

// The last error number (0: none) and its text, cut to 255 characters.
int SClient_GetError(const SClient_Connection* connection, StrOut text);
std::string SClient_ErrorText(const SClient_Connection* connection);

void SClient_SetYield(SClient_Connection* connection, SClient_YieldProc yield);
void SClient_SetTimeout(SClient_Connection* connection, int timeoutMs);
// Sends "SET_EVENT_MASK" now when connected, and again after every reconnection.
void SClient_SetEventMask(SClient_Connection* connection, std::int32_t mask);
// For a listener connection: waits up to ms for objects from the server and hands each
// to the listener. False when the connection is lost.
bool SClient_ProcessEvents(SClient_Connection* connection, int ms);

// The connection number of the connection (counting from 0 per process), -1 when it
// never connected; the port it uses.
int SClient_ConnectionNumber(const SClient_Connection* connection);
int SClient_Port(const SClient_Connection* connection);
// The port for a protocol: VM_<SERVER>_PORT when set to a number, else the protocol's.
int SClient_ServerPort(const SProtocol& protocol);
