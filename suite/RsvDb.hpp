// The reservation database of the resource manager "DUrazaze".
//
// A holding is one reservation name held by one process (host and process id) with a
// use count. Names are made of fields joined by colons and are patterns: within a field
// "*" stands for any sequence of characters and "?" for one character, every other
// character for itself; wildcards never stand for a colon. Two names conflict when some
// name matches both. A reservation is granted unless a holding of another process
// conflicts with it; a process never conflicts with itself. So an exclusive name
// ("scope:thing:*") has one holder, shared names ("scope:thing:<pid>-<counter>-<host>")
// coexist, and either kind blocks the other on the same thing.
//
// Release names a holding exactly; free takes a pattern whose "*" and "?" may also
// stand for colons, as the client's own list of held names does.
//
// Every holding also records its owner: who made it, as far as the server could verify
// (the local user behind the connection, or the remote address). The host and process
// id a request names are only claims: a requester that is not privileged (the
// superuser or the server's own user) is the same process as a holding only when the
// owner matches too, and may release, free, share or reclaim only holdings of its own
// owner.
//
// Holdings made with trapPrematureDeath are reclaimed when their process dies or the
// connection that made them drops. The others must outlive the server: with a journal
// opened, every change to them is appended to it as it happens (before the request is
// answered), and a restarted server reads them back. The journal is compacted through
// a temporary file and a rename.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// Longest reservation name (and free pattern) the server accepts, in bytes.
inline constexpr std::size_t RsvDb_maxName = 1024;

struct RsvDb_Holding {
  std::string name;
  std::string host;
  std::int32_t pid = 0;
  int count = 0;
  bool trapPrematureDeath = false;
  int connection = -1;     // the client connection that made it; -1 for none
  std::string owner;       // who made it, as verified by the server ("" unknown)
  bool restored = false;   // read back from the journal and not yet asserted again
  bool journaled = false;  // the journal holds it with a positive count
};

// Who holds a conflicting reservation.
struct RsvDb_Holder {
  std::string host;
  std::int32_t pid = -1;
};

// Who sends a request, as far as the server can verify it.
struct RsvDb_Requester {
  std::string owner;        // "uid 1000", "peer 192.0.2.7"; "" when nothing is known
  bool privileged = false;  // may act for every owner
  int connection = -1;      // the connection it came through; -1 for none
};

enum class RsvDb_Outcome {
  done,
  conflict,     // another holder has a conflicting name
  nameTooLong,  // longer than RsvDb_maxName
  notHeld,      // nothing to release
  notYours,     // held, but by another owner
};

// Whether text matches pattern as a whole ("*" and "?" also stand for colons).
bool RsvDb_Match(std::string_view pattern, std::string_view text);
// Whether some name matches both patterns (wildcards within fields). Memory stays
// constant whatever the lengths.
bool RsvDb_Overlap(std::string_view a, std::string_view b);
// A clear text for an outcome other than done.
std::string RsvDb_Explain(RsvDb_Outcome outcome, std::string_view name);

class RsvDb {
 public:
  RsvDb() = default;
  ~RsvDb();
  RsvDb(const RsvDb&) = delete;
  RsvDb& operator=(const RsvDb&) = delete;

  // Grants and records one use, or refuses and names the conflicting holder.
  RsvDb_Outcome Reserve(std::string_view host, std::int32_t pid, bool trap, std::string_view name,
                        const RsvDb_Requester& who, RsvDb_Holder* holder);
  // Records one further use without asking the other holders of the same owner: the
  // process shares what is held for it. A name that conflicts with a holding of
  // another owner is refused unless the requester is privileged.
  RsvDb_Outcome Use(std::string_view host, std::int32_t pid, bool trap, std::string_view name,
                    const RsvDb_Requester& who, RsvDb_Holder* holder = nullptr);
  // Drops one use of the holding named exactly name by host and pid; with pid <= 0 the
  // holding of any process on host.
  RsvDb_Outcome Release(std::string_view host, std::int32_t pid, std::string_view name,
                        const RsvDb_Requester& who);
  // Removes every holding by host and pid (pid <= 0: any process on host) whose name
  // the pattern matches, whatever its count. Returns how many went; refused counts the
  // matching holdings of other owners that stayed.
  int Free(std::string_view host, std::int32_t pid, std::string_view pattern,
           const RsvDb_Requester& who, int* refused = nullptr);

  // Reclaiming: trapPrematureDeath holdings of a connection, of a process, of a host
  // (of the requester's owner unless it is privileged).
  int DropConnection(int connection);
  int DropProcess(std::string_view host, std::int32_t pid);
  int DropHost(std::string_view host, const RsvDb_Requester& who);

  // The processes of host that have trapPrematureDeath holdings.
  std::vector<std::int32_t> TrappedProcesses(std::string_view host) const;
  // The hosts that have trapPrematureDeath holdings.
  std::vector<std::string> TrappedHosts() const;

  // Writes the holdings, one line each, to path (through a temporary file and a rename).
  bool Dump(const std::string& path, std::string& error) const;

  // Reads the holdings a journal at path keeps back in (as restored holdings), compacts
  // it and from then on appends every change of a holding without trapPrematureDeath.
  bool OpenJournal(const std::string& path, std::string& error);
  // The last failure to write the journal; cleared by reading it.
  std::string TakeJournalError();

  // The holdings in the order they were made.
  std::vector<RsvDb_Holding> holdings() const;
  std::size_t size() const { return byId_.size(); }

 private:
  using Id = std::uint64_t;
  Id FindId(std::string_view host, std::int32_t pid, std::string_view name) const;
  template <class Skip>
  const RsvDb_Holding* FirstConflict(std::string_view name, Skip skip) const;
  RsvDb_Holding& Add(std::string_view host, std::int32_t pid, bool trap, std::string_view name,
                     const RsvDb_Requester& who);
  void Erase(Id id);
  void Index(Id id, const RsvDb_Holding& h, bool add);
  void Note(RsvDb_Holding& h, bool erased);
  void Append(const std::string& record);
  void Compact();
  template <class Pred>
  int EraseIf(Pred pred);

  std::map<Id, RsvDb_Holding> byId_;
  std::unordered_map<std::string, std::vector<Id>> byName_;
  // Holdings by field: the key is the number of fields, the position and, for a field
  // without wildcards, its text; wild_ collects the holdings with wildcards there.
  std::unordered_map<std::string, std::unordered_set<Id>> literal_;
  std::unordered_map<std::string, std::unordered_set<Id>> wild_;
  std::unordered_map<std::size_t, std::unordered_set<Id>> byFieldCount_;
  Id nextId_ = 1;

  std::string journalPath_;
  int journalFd_ = -1;
  std::size_t journalRecords_ = 0;
  std::size_t journaledHoldings_ = 0;
  std::string journalError_;
};

void RsvDb_Init();
