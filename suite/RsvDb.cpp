#include "RsvDb.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "UCommon.hpp"

void RsvDb_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "RsvDb");
  if (!init) return;
  UCommon_Init();
}

namespace {

// Greedy glob matching with one backtrack point (the last "*" seen); same(p, t) says
// whether a pattern character other than "*" stands for a text character. Constant
// memory; time at most the product of the lengths.
template <class Same>
bool Glob(std::string_view pattern, std::string_view text, Same same) {
  std::size_t p = 0, t = 0;
  std::size_t star = std::string_view::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() && same(pattern[p], text[t])) {
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

// Two pattern characters other than "*" that some character matches.
bool Compatible(char a, char b) { return a == b || a == '?' || b == '?'; }

// Whether two fields (no colons) have a common match.
bool FieldOverlap(std::string_view a, std::string_view b) {
  const std::size_t aStar = a.find('*'), bStar = b.find('*');
  const bool aWild = aStar != std::string_view::npos, bWild = bStar != std::string_view::npos;
  if (!aWild && !bWild) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!Compatible(a[i], b[i])) return false;
    }
    return true;
  }
  if (aWild && bWild) {
    // Both have a star: whatever lies between the first and the last star of one can
    // be swallowed by a star of the other, so only the fixed ends must agree: the
    // parts before the first stars over their common length, and likewise the parts
    // after the last stars.
    const std::string_view aHead = a.substr(0, aStar), bHead = b.substr(0, bStar);
    const std::string_view aTail = a.substr(a.rfind('*') + 1), bTail = b.substr(b.rfind('*') + 1);
    const std::size_t head = std::min(aHead.size(), bHead.size());
    for (std::size_t i = 0; i < head; ++i) {
      if (!Compatible(aHead[i], bHead[i])) return false;
    }
    const std::size_t tail = std::min(aTail.size(), bTail.size());
    for (std::size_t i = 1; i <= tail; ++i) {
      if (!Compatible(aTail[aTail.size() - i], bTail[bTail.size() - i])) return false;
    }
    return true;
  }
  // One side has a fixed length: the other must match some text it stands for.
  return aWild ? Glob(a, b, Compatible) : Glob(b, a, Compatible);
}

// The fields of a name, without copying.
std::vector<std::string_view> SplitFields(std::string_view name) {
  std::vector<std::string_view> fields;
  std::size_t from = 0;
  for (;;) {
    const std::size_t colon = name.find(':', from);
    fields.push_back(name.substr(from, colon == std::string_view::npos ? colon : colon - from));
    if (colon == std::string_view::npos) return fields;
    from = colon + 1;
  }
}

bool HasWildcard(std::string_view field) { return field.find_first_of("*?") != field.npos; }

std::string WildKey(std::size_t fields, std::size_t at) {
  return std::to_string(fields) + ':' + std::to_string(at);
}

std::string LiteralKey(std::size_t fields, std::size_t at, std::string_view text) {
  std::string key = WildKey(fields, at);
  key += ':';
  key += text;
  return key;
}

// Journal records: "<count> <pid> <n>:<host><n>:<owner><n>:<name>\n"; count 0 means
// the holding is gone (or is now reclaimed with its process and so not kept).
void PutText(std::string& out, std::string_view text) {
  out += std::to_string(text.size());
  out += ':';
  out += text;
}

std::string Record(const RsvDb_Holding& h, int count) {
  std::string out = std::to_string(count) + ' ' + std::to_string(h.pid) + ' ';
  PutText(out, h.host);
  PutText(out, h.owner);
  PutText(out, h.name);
  out += '\n';
  return out;
}

bool GetNumber(std::string_view in, std::size_t& at, long long& value, char end) {
  std::size_t e = in.find(end, at);
  if (e == std::string_view::npos || e == at || e - at > 19) return false;
  const std::string digits(in.substr(at, e - at));
  char* stop = nullptr;
  value = std::strtoll(digits.c_str(), &stop, 10);
  if (*stop != '\0') return false;
  at = e + 1;
  return true;
}

bool GetText(std::string_view in, std::size_t& at, std::string& text) {
  long long n = 0;
  if (!GetNumber(in, at, n, ':') || n < 0 || static_cast<std::size_t>(n) > in.size() - at) {
    return false;
  }
  text.assign(in.substr(at, static_cast<std::size_t>(n)));
  at += static_cast<std::size_t>(n);
  return true;
}

}  // namespace

bool RsvDb_Match(std::string_view pattern, std::string_view text) {
  return Glob(pattern, text, [](char p, char t) { return p == '?' || p == t; });
}

bool RsvDb_Overlap(std::string_view a, std::string_view b) {
  // Wildcards never stand for the colon between fields, so both names need the same
  // number of fields, and each pair of fields must have a common match.
  for (;;) {
    const std::size_t ca = a.find(':'), cb = b.find(':');
    if ((ca == std::string_view::npos) != (cb == std::string_view::npos)) return false;
    if (!FieldOverlap(a.substr(0, ca), b.substr(0, cb))) return false;
    if (ca == std::string_view::npos) return true;
    a.remove_prefix(ca + 1);
    b.remove_prefix(cb + 1);
  }
}

std::string RsvDb_Explain(RsvDb_Outcome outcome, std::string_view name) {
  const std::string shown(name.substr(0, 200));
  switch (outcome) {
    case RsvDb_Outcome::done:
      return {};
    case RsvDb_Outcome::conflict:
      return "reservation " + shown + " is held by another process";
    case RsvDb_Outcome::nameTooLong:
      return "reservation name of " + std::to_string(name.size()) +
             " characters refused: names are limited to " + std::to_string(RsvDb_maxName) +
             " characters";
    case RsvDb_Outcome::notHeld:
      return "reservation " + shown + " is not held";
    case RsvDb_Outcome::notYours:
      return "reservation " + shown + " is held by another user: not released";
  }
  return {};
}

RsvDb::~RsvDb() {
  if (journalFd_ >= 0) ::close(journalFd_);
}

RsvDb::Id RsvDb::FindId(std::string_view host, std::int32_t pid, std::string_view name) const {
  const auto it = byName_.find(std::string(name));
  if (it == byName_.end()) return 0;
  for (const Id id : it->second) {
    const RsvDb_Holding& h = byId_.at(id);
    if (h.pid == pid && h.host == host) return id;
  }
  return 0;
}

void RsvDb::Index(Id id, const RsvDb_Holding& h, bool add) {
  auto put = [&](auto& map, auto key) {
    if (add) {
      map[key].insert(id);
      return;
    }
    const auto it = map.find(key);
    if (it == map.end()) return;
    it->second.erase(id);
    if (it->second.empty()) map.erase(it);
  };
  const std::vector<std::string_view> fields = SplitFields(h.name);
  for (std::size_t k = 0; k < fields.size(); ++k) {
    if (HasWildcard(fields[k])) {
      put(wild_, WildKey(fields.size(), k));
    } else {
      put(literal_, LiteralKey(fields.size(), k, fields[k]));
    }
  }
  put(byFieldCount_, fields.size());
  std::vector<Id>& named = byName_[h.name];
  if (add) {
    named.push_back(id);
  } else {
    std::erase(named, id);
    if (named.empty()) byName_.erase(h.name);
  }
}

template <class Skip>
const RsvDb_Holding* RsvDb::FirstConflict(std::string_view name, Skip skip) const {
  // Only holdings with as many fields can conflict. Where the name has a field without
  // wildcards, a conflicting holding has that very text or wildcards there: take the
  // field that leaves the fewest candidates.
  const std::vector<std::string_view> fields = SplitFields(name);
  static const std::unordered_set<Id> none;
  auto lookup = [](const auto& map, const auto& key) -> const std::unordered_set<Id>& {
    const auto it = map.find(key);
    return it == map.end() ? none : it->second;
  };
  const std::unordered_set<Id>* first = &lookup(byFieldCount_, fields.size());
  const std::unordered_set<Id>* second = &none;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    if (HasWildcard(fields[k])) continue;
    const auto& exact = lookup(literal_, LiteralKey(fields.size(), k, fields[k]));
    const auto& wild = lookup(wild_, WildKey(fields.size(), k));
    if (exact.size() + wild.size() < first->size() + second->size()) {
      first = &exact;
      second = &wild;
    }
  }
  // The oldest conflicting holding is the one named, whatever the index order.
  const RsvDb_Holding* found = nullptr;
  Id foundId = 0;
  for (const auto* set : {first, second}) {
    for (const Id id : *set) {
      if (found != nullptr && id > foundId) continue;
      const RsvDb_Holding& h = byId_.at(id);
      if (skip(h) || !RsvDb_Overlap(h.name, name)) continue;
      found = &h;
      foundId = id;
    }
  }
  return found;
}

RsvDb_Holding& RsvDb::Add(std::string_view host, std::int32_t pid, bool trap, std::string_view name,
                          const RsvDb_Requester& who) {
  if (const Id id = FindId(host, pid, name)) {
    RsvDb_Holding& h = byId_.at(id);
    // The first assertion of a holding read back from the journal confirms it: a
    // holder that asserts again what it held before the restart holds it once.
    if (h.restored) {
      h.restored = false;
    } else {
      ++h.count;
    }
    h.trapPrematureDeath = h.trapPrematureDeath || trap;
    if (trap && h.connection < 0) h.connection = who.connection;
    Note(h, false);
    return h;
  }
  const Id id = nextId_++;
  RsvDb_Holding& h = byId_[id];
  h.name = std::string(name);
  h.host = std::string(host);
  h.pid = pid;
  h.count = 1;
  h.trapPrematureDeath = trap;
  h.connection = who.connection;
  h.owner = who.owner;
  Index(id, h, true);
  Note(h, false);
  return h;
}

void RsvDb::Erase(Id id) {
  const auto it = byId_.find(id);
  Note(it->second, true);
  Index(id, it->second, false);
  byId_.erase(it);
}

namespace {

// Whether a requester may act on a holding.
bool MayTouch(const RsvDb_Holding& h, const RsvDb_Requester& who) {
  return who.privileged || h.owner == who.owner;
}

}  // namespace

RsvDb_Outcome RsvDb::Reserve(std::string_view host, std::int32_t pid, bool trap,
                             std::string_view name, const RsvDb_Requester& who,
                             RsvDb_Holder* holder) {
  if (name.size() > RsvDb_maxName) return RsvDb_Outcome::nameTooLong;
  // A process never conflicts with itself; a claimed host and pid make the same
  // process only together with the same owner.
  const RsvDb_Holding* other = FirstConflict(name, [&](const RsvDb_Holding& h) {
    return h.pid == pid && h.host == host && MayTouch(h, who);
  });
  if (other != nullptr) {
    if (holder != nullptr) {
      holder->host = other->host;
      holder->pid = other->pid;
    }
    return RsvDb_Outcome::conflict;
  }
  Add(host, pid, trap, name, who);
  return RsvDb_Outcome::done;
}

RsvDb_Outcome RsvDb::Use(std::string_view host, std::int32_t pid, bool trap, std::string_view name,
                         const RsvDb_Requester& who, RsvDb_Holder* holder) {
  if (name.size() > RsvDb_maxName) return RsvDb_Outcome::nameTooLong;
  if (!who.privileged) {
    const RsvDb_Holding* other =
        FirstConflict(name, [&](const RsvDb_Holding& h) { return h.owner == who.owner; });
    if (other != nullptr) {
      if (holder != nullptr) {
        holder->host = other->host;
        holder->pid = other->pid;
      }
      return RsvDb_Outcome::conflict;
    }
  }
  Add(host, pid, trap, name, who);
  return RsvDb_Outcome::done;
}

RsvDb_Outcome RsvDb::Release(std::string_view host, std::int32_t pid, std::string_view name,
                             const RsvDb_Requester& who) {
  const auto named = byName_.find(std::string(name));
  if (named == byName_.end()) return RsvDb_Outcome::notHeld;
  RsvDb_Outcome outcome = RsvDb_Outcome::notHeld;
  for (const Id id : named->second) {
    RsvDb_Holding& h = byId_.at(id);
    if (h.host != host || (pid > 0 && h.pid != pid)) continue;
    if (!MayTouch(h, who)) {
      outcome = RsvDb_Outcome::notYours;
      continue;
    }
    h.restored = false;
    if (--h.count < 1) {
      Erase(id);
    } else {
      Note(h, false);
    }
    return RsvDb_Outcome::done;
  }
  return outcome;
}

template <class Pred>
int RsvDb::EraseIf(Pred pred) {
  std::vector<Id> gone;
  for (const auto& [id, h] : byId_) {
    if (pred(h)) gone.push_back(id);
  }
  for (const Id id : gone) Erase(id);
  return static_cast<int>(gone.size());
}

int RsvDb::Free(std::string_view host, std::int32_t pid, std::string_view pattern,
                const RsvDb_Requester& who, int* refused) {
  int kept = 0;
  int n = 0;
  if (pattern.size() <= RsvDb_maxName) {
    n = EraseIf([&](const RsvDb_Holding& h) {
      if (h.host != host || (pid > 0 && h.pid != pid) || !RsvDb_Match(pattern, h.name)) {
        return false;
      }
      if (MayTouch(h, who)) return true;
      ++kept;
      return false;
    });
  }
  if (refused != nullptr) *refused = kept;
  return n;
}

int RsvDb::DropConnection(int connection) {
  return EraseIf(
      [&](const RsvDb_Holding& h) { return h.trapPrematureDeath && h.connection == connection; });
}

int RsvDb::DropProcess(std::string_view host, std::int32_t pid) {
  return EraseIf([&](const RsvDb_Holding& h) {
    return h.trapPrematureDeath && h.pid == pid && h.host == host;
  });
}

int RsvDb::DropHost(std::string_view host, const RsvDb_Requester& who) {
  return EraseIf([&](const RsvDb_Holding& h) {
    return h.trapPrematureDeath && h.host == host && MayTouch(h, who);
  });
}

std::vector<std::int32_t> RsvDb::TrappedProcesses(std::string_view host) const {
  std::vector<std::int32_t> pids;
  for (const auto& [id, h] : byId_) {
    if (h.trapPrematureDeath && h.host == host &&
        std::find(pids.begin(), pids.end(), h.pid) == pids.end()) {
      pids.push_back(h.pid);
    }
  }
  return pids;
}

std::vector<std::string> RsvDb::TrappedHosts() const {
  std::vector<std::string> hosts;
  for (const auto& [id, h] : byId_) {
    if (h.trapPrematureDeath && std::find(hosts.begin(), hosts.end(), h.host) == hosts.end()) {
      hosts.push_back(h.host);
    }
  }
  return hosts;
}

std::vector<RsvDb_Holding> RsvDb::holdings() const {
  std::vector<RsvDb_Holding> all;
  all.reserve(byId_.size());
  for (const auto& [id, h] : byId_) all.push_back(h);
  return all;
}

bool RsvDb::Dump(const std::string& path, std::string& error) const {
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  std::FILE* f = std::fopen(temporary.c_str(), "w");
  if (f == nullptr) {
    error = "cannot write " + temporary + ": " + std::strerror(errno);
    return false;
  }
  std::fprintf(f, "# reservations: %zu\n", byId_.size());
  std::fprintf(f, "# name\thost\tpid\tuses\treclaim\n");
  for (const auto& [id, h] : byId_) {
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

// ---- Journal ----

void RsvDb::Note(RsvDb_Holding& h, bool erased) {
  const int count = erased || h.trapPrematureDeath ? 0 : h.count;
  if (count == 0 && !h.journaled) return;
  if (count > 0 && !h.journaled) ++journaledHoldings_;
  if (count == 0 && h.journaled) --journaledHoldings_;
  h.journaled = count > 0;
  if (journalFd_ < 0) return;
  Append(Record(h, count));
  // Once the records are mostly history the journal is written afresh.
  if (journalRecords_ > 4 * journaledHoldings_ + 4096) Compact();
}

void RsvDb::Append(const std::string& record) {
  ssize_t w;
  do {
    w = ::write(journalFd_, record.data(), record.size());
  } while (w < 0 && errno == EINTR);
  if (w != static_cast<ssize_t>(record.size())) {
    journalError_ = "cannot write " + journalPath_ + ": " +
                    (w < 0 ? std::strerror(errno) : std::string("short write"));
  }
  ++journalRecords_;
}

void RsvDb::Compact() {
  // The kept holdings go to a temporary file that replaces the journal by a rename:
  // whoever reads it finds either the old records or the new ones, never a mix.
  const std::string temporary = journalPath_ + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    journalError_ = "cannot write " + temporary + ": " + std::strerror(errno);
    return;
  }
  std::string text;
  std::size_t records = 0;
  for (const auto& [id, h] : byId_) {
    if (!h.journaled) continue;
    text += Record(h, h.count);
    ++records;
  }
  bool ok = true;
  for (std::size_t at = 0; ok && at < text.size();) {
    const ssize_t w = ::write(fd, text.data() + at, text.size() - at);
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok) at += static_cast<std::size_t>(w);
  }
  ok = ok && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !ok || ::rename(temporary.c_str(), journalPath_.c_str()) != 0) {
    journalError_ = "cannot write " + journalPath_ + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return;
  }
  if (journalFd_ >= 0) ::close(journalFd_);
  journalFd_ = ::open(journalPath_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (journalFd_ < 0) journalError_ = "cannot open " + journalPath_ + ": " + std::strerror(errno);
  journalRecords_ = records;
}

bool RsvDb::OpenJournal(const std::string& path, std::string& error) {
  journalPath_ = path;
  std::ifstream in(path, std::ios::binary);
  if (in) {
    std::ostringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    // Replay: the last record of a holding tells its count. A record cut short by a
    // crash in the middle of a write ends the replay.
    std::map<std::tuple<std::string, std::int32_t, std::string>, std::pair<int, std::string>> kept;
    std::vector<std::tuple<std::string, std::int32_t, std::string>> order;
    for (std::size_t at = 0; at < text.size();) {
      long long count = 0, pid = 0;
      std::string host, owner, name;
      std::size_t p = at;
      if (!GetNumber(text, p, count, ' ') || !GetNumber(text, p, pid, ' ') ||
          !GetText(text, p, host) || !GetText(text, p, owner) || !GetText(text, p, name) ||
          p >= text.size() || text[p] != '\n') {
        break;
      }
      at = p + 1;
      auto key = std::make_tuple(host, static_cast<std::int32_t>(pid), name);
      if (kept.find(key) == kept.end()) order.push_back(key);
      kept[key] = {static_cast<int>(count), owner};
    }
    for (const auto& key : order) {
      const auto& [count, owner] = kept[key];
      if (count <= 0) continue;
      const auto& [host, pid, name] = key;
      if (FindId(host, pid, name) != 0) continue;
      RsvDb_Requester who;
      who.owner = owner;
      RsvDb_Holding& h = Add(host, pid, false, name, who);
      h.count = count;
      h.restored = true;
    }
  } else if (errno != ENOENT) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  Compact();
  if (journalFd_ < 0) {
    error = TakeJournalError();
    return false;
  }
  journalError_.clear();
  return true;
}

std::string RsvDb::TakeJournalError() {
  std::string e;
  e.swap(journalError_);
  return e;
}
