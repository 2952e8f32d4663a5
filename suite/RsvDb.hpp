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
// Holdings made with trapPrematureDeath are reclaimed when their process dies or the
// connection that made them drops.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct RsvDb_Holding {
  std::string name;
  std::string host;
  std::int32_t pid = 0;
  int count = 0;
  bool trapPrematureDeath = false;
  int connection = -1;  // the client connection that made it; -1 for none
};

// Who holds a conflicting reservation.
struct RsvDb_Holder {
  std::string host;
  std::int32_t pid = -1;
};

// Whether text matches pattern as a whole ("*" and "?" also stand for colons).
bool RsvDb_Match(std::string_view pattern, std::string_view text);
// Whether some name matches both patterns (wildcards within fields).
bool RsvDb_Overlap(std::string_view a, std::string_view b);

class RsvDb {
 public:
  // Grants and records one use, or refuses and names the conflicting holder.
  bool Reserve(std::string_view host, std::int32_t pid, bool trap, std::string_view name,
               int connection, RsvDb_Holder* holder);
  // Records one further use without asking: the process shares what is held for it.
  void Use(std::string_view host, std::int32_t pid, bool trap, std::string_view name,
           int connection);
  // Drops one use of the holding named exactly name by host and pid; with pid <= 0 the
  // holding of any process on host. False when there was none.
  bool Release(std::string_view host, std::int32_t pid, std::string_view name);
  // Removes every holding by host and pid (pid <= 0: any process on host) whose name
  // the pattern matches, whatever its count. Returns how many went.
  int Free(std::string_view host, std::int32_t pid, std::string_view pattern);

  // Reclaiming: trapPrematureDeath holdings of a connection, of a process, of a host.
  int DropConnection(int connection);
  int DropProcess(std::string_view host, std::int32_t pid);
  int DropHost(std::string_view host);

  // The processes of host that have trapPrematureDeath holdings.
  std::vector<std::int32_t> TrappedProcesses(std::string_view host) const;

  // Writes the holdings, one line each, to path (through a temporary file and a rename).
  bool Dump(const std::string& path, std::string& error) const;

  const std::vector<RsvDb_Holding>& holdings() const { return holdings_; }

 private:
  RsvDb_Holding* Find(std::string_view host, std::int32_t pid, std::string_view name);
  void Add(std::string_view host, std::int32_t pid, bool trap, std::string_view name,
           int connection);

  std::vector<RsvDb_Holding> holdings_;
};

void RsvDb_Init();
