// The request vocabulary of the job server "DUvuvuzo".
#pragma once

#include <memory>
#include <string_view>

#include "SProtocol.hpp"

inline constexpr std::string_view CCprotocol_serverName = "DUvuvuzo";
inline constexpr int CCprotocol_defaultPort = 5610;
inline constexpr int CCprotocol_bufferSize = 32768;

inline constexpr std::string_view CCprotocol_submitJob = "SUBMIT_JOB";
inline constexpr std::string_view CCprotocol_asyncSubmitJob = "ASYNC_SUBMIT_JOB";
inline constexpr std::string_view CCprotocol_modifyJob = "MODIFY_JOB";
inline constexpr std::string_view CCprotocol_asyncModifyJob = "ASYNC_MODIFY_JOB";
inline constexpr std::string_view CCprotocol_peekJob = "PEEK_JOB";
inline constexpr std::string_view CCprotocol_getQueueStatus = "GET_QUEUESTATUS";
inline constexpr std::string_view CCprotocol_setQueueStatus = "SET_QUEUESTATUS";
inline constexpr std::string_view CCprotocol_jobCommand = "JOB_COMMAND";
inline constexpr std::string_view CCprotocol_jobFinished = "JOB_FINISHED";
inline constexpr std::string_view CCprotocol_workerError = "WORKER_ERROR";
inline constexpr std::string_view CCprotocol_getJobInfos = "GET_JOBINFOS";
inline constexpr std::string_view CCprotocol_isJobInQueue = "IS_JOB_IN_QUEUE";

// Values of the "status" enumeration of SET_QUEUESTATUS.
enum class CCprotocol_QueueStatus : int { Running = 0, Stopped = 1 };
inline constexpr const char* CCprotocol_queueStatusNames[] = {"running", "stopped"};

// Values of the "command" enumeration of JOB_COMMAND.
enum class CCprotocol_JobCommand : int {
  Cancel = 0,   // stop a waiting or running job; it ends as canceled
  Remove = 1,   // forget jobs that are over
  Restart = 2,  // put failed or canceled jobs back into the queue
  Count
};

// The "status" enumeration of JOB_FINISHED counts the job states (VErarBase_Status).
inline constexpr int CCprotocol_jobStatusCount = 8;

void CCprotocol_Init();

// The job server's protocol: port 5610, 32768-byte messages, the standard requests and
// the job requests.
std::unique_ptr<SProtocol> CCprotocol_CreateServerProtocol();
