// Client connections to the job server "DUvuvuzo".
#pragma once

#include <string>

#include "SClient.hpp"
#include "Strings.hpp"
#include "VErarBase.hpp"

void CCclient_Init();

// The job server's protocol description, made once for the process.
const SProtocol& CCclient_Protocol();

// Connects to the job server on host (empty: this machine), starting it there when it
// cannot be reached. See SClient_Connect.
SClient_Connection* CCclient_Connect(StrIn host, int timeoutMs, SClient_YieldProc yield);

// Sends the job's string with "ASYNC_SUBMIT_JOB" (async: no reply awaited) or
// "SUBMIT_JOB" (the server's job ID goes to *acceptedId when given). True when sent,
// and for a synchronous submission when the server accepted the job.
bool CCclient_SubmitJob(SClient_Connection* connection, const VErarBase_Job& job, bool async,
                        std::string* acceptedId = nullptr);
