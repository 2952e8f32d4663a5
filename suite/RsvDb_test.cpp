#include "RsvDb.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>

#include "Sandbox.hpp"

namespace {

using O = RsvDb_Outcome;

// A privileged requester on connection c: acts for every owner.
RsvDb_Requester Conn(int c) {
  RsvDb_Requester who;
  who.privileged = true;
  who.connection = c;
  return who;
}

TEST(RsvDbMatch, WildcardsAndLiterals) {
  EXPECT_TRUE(RsvDb_Match("*", ""));
  EXPECT_TRUE(RsvDb_Match("*:M1:*", "host:M1:123-0-host"));
  EXPECT_FALSE(RsvDb_Match("*:M1:*", "host:M12:x"));
  EXPECT_TRUE(RsvDb_Match("a?c", "abc"));
  EXPECT_FALSE(RsvDb_Match("a?c", "ac"));
  EXPECT_TRUE(RsvDb_Match("a*b*c", "aXbYbZc"));
  EXPECT_FALSE(RsvDb_Match("a*b*c", "aXbYbZ"));
  // Only "*" and "?" are special.
  EXPECT_TRUE(RsvDb_Match("d.v|[0]", "d.v|[0]"));
  EXPECT_FALSE(RsvDb_Match("d.v", "dxv"));
  // A star in the pattern is a wildcard even where the text has a star.
  EXPECT_TRUE(RsvDb_Match("*", "*:W:*"));
  EXPECT_TRUE(RsvDb_Match("*:W*", "*:W:*"));
}

TEST(RsvDbMatch, OverlapOfTwoPatterns) {
  // Exclusive and shared names of the same thing overlap ...
  EXPECT_TRUE(RsvDb_Overlap("*:/o/A.aif:*", "*:/o/A.aif:04711-0-node1"));
  EXPECT_TRUE(RsvDb_Overlap("*:/o/A.aif:04711-0-node1", "*:/o/A.aif:*"));
  // ... two shared names do not, nor do different things.
  EXPECT_FALSE(RsvDb_Overlap("*:/o/A.aif:04711-0-node1", "*:/o/A.aif:04711-1-node1"));
  EXPECT_FALSE(RsvDb_Overlap("*:/o/A.aif:*", "*:/o/B.aif:*"));
  // A device reserved by its host's scope and by any host.
  EXPECT_TRUE(RsvDb_Overlap("node1:tape0:*", "*:tape0:*"));
  EXPECT_FALSE(RsvDb_Overlap("node1:tape0:*", "node2:tape0:*"));
  EXPECT_TRUE(RsvDb_Overlap("a?c", "*c"));
  EXPECT_TRUE(RsvDb_Overlap("a*", "*b"));
  EXPECT_FALSE(RsvDb_Overlap("a*", "b*"));
  EXPECT_FALSE(RsvDb_Overlap("a?", "a"));
  EXPECT_TRUE(RsvDb_Overlap("", "**"));
  EXPECT_FALSE(RsvDb_Overlap("", "?"));
  EXPECT_TRUE(RsvDb_Overlap("x.y", "x.y"));
  // Wildcards stay within their field.
  EXPECT_FALSE(RsvDb_Overlap("a:*", "a:b:c"));
  EXPECT_FALSE(RsvDb_Overlap("a*c", "a:c"));
  EXPECT_FALSE(RsvDb_Overlap("?", ":"));
  EXPECT_FALSE(RsvDb_Overlap(":", "*"));
  EXPECT_TRUE(RsvDb_Overlap("*:*", "a:b"));
  EXPECT_TRUE(RsvDb_Overlap("?:b", "a:?"));
  EXPECT_FALSE(RsvDb_Overlap("x.y", "xzy"));
}

TEST(RsvDb, ExclusiveHasOneHolderSharedCoexistAndBlockExclusive) {
  RsvDb db;
  RsvDb_Holder who;
  EXPECT_TRUE(db.Reserve("h1", 10, true, "*:A:10-0-h1", Conn(1), &who) == O::done);
  EXPECT_TRUE(db.Reserve("h1", 11, true, "*:A:11-0-h1", Conn(2), &who) == O::done);
  EXPECT_FALSE(db.Reserve("h2", 12, true, "*:A:*", Conn(3), &who) == O::done);
  EXPECT_EQ(who.host, "h1");
  EXPECT_EQ(who.pid, 10);
  EXPECT_TRUE(db.Reserve("h2", 12, true, "*:B:*", Conn(3), &who) == O::done);
  EXPECT_FALSE(db.Reserve("h1", 10, true, "*:B:*", Conn(1), &who) == O::done);
  EXPECT_FALSE(db.Reserve("h1", 10, true, "*:B:10-1-h1", Conn(1), &who) == O::done);
  EXPECT_EQ(who.pid, 12);
  // A holder never conflicts with itself: reserving again counts a further use.
  EXPECT_TRUE(db.Reserve("h2", 12, true, "*:B:*", Conn(3), &who) == O::done);
  ASSERT_EQ(db.holdings().size(), 3u);
  EXPECT_EQ(db.holdings()[2].count, 2);
  // The same pid on another host is another process.
  EXPECT_FALSE(db.Reserve("h9", 12, true, "*:B:*", Conn(4), nullptr) == O::done);
}

TEST(RsvDb, ReleaseCountsDownFreeRemovesWhatMatches) {
  RsvDb db;
  ASSERT_TRUE(db.Reserve("h", 5, false, "*:X:*", Conn(1), nullptr) == O::done);
  db.Use("h", 5, false, "*:X:*", Conn(1));
  EXPECT_TRUE(db.Release("h", 5, "*:X:*", Conn(0)) == O::done);
  EXPECT_FALSE(db.Reserve("h", 6, false, "*:X:*", Conn(2), nullptr) == O::done);
  EXPECT_TRUE(db.Release("h", 5, "*:X:*", Conn(0)) == O::done);
  EXPECT_TRUE(db.holdings().empty());
  EXPECT_FALSE(db.Release("h", 5, "*:X:*", Conn(0)) == O::done);

  // Another process's release does not touch the holding; pid 0 means any process.
  ASSERT_TRUE(db.Reserve("h", 5, false, "*:Y:*", Conn(1), nullptr) == O::done);
  EXPECT_FALSE(db.Release("h", 6, "*:Y:*", Conn(0)) == O::done);
  EXPECT_FALSE(db.Release("other", 5, "*:Y:*", Conn(0)) == O::done);
  EXPECT_TRUE(db.Release("h", 0, "*:Y:*", Conn(0)) == O::done);
  EXPECT_TRUE(db.holdings().empty());

  ASSERT_TRUE(db.Reserve("h", 5, false, "*:Z1:*", Conn(1), nullptr) == O::done);
  db.Use("h", 5, false, "*:Z1:*", Conn(1));
  ASSERT_TRUE(db.Reserve("h", 5, false, "*:Z2:*", Conn(1), nullptr) == O::done);
  ASSERT_TRUE(db.Reserve("h", 5, false, "*:W:*", Conn(1), nullptr) == O::done);
  ASSERT_TRUE(db.Reserve("h", 7, false, "*:Z3:*", Conn(1), nullptr) == O::done);
  EXPECT_EQ(db.Free("h", 5, "*:Z*", Conn(0)), 2);
  ASSERT_EQ(db.holdings().size(), 2u);
  EXPECT_EQ(db.Free("h", -1, "*", Conn(0)), 2);
}

TEST(RsvDb, ReclaimTouchesOnlyTrapPrematureDeathHoldings) {
  RsvDb db;
  ASSERT_TRUE(db.Reserve("h", 5, true, "*:T1:*", Conn(1), nullptr) == O::done);
  ASSERT_TRUE(db.Reserve("h", 5, false, "*:K1:*", Conn(1), nullptr) == O::done);
  ASSERT_TRUE(db.Reserve("h", 6, true, "*:T2:*", Conn(2), nullptr) == O::done);
  ASSERT_TRUE(db.Reserve("g", 6, true, "*:T3:*", Conn(-1), nullptr) == O::done);
  EXPECT_EQ(db.TrappedProcesses("h"), (std::vector<std::int32_t>{5, 6}));
  EXPECT_EQ(db.DropConnection(1), 1);
  EXPECT_EQ(db.DropProcess("h", 6), 1);
  EXPECT_EQ(db.DropHost("g", Conn(0)), 1);
  ASSERT_EQ(db.holdings().size(), 1u);
  EXPECT_EQ(db.holdings()[0].name, "*:K1:*");
  EXPECT_EQ(db.DropProcess("h", 5), 0);
}

TEST(RsvDb, DumpWritesOneLinePerHolding) {
  RsvDb db;
  ASSERT_TRUE(db.Reserve("h", 5, true, "*:T1:*", Conn(1), nullptr) == O::done);
  db.Use("h", 5, true, "*:T1:*", Conn(1));
  ASSERT_TRUE(db.Reserve("g", 8, false, "g:dev:*", Conn(1), nullptr) == O::done);
  std::string error;
  const std::string path = zolt::test::SandboxDir() + "/dump";
  ASSERT_TRUE(db.Dump(path, error)) << error;
  EXPECT_EQ(zolt::test::ReadFile(path),
            "# reservations: 2\n# name\thost\tpid\tuses\treclaim\n"
            "*:T1:*\th\t5\t2\ttrapPrematureDeath\n"
            "g:dev:*\tg\t8\t1\tkept\n");
  EXPECT_FALSE(db.Dump(zolt::test::SandboxDir() + "/no/such/dir/dump", error));
  EXPECT_FALSE(error.empty());
}

// The plain state search over both patterns: the reference the field-wise comparison
// must agree with.
bool ReferenceOverlap(std::string_view a, std::string_view b) {
  const std::size_t n = a.size(), m = b.size();
  std::vector<char> reach((n + 1) * (m + 1), 0);
  auto at = [m](std::size_t i, std::size_t j) { return i * (m + 1) + j; };
  reach[at(0, 0)] = 1;
  for (std::size_t i = 0; i <= n; ++i) {
    for (std::size_t j = 0; j <= m; ++j) {
      if (!reach[at(i, j)]) continue;
      const bool aStar = i < n && a[i] == '*', bStar = j < m && b[j] == '*';
      if (aStar) reach[at(i + 1, j)] = 1;
      if (bStar) reach[at(i, j + 1)] = 1;
      if (i == n || j == m || (aStar && bStar)) continue;
      if (aStar) {
        if (b[j] != ':') reach[at(i, j + 1)] = 1;
      } else if (bStar) {
        if (a[i] != ':') reach[at(i + 1, j)] = 1;
      } else if ((a[i] == '?' && b[j] != ':') || (b[j] == '?' && a[i] != ':') || a[i] == b[j]) {
        reach[at(i + 1, j + 1)] = 1;
      }
    }
  }
  return reach[at(n, m)] != 0;
}

std::string RandomName(std::mt19937& rng, const char* alphabet, int maxLength) {
  const std::size_t letters = std::char_traits<char>::length(alphabet);
  std::string s(std::uniform_int_distribution<int>(0, maxLength)(rng), ' ');
  for (char& c : s) c = alphabet[std::uniform_int_distribution<std::size_t>(0, letters - 1)(rng)];
  return s;
}

TEST(RsvDbMatch, OverlapAgreesWithTheFullSearchAndStaysSmallOnHugeNames) {
  std::mt19937 rng(15);
  for (int i = 0; i < 200000; ++i) {
    const std::string a = RandomName(rng, "ab*?:", 7), b = RandomName(rng, "ab*?:", 7);
    ASSERT_EQ(RsvDb_Overlap(a, b), ReferenceOverlap(a, b)) << a << " / " << b;
  }
  // Two names of 65,536 characters: no table of their product, and quick.
  const std::string x = "*:" + std::string(65536, 'x') + "*", y = "*:*" + std::string(65536, 'x');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(RsvDb_Overlap(x, y));
  EXPECT_FALSE(RsvDb_Overlap(x, "*:" + std::string(65536, 'y') + "*"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(RsvDb, NamesOverTheLimitAreRefusedWithAReason) {
  RsvDb db;
  const std::string longest(RsvDb_maxName, 'n'), tooLong(RsvDb_maxName + 1, 'n');
  EXPECT_EQ(db.Reserve("h", 1, true, longest, Conn(1), nullptr), O::done);
  EXPECT_EQ(db.Reserve("h", 1, true, tooLong, Conn(1), nullptr), O::nameTooLong);
  EXPECT_EQ(db.Use("h", 1, true, tooLong, Conn(1)), O::nameTooLong);
  EXPECT_EQ(db.size(), 1u);
  EXPECT_NE(RsvDb_Explain(O::nameTooLong, tooLong).find("limited to 1024"), std::string::npos);
}

TEST(RsvDb, TheIndexFindsEveryConflictAFullScanFinds) {
  // Names of one to three fields over a small alphabet, so that literal and wild
  // fields meet often; every outcome is checked against all holdings.
  std::mt19937 rng(5);
  RsvDb db;
  for (int round = 0; round < 20000; ++round) {
    std::string name = RandomName(rng, "ab*?", 2);
    for (int f = std::uniform_int_distribution<int>(0, 2)(rng); f > 0; --f) {
      name += ':' + RandomName(rng, "ab*?", 2);
    }
    const std::int32_t pid = std::uniform_int_distribution<int>(1, 6)(rng);
    if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) {
      db.Release("h", pid, name, Conn(0));
      continue;
    }
    bool expected = true;
    for (const RsvDb_Holding& h : db.holdings()) {
      if (h.pid != pid && RsvDb_Overlap(h.name, name)) expected = false;
    }
    ASSERT_EQ(db.Reserve("h", pid, false, name, Conn(1), nullptr) == O::done, expected) << name;
  }
}

TEST(RsvDb, ClaimsOfAnotherOwnerGainNothing) {
  RsvDb db;
  RsvDb_Requester alice, bob, root;
  alice.owner = "uid 1000";
  bob.owner = "uid 1001";
  root.owner = "uid 0";
  root.privileged = true;
  ASSERT_EQ(db.Reserve("h", 10, false, "*:A:*", alice, nullptr), O::done);
  // Bob names Alice's host and process: he is not her process for all that.
  RsvDb_Holder who;
  EXPECT_EQ(db.Reserve("h", 10, false, "*:A:*", bob, &who), O::conflict);
  EXPECT_EQ(who.pid, 10);
  EXPECT_EQ(db.Use("h", 10, false, "*:A:*", bob), O::conflict);
  EXPECT_EQ(db.Release("h", 10, "*:A:*", bob), O::notYours);
  EXPECT_EQ(db.Release("h", 0, "*:A:*", bob), O::notYours);
  int refused = 0;
  EXPECT_EQ(db.Free("h", 10, "*", bob, &refused), 0);
  EXPECT_EQ(refused, 1);
  ASSERT_EQ(db.size(), 1u);
  EXPECT_EQ(db.holdings()[0].count, 1);
  // Alice hands her name to a holder of her own; the job server (privileged) frees it.
  EXPECT_EQ(db.Use("h", 0x40000001, false, "*:A:*", alice), O::done);
  EXPECT_EQ(db.Reserve("h", 0x40000001, false, "*:B:*", root, nullptr), O::done);
  EXPECT_EQ(db.Free("h", 0x40000001, "*", root), 2);
  EXPECT_EQ(db.Release("h", 10, "*:A:*", alice), O::done);
  EXPECT_EQ(db.size(), 0u);
}

TEST(RsvDb, TheJournalKeepsWhatIsNotTiedToAConnection) {
  const std::string path = zolt::test::SandboxDir() + "/journal";
  RsvDb_Requester alice;
  alice.owner = "uid 1000";
  alice.connection = 3;
  std::string error;
  {
    RsvDb db;
    ASSERT_TRUE(db.OpenJournal(path, error)) << error;
    ASSERT_EQ(db.Reserve("h", 10, false, "*:kept\n:*", alice, nullptr), O::done);
    ASSERT_EQ(db.Use("h", 10, false, "*:kept\n:*", alice), O::done);
    ASSERT_EQ(db.Use("h", 0x40000002, false, "dev:tape0:*", alice), O::done);
    ASSERT_EQ(db.Reserve("h", 10, true, "*:tied:*", alice, nullptr), O::done);
    ASSERT_EQ(db.Reserve("h", 10, false, "*:gone:*", alice, nullptr), O::done);
    ASSERT_EQ(db.Release("h", 10, "*:gone:*", alice), O::done);
    // Many changes later the journal is compacted, not grown without end.
    for (int i = 0; i < 20000; ++i) {
      ASSERT_EQ(db.Reserve("h", 11, false, "*:churn:*", alice, nullptr), O::done);
      ASSERT_EQ(db.Release("h", 11, "*:churn:*", alice), O::done);
    }
    EXPECT_EQ(db.TakeJournalError(), "");
  }
  EXPECT_LT(zolt::test::ReadFile(path).size(), 400000u);
  // A record cut short by a crash is ignored.
  std::ofstream(path, std::ios::app) << "1 12 1:h8:uid 1000";
  RsvDb db;
  ASSERT_TRUE(db.OpenJournal(path, error)) << error;
  const std::vector<RsvDb_Holding> back = db.holdings();
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].name, "*:kept\n:*");
  EXPECT_EQ(back[0].count, 2);
  EXPECT_EQ(back[0].owner, "uid 1000");
  EXPECT_EQ(back[1].pid, 0x40000002);
  // Asserting a restored holding again confirms it; a further use counts.
  EXPECT_EQ(db.Use("h", 0x40000002, false, "dev:tape0:*", alice), O::done);
  EXPECT_EQ(db.holdings()[1].count, 1);
  EXPECT_EQ(db.Use("h", 0x40000002, false, "dev:tape0:*", alice), O::done);
  EXPECT_EQ(db.holdings()[1].count, 2);
  RsvDb_Requester bob;
  bob.owner = "uid 1001";
  EXPECT_EQ(db.Reserve("h", 12, false, "*:kept\n:*", bob, nullptr), O::conflict);
}

}  // namespace
