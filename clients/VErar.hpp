// The job layer: classic job records turned into job objects, and their submission to
// the job server of this machine.
#pragma once

#include <string>

#include "SClient.hpp"
#include "SJobQues.hpp"
#include "Strings.hpp"
#include "VErarBase.hpp"

// Time-out for connecting to the job server, milliseconds.
inline constexpr int VErar_connectTimeout = 4000;

void VErar_Init();

// The job object of a classic record: an Inline job running command + " " + arguments.
VErarBase_Job VErar_ConvertClassicJob(const SJobQues_Job& job);

// Gives the job its ID and employer host, sends it with "ASYNC_SUBMIT_JOB" and hands
// its inherited reservations over to it at the resource manager. True when sent; on
// failure one line goes to standard error.
bool VErar_Submit(VErarBase_Job& job);

// The next job ID: "<host>-<milliseconds>-<pid>-<counter>", counter from 0.
std::string VErar_NextJobId();

// Where a job class runs, from the job class file "jobclasses" in the first directory
// of ZOLTENV: lines "<class> local|cluster", "#" starts a comment. Unknown: local.
VErarBase_ExecuteOn VErar_ExecuteOnForClass(StrIn jobClass);

// The process's connection to the job server (nullptr before the first submission).
SClient_Connection* VErar_Connection();
