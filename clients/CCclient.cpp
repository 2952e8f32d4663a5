#include "CCclient.hpp"

#include "CCprotocol.hpp"
#include "UCommon.hpp"

void CCclient_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "CCclient");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  SClient_Init();
  CCprotocol_Init();
  VErarBase_Init();
}

const SProtocol& CCclient_Protocol() {
  static const std::unique_ptr<SProtocol> protocol = CCprotocol_CreateServerProtocol();
  return *protocol;
}

SClient_Connection* CCclient_Connect(StrIn host, int timeoutMs, SClient_YieldProc yield) {
  return SClient_Connect(host, timeoutMs, nullptr, &CCclient_Protocol(), yield);
}

bool CCclient_SubmitJob(SClient_Connection* connection, const VErarBase_Job& job, bool async,
                        std::string* acceptedId) {
  if (connection == nullptr) return false;
  const SReqObj params = SReqObj::Array({SReqObj::String(VErarBase_Render(job))});
  if (async) {
    return SClient_SendRequest(connection, CCprotocol_asyncSubmitJob, 1, params, nullptr);
  }
  SReqObj result;
  if (!SClient_SendRequest(connection, CCprotocol_submitJob, 1, params, &result)) return false;
  if (acceptedId != nullptr) *acceptedId = result.at(0).AsString();
  return true;
}
