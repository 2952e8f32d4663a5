// jukeserver: our jukebox server. It serves the FILESYS and SCSI jukeboxes of this host
// (as juke.conf describes them) to the network jukebox driver of other processes, one
// line a request, to several clients at once.
//
//   server:  Hi, i'm a jukebox server (proto=1.0)
//   client:  Hi jukebox server, i'm <program> (<pid>) on <node> (proto=1.0)
//   server:  i love you            (or "go away" and the end of the connection)
//
// Requests: "LoadState <name>" (answered "DATA <n>" and the state text), "SaveState",
// "StateModified <stamp>" ("OK <current stamp>"), "LockJukeBox", "UnlockJukeBox",
// "InitInventory", "SetDescription <element> <text>", "SetLabel <element> <text>",
// "ResetDrive <drive>", "LoadMedia <slot> <drive>", "UnloadMedia <drive> <slot>",
// "ImportMedia <slot>", "ExportMedia <slot>", "CleanDrive <slot> <drive>". Elements are
// numbered across robots, slots, ports and drives; slots and drives by their index.
// Success is "OK <number>", failure "ERROR <number> <text>".
//
// All clients share one descriptor per jukebox. A client that locks a jukebox holds its
// lock file too, so local programs honour it; until it unlocks or leaves, the other
// clients can read but not change that jukebox.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Jk.hpp"
#include "Processe.hpp"
#include "ScsiSim.hpp"
#include "Socket.hpp"
#include "UArgs.hpp"

extern char** environ;

namespace {

constexpr const char* kUsage =
    "usage: jukeserver [-p port] [-P major.minor]\n"
    "  Serves the jukeboxes of juke.conf; prints \"port <n>\" once it listens.\n"
    "  -p port   TCP port (default 0: any free one)\n"
    "  -P m.n    protocol version to announce (for testing clients)\n";

constexpr std::size_t kMaxLine = 4096;

struct Client {
  int fd = -1;
  int id = 0;
  std::string in;
  bool greeted = false;
  std::string juke;  // the jukebox of its last LoadState
};

std::map<std::string, std::unique_ptr<JkJukeDesc>> jukes;
std::map<std::string, int> owners;  // jukebox -> client id holding its lock

[[noreturn]] void Exit(int status) {
  Processe_SetExitStatus(status);
  Processe_Exit();
}

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr, "jukeserver: %s\n%s", why, kUsage);
  Exit(2);
}

void Reply(Client& c, const std::string& text) {
  const std::string line = text + "\n";
  if (!Socket_WriteAll(c.fd, line.data(), line.size())) Socket_Close(c.fd);
}

std::string Ok(long long n = 0) { return "OK " + std::to_string(n); }
std::string Err(const std::string& text) { return "ERROR -1 " + text; }

void Release(Client& c) {
  for (auto it = owners.begin(); it != owners.end();) {
    if (it->second == c.id) {
      if (auto j = jukes.find(it->first); j != jukes.end()) JkUnlockJukeBox(*j->second);
      it = owners.erase(it);
    } else {
      ++it;
    }
  }
}

bool Int(std::istringstream& in, int& v) { return static_cast<bool>(in >> v); }

std::string Handle(Client& c, const std::string& line) {
  std::istringstream in(line);
  std::string word;
  in >> word;
  if (word == "LoadState") {
    std::string name;
    if (!(in >> name)) return Err("LoadState needs a jukebox name");
    auto& slot = jukes[name];
    if (!slot) {
      auto d = std::make_unique<JkJukeDesc>();
      if (!JkLoadState(name.c_str(), *d)) {
        jukes.erase(name);
        return Err("cannot load jukebox '" + name + "'");
      }
      slot = std::move(d);
    } else if (!JkUpdateState(*slot)) {
      return Err("cannot update jukebox '" + name + "'");
    }
    c.juke = name;
    std::string text;
    if (!Juke_SPU_BuildJukeState(*slot, text)) return Err("bad jukebox state");
    if (text.size() > JkNetMaxData) return Err("state too large");
    return "DATA " + std::to_string(text.size()) + "\n" + text.substr(0, text.size() - 1);
  }
  auto it = jukes.find(c.juke);
  if (it == jukes.end()) return Err("no jukebox loaded");
  JkJukeDesc& d = *it->second;
  const auto owner = owners.find(c.juke);
  const bool othersLock = owner != owners.end() && owner->second != c.id;
  if (word == "StateModified") {
    long long stamp = 0;
    in >> stamp;
    return Ok(d.stateStamp);
  }
  if (othersLock) return Err("jukebox '" + c.juke + "' is locked by another client");
  if (word == "LockJukeBox") {
    if (owner != owners.end()) return Ok();
    if (!JkLockJukeBox(d)) return Err("cannot lock jukebox '" + c.juke + "'");
    owners[c.juke] = c.id;
    return Ok();
  }
  if (word == "UnlockJukeBox") {
    if (owner == owners.end()) return Ok();
    owners.erase(owner);
    return JkUnlockJukeBox(d) ? Ok() : Err("cannot unlock");
  }
  if (word == "SaveState") return JkSaveState(d) ? Ok() : Err("SaveState failed");
  if (word == "InitInventory") return JkInitInventory(d) ? Ok() : Err("InitInventory failed");
  int a = 0, b = 0;
  if (word == "SetDescription" || word == "SetLabel") {
    if (!Int(in, a)) return Err(word + " needs an element");
    std::string text;
    std::getline(in, text);
    if (!text.empty() && text[0] == ' ') text.erase(0, 1);
    JkElement* e = Jk_ElementByNumber(d, a);
    if (e == nullptr) return Err("no element " + std::to_string(a));
    const bool ok = word == "SetLabel" ? JkSetLabel(d, *e, text.c_str())
                                       : JkSetDescription(d, *e, text.c_str());
    return ok ? Ok() : Err(word + " failed");
  }
  if (word == "ResetDrive") {
    JkElement* dr = Int(in, a) ? JkSelectDrive(d, a) : nullptr;
    if (dr == nullptr) return Err("bad drive");
    return JkResetDrive(d, *dr) ? Ok() : Err("ResetDrive failed");
  }
  if (word == "LoadMedia" || word == "CleanDrive") {
    JkElement* s = Int(in, a) ? JkSelectSlot(d, a) : nullptr;
    JkElement* dr = Int(in, b) ? JkSelectDrive(d, b) : nullptr;
    if (s == nullptr || dr == nullptr) return Err("bad slot or drive");
    const bool ok = word == "LoadMedia" ? JkLoadMedia(d, *s, *dr) : JkCleanDrive(d, *s, *dr);
    return ok ? Ok() : Err(word + " failed");
  }
  if (word == "UnloadMedia") {
    JkElement* dr = Int(in, a) ? JkSelectDrive(d, a) : nullptr;
    JkElement* s = Int(in, b) ? JkSelectSlot(d, b) : nullptr;
    if (s == nullptr || dr == nullptr) return Err("bad slot or drive");
    return JkUnloadMedia(d, *dr, *s) ? Ok() : Err("UnloadMedia failed");
  }
  if (word == "ImportMedia" || word == "ExportMedia") {
    JkElement* s = Int(in, a) ? JkSelectSlot(d, a) : nullptr;
    if (s == nullptr) return Err("bad slot");
    const bool ok = word == "ImportMedia" ? JkImportMedia(d, *s) : JkExportMedia(d, *s);
    return ok ? Ok() : Err(word + " failed");
  }
  return Err("unknown request '" + word + "'");
}

void Serve(Client& c, const std::string& line) {
  if (!c.greeted) {
    if (line.rfind("Hi jukebox server, i'm ", 0) == 0 &&
        line.find("(proto=1.") != std::string::npos) {
      c.greeted = true;
      Reply(c, "i love you");
    } else {
      Reply(c, "go away");
      Socket_Close(c.fd);
    }
    return;
  }
  Reply(c, Handle(c, line));
}

}  // namespace

int main(int argc, char** argv) {
  M2C_INIT(argc, argv, environ);
  Processe_Init();
  Socket_Init();
  Jk_Init();
  ScsiSim_Init();  // simulated changers are served like real ones
  int port = 0;
  std::string proto = "1.0";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      Exit(0);
    } else if (a == "-p" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (a == "-P" && i + 1 < argc) {
      proto = argv[++i];
    } else {
      Usage(("unknown argument '" + a + "'").c_str());
    }
  }
  std::string error;
  const int listener = Socket_Listen(port, 16, error, true);
  if (listener < 0) {
    std::fprintf(stderr, "jukeserver: %s\n", error.c_str());
    Exit(1);
  }
  std::printf("port %d\n", Socket_LocalPort(listener));
  std::fflush(stdout);
  std::vector<Client> clients;
  int nextId = 1;
  for (;;) {
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) continue;
    const std::size_t polled = clients.size();  // a client accepted below waits for the next poll
    if (fds[0].revents & POLLIN) {
      const int fd = Socket_Accept(listener, nullptr);
      if (fd >= 0) {
        Client c;
        c.fd = fd;
        c.id = nextId++;
        Reply(c, "Hi, i'm a jukebox server (proto=" + proto + ")");
        if (c.fd >= 0) clients.push_back(std::move(c));
      }
    }
    for (std::size_t i = 0; i < polled; ++i) {
      Client& c = clients[i];
      if (!(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const long n = Socket_Read(c.fd, buffer, sizeof buffer);
      if (n == -2) continue;
      if (n <= 0) {
        Socket_Close(c.fd);
        continue;
      }
      c.in.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t nl; c.fd >= 0 && (nl = c.in.find('\n')) != std::string::npos;) {
        const std::string line = c.in.substr(0, nl);
        c.in.erase(0, nl + 1);
        Serve(c, line);
      }
      if (c.fd >= 0 && c.in.size() > kMaxLine) Socket_Close(c.fd);
    }
    for (auto it = clients.begin(); it != clients.end();) {
      if (it->fd < 0) {
        Release(*it);
        it = clients.erase(it);
      } else {
        ++it;
      }
    }
  }
}
