// Protocol descriptions: which requests a server understands, with their parameter
// types, and the layout of request and reply messages shared by clients and servers.
//
// A request message is one array: request name (string), request version (integer),
// the asynchronous flag (boolean), then the parameters. The flag is true when the
// sender does not wait for a reply; a server answers exactly the messages whose flag
// is false. A reply is one array whose element 0 is an integer status: 0 means success
// and the remaining elements are the result; otherwise element 1 is the error text.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "SReqObj.hpp"

// Parameter types of a request. Enumerations travel as integers 0 .. values-1.
enum class SProtocol_ParamType { Boolean, Integer, String, Array, Enumeration };

struct SProtocol_Param {
  int index = 0;
  SProtocol_ParamType type = SProtocol_ParamType::String;
  std::string name;
  int values = 0;  // enumerations: number of values
};

struct SProtocol_Request {
  std::string name;
  int version = 1;
  std::vector<SProtocol_Param> params;
  bool hasResult = false;
  bool async = false;
  // The flag sent in the message: the sender waits for a reply only for a synchronous
  // request with a result.
  bool NoReply() const { return async || !hasResult; }
};

struct SProtocol {
  std::string serverName;
  int port = 0;
  int bufferSize = 0;
  std::vector<SProtocol_Request> requests;
};

// Standard requests held by every protocol.
inline constexpr std::string_view SProtocol_clientId = "CLIENTID";
inline constexpr std::string_view SProtocol_testService = "TEST_SERVICE";
inline constexpr std::string_view SProtocol_debugService = "DEBUG_SERVICE";
inline constexpr std::string_view SProtocol_supportedVersions = "SUPPORTED_VERSIONS";
inline constexpr std::string_view SProtocol_setEventMask = "SET_EVENT_MASK";
inline constexpr std::string_view SProtocol_currentClients = "CURRENT_CLIENTS";

void SProtocol_Init();

// A protocol with the standard requests already in its table.
std::unique_ptr<SProtocol> SProtocol_Create(std::string_view serverName, int port, int bufferSize);

// Adds a request with its parameters in order (their indices are set here).
SProtocol_Request& SProtocol_AddRequest(SProtocol& protocol, std::string_view name, int version,
                                        std::vector<SProtocol_Param> params, bool hasResult,
                                        bool async);
SProtocol_Param SProtocol_MakeParam(SProtocol_ParamType type, std::string_view name,
                                    int values = 0);

// The table entry, or nullptr.
const SProtocol_Request* SProtocol_FindRequest(const SProtocol& protocol, std::string_view name,
                                               int version);
// All versions of a request known to the table, ascending.
std::vector<int> SProtocol_Versions(const SProtocol& protocol, std::string_view name);

// Checks the parameters of a request. Empty when they fit, otherwise one of
// "Parameter object has to be of type ARRAY", "Wrong number of parameters",
// "Type mismatch for parameter <name>", "Value out of range for parameter <name>".
std::string SProtocol_CheckParameters(const SProtocol_Request& request, const SReqObj& params);

// The message for a request with its (already checked) parameter array.
SReqObj SProtocol_BuildMessage(const SProtocol_Request& request, const SReqObj& params);

// Splits a received message. False when it does not have the request layout.
struct SProtocol_Message {
  std::string name;
  int version = 0;
  bool noReply = false;
  SReqObj params;  // array of the parameters
};
bool SProtocol_SplitMessage(const SReqObj& message, SProtocol_Message& out);

// Replies.
SReqObj SProtocol_SuccessReply(SReqObj::Elements result = {});
SReqObj SProtocol_ErrorReply(int status, std::string_view text);
