#include "SRMproto.hpp"

#include <sys/utsname.h>

#include <cstdlib>
#include <cstring>

#include "DirAcces.hpp"
#include "UCommon.hpp"

void SRMproto_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SRMproto");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  DirAcces_Init();
  SRegExpr_Init();
  SProtocol_Init();
}

std::unique_ptr<SProtocol> SRMproto_CreateProtocol() {
  SRMproto_Init();
  using T = SProtocol_ParamType;
  auto host = [] { return SProtocol_MakeParam(T::String, "hostname"); };
  auto pid = [] { return SProtocol_MakeParam(T::Integer, "clientPID"); };
  auto trap = [] { return SProtocol_MakeParam(T::Boolean, "trapPrematureDeath"); };
  auto pattern = [] { return SProtocol_MakeParam(T::String, "resourcePattern"); };
  auto p = SProtocol_Create(SRMproto_serverName, SRMproto_defaultPort, SRMproto_bufferSize);
  SProtocol_AddRequest(*p, SRMproto_reserve, 1, {host(), pid(), trap(), pattern()}, true, false);
  SProtocol_AddRequest(*p, SRMproto_use, 1, {host(), pid(), trap(), pattern()}, false, false);
  SProtocol_AddRequest(*p, SRMproto_release, 1, {host(), pid(), pattern()}, false, false);
  SProtocol_AddRequest(*p, SRMproto_free, 1, {host(), pid(), pattern()}, false, false);
  SProtocol_AddRequest(*p, SRMproto_vmDemon, 1, {host()}, false, false);
  SProtocol_AddRequest(*p, SRMproto_debug, 1, {SProtocol_MakeParam(T::Boolean, "debug")}, false,
                       false);
  SProtocol_AddRequest(*p, SRMproto_dump, 1, {SProtocol_MakeParam(T::String, "fileName")}, false,
                       false);
  return p;
}

bool SRMproto_UseSocketService() {
  SRMproto_Init();
  return !DirAcces_CheckFlag("DURAZAZE_USE_SCIPC_SERVICES");
}

std::size_t SRMproto_PidSizeFor(std::string_view sysname, std::string_view release) {
  if (sysname.substr(0, 4) != "IRIX") return 2;
  // Release "major.minor...": 6.5 or later.
  const std::string r(release);
  char* end = nullptr;
  const long major = std::strtol(r.c_str(), &end, 10);
  long minor = 0;
  if (end != nullptr && *end == '.') minor = std::strtol(end + 1, nullptr, 10);
  return (major > 6 || (major == 6 && minor >= 5)) ? 4 : 2;
}

std::size_t SRMproto_PidSize() {
  static const std::size_t size = [] {
    utsname u{};
    if (::uname(&u) != 0) return std::size_t{2};
    return SRMproto_PidSizeFor(u.sysname, u.release);
  }();
  return size;
}

std::string SRMproto_BuildRequest(char letter, bool trapPrematureDeath, int pid, StrIn host,
                                  StrIn name) {
  SRMproto_Init();
  std::string r;
  r.push_back(letter);
  r.push_back(static_cast<char>(trapPrematureDeath ? 255 : 0));
  const std::size_t p = SRMproto_PidSize();
  const auto id = static_cast<std::uint32_t>(pid);
  for (std::size_t i = 0; i < p; ++i) r.push_back(static_cast<char>((id >> (8 * i)) & 0xFF));
  char machine[128] = {};
  std::string_view h = host.view();
  if (h.empty()) {
    DirAcces_GetMachineName(machine);
    h = StrIn(machine).view();
  }
  std::string field(h.substr(0, SRMproto_hostField - 1));
  field.resize(SRMproto_hostField, '\0');
  r += field;
  r += name.view();
  r.push_back('\0');
  return r;
}

namespace {
std::size_t HostOffset() { return 2 + SRMproto_PidSize(); }
}  // namespace

void SRMproto_MarkVerbose(std::string& request) {
  const std::size_t at = HostOffset();
  if (request.size() >= at + SRMproto_hostField && request[at + 15] == '\0') {
    request[at + 16] = 1;
  }
}

bool SRMproto_IsVerbose(std::string_view request) {
  const std::size_t at = HostOffset();
  return request.size() >= at + SRMproto_hostField && request[at + 15] == '\0' &&
         request[at + 16] == 1;
}

bool SRMproto_SplitRequest(std::string_view request, char& letter, bool& trapPrematureDeath,
                           StrOut host, int& pid, StrOut name) {
  const std::size_t at = HostOffset();
  if (request.size() < at + SRMproto_hostField + 1) return false;
  const std::string_view rest = request.substr(at + SRMproto_hostField);
  const std::size_t end = rest.find('\0');
  if (end == std::string_view::npos) return false;
  letter = request[0];
  trapPrematureDeath = request[1] != 0;
  std::uint32_t id = 0;
  for (std::size_t i = 0; i < at - 2; ++i) {
    id |= static_cast<std::uint32_t>(static_cast<unsigned char>(request[2 + i])) << (8 * i);
  }
  pid = static_cast<int>(id);
  const std::string_view field = request.substr(at, SRMproto_hostField - 1);
  Strings_Assign(field.substr(0, field.find('\0')), host);
  Strings_Assign(rest.substr(0, end), name);
  return true;
}

void SRMproto_AddHolder(std::string& request, std::int32_t holderPid) {
  const auto id = static_cast<std::uint32_t>(holderPid);
  for (int i = 0; i < 4; ++i) request.push_back(static_cast<char>((id >> (8 * i)) & 0xFF));
}

std::int32_t SRMproto_Holder(std::string_view request) {
  const std::size_t at = HostOffset() + SRMproto_hostField;
  if (request.size() < at) return 0;
  const std::size_t end = request.find('\0', at);
  if (end == std::string_view::npos || request.size() != end + 5) return 0;
  std::uint32_t id = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    id |= static_cast<std::uint32_t>(static_cast<unsigned char>(request[end + 1 + i])) << (8 * i);
  }
  const auto holder = static_cast<std::int32_t>(id);
  return holder >= SRMproto_firstHolderPid ? holder : 0;
}

std::string SRMproto_RefusalAnswer(StrIn holderHost, int holderPid) {
  std::string a(SRMproto_refusalLength, '\0');
  a[0] = 'N';
  a[1] = 'O';
  const std::string_view h = holderHost.view().substr(0, SRMproto_hostField - 1);
  a.replace(3, h.size(), h);
  const std::string id = std::to_string(holderPid).substr(0, 15);
  a.replace(20, id.size(), id);
  return a;
}

bool SRMproto_ParseRefusal(std::string_view answer, StrOut holderHost, int& holderPid) {
  if (answer.size() < SRMproto_refusalLength) return false;
  const std::string_view h = answer.substr(3, SRMproto_hostField);
  Strings_Assign(h.substr(0, h.find('\0')), holderHost);
  const std::string id(answer.substr(20, 16).substr(0, answer.substr(20, 16).find('\0')));
  char* end = nullptr;
  const long v = std::strtol(id.c_str(), &end, 10);
  if (end == id.c_str()) return false;
  holderPid = static_cast<int>(v);
  return true;
}

void SRMproto_Pattern(StrIn name, StrOut pattern) {
  std::string p = "^";
  // Room is kept for the closing "$"; once a piece does not fit, the rest is dropped.
  bool full = false;
  auto add = [&p, &full](std::string_view piece) {
    full = full || p.size() + piece.size() > SRMproto_maxPattern - 1;
    if (!full) p += piece;
  };
  for (const char c : name.view()) {
    switch (c) {
      case '$':
      case '(':
      case ')':
      case '+':
      case '.':
      case '[':
      case ']':
      case '^':
      case '|': {
        const char escaped[] = {'\\', c};
        add(std::string_view(escaped, 2));
        break;
      }
      case '*':
        add(".*");
        break;
      case '?':
        add(".");
        break;
      default:
        add(std::string_view(&c, 1));
        break;
    }
  }
  p += '$';
  Strings_Assign(p, pattern);
}

SRegExpr SRMproto_RegExpr(StrIn name) {
  char pattern[SRMproto_maxPattern + 1] = {};
  SRMproto_Pattern(name, pattern);
  return SRegExpr_Create(pattern);
}
