#include "Msg.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "UCommon.hpp"

namespace {

// The built-in stand-in used before the message system is plugged in.
namespace builtin {

constexpr std::size_t kMaxReasons = 33;
constexpr std::size_t kMaxLevel = 63;

std::string reasons[kMaxReasons];
std::size_t depth = 0;
unsigned level = 0;
std::size_t marks[kMaxLevel + 1] = {};

void Push(std::string reason) {
  if (depth == kMaxReasons) return;
  reasons[depth++] = std::move(reason);
  marks[level] = depth;
}

void IgnoreErrors(bool on) {
  if (on) {
    if (level < kMaxLevel) marks[++level] = depth;
  } else if (level > 0) {
    --level;
  } else {
    static const char text[] = "::MyIgnoreErrors: ignore stack underflow\n";
    ssize_t ignored = ::write(2, text, sizeof text - 1);
    (void)ignored;
  }
}

std::size_t Mark() { return marks[level] < depth ? marks[level] : depth; }

}  // namespace builtin

const char* plugMessage = nullptr;
std::size_t plugMessageSize = 0;
MsgOperations plug{};
bool plugged = false;

StrIn In(const char* s) { return StrIn::FromC(s ? s : ""); }

void CopyOut(std::string_view text, char* dst, std::size_t len) {
  if (dst == nullptr || len == 0) return;
  Strings_Assign(text, StrOut(dst, len - 1));
  // StrOut(dst, len - 1) has room for len characters: the value fills it or ends in NUL.
}

// Pops every reason and writes it, one line each, to the descriptor fd.
void WriteReasons(int fd) {
  char line[5120];
  while (MsgErrorReason(line, sizeof line - 1) != 0) {
    line[sizeof line - 1] = '\0';
    std::string out = line;
    out += '\n';
    const char* p = out.data();
    std::size_t left = out.size();
    while (left > 0) {
      const ssize_t n = ::write(fd, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  }
}

}  // namespace

void Msg_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Msg");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
}

void MsgError(const char* section, unsigned number) {
  if (plugged) {
    plug.error(In(section), number);
    return;
  }
  // Built by appending: GCC 12 at -O3 reports a false -Wrestrict on the chain of operator+.
  std::string text = "(";
  text.append(section ? section : "").append(", ").append(std::to_string(number));
  text.append(") : no message text (message system not started)");
  builtin::Push(text);
}

void MsgIgnoreErrors(bool on) {
  if (plugged) {
    plug.ignoreErrors(on);
  } else {
    builtin::IgnoreErrors(on);
  }
}

unsigned MsgIgnoreLevel() { return plugged ? plug.ignoreLevel() : builtin::level; }

unsigned MsgErrorCount(bool sinceLevel) {
  if (plugged) return plug.errorCount(sinceLevel);
  return static_cast<unsigned>(sinceLevel ? builtin::depth - builtin::Mark() : builtin::depth);
}

int MsgErrorReason(char* dst, std::size_t len) {
  if (plugged) {
    char text[5120];
    const bool popped = plug.errorReason(StrOut(text));
    CopyOut(StrIn(text).view(), dst, len);
    return popped ? 1 : 0;
  }
  if (builtin::depth == 0) {
    CopyOut("", dst, len);
    return 0;
  }
  CopyOut(builtin::reasons[--builtin::depth], dst, len);
  builtin::reasons[builtin::depth].clear();
  return 1;
}

void MsgSupplyAdditionalInfo(const char* text) {
  if (plugged) {
    plug.supplyAdditionalInfo(In(text));
  } else {
    builtin::Push(text ? text : "");
  }
}

void MsgAddInfo(const char* text) { MsgSupplyAdditionalInfo(text); }

void MsgAddIInfo(const char* text) {
  const std::string_view t = In(text).view();
  const std::string info = "::" + std::string(t.substr(0, 125));
  MsgSupplyAdditionalInfo(info.c_str());
}

void MsgForgetErrorReasons() {
  if (plugged) {
    plug.forgetErrorReasons();
    return;
  }
  const std::size_t mark = builtin::Mark();
  while (builtin::depth > mark) builtin::reasons[--builtin::depth].clear();
}

void MsgUseMsgCat(const char* name) {
  // Without the message system there is no catalogue pool to add to.
  if (plugged) plug.useMsgCat(In(name));
}

void MsgGetMessage(const char* section, unsigned number, char* dst, std::size_t len) {
  if (plugged) {
    plug.getMessage(In(section), number);
    CopyOut(StrIn(plugMessage, plugMessageSize - 1).view(), dst, len);
    return;
  }
  CopyOut("*** ERROR (" + std::string(section ? section : "") + ", " + std::to_string(number) +
              ") : message text not found ***",
          dst, len);
}

void ShowErrors() { WriteReasons(2); }

void FShowErrors(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    std::fprintf(stderr, "FShowErrors: cannot open '%s' (%s)\n", path, std::strerror(errno));
    return;
  }
  WriteReasons(fd);
  ::close(fd);
}

void MsgPlugModula(const char* message, std::size_t messageSize, const MsgOperations& ops) {
  plugMessage = message;
  plugMessageSize = messageSize;
  plug = ops;
  plugged = true;
  for (std::size_t i = 0; i < builtin::depth; ++i) {
    plug.supplyAdditionalInfo(builtin::reasons[i]);
    builtin::reasons[i].clear();
  }
  builtin::depth = 0;
  builtin::level = 0;
}
