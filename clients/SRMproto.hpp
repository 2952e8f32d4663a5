// The resource manager's request vocabulary: the socket protocol "DUrazaze", the byte
// layout of requests and answers on the pipe service "RM2.2.6", and the translation of
// reservation names into patterns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "SProtocol.hpp"
#include "SRegExpr.hpp"
#include "Strings.hpp"

inline constexpr std::string_view SRMproto_serverName = "DUrazaze";
inline constexpr int SRMproto_defaultPort = 5624;
inline constexpr int SRMproto_bufferSize = 8192;
// Identifier of the pipe service.
inline constexpr std::string_view SRMproto_service = "RM2.2.6";

// Socket request names.
inline constexpr std::string_view SRMproto_reserve = "RESERVE";
inline constexpr std::string_view SRMproto_use = "USE";
inline constexpr std::string_view SRMproto_release = "RELEASE";
inline constexpr std::string_view SRMproto_free = "FREE";
inline constexpr std::string_view SRMproto_vmDemon = "VMDEMON";
inline constexpr std::string_view SRMproto_debug = "DEBUG";
inline constexpr std::string_view SRMproto_dump = "DUMP";

// Pipe request letters.
inline constexpr char SRMproto_letterReserve = 'R';
inline constexpr char SRMproto_letterUse = 'U';
inline constexpr char SRMproto_letterRelease = 'L';
inline constexpr char SRMproto_letterFree = 'F';
inline constexpr char SRMproto_letterDemon = 'A';
inline constexpr char SRMproto_letterDebug = 'D';  // debug switch or dump

// The host field of a pipe request: 16 characters and room for the verbose mark.
inline constexpr std::size_t SRMproto_hostField = 17;
// Length of the answer to a refused reservation.
inline constexpr std::size_t SRMproto_refusalLength = 36;
inline constexpr std::string_view SRMproto_grantAnswer = "OK";
// Patterns are at most this long; characters that would not fit are dropped.
inline constexpr std::size_t SRMproto_maxPattern = 1023;

void SRMproto_Init();

// The socket protocol with its seven requests.
std::unique_ptr<SProtocol> SRMproto_CreateProtocol();

// True when requests go over sockets, false when the flag
// "DURAZAZE_USE_SCIPC_SERVICES" selects the pipe service.
bool SRMproto_UseSocketService();

// Bytes used for the process id in a pipe request: 4 on a system whose name begins
// with "IRIX" at release 6.5 or later, 2 everywhere else.
std::size_t SRMproto_PidSizeFor(std::string_view sysname, std::string_view release);
std::size_t SRMproto_PidSize();  // for this machine

// A pipe request: letter, flag byte (255 with trapPrematureDeath), the process id with
// its least significant byte first, the host in 17 NUL-filled bytes (at most 16
// characters; an empty host stands for this machine), the name and one NUL.
std::string SRMproto_BuildRequest(char letter, bool trapPrematureDeath, int pid, StrIn host,
                                  StrIn name);
// Marks a built reserve request as verbose: byte 16 of the host field becomes 1 when
// byte 15 is NUL (a 16-character host leaves no room for the mark).
void SRMproto_MarkVerbose(std::string& request);
bool SRMproto_IsVerbose(std::string_view request);
// The inverse of SRMproto_BuildRequest. False when the bytes are too short for the
// layout or the name has no terminating NUL.
bool SRMproto_SplitRequest(std::string_view request, char& letter, bool& trapPrematureDeath,
                           StrOut host, int& pid, StrOut name);

// Process numbers of job holders lie above every process id the system hands out.
inline constexpr std::int32_t SRMproto_firstHolderPid = 0x40000000;
// A use, release or free on behalf of a job's holder, whose number does not fit the
// request's own process id field: the number follows the name's NUL in 4 bytes, least
// significant first. Only numbers of job holders are carried.
void SRMproto_AddHolder(std::string& request, std::int32_t holderPid);
// The holder a request names after its name; 0 when it names none.
std::int32_t SRMproto_Holder(std::string_view request);

// Answer to a refused reservation: "NO", the holder's host in bytes 3 to 19 and its
// process id as decimal text in bytes 20 to 35.
std::string SRMproto_RefusalAnswer(StrIn holderHost, int holderPid);
// Reads the holder from a refusal; false when the answer is too short for it.
bool SRMproto_ParseRefusal(std::string_view answer, StrOut holderHost, int& holderPid);

// A reservation name as an anchored extended regular expression: "*" becomes ".*", "?"
// becomes ".", and "$", "(", ")", "+", ".", "[", "]", "^" and "|" stand for themselves.
void SRMproto_Pattern(StrIn name, StrOut pattern);
// The same, compiled; SRegExpr_Nil when it does not compile.
SRegExpr SRMproto_RegExpr(StrIn name);
