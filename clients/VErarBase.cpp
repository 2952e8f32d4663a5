#include "VErarBase.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "UCommon.hpp"

void VErarBase_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "VErarBase");
  if (!init) return;
  UCommon_Init();
}

namespace {

constexpr const char* kTypeNames[] = {"Unknown", "Korvex", "Script", "Inline"};
constexpr const char* kStatusNames[] = {"unknown", "waiting", "waitingForPrecond", "running",
                                        "done",    "failed",  "canceled",          "removed"};
constexpr const char* kPrecondNames[] = {"RESOURCE", "INHERIT", "FILE", "SCRIPT"};

// Timeouts below this magnitude count as none.
constexpr double kMinTimeout = 1e-8;

void Piece(std::string& out, std::string_view key, std::string_view value) {
  if (value.empty()) return;
  if (!out.empty()) out += ' ';
  out += key;
  out += '=';
  out += VErarBase_Escape(value);
}

std::string Number(double value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

template <typename T>
bool ParseInt(std::string_view text, T& value) {
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

}  // namespace

std::int32_t VErarBase_HolderPid(std::string_view jobId) {
  // FNV-1a folded into the upper half of the positive range: Linux hands out process
  // ids below 2^22.
  std::uint32_t h = 2166136261u;
  for (const unsigned char c : jobId) {
    h ^= c;
    h *= 16777619u;
  }
  return static_cast<std::int32_t>(0x40000000u | (h & 0x3FFFFFFFu));
}

const char* VErarBase_TypeName(VErarBase_Type type) {
  const int i = static_cast<int>(type);
  return i >= 1 && i <= 3 ? kTypeNames[i] : kTypeNames[0];
}

const char* VErarBase_StatusName(VErarBase_Status status) {
  const int i = static_cast<int>(status);
  return i >= 1 && i <= 7 ? kStatusNames[i] : kStatusNames[0];
}

const char* VErarBase_ExecuteOnName(VErarBase_ExecuteOn where) {
  return where == VErarBase_ExecuteOn::Cluster ? "cluster" : "local";
}

const char* VErarBase_CpuUsageName(VErarBase_CpuUsage usage) {
  switch (usage) {
    case VErarBase_CpuUsage::Low:
      return "low";
    case VErarBase_CpuUsage::Free:
      return "free";
    default:
      return "high";
  }
}

const char* VErarBase_PrecondKindName(VErarBase_PrecondKind kind) {
  return kPrecondNames[static_cast<int>(kind)];
}

VErarBase_Status VErarBase_StatusFromName(std::string_view name) {
  for (int i = 1; i <= 7; ++i) {
    if (name == kStatusNames[i]) return static_cast<VErarBase_Status>(i);
  }
  return VErarBase_Status::Unknown;
}

VErarBase_Type VErarBase_TypeFromName(std::string_view name) {
  for (int i = 1; i <= 3; ++i) {
    if (name == kTypeNames[i]) return static_cast<VErarBase_Type>(i);
  }
  return VErarBase_Type::Unknown;
}

bool VErarBase_IsFinal(VErarBase_Status status) {
  return status == VErarBase_Status::Done || status == VErarBase_Status::Failed ||
         status == VErarBase_Status::Canceled || status == VErarBase_Status::Removed;
}

std::string VErarBase_Escape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == ' ' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string VErarBase_Unescape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    out += value[i];
  }
  return out;
}

std::string VErarBase_Render(const VErarBase_Job& job) {
  std::string out;
  Piece(out, "TYPE", VErarBase_TypeName(job.type));
  Piece(out, "STATUS", VErarBase_StatusName(job.status));
  Piece(out, "PRIORITY", std::to_string(job.priority));
  Piece(out, "EXECUTE_ON", VErarBase_ExecuteOnName(job.executeOn));
  Piece(out, "CPU_USAGE", VErarBase_CpuUsageName(job.cpuUsage));
  Piece(out, "ID", job.id);
  Piece(out, "EMPLOYER_HOST", job.employerHost);
  Piece(out, "WORK_DIR", job.workDir);
  Piece(out, "DESC", job.description);
  Piece(out, "SUBMITTER_NAME", job.submitterName);
  Piece(out, "SUBMITTER_ADDONS", job.submitterAddons);
  Piece(out, "ERRORFILENAME", job.errorFileName);
  Piece(out, "PROGRESSFILENAME", job.progressFileName);
  if (std::fabs(job.timeout) >= kMinTimeout) Piece(out, "TIMEOUT", Number(job.timeout));
  if (job.uid) Piece(out, "UID", std::to_string(*job.uid));
  if (job.gid) Piece(out, "GID", std::to_string(*job.gid));
  for (const VErarBase_Precondition& p : job.preconditions) {
    if (p.value.empty()) continue;
    Piece(out, "PRECONDITION", std::string(VErarBase_PrecondKindName(p.kind)) + ":" + p.value);
  }
  for (const std::string& r : job.restrictions) Piece(out, "RESTRICTION", r);
  for (const std::string& c : job.cleanupCommands) Piece(out, "CLEANUPCMD", c);
  switch (job.type) {
    case VErarBase_Type::Inline:
      Piece(out, "INLINE_CMD", job.command);
      break;
    case VErarBase_Type::Script:
      Piece(out, "SCRIPT_FILENAME", job.command);
      Piece(out, "SRC_FILENAME", job.command);
      Piece(out, "DST_PATH", job.workDir);
      break;
    case VErarBase_Type::Korvex:
      Piece(out, "PDF_FILENAME", job.command);
      Piece(out, "DST_PATH", job.dstPath);
      Piece(out, "SRC_FILENAME", job.srcFileName);
      break;
    default:
      break;
  }
  for (const auto& [key, value] : job.extra) Piece(out, key, value);
  return out;
}

namespace {

// Splits at blanks that have no backslash in front; the pieces stay escaped.
std::vector<std::string_view> SplitPieces(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] == '\\') {
      ++i;
      continue;
    }
    if (i == text.size() || text[i] == ' ') {
      if (i > start) pieces.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return pieces;
}

bool ParsePrecondition(const std::string& value, VErarBase_Precondition& p) {
  const std::size_t colon = value.find(':');
  if (colon == std::string::npos) return false;
  const std::string_view kind = std::string_view(value).substr(0, colon);
  for (int i = 0; i < 4; ++i) {
    if (kind == kPrecondNames[i]) {
      p.kind = static_cast<VErarBase_PrecondKind>(i);
      p.value = value.substr(colon + 1);
      return !p.value.empty();
    }
  }
  return false;
}

}  // namespace

bool VErarBase_Parse(std::string_view text, VErarBase_Job& job, std::string& error) {
  job = VErarBase_Job{};
  job.type = VErarBase_Type::Unknown;
  std::string script;
  for (const std::string_view piece : SplitPieces(text)) {
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos || eq == 0) {
      error = "piece without key: " + std::string(piece);
      return false;
    }
    const std::string_view key = piece.substr(0, eq);
    const std::string value = VErarBase_Unescape(piece.substr(eq + 1));
    bool ok = true;
    if (key == "TYPE") {
      job.type = VErarBase_TypeFromName(value);
    } else if (key == "STATUS") {
      job.status = VErarBase_StatusFromName(value);
    } else if (key == "PRIORITY") {
      ok = ParseInt(value, job.priority);
    } else if (key == "EXECUTE_ON") {
      job.executeOn =
          value == "cluster" ? VErarBase_ExecuteOn::Cluster : VErarBase_ExecuteOn::Local;
    } else if (key == "CPU_USAGE") {
      job.cpuUsage = value == "low"    ? VErarBase_CpuUsage::Low
                     : value == "free" ? VErarBase_CpuUsage::Free
                                       : VErarBase_CpuUsage::High;
    } else if (key == "ID") {
      job.id = value;
    } else if (key == "EMPLOYER_HOST") {
      job.employerHost = value;
    } else if (key == "WORK_DIR") {
      job.workDir = value;
    } else if (key == "DESC") {
      job.description = value;
    } else if (key == "SUBMITTER_NAME") {
      job.submitterName = value;
    } else if (key == "SUBMITTER_ADDONS") {
      job.submitterAddons = value;
    } else if (key == "ERRORFILENAME") {
      job.errorFileName = value;
    } else if (key == "PROGRESSFILENAME") {
      job.progressFileName = value;
    } else if (key == "TIMEOUT") {
      char* end = nullptr;
      job.timeout = std::strtod(value.c_str(), &end);
      ok = end != value.c_str() && *end == '\0';
    } else if (key == "UID") {
      ok = ParseInt(value, job.uid.emplace());
    } else if (key == "GID") {
      ok = ParseInt(value, job.gid.emplace());
    } else if (key == "PRECONDITION") {
      ok = ParsePrecondition(value, job.preconditions.emplace_back());
    } else if (key == "RESTRICTION") {
      job.restrictions.push_back(value);
    } else if (key == "CLEANUPCMD") {
      job.cleanupCommands.push_back(value);
    } else if (key == "INLINE_CMD" || key == "PDF_FILENAME") {
      job.command = value;
    } else if (key == "SCRIPT_FILENAME") {
      script = value;
    } else if (key == "SRC_FILENAME") {
      job.srcFileName = value;
    } else if (key == "DST_PATH") {
      job.dstPath = value;
    } else {
      job.extra.emplace_back(std::string(key), value);
    }
    if (!ok) {
      error = "bad value for " + std::string(key) + ": " + value;
      return false;
    }
  }
  if (job.type == VErarBase_Type::Script) {
    // A script job names its script twice and its work directory as destination.
    job.command = script;
    job.srcFileName.clear();
    job.dstPath.clear();
  }
  return true;
}
