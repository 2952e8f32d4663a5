#include "RsvDb.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "UCommon.hpp"

void RsvDb_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "RsvDb");
  if (!init) return;
  UCommon_Init();
}

bool RsvDb_Match(std::string_view pattern, std::string_view text) {
  // Greedy with one backtrack point: the last "*" seen.
  std::size_t p = 0, t = 0;
  std::size_t star = std::string_view::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool RsvDb_Overlap(std::string_view a, std::string_view b) {
  // Both patterns read one common text; state (i, j) means a[0..i) and b[0..j) can
  // produce the same text. Every step moves forward in a, in b or in both, so one
  // pass in index order settles each state. Wildcards never stand for the colon that
  // separates the fields of a name.
  const std::size_t n = a.size(), m = b.size();
  std::vector<char> reach((n + 1) * (m + 1), 0);
  auto at = [m](std::size_t i, std::size_t j) { return i * (m + 1) + j; };
  reach[at(0, 0)] = 1;
  for (std::size_t i = 0; i <= n; ++i) {
    for (std::size_t j = 0; j <= m; ++j) {
      if (!reach[at(i, j)]) continue;
      const bool aStar = i < n && a[i] == '*';
      const bool bStar = j < m && b[j] == '*';
      if (aStar) reach[at(i + 1, j)] = 1;  // the star stands for nothing
      if (bStar) reach[at(i, j + 1)] = 1;
      if (i == n || j == m || (aStar && bStar)) continue;
      if (aStar) {
        if (b[j] != ':') reach[at(i, j + 1)] = 1;  // a's star takes the character b reads
      } else if (bStar) {
        if (a[i] != ':') reach[at(i + 1, j)] = 1;
      } else if ((a[i] == '?' && b[j] != ':') || (b[j] == '?' && a[i] != ':') || a[i] == b[j]) {
        reach[at(i + 1, j + 1)] = 1;
      }
    }
  }
  return reach[at(n, m)] != 0;
}

RsvDb_Holding* RsvDb::Find(std::string_view host, std::int32_t pid, std::string_view name) {
  for (RsvDb_Holding& h : holdings_) {
    if (h.pid == pid && h.host == host && h.name == name) return &h;
  }
  return nullptr;
}

void RsvDb::Add(std::string_view host, std::int32_t pid, bool trap, std::string_view name,
                int connection) {
  if (RsvDb_Holding* h = Find(host, pid, name)) {
    ++h->count;
    h->trapPrematureDeath = h->trapPrematureDeath || trap;
    return;
  }
  RsvDb_Holding h;
  h.name = std::string(name);
  h.host = std::string(host);
  h.pid = pid;
  h.count = 1;
  h.trapPrematureDeath = trap;
  h.connection = connection;
  holdings_.push_back(std::move(h));
}

bool RsvDb::Reserve(std::string_view host, std::int32_t pid, bool trap, std::string_view name,
                    int connection, RsvDb_Holder* holder) {
  for (const RsvDb_Holding& h : holdings_) {
    if (h.pid == pid && h.host == host) continue;
    if (RsvDb_Overlap(h.name, name)) {
      if (holder != nullptr) {
        holder->host = h.host;
        holder->pid = h.pid;
      }
      return false;
    }
  }
  Add(host, pid, trap, name, connection);
  return true;
}

void RsvDb::Use(std::string_view host, std::int32_t pid, bool trap, std::string_view name,
                int connection) {
  Add(host, pid, trap, name, connection);
}

bool RsvDb::Release(std::string_view host, std::int32_t pid, std::string_view name) {
  for (auto it = holdings_.begin(); it != holdings_.end(); ++it) {
    if (it->host != host || it->name != name || (pid > 0 && it->pid != pid)) continue;
    if (--it->count < 1) holdings_.erase(it);
    return true;
  }
  return false;
}

int RsvDb::Free(std::string_view host, std::int32_t pid, std::string_view pattern) {
  const auto before = holdings_.size();
  std::erase_if(holdings_, [&](const RsvDb_Holding& h) {
    return h.host == host && (pid <= 0 || h.pid == pid) && RsvDb_Match(pattern, h.name);
  });
  return static_cast<int>(before - holdings_.size());
}

int RsvDb::DropConnection(int connection) {
  const auto before = holdings_.size();
  std::erase_if(holdings_, [&](const RsvDb_Holding& h) {
    return h.trapPrematureDeath && h.connection == connection;
  });
  return static_cast<int>(before - holdings_.size());
}

int RsvDb::DropProcess(std::string_view host, std::int32_t pid) {
  const auto before = holdings_.size();
  std::erase_if(holdings_, [&](const RsvDb_Holding& h) {
    return h.trapPrematureDeath && h.pid == pid && h.host == host;
  });
  return static_cast<int>(before - holdings_.size());
}

int RsvDb::DropHost(std::string_view host) {
  const auto before = holdings_.size();
  std::erase_if(holdings_,
                [&](const RsvDb_Holding& h) { return h.trapPrematureDeath && h.host == host; });
  return static_cast<int>(before - holdings_.size());
}

std::vector<std::int32_t> RsvDb::TrappedProcesses(std::string_view host) const {
  std::vector<std::int32_t> pids;
  for (const RsvDb_Holding& h : holdings_) {
    if (h.trapPrematureDeath && h.host == host &&
        std::find(pids.begin(), pids.end(), h.pid) == pids.end()) {
      pids.push_back(h.pid);
    }
  }
  return pids;
}

bool RsvDb::Dump(const std::string& path, std::string& error) const {
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  std::FILE* f = std::fopen(temporary.c_str(), "w");
  if (f == nullptr) {
    error = "cannot write " + temporary + ": " + std::strerror(errno);
    return false;
  }
  std::fprintf(f, "# reservations: %zu\n", holdings_.size());
  std::fprintf(f, "# name\thost\tpid\tuses\treclaim\n");
  for (const RsvDb_Holding& h : holdings_) {
    std::fprintf(f, "%s\t%s\t%d\t%d\t%s\n", h.name.c_str(), h.host.c_str(), h.pid, h.count,
                 h.trapPrematureDeath ? "trapPrematureDeath" : "kept");
  }
  const bool written = std::fflush(f) == 0 && std::ferror(f) == 0;
  if (std::fclose(f) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}
