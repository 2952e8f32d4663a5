#include "CCprotocol.hpp"

#include "UCommon.hpp"

void CCprotocol_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "CCprotocol");
  if (!init) return;
  UCommon_Init();
  SProtocol_Init();
}

std::unique_ptr<SProtocol> CCprotocol_CreateServerProtocol() {
  using T = SProtocol_ParamType;
  auto p = SProtocol_Create(CCprotocol_serverName, CCprotocol_defaultPort, CCprotocol_bufferSize);
  auto param = [](T type, std::string_view name, int values = 0) {
    return SProtocol_MakeParam(type, name, values);
  };
  SProtocol_AddRequest(*p, CCprotocol_submitJob, 1, {param(T::String, "jobString")}, true, false);
  SProtocol_AddRequest(*p, CCprotocol_asyncSubmitJob, 1, {param(T::String, "jobString")}, false,
                       true);
  SProtocol_AddRequest(*p, CCprotocol_modifyJob, 1, {param(T::String, "jobString")}, true, false);
  SProtocol_AddRequest(*p, CCprotocol_asyncModifyJob, 1, {param(T::String, "jobString")}, false,
                       true);
  SProtocol_AddRequest(*p, CCprotocol_peekJob, 1,
                       {param(T::String, "hostname"), param(T::Integer, "jobTypes")}, true, false);
  SProtocol_AddRequest(*p, CCprotocol_peekJob, 2,
                       {param(T::String, "hostname"), param(T::String, "cpuUsages")}, true, false);
  SProtocol_AddRequest(*p, CCprotocol_getQueueStatus, 1, {}, true, false);
  SProtocol_AddRequest(*p, CCprotocol_setQueueStatus, 1, {param(T::Enumeration, "status", 2)}, true,
                       false);
  SProtocol_AddRequest(
      *p, CCprotocol_jobCommand, 1,
      {param(T::Enumeration, "command", static_cast<int>(CCprotocol_JobCommand::Count)),
       param(T::Boolean, "inFailedQueue"), param(T::Array, "jobIdArray")},
      true, false);
  SProtocol_AddRequest(*p, CCprotocol_jobFinished, 1,
                       {param(T::String, "hostname"), param(T::String, "jobId"),
                        param(T::Enumeration, "status", CCprotocol_jobStatusCount),
                        param(T::String, "errorFilename")},
                       true, false);
  SProtocol_AddRequest(*p, CCprotocol_jobFinished, 2,
                       {param(T::String, "hostname"), param(T::String, "jobId"),
                        param(T::Enumeration, "status", CCprotocol_jobStatusCount),
                        param(T::String, "errorFilename"), param(T::String, "cancelReason")},
                       true, false);
  SProtocol_AddRequest(*p, CCprotocol_workerError, 1,
                       {param(T::String, "hostname"), param(T::Array, "error")}, false, true);
  SProtocol_AddRequest(*p, CCprotocol_getJobInfos, 1, {param(T::String, "jobId")}, true, false);
  SProtocol_AddRequest(*p, CCprotocol_isJobInQueue, 1, {param(T::String, "jobPattern")}, true,
                       false);
  return p;
}
