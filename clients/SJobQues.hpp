// Classic job records: what a submitter fills in before it hands a job to the job
// server. SJobQues_Submit converts the record into a job object of the job layer (VErar)
// and sends it to the job server of this machine.
//
// The resource list is kept sorted and without duplicates; its first character tells
// the kind of an entry: "?" a resource precondition, "!" a reservation handed over to
// the job, anything else a file precondition.
//
// Errors (section "SJobQues", SJobQues_error): 4 the job server did not accept the job,
// 6 no job given, 15 writing a classic queue file failed, 17 empty file precondition.
// Every operation on a job record first sets SJobQues_error to 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Strings.hpp"

struct SJobQues_Job {
  char readableCommand[128];
  std::int32_t jobNumber;
  char workDir[1024];
  char command[256];
  char arguments[5121];
  bool flag1, flag2;
  std::uint8_t cpuUsage;  // 0 low, 1 high, 2 free
  std::uint32_t priority;
  std::int32_t uid, gid;
  char scriptPrecondition[256];
  // Sorted ascending, no duplicates; each entry at most 255 characters.
  std::vector<std::string> resources;
  double real1;
  std::uint32_t card1, card2;
  char string1[256], string2[256];
  char jobClass[128];
  char submitterName[128];
  char submitterAddons[1024];
};

inline constexpr int SJobQues_errNotAccepted = 4;
inline constexpr int SJobQues_errNoJob = 6;
inline constexpr int SJobQues_errQueueFile = 15;
inline constexpr int SJobQues_errEmptyFile = 17;

extern int SJobQues_error;

void SJobQues_Init();

// A new record with the defaults: work directory the current one ("/tmp" when it cannot
// be examined), command "job.bat", high CPU usage, the effective user and group.
SJobQues_Job* SJobQues_CreateJob();
void SJobQues_DestroyJob(SJobQues_Job*& job);

void SJobQues_AddResourceToPrecondition(SJobQues_Job* job, StrIn name);
void SJobQues_DeleteResourceFromPrecondition(SJobQues_Job* job, StrIn name);
void SJobQues_InheritResourceToJob(SJobQues_Job* job, StrIn name);
void SJobQues_DeleteInheritedResource(SJobQues_Job* job, StrIn name);
void SJobQues_AddFileToPrecondition(SJobQues_Job* job, StrIn path);
void SJobQues_DeleteFileFromPrecondition(SJobQues_Job* job, StrIn path);

// The prefix put in front of every readable command set afterwards (empty: none).
void SJobQues_SetReadableCommandPrefix(StrIn prefix);
void SJobQues_SetReadableCommand(SJobQues_Job* job, StrIn text);

// Convert and send at once; host and buffering change nothing.
void SJobQues_Submit(StrIn host, SJobQues_Job* job);
void SJobQues_BufferedSubmit(StrIn host, SJobQues_Job* job);
// Closes the older submit pipe when one is open.
void SJobQues_FlushSubmitBuffer();

// Appends the record as one line to a classic queue file (error 15 when that fails).
void SJobQues_AppendToQueueFile(StrIn path, const SJobQues_Job* job);
