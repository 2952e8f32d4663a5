#include "RsvDb.hpp"

#include <gtest/gtest.h>

#include "Sandbox.hpp"

namespace {

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
  EXPECT_TRUE(db.Reserve("h1", 10, true, "*:A:10-0-h1", 1, &who));
  EXPECT_TRUE(db.Reserve("h1", 11, true, "*:A:11-0-h1", 2, &who));
  EXPECT_FALSE(db.Reserve("h2", 12, true, "*:A:*", 3, &who));
  EXPECT_EQ(who.host, "h1");
  EXPECT_EQ(who.pid, 10);
  EXPECT_TRUE(db.Reserve("h2", 12, true, "*:B:*", 3, &who));
  EXPECT_FALSE(db.Reserve("h1", 10, true, "*:B:*", 1, &who));
  EXPECT_FALSE(db.Reserve("h1", 10, true, "*:B:10-1-h1", 1, &who));
  EXPECT_EQ(who.pid, 12);
  // A holder never conflicts with itself: reserving again counts a further use.
  EXPECT_TRUE(db.Reserve("h2", 12, true, "*:B:*", 3, &who));
  ASSERT_EQ(db.holdings().size(), 3u);
  EXPECT_EQ(db.holdings()[2].count, 2);
  // The same pid on another host is another process.
  EXPECT_FALSE(db.Reserve("h9", 12, true, "*:B:*", 4, nullptr));
}

TEST(RsvDb, ReleaseCountsDownFreeRemovesWhatMatches) {
  RsvDb db;
  ASSERT_TRUE(db.Reserve("h", 5, false, "*:X:*", 1, nullptr));
  db.Use("h", 5, false, "*:X:*", 1);
  EXPECT_TRUE(db.Release("h", 5, "*:X:*"));
  EXPECT_FALSE(db.Reserve("h", 6, false, "*:X:*", 2, nullptr));
  EXPECT_TRUE(db.Release("h", 5, "*:X:*"));
  EXPECT_TRUE(db.holdings().empty());
  EXPECT_FALSE(db.Release("h", 5, "*:X:*"));

  // Another process's release does not touch the holding; pid 0 means any process.
  ASSERT_TRUE(db.Reserve("h", 5, false, "*:Y:*", 1, nullptr));
  EXPECT_FALSE(db.Release("h", 6, "*:Y:*"));
  EXPECT_FALSE(db.Release("other", 5, "*:Y:*"));
  EXPECT_TRUE(db.Release("h", 0, "*:Y:*"));
  EXPECT_TRUE(db.holdings().empty());

  ASSERT_TRUE(db.Reserve("h", 5, false, "*:Z1:*", 1, nullptr));
  db.Use("h", 5, false, "*:Z1:*", 1);
  ASSERT_TRUE(db.Reserve("h", 5, false, "*:Z2:*", 1, nullptr));
  ASSERT_TRUE(db.Reserve("h", 5, false, "*:W:*", 1, nullptr));
  ASSERT_TRUE(db.Reserve("h", 7, false, "*:Z3:*", 1, nullptr));
  EXPECT_EQ(db.Free("h", 5, "*:Z*"), 2);
  ASSERT_EQ(db.holdings().size(), 2u);
  EXPECT_EQ(db.Free("h", -1, "*"), 2);
}

TEST(RsvDb, ReclaimTouchesOnlyTrapPrematureDeathHoldings) {
  RsvDb db;
  ASSERT_TRUE(db.Reserve("h", 5, true, "*:T1:*", 1, nullptr));
  ASSERT_TRUE(db.Reserve("h", 5, false, "*:K1:*", 1, nullptr));
  ASSERT_TRUE(db.Reserve("h", 6, true, "*:T2:*", 2, nullptr));
  ASSERT_TRUE(db.Reserve("g", 6, true, "*:T3:*", -1, nullptr));
  EXPECT_EQ(db.TrappedProcesses("h"), (std::vector<std::int32_t>{5, 6}));
  EXPECT_EQ(db.DropConnection(1), 1);
  EXPECT_EQ(db.DropProcess("h", 6), 1);
  EXPECT_EQ(db.DropHost("g"), 1);
  ASSERT_EQ(db.holdings().size(), 1u);
  EXPECT_EQ(db.holdings()[0].name, "*:K1:*");
  EXPECT_EQ(db.DropProcess("h", 5), 0);
}

TEST(RsvDb, DumpWritesOneLinePerHolding) {
  RsvDb db;
  ASSERT_TRUE(db.Reserve("h", 5, true, "*:T1:*", 1, nullptr));
  db.Use("h", 5, true, "*:T1:*", 1);
  ASSERT_TRUE(db.Reserve("g", 8, false, "g:dev:*", 1, nullptr));
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

}  // namespace
