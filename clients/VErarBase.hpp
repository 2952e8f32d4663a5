// Job objects of the job layer: what a job is made of when it is sent to the job server
// "DUvuvuzo", and its text form, the job string.
//
// A job string is a sequence of KEY=value pieces joined by single blanks, in a fixed key
// order; a piece whose value is empty is left out, and inside values every blank and
// every backslash has a backslash in front. The job server reads the same form back, and
// keeps its queue in it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class VErarBase_Type : int { Unknown = 0, Korvex = 1, Script = 2, Inline = 3 };
enum class VErarBase_Status : int {
  Unknown = 0,
  Waiting = 1,
  WaitingForPrecond = 2,
  Running = 3,
  Done = 4,
  Failed = 5,
  Canceled = 6,
  Removed = 7
};
enum class VErarBase_ExecuteOn : int { Local = 1, Cluster = 2 };
enum class VErarBase_CpuUsage : int { Low = 0, High = 1, Free = 2 };

// Kinds of preconditions. Inherited resources travel with them: reservations the
// submitter hands over to the job for its lifetime.
enum class VErarBase_PrecondKind { Resource, Inherited, File, Script };

struct VErarBase_Precondition {
  VErarBase_PrecondKind kind = VErarBase_PrecondKind::Resource;
  std::string value;
  friend bool operator==(const VErarBase_Precondition&, const VErarBase_Precondition&) = default;
};

struct VErarBase_Job {
  VErarBase_Type type = VErarBase_Type::Inline;
  VErarBase_Status status = VErarBase_Status::Waiting;
  std::uint32_t priority = 0;
  VErarBase_ExecuteOn executeOn = VErarBase_ExecuteOn::Local;
  VErarBase_CpuUsage cpuUsage = VErarBase_CpuUsage::High;
  std::string id;
  std::string employerHost;
  std::string workDir;
  std::string description;
  std::string submitterName;
  std::string submitterAddons;
  std::string errorFileName;
  std::string progressFileName;
  double timeout = 0;  // seconds; 0: none
  std::optional<std::int32_t> uid;
  std::optional<std::int32_t> gid;
  std::vector<VErarBase_Precondition> preconditions;
  std::vector<std::string> restrictions;
  std::vector<std::string> cleanupCommands;
  // Inline: the command line. Script: the script file name. Korvex: the PDF name.
  std::string command;
  std::string srcFileName;  // Korvex
  std::string dstPath;      // Korvex
  // Pieces whose keys the job layer does not know, in their order (kept by readers).
  std::vector<std::pair<std::string, std::string>> extra;

  friend bool operator==(const VErarBase_Job&, const VErarBase_Job&) = default;
};

// Reservations handed over to a job are held at the resource manager by the job's
// employer host under a process number of its own, derived from the job ID. It lies
// above every process id the system can hand out, so no real process conflicts with
// it, and it stays the same when the job server restarts.
std::int32_t VErarBase_HolderPid(std::string_view jobId);

const char* VErarBase_TypeName(VErarBase_Type type);
const char* VErarBase_StatusName(VErarBase_Status status);
const char* VErarBase_ExecuteOnName(VErarBase_ExecuteOn where);
const char* VErarBase_CpuUsageName(VErarBase_CpuUsage usage);
const char* VErarBase_PrecondKindName(VErarBase_PrecondKind kind);
// Unknown names give Unknown (status, type), Local, High.
VErarBase_Status VErarBase_StatusFromName(std::string_view name);
VErarBase_Type VErarBase_TypeFromName(std::string_view name);
// Whether a job in this status is over (done, failed, canceled, removed).
bool VErarBase_IsFinal(VErarBase_Status status);

// A value with a backslash before every blank and every backslash, and the reverse.
std::string VErarBase_Escape(std::string_view value);
std::string VErarBase_Unescape(std::string_view value);

// The job string.
std::string VErarBase_Render(const VErarBase_Job& job);
// Reads a job string. False with a reason for a piece without "=" or a value that does
// not fit its key; unknown keys go to job.extra.
bool VErarBase_Parse(std::string_view text, VErarBase_Job& job, std::string& error);

void VErarBase_Init();
