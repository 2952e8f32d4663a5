// FolvaneO: the sheet-layout application's registration of a restored order, as the
// restore jobs call it last:
//
//   FolvaneO -r [N:HOST[,N:HOST...]] ORDER
//
// Each item names a form of the order by its number and the host that now holds its job
// directory (a comma inside a host may be written "\,"); without items only the order
// itself is registered. The order info file ORDER.aif is looked for first where the
// restore job that runs us read it to (its script, exported as scriptName, sets baseDir
// before each file list), then in the current directory and the "orders" directories
// beside it and above it, the job roots listed in "folvaneoJobRoots" of the customer
// directory and the standard orders directory.
//
// The order is registered by the file ORDER.registered beside the order info file (made
// under a temporary name and renamed), with the lines "order ORDER", "info PATH", one
// "form N HOST" per item and "registered DATE". Exit status 0 when registered; 1 when
// the order info file is missing or unreadable or the record cannot be written, with
// the reason on standard error; 2 for a wrong command line.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DirAcces.hpp"
#include "Processe.hpp"
#include "UArgs.hpp"

extern char** environ;

namespace {

constexpr char kUsage[] =
    "usage: FolvaneO -r [N:HOST[,N:HOST...]] ORDER\n"
    "  Registers the restored order ORDER, with its forms N on the hosts HOST.\n";

[[noreturn]] void Exit(int status) {
  Processe_SetExitStatus(status);
  Processe_Exit();
}

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr, "FolvaneO: %s\n%s", why, kUsage);
  Exit(2);
}

struct FormItem {
  int number;
  std::string host;
};

bool StartsItem(const std::string& text, std::size_t at) {
  std::size_t i = at;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  return i > at && i < text.size() && text[i] == ':';
}

// The items of "N:HOST,N:HOST": an item starts with digits and a colon, so a comma that
// is not followed by one belongs to the host before it (whether escaped or not: a shell
// between the restore job and us takes the backslash away).
std::optional<std::vector<FormItem>> ParseItems(const std::string& text) {
  std::vector<FormItem> items;
  std::size_t at = 0;
  while (at < text.size()) {
    if (!StartsItem(text, at)) return std::nullopt;
    const std::size_t colon = text.find(':', at);
    FormItem item{std::atoi(text.substr(at, colon - at).c_str()), ""};
    std::size_t i = colon + 1;
    for (; i < text.size(); ++i) {
      if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == ',') {
        item.host += text[++i];
      } else if (text[i] == ',' && StartsItem(text, i + 1)) {
        break;
      } else {
        item.host += text[i];
      }
    }
    if (item.number < 1 || item.host.empty()) return std::nullopt;
    items.push_back(item);
    at = i + 1;
  }
  return items;
}

std::string CurrentDir() {
  char dir[4096];
  return ::getcwd(dir, sizeof dir) != nullptr ? dir : "";
}

// A word of the job script with its backslash escapes undone.
std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

// The directory the running restore job read the order info file into: the last
// "baseDir=" of its script before the file list that names the file.
std::string DirOfJobScript(const std::string& order) {
  const char* script = std::getenv("scriptName");
  if (script == nullptr || *script == '\0') return "";
  std::ifstream in(script);
  std::string line, base, found;
  while (std::getline(in, line)) {
    if (line.starts_with("baseDir=")) {
      base = Unescape(std::string_view(line).substr(8));
    } else if (line.starts_with("echo ") &&
               Unescape(std::string_view(line).substr(5)) == order + ".aif") {
      found = base;
    }
  }
  return found;
}

// The orders directories to look in, most specific first.
std::vector<std::string> OrdersDirs(const std::string& order) {
  std::vector<std::string> dirs;
  if (std::string fromJob = DirOfJobScript(order); !fromJob.empty()) dirs.push_back(fromJob);
  const std::string here = CurrentDir();
  if (!here.empty()) {
    dirs.push_back(here);
    for (std::string up = here; !up.empty(); up = up.substr(0, up.rfind('/'))) {
      dirs.push_back(up + "/orders");
    }
  }
  char roots[1024];
  DirAcces_IncludeSpecialPath(DirAcces_customerPath, "folvaneoJobRoots", roots);
  std::ifstream in(roots);
  for (std::string line; std::getline(in, line);) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    dirs.push_back(line.substr(start, line.find_first_of(" \t", start) - start));
  }
  char projects[1024];
  DirAcces_IncludeSpecialPath(DirAcces_projectsPath, "orders", projects);
  dirs.push_back(projects);
  return dirs;
}

std::string Today() {
  const std::time_t now = std::time(nullptr);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  return text;
}

bool WriteRecord(const std::string& path, const std::string& text) {
  const std::string tmp = path + "." + std::to_string(::getpid()) + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (::close(fd) == 0 && written && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
  std::remove(tmp.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  M2C_INIT(argc, argv, environ);
  Processe_Init();
  DirAcces_Init();
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "--help") {
    std::printf("%s", kUsage);
    Exit(0);
  }
  if (args.empty() || args[0] != "-r") Usage("only registration (-r) is served here");
  if (args.size() != 2 && args.size() != 3) Usage("wrong number of arguments");
  const std::string order = args.back();
  if (order.empty() || order.find('/') != std::string::npos || order[0] == '.') {
    Usage("the order name must be a plain file name");
  }
  const auto items = ParseItems(args.size() == 3 ? args[1] : "");
  if (!items) Usage(("bad form items: " + args[1]).c_str());

  std::string info;
  for (const std::string& dir : OrdersDirs(order)) {
    if (::access((dir + "/" + order + ".aif").c_str(), F_OK) == 0) {
      info = dir + "/" + order + ".aif";
      break;
    }
  }
  if (info.empty()) {
    std::fprintf(stderr,
                 "FolvaneO: order %s: no order info file %s.aif in the orders directories\n",
                 order.c_str(), order.c_str());
    Exit(1);
  }
  std::ifstream in(info, std::ios::binary);
  char first = 0;
  if (!in || !in.get(first)) {
    std::fprintf(stderr, "FolvaneO: order %s: the order info file %s is empty or cannot be read\n",
                 order.c_str(), info.c_str());
    Exit(1);
  }

  std::string record = "order " + order + "\ninfo " + info + "\n";
  for (const FormItem& item : *items) {
    record += "form " + std::to_string(item.number) + " " + item.host + "\n";
  }
  record += "registered " + Today() + "\n";
  const std::string path = info.substr(0, info.size() - 4) + ".registered";
  if (!WriteRecord(path, record)) {
    std::fprintf(stderr, "FolvaneO: order %s: cannot write %s: %s\n", order.c_str(), path.c_str(),
                 std::strerror(errno));
    Exit(1);
  }
  std::printf("FolvaneO: order %s registered with %zu form%s\n", order.c_str(), items->size(),
              items->size() == 1 ? "" : "s");
  Exit(0);
}
