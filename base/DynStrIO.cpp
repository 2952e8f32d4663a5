#include "DynStrIO.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "Messages.hpp"
#include "Msg.hpp"
#include "UCommon.hpp"

namespace {

constexpr std::size_t kPiece = 4095;  // bytes read from a command at a time

const char* const kErrorTexts[] = {
    "no error",
    "reading failed",
    "writing failed",
    "a quoted part is left open at the end of a line",
    "the command could not be started",
};

int ioError = 0;
int ioErrno = 0;

void SetError(int code) {
  ioError = code;
  ioErrno = code == 0 ? 0 : errno;
}

// The texts of this layer's reports live in their own catalogue, opened on first need.
void UseCatalogue() {
  static bool added = false;
  if (added) return;
  added = true;
  MsgIgnoreErrors(true);
  MsgUseMsgCat("LBASEmsg");
  MsgForgetErrorReasons();
  MsgIgnoreErrors(false);
}

void Store(const std::string& text, DS* dst) {
  DSStrFromStr(text.c_str(), static_cast<long>(text.size()), dst);
}

// The next physical line without its line end; false at the end of the stream.
bool ReadPhysical(FILE* stream, std::string& line) {
  line.clear();
  int c;
  while ((c = std::getc(stream)) != EOF && c != '\n') line += static_cast<char>(c);
  return c == '\n' || !line.empty();
}

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

void TrimEnd(std::string& s, std::size_t keep) {
  while (s.size() > keep && IsWhite(s.back())) s.pop_back();
}

}  // namespace

void DynStrIO_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "DynStrIO");
  if (!init) return;
  UCommon_Init();
  DynStr_Init();
  Msg_Init();
  Messages_Init();
}

bool DSWriteString(FILE* stream, DS ds, bool newline) {
  SetError(0);
  const std::size_t n = static_cast<std::size_t>(DSLength(ds));
  bool ok = n == 0 || std::fwrite(DSStr(ds), 1, n, stream) == n;
  if (ok && newline) ok = std::fputc('\n', stream) != EOF;
  if (!ok) SetError(2);
  return ok;
}

bool DSWriteLine(FILE* stream, DS ds) { return DSWriteString(stream, ds, true); }

bool DSReadLine(FILE* stream, DS* line) {
  SetError(0);
  static std::string text;
  if (!ReadPhysical(stream, text)) {
    if (std::ferror(stream)) SetError(1);
    if (*line != dsNil) DSAssignStr("", line);
    return false;
  }
  Store(text, line);
  return true;
}

long DSRead(FILE* stream, DS* ds, long max) {
  SetError(0);
  std::string text;
  char buf[4096];
  while (max < 0 || text.size() < static_cast<std::size_t>(max)) {
    std::size_t want = sizeof buf;
    if (max >= 0) want = std::min(want, static_cast<std::size_t>(max) - text.size());
    const std::size_t n = std::fread(buf, 1, want, stream);
    if (n == 0) break;
    text.append(buf, n);
  }
  if (std::ferror(stream)) {
    SetError(1);
    return -1;
  }
  Store(text, ds);
  return static_cast<long>(text.size());
}

bool DSReadString(FILE* stream, DS* ds) { return DSRead(stream, ds, -1) >= 0; }

bool DSXReadLine(FILE* stream, DS* line, long* lineNo, long* firstLine, char commentChar,
                 DS* comment) {
  SetError(0);
  std::string physical, out;
  bool started = false;
  char quote = 0;
  std::size_t keep = 0;  // out up to here is quoted or escaped and survives trimming
  while (true) {
    if (!ReadPhysical(stream, physical)) {
      if (std::ferror(stream)) SetError(1);
      if (!started || ioError != 0) {
        if (*line != dsNil) DSAssignStr("", line);
        return false;
      }
      break;  // the last line asked for a continuation that never came
    }
    ++*lineNo;
    std::string_view p = physical;
    if (quote == 0) {
      while (!p.empty() && IsWhite(p.front())) p.remove_prefix(1);
    }
    if (!started) {
      if (p.empty() || p.front() == commentChar) {
        if (comment != nullptr) DSConcat3Str(*comment, std::string(p).c_str(), "\n", comment);
        continue;
      }
      started = true;
      if (firstLine != nullptr) *firstLine = *lineNo;
    }
    bool continued = false;
    for (std::size_t i = 0; i < p.size(); ++i) {
      const char c = p[i];
      if (c == '\\' && i + 1 == p.size()) {
        continued = true;
      } else if (quote == '\'') {
        out += c;
        if (c == '\'') {
          quote = 0;
          keep = out.size();
        }
      } else if (c == '\\') {
        out += c;
        out += p[++i];
        keep = out.size();
      } else if (quote == '"') {
        out += c;
        if (c == '"') {
          quote = 0;
          keep = out.size();
        }
      } else if (c == '"' || c == '\'') {
        quote = c;
        out += c;
      } else if (c == commentChar) {
        break;
      } else {
        out += c;
      }
    }
    if (!continued) break;
    if (quote == 0) {
      TrimEnd(out, keep);
      out += ' ';
    }
  }
  if (quote != 0) {
    UseCatalogue();
    SetError(3);
    ioErrno = 0;
    MsgSupplyAdditionalInfo(("line " + std::to_string(*lineNo)).c_str());
    MsgError("DynStrIO", 3);
    if (*line != dsNil) DSAssignStr("", line);
    return false;
  }
  TrimEnd(out, keep);
  Store(out, line);
  return true;
}

int DSRunCmd(DS command, DS* output, long max) {
  SetError(0);
  if (DSLength(command) == 0) return 0;
  FILE* pipe = ::popen(DSStr(command), "r");
  if (pipe == nullptr) {
    SetError(4);
    return -1;
  }
  if (*output == dsNil) {
    *output = DSCreateStr("", 4096);
  } else {
    DSAssignStr("", output);
  }
  char buf[kPiece + 1];
  long total = 0;
  while (max < 0 || total < max) {
    std::size_t want = kPiece;
    if (max >= 0) want = std::min(want, static_cast<std::size_t>(max - total));
    const std::size_t n = std::fread(buf, 1, want, pipe);
    if (n == 0) break;
    buf[n] = '\0';
    DSConcatStr(*output, buf, output);
    total += static_cast<long>(n);
  }
  while (std::fread(buf, 1, kPiece, pipe) > 0) {
  }
  return ::pclose(pipe);
}

int DSIOError() { return ioError; }
int DSIOErrno() { return ioErrno; }

const char* DSIOStrError(int code) {
  constexpr int n = static_cast<int>(sizeof kErrorTexts / sizeof kErrorTexts[0]);
  return code >= 0 && code < n ? kErrorTexts[code] : "unknown error";
}
