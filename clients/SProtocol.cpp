#include "SProtocol.hpp"

#include <algorithm>

#include "UCommon.hpp"

void SProtocol_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SProtocol");
  if (!init) return;
  UCommon_Init();
  SReqObj_Init();
}

SProtocol_Param SProtocol_MakeParam(SProtocol_ParamType type, std::string_view name, int values) {
  SProtocol_Param p;
  p.type = type;
  p.name = std::string(name);
  p.values = values;
  return p;
}

SProtocol_Request& SProtocol_AddRequest(SProtocol& protocol, std::string_view name, int version,
                                        std::vector<SProtocol_Param> params, bool hasResult,
                                        bool async) {
  SProtocol_Request r;
  r.name = std::string(name);
  r.version = version;
  r.params = std::move(params);
  for (std::size_t i = 0; i < r.params.size(); ++i) r.params[i].index = static_cast<int>(i);
  r.hasResult = hasResult;
  r.async = async;
  protocol.requests.push_back(std::move(r));
  return protocol.requests.back();
}

std::unique_ptr<SProtocol> SProtocol_Create(std::string_view serverName, int port, int bufferSize) {
  using T = SProtocol_ParamType;
  auto p = std::make_unique<SProtocol>();
  p->serverName = std::string(serverName);
  p->port = port;
  p->bufferSize = bufferSize;
  SProtocol_AddRequest(
      *p, SProtocol_clientId, 1,
      {SProtocol_MakeParam(T::String, "hostname"), SProtocol_MakeParam(T::String, "binaryName"),
       SProtocol_MakeParam(T::Integer, "pid"), SProtocol_MakeParam(T::Integer, "connNo"),
       SProtocol_MakeParam(T::Integer, "clientType")},
      false, false);
  SProtocol_AddRequest(*p, SProtocol_testService, 1, {}, true, false);
  SProtocol_AddRequest(*p, SProtocol_debugService, 1, {SProtocol_MakeParam(T::Boolean, "debug")},
                       false, false);
  SProtocol_AddRequest(*p, SProtocol_supportedVersions, 1,
                       {SProtocol_MakeParam(T::String, "requestName")}, true, false);
  SProtocol_AddRequest(*p, SProtocol_setEventMask, 1,
                       {SProtocol_MakeParam(T::Integer, "eventMask")}, false, false);
  SProtocol_AddRequest(*p, SProtocol_currentClients, 1, {}, true, false);
  return p;
}

const SProtocol_Request* SProtocol_FindRequest(const SProtocol& protocol, std::string_view name,
                                               int version) {
  for (const SProtocol_Request& r : protocol.requests) {
    if (r.name == name && r.version == version) return &r;
  }
  return nullptr;
}

std::vector<int> SProtocol_Versions(const SProtocol& protocol, std::string_view name) {
  std::vector<int> versions;
  for (const SProtocol_Request& r : protocol.requests) {
    if (r.name == name) versions.push_back(r.version);
  }
  std::sort(versions.begin(), versions.end());
  return versions;
}

namespace {

bool TypeFits(const SProtocol_Param& p, const SReqObj& value) {
  switch (p.type) {
    case SProtocol_ParamType::Boolean:
      return value.IsBoolean();
    case SProtocol_ParamType::Integer:
    case SProtocol_ParamType::Enumeration:
      return value.IsInteger();
    case SProtocol_ParamType::String:
      return value.IsString();
    case SProtocol_ParamType::Array:
      return value.IsArray();
  }
  return false;
}

}  // namespace

std::string SProtocol_CheckParameters(const SProtocol_Request& request, const SReqObj& params) {
  if (!params.IsArray()) return "Parameter object has to be of type ARRAY";
  if (params.size() != request.params.size()) return "Wrong number of parameters";
  for (const SProtocol_Param& p : request.params) {
    const SReqObj& value = params.at(static_cast<std::size_t>(p.index));
    if (!TypeFits(p, value)) return "Type mismatch for parameter " + p.name;
    if (p.type == SProtocol_ParamType::Enumeration &&
        (value.AsInteger() < 0 || value.AsInteger() >= p.values)) {
      return "Value out of range for parameter " + p.name;
    }
  }
  return {};
}

SReqObj SProtocol_BuildMessage(const SProtocol_Request& request, const SReqObj& params) {
  SReqObj m = SReqObj::Array();
  m.Append(SReqObj::String(request.name));
  m.Append(SReqObj::Integer(request.version));
  m.Append(SReqObj::Boolean(request.NoReply()));
  for (const SReqObj& p : params.elements()) m.Append(p);
  return m;
}

bool SProtocol_SplitMessage(const SReqObj& message, SProtocol_Message& out) {
  if (!message.IsArray() || message.size() < 3) return false;
  if (!message.at(0).IsString() || !message.at(1).IsInteger() || !message.at(2).IsBoolean()) {
    return false;
  }
  out.name = message.at(0).AsString();
  out.version = message.at(1).AsInteger();
  out.noReply = message.at(2).AsBoolean();
  const SReqObj::Elements& e = message.elements();
  out.params = SReqObj::Array(SReqObj::Elements(e.begin() + 3, e.end()));
  return true;
}

SReqObj SProtocol_SuccessReply(SReqObj::Elements result) {
  SReqObj r = SReqObj::Array();
  r.Append(SReqObj::Integer(0));
  for (SReqObj& e : result) r.Append(std::move(e));
  return r;
}

SReqObj SProtocol_ErrorReply(int status, std::string_view text) {
  SReqObj r = SReqObj::Array();
  r.Append(SReqObj::Integer(status == 0 ? 1 : status));
  r.Append(SReqObj::String(text.substr(0, SReqObj_maxString)));
  return r;
}
