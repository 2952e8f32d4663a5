// Reservations at the resource manager "DUrazaze": the client side.
//
// A reservation name is a bounded string of up to 256 characters, by convention scope,
// thing and suffix joined by colons ("*:/projects/orders/A.aif:*"); "*" and "?" act as
// wildcards. The process keeps the reservations it holds in SRM_resourceLst with a use
// count, so that reserving a name again that a held entry matches only announces the
// further use ("USE") instead of asking for a new grant.
//
// Requests go over a socket connection to the server, or over the pipe service
// "RM2.2.6" when the flag "DURAZAZE_USE_SCIPC_SERVICES" is set. The connection is made
// by the first request and kept for the life of the process.
//
// Errors (section "SRM", after SRM_error is set): 1 no connection to the resource manager
// (reserve only), 2 a request on the pipe transport failed. Both end the program unless
// the caller has opened an ignore bracket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SCipc.hpp"
#include "SClient.hpp"
#include "SProtocol.hpp"
#include "SRegExpr.hpp"
#include "Strings.hpp"

// One held reservation.
struct SRM_Resource {
  SRM_Resource* next;
  char name[256];
  SRegExpr pattern;  // the name compiled by SRMproto_RegExpr
  int count;         // uses, at least 1
};

// Who holds a reservation that was refused.
struct SRM_Holder {
  char host[128];
  int pid;  // -1 when the holder was not reported
};

struct SRM_Connection {
  bool useSocket = true;
  SClient_Connection* client = nullptr;
  SCipc_Channel* pipe = nullptr;
  SClient_YieldProc yield = SClient_NoopYield;
  std::unique_ptr<SProtocol> protocol;  // made on the first socket connection
};

extern int SRM_error;
extern bool SRM_connected;
extern int SRM_sequenceCounter;
extern char SRM_localHost[128];
extern SRM_Resource* SRM_resourceLst;  // ordered by name, one entry per name
extern SRM_Connection SRM_connection;

// Time-out of the socket connection (connecting and waiting for replies), milliseconds.
inline constexpr int SRM_connectTimeout = 5000;

// The module's initialisation: runs once and resets the module state.
void SRM_Init();
// Resets the module state: no error, no connection (a connection still open is closed),
// empty held-resource list, counter 0, machine name read again. A process forked from
// one that used the module calls it before its own first request.
void SRM_Reset();
// Resets a holder record to the empty host and -1.
void SRM_InitProcess(SRM_Holder& holder);

// Reserves name; true when granted. With trapPrematureDeath the server releases the
// reservation when this process dies, and the name enters the held-resource list.
bool SRM_Reserve(StrIn name, bool trapPrematureDeath);
// As SRM_Reserve; on refusal fills holder with the holder's host and process id.
bool SRM_ReserveVerbose(StrIn name, bool trapPrematureDeath, SRM_Holder& holder);
// Announces that this process shares a reservation held for it on host.
void SRM_Use(StrIn name, StrIn host, bool trapPrematureDeath);
// Drops one use of the held entry named exactly name, then releases name at the server
// for this machine.
void SRM_Release(StrIn name);
// Releases name at the server for host; the held-resource list stays as it is.
void SRM_ReleaseOnHost(StrIn name, StrIn host);
// Releases one use of the holding named exactly name by process pid on host, for an
// operator clearing a reservation another process left behind. The server grants it only
// to the holding's owner or a privileged user; the held-resource list stays as it is.
void SRM_ReleaseHeldBy(StrIn name, StrIn host, std::int32_t pid);
// Removes every held entry that pattern matches, then frees the pattern at the server
// for this machine.
void SRM_Free(StrIn pattern);
// True when this process holds a matching entry or another holder has it.
bool SRM_QueryInUse(StrIn name);

// Appends the shared-use suffix ":<pid>-<counter>-<host>" (distinct for every call).
void SRM_ReadResource(StrOut name);
// Appends the exclusive-use suffix ":*".
void SRM_UpdateResource(StrOut name);

// Hands reservations over to another holder (a job's): one use of each name for
// holderPid on host, through this process's own connection and transport. False with
// a reason when the server could not be told. On sockets a closing TEST_SERVICE waits
// until the server has handled them; the pipe service handles one client's requests
// in order. Either way a release this process sends afterwards cannot come first.
bool SRM_HandOver(const std::vector<std::string>& names, StrIn host, std::int32_t holderPid,
                  std::string& error);

void SRM_VMDemonStartup();
void SRM_StartDebugLog();
void SRM_StopDebugLog();
void SRM_DumpResourceDatabase(StrIn fileName);

// Connects with the chosen transport; true when connected. Ends the process when
// "VERAR_EMPLOYER" names another machine.
bool SRM_Connect();
void SRM_BanRemoteRequests();

// The yield procedure called while waiting for the server (default: does nothing).
void SRM_SetYieldProcedure(SClient_YieldProc yield);

// Uses of the held entry named exactly name; 0 when there is none.
int SRM_UseCount(StrIn name);
