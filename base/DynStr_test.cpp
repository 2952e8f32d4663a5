#include "DynStr.hpp"

#include <fnmatch.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "CIO.hpp"
#include "Sandbox.hpp"

namespace {

std::string S(DS ds) { return std::string(DSStr(ds), static_cast<std::size_t>(DSLength(ds))); }

DSStats Stats() {
  DSStats s;
  DSGetStats(&s);
  return s;
}

std::vector<std::string> Texts(DS* arr) {
  std::vector<std::string> out;
  for (long i = 0; arr != nullptr && arr[i] != dsNil; ++i) out.push_back(S(arr[i]));
  return out;
}

// Every byte of every heap is free, garbage or reserved by exactly one live string.
void ExpectHeapsAccountedFor() {
  const DSStats s = Stats();
  EXPECT_EQ(s.sizeOfHeaps, s.freeInHeaps + s.unusedByStrings + s.sizeOfStrings);
}

class DynStrTest : public ::testing::Test {
 protected:
  void SetUp() override { DynStr_Init(); }
};

// ---------------------------------------------------------------- heaps

TEST_F(DynStrTest, AppendingToTheLastStringOfItsBlockGrowsInPlaceUntilTheBlockIsFull) {
  DSHeapRef heap = DSCreateHeap(4096, 4096);
  DS first = DSCreateHStr(heap, "before", 0);
  DS s = DSCreateHStr(heap, "", 0);
  const char* at = DSStr(s);
  std::string model;
  for (int i = 0; i < 4000; ++i) {
    const char c = static_cast<char>('a' + i % 26);
    if (i % 2 == 0) {
      DSConcatChar(s, c, &s);
    } else {
      DSConcatStr(s, std::string(1, c).c_str(), &s);
    }
    model += c;
    ASSERT_EQ(DSStr(s), at) << "moved at append " << i;
  }
  EXPECT_EQ(S(s), model);
  EXPECT_EQ(DSSize(s), DSUsed(s));  // no byte reserved ahead

  // The block is full after 4096 - 7 bytes: the string moves once, keeps its text, and
  // then grows in place again in its new block.
  while (DSUsed(s) < 4096 - 7) {
    DSConcatChar(s, 'z', &s);
    model += 'z';
  }
  EXPECT_EQ(DSStr(s), at);
  DSConcatChar(s, 'y', &s);
  model += 'y';
  EXPECT_NE(DSStr(s), at);
  at = DSStr(s);
  DSConcatStr(s, "xx", &s);
  model += "xx";
  EXPECT_EQ(DSStr(s), at);
  EXPECT_EQ(S(s), model);
  EXPECT_EQ(S(first), "before");
  ExpectHeapsAccountedFor();
  DSFreeHeap(&heap);
  EXPECT_EQ(heap, dsHeapNil);
}

TEST_F(DynStrTest, AStringThatIsNotLastMovesBehindTheOthersAndLeavesGarbage) {
  DSHeapRef heap = DSCreateHeap(1024, 1024);
  DS a = DSCreateHStr(heap, "abc", 0);
  DS b = DSCreateHStr(heap, "def", 0);
  const char* oldA = DSStr(a);
  const DSStats before = Stats();
  DSConcatChar(a, 'x', &a);
  EXPECT_GT(DSStr(a), DSStr(b));
  EXPECT_NE(DSStr(a), oldA);
  EXPECT_EQ(S(a), "abcx");
  EXPECT_EQ(Stats().unusedByStrings - before.unusedByStrings, 4);
  // Freeing the last string lets the one before it take its room back.
  const char* bAt = DSStr(b);
  DSFree(&a);
  DSConcatStr(b, "ghijkl", &b);
  EXPECT_EQ(DSStr(b), bAt);
  EXPECT_EQ(S(b), "defghijkl");
  ExpectHeapsAccountedFor();
  DSFreeHeap(&heap);
}

class DynStrFullBlock : public DynStrTest {
 protected:
  // 16 strings of 63 characters fill a 1024-byte block exactly; every other one is freed.
  void SetUp() override {
    DynStrTest::SetUp();
    base = Stats();
    heap = DSCreateHeap(1024, 1024);
    for (int i = 0; i < 16; ++i) {
      strings.push_back(DSCreateHStr(heap, std::string(63, static_cast<char>('A' + i)).c_str(), 0));
    }
    for (int i = 0; i < 16; i += 2) DSFree(&strings[i]);
    before = Stats();
  }
  void TearDown() override { DSFreeHeap(&heap); }
  void ExpectSurvivorsIntact() {
    for (int i = 1; i < 16; i += 2) {
      EXPECT_EQ(S(strings[i]), std::string(63, static_cast<char>('A' + i)));
    }
  }
  DSHeapRef heap = dsHeapNil;
  std::vector<DS> strings;
  DSStats base{}, before{};  // before and after the strings were made
};

TEST_F(DynStrFullBlock, TheNextAllocationThatDoesNotFitCompactsTheBlock) {
  EXPECT_EQ(before.unusedByStrings - base.unusedByStrings, 8 * 64);
  const char* lastAt = DSStr(strings[15]);
  DS fresh = DSCreateHStr(heap, "new", 200);
  const DSStats after = Stats();
  EXPECT_EQ(after.numberOfHeapSegments, before.numberOfHeapSegments);  // no new block
  EXPECT_EQ(after.unusedByStrings, base.unusedByStrings);
  EXPECT_LT(DSStr(strings[15]), lastAt);
  ExpectSurvivorsIntact();
  EXPECT_EQ(S(fresh), "new");
  EXPECT_EQ(DSSize(fresh), 200u);
  ExpectHeapsAccountedFor();

  // A string made from the text of one that making room moves is still a true copy.
  DSFree(&strings[1]);
  const char* source = DSStr(strings[15]);
  for (int i = 0; i < 50 && DSStr(strings[15]) == source; ++i) {
    DSFree(&fresh);
    fresh = DSCreateHStr(heap, DSStr(strings[15]), 0);
    EXPECT_EQ(S(fresh), std::string(63, 'P'));
  }
  EXPECT_LT(DSStr(strings[15]), source);
}

TEST_F(DynStrFullBlock, ALockedHeapIsNeverCompactedAndGetsANewBlock) {
  DSLockHeap(heap);
  std::vector<const char*> at;
  for (int i = 1; i < 16; i += 2) at.push_back(DSStr(strings[i]));
  DS fresh = DSCreateHStr(heap, "new", 0);
  EXPECT_EQ(Stats().numberOfHeapSegments - before.numberOfHeapSegments, 1);
  EXPECT_EQ(Stats().sizeOfHeaps - before.sizeOfHeaps, 1024);
  EXPECT_EQ(DSRmGarbage(heap, true, true), 1);
  for (int i = 1, k = 0; i < 16; i += 2, ++k) EXPECT_EQ(DSStr(strings[i]), at[k]);
  EXPECT_EQ(Stats().unusedByStrings, before.unusedByStrings);
  DSUnlockHeap(heap);
  EXPECT_EQ(DSRmGarbage(heap, true, false), 0);
  EXPECT_EQ(Stats().unusedByStrings, base.unusedByStrings);
  ExpectSurvivorsIntact();
  EXPECT_EQ(S(fresh), "new");
}

TEST_F(DynStrTest, RequestsTakeTheFirstBlockWithRoomAlsoAfterLaterBlocksWereUsed) {
  DSHeapRef heap = DSCreateHeap(1024, 1024);
  DS a = DSCreateHStr(heap, "a", 1000);  // blocks 0 and 1 keep 24 bytes each
  DS b = DSCreateHStr(heap, "b", 1000);
  DS c = DSCreateHStr(heap, "c", 30);  // block 2
  DS d = DSCreateHStr(heap, "d", 30);
  const char* aAt = DSStr(a);
  DSFree(&a);
  DS e = DSCreateHStr(heap, "e", 500);  // still block 2: block 0 holds garbage, not room
  EXPECT_EQ(DSStr(e), DSStr(d) + 30);
  DSRmGarbage(heap, true, false);
  const long segments = Stats().numberOfHeapSegments;
  DS f = DSCreateHStr(heap, "f", 500);
  EXPECT_EQ(DSStr(f), aAt);
  EXPECT_EQ(Stats().numberOfHeapSegments, segments);
  EXPECT_EQ(S(b) + S(c) + S(d) + S(e) + S(f), "bcdef");
  DSFreeHeap(&heap);
}

TEST_F(DynStrTest, BlocksAreSizedForTheRequestAndShrinkPacksStrings) {
  DSHeapRef heap = DSCreateHeap(1024, 512);
  const DSStats before = Stats();
  DS big = DSCreateHStr(heap, "big", 5000);
  EXPECT_EQ(Stats().sizeOfHeaps - before.sizeOfHeaps, 512 + 5000);
  DS small = DSCreateHStr(heap, "abc", 100);
  DSSetSize(big, 10);
  EXPECT_EQ(DSSize(big), 10u);
  EXPECT_EQ(DSRmGarbage(heap, false, true), 0);
  EXPECT_EQ(DSSize(small), 4u);
  EXPECT_EQ(DSSize(big), 4u);
  EXPECT_EQ(S(big) + S(small), "bigabc");
  DSSetSize(small, 50);
  DSSetUsed(small, 2);
  EXPECT_EQ(S(small), "a");
  DSPack(small);
  EXPECT_EQ(DSSize(small), 2u);
  ExpectHeapsAccountedFor();
  const long heapsBefore = Stats().numberOfHeaps;
  DSFreeHeap(&heap);
  EXPECT_EQ(Stats().numberOfHeaps, heapsBefore - 1);
}

// Many strings created, grown, overwritten and freed at random in small blocks, so that
// blocks fill, compact and get added all the time; a plain std::string model shadows
// every string.
TEST_F(DynStrTest, CompactionKeepsEverySurvivingTextIntact) {
  std::mt19937 rng(20240611);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  auto text = [&](std::size_t max) {
    std::string t(pick(max + 1), ' ');
    for (char& c : t) c = static_cast<char>('!' + pick(90));
    return t;
  };
  DSHeapRef heap = DSCreateHeap(2048, 2048);
  std::vector<std::pair<DS, std::string>> live;
  for (int step = 0; step < 30000; ++step) {
    const std::size_t op = pick(12);
    if (live.empty() || op < 3) {
      const std::string t = text(120);
      live.emplace_back(DSCreateHStr(heap, t.c_str(), pick(60)), t);
    } else if (op < 6) {
      const std::size_t i = pick(live.size());
      DSFree(&live[i].first);
      live[i] = live.back();
      live.pop_back();
    } else {
      auto& [ds, model] = live[pick(live.size())];
      auto& [other, otherModel] = live[pick(live.size())];
      if (model.size() > 1500) {
        model = text(40);
        DSAssignStr(model.c_str(), &ds);
      } else if (op == 6) {
        DSConcatChar(ds, 'c', &ds);
        model += 'c';
      } else if (op == 7) {
        const std::string t = text(30);
        DSConcatStr(ds, t.c_str(), &ds);
        model += t;
      } else if (op == 8) {
        DSConcat(ds, other, &ds);  // other may be ds itself
        model += otherModel;
      } else if (op == 9) {
        DSConcatStr(ds, DSStr(other), &ds);  // a text that lives in the same heap
        model += otherModel;
      } else if (op == 10) {
        DSAssign(other, &ds);
        model = otherModel;
      } else {
        EXPECT_EQ(DSRmGarbage(heap, true, pick(2) == 0), 0);
      }
    }
    if (step % 101 == 0) {
      for (const auto& [ds, model] : live) ASSERT_EQ(S(ds), model) << "step " << step;
      ExpectHeapsAccountedFor();
    }
  }
  for (const auto& [ds, model] : live) {
    EXPECT_EQ(S(ds), model);
    EXPECT_EQ(DSHeap(ds), heap);
  }
  DSFreeHeap(&heap);
}

// ---------------------------------------------------------------- references, temporaries

TEST_F(DynStrTest, ReferenceCounting) {
  DS a = DSCreateStr("shared", 0);
  DS b = DSIncRef(a);
  EXPECT_EQ(DSRefCount(a), 2);
  DSFree(&b);  // the handle goes, the string stays for the other holder
  EXPECT_EQ(b, dsNil);
  EXPECT_EQ(S(a), "shared");
  DS c = a;
  DSDecRef(&c);
  EXPECT_EQ(c, dsNil);
  EXPECT_EQ(DSLength(dsNil), 0);
  EXPECT_EQ(DSRefCount(dsNil), 0);
  DSFree(&c);  // nothing for dsNil
}

TEST_F(DynStrTest, ConsumingOperationsReleaseTheirTemporaryArgumentsOnly) {
  DSStats before = Stats();
  DS path = dsNil;
  DSIncludePath(DSCreateTmpStr("/a", 0), DSCreateTmpStr("b", 0), &path);
  EXPECT_EQ(S(path), "/a/b");
  EXPECT_EQ(Stats().numberOfUsedStrings - before.numberOfUsedStrings, 1);  // the result only

  DS dir = DSCreateStr("/x/", 0), name = DSCreateStr("y", 0), out = dsNil;
  before = Stats();
  DSIncludePath(dir, name, &out);
  EXPECT_EQ(S(out), "/x//y");  // always one "/" more
  EXPECT_EQ(Stats().numberOfUsedStrings - before.numberOfUsedStrings, 1);
  EXPECT_EQ(S(dir) + S(name), "/x/y");
  EXPECT_FALSE(DSIsTmp(out));

  // A temporary that also receives the result is kept; the other one goes.
  DS t = DSCreateTmpStr("d", 0);
  before = Stats();
  DSIncludePath(t, DSCreateTmpStr("f", 0), &t);
  EXPECT_EQ(S(t), "d/f");
  EXPECT_EQ(Stats().numberOfUsedStrings, before.numberOfUsedStrings);
  DSFree(&t);

  before = Stats();
  DS suffix = dsNil, stripped = dsNil, required = dsNil, subst = dsNil, any = dsNil;
  DSSuffixOf(DSCreateTmpStr("a.tar.GZ", 0), &suffix);
  EXPECT_TRUE(DSHasSuffix(DSCreateTmpStr("x.GZ", 0), DSCreateTmpStr(".GZ", 0)));
  DSStripSuffix(DSCreateTmpStr("x.gz", 0), DSCreateTmpStr(".GZ", 0), &stripped);
  DSStripAnySuffix(DSCreateTmpStr("x.y.z", 0), &any);
  DSRequireSuffix(DSCreateTmpStr("d/f.TXT", 0), DSCreateTmpStr(".txt", 0), &required);
  EXPECT_EQ(DSSubstPat(DSCreateTmpStr("aXb", 0), "X", "-", &subst, false), 1);
  EXPECT_EQ(S(suffix) + "|" + S(stripped) + "|" + S(any) + "|" + S(required) + "|" + S(subst),
            ".GZ|x|x.y|d/f.txt|a-b");
  // Every argument above was a temporary and is gone: only the five results live on.
  EXPECT_EQ(Stats().numberOfUsedStrings - before.numberOfUsedStrings, 5);
}

// ---------------------------------------------------------------- text operations

TEST_F(DynStrTest, EditingOperationsAgreeWithStdString) {
  std::mt19937 rng(7);
  auto pick = [&](long lo, long hi) { return lo + static_cast<long>(rng() % (hi - lo + 1)); };
  for (int round = 0; round < 3000; ++round) {
    std::string model(static_cast<std::size_t>(pick(0, 12)), 'a');
    for (char& c : model) c = "ab/. "[pick(0, 4)];
    const std::string piece = std::string("xy").substr(0, static_cast<std::size_t>(pick(0, 2)));
    const long len = static_cast<long>(model.size());
    const long from = pick(0, len), count = pick(-2, len + 2);
    const std::size_t f = static_cast<std::size_t>(from);
    const std::size_t n = count < 0 ? 0 : static_cast<std::size_t>(count);
    std::string expected;
    DS ds = DSCreateStr(model.c_str(), 0);
    DS other = DSCreateStr("previous value", 0);
    const long mode = pick(0, 2);  // result into a new string, into ds itself, into other
    DS fresh = dsNil;
    DS* dst = mode == 0 ? &fresh : mode == 1 ? &ds : &other;
    switch (round % 5) {
      case 0:
        DSCopy(ds, from, count, dst);
        expected = model.substr(f, n);
        break;
      case 1:
        DSDelete(ds, from, count, dst);
        expected = std::string(model).erase(f, n);
        break;
      case 2:
        DSInsertStr(ds, from, piece.c_str(), dst);
        expected = std::string(model).insert(f, piece);
        break;
      case 3:
        DSReplaceStr(ds, from, count, piece.c_str(), dst);
        expected = std::string(model).replace(f, n, piece);
        break;
      default: {
        const std::size_t p = model.find(piece, f);
        ASSERT_EQ(DSPosStr(ds, piece.c_str(), from),
                  p == std::string::npos ? -1 : static_cast<long>(p));
        DSCopy(ds, 0, len, dst);
        expected = model;
      }
    }
    ASSERT_EQ(S(*dst), expected) << "round " << round << " on '" << model << "'";
    DSFree(&ds);
    DSFree(&other);
    DSFree(&fresh);
  }
}

TEST_F(DynStrTest, ConcatenationWithSharedInputsAndOutputs) {
  DS a = DSCreateStr("ab", 0), b = DSCreateStr("cd", 0);
  DSConcat(a, a, &a);
  EXPECT_EQ(S(a), "abab");
  DSConcat(a, b, &b);  // the output is the second input
  EXPECT_EQ(S(b), "ababcd");
  DSConcat3(b, "-", b, &b);
  EXPECT_EQ(S(b), "ababcd-ababcd");
  DS c = dsNil;
  DSConcat3Str(dsNil, "x", "y", &c);
  DSConcatChar(c, '!', &c);
  EXPECT_EQ(S(c), "xy!");
  DS t = DSCreateTmpStr("tmp", 0), r = dsNil;
  DSConcatStr(t, "+", &r);
  EXPECT_TRUE(DSIsTmp(r));  // a new result lives in the heap of the first input
  EXPECT_LT(DSCmp(a, b), 0);
  EXPECT_GT(DSCmpStr(b, "abab"), 0);
  EXPECT_EQ(DSCmpStr(dsNil, ""), 0);
}

TEST_F(DynStrTest, SmallTextOperations) {
  DS s = DSCreateStr("  Hello World\n", 0), d = dsNil;
  EXPECT_TRUE(DSChomp(s, &d));
  EXPECT_FALSE(DSChomp(d, &d));
  DSTrimWhite(d, &d);
  EXPECT_EQ(S(d), "Hello World");
  DS up = dsNil, low = dsNil, rev = dsNil;
  DSToUpper(d, &up);
  DSToLower(d, &low);
  DSRevert(d, &rev);
  EXPECT_EQ(S(up) + S(low) + S(rev), "HELLO WORLDhello worlddlroW olleH");
  char buf[6];
  EXPECT_EQ(DSToStr(d, buf, 6), 5);
  EXPECT_STREQ(buf, "Hello");
  EXPECT_EQ(DSToStr(d, buf, 0), 0);
  char raw[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(DSCopyStr(d, 6, 10, raw, 4), 4);  // no room left: no terminator
  EXPECT_EQ(std::string(raw, 4), "Worl");
  EXPECT_EQ(DSCopyStr(d, 9, 10, raw, 4), 2);
  EXPECT_STREQ(raw, "ld");
  EXPECT_EQ(DSGetChar(d, 11), '\0');
  DSSetChar(d, 0, 'J');
  EXPECT_EQ(S(d), "Jello World");
}

// ---------------------------------------------------------------- paths

TEST_F(DynStrTest, ExcludePathSplitsAtTheLastComponent) {
  const std::vector<std::tuple<const char*, const char*, const char*>> cases = {
      {"", "", "."},          {"/", "", "/"},         {"///", "", "/"},
      {"name", "", "name"},   {"name//", "", "name"}, {"/abc", "/", "abc"},
      {"//abc/", "/", "abc"}, {"a/b/c", "a/b", "c"},  {"a//b//", "a", "b"},
  };
  for (const auto& [path, dir, name] : cases) {
    DS p = DSCreateStr(path, 0), d = DSCreateStr("old", 0), n = dsNil;
    DSExcludePath(p, &d, &n);
    EXPECT_EQ(S(d), dir) << path;
    EXPECT_EQ(S(n), name) << path;
    DSExcludePath(p, &p, &n);  // the path itself may receive a part
    EXPECT_EQ(S(p), dir) << path;
  }
}

TEST_F(DynStrTest, PathHeads) {
  const std::vector<std::tuple<const char*, const char*, const char*>> cases = {
      {"/usr/lib", "/", "usr/lib"}, {"//x", "/", "x"},    {"abc", "abc", ""},
      {"a/b/c", "a/", "b/c"},       {"a///b", "a/", "b"}, {"", "", ""},
  };
  for (const auto& [path, head, rest] : cases) {
    DS p = DSCreateStr(path, 0), h = dsNil;
    DSGetPathHead(p, &h);
    EXPECT_EQ(S(h), head) << path;
    DSCutPathHead(&p, &h);
    EXPECT_EQ(S(h) + "|" + S(p), std::string(head) + "|" + rest) << path;
  }
  auto is = [](const char* path, const char* head) {
    return DSThisPathHead(DSCreateTmpStr(path, 0), DSCreateTmpStr(head, 0));
  };
  EXPECT_TRUE(is("a/b", "a"));
  EXPECT_TRUE(is("a/b", "a/"));
  EXPECT_TRUE(is("/a", "/"));
  EXPECT_FALSE(is("/", "/"));
  EXPECT_FALSE(is("ab/c", "a"));
  EXPECT_FALSE(is("a", "a"));
  EXPECT_FALSE(is("", "a"));
  EXPECT_FALSE(is("a/b", ""));
  auto cmp = [](const char* a, const char* b) {
    return DSPathHeadCmp(DSCreateTmpStr(a, 0), DSCreateTmpStr(b, 0));
  };
  EXPECT_EQ(cmp("a/b", "a"), 0);
  EXPECT_EQ(cmp("a", "a"), 0);
  EXPECT_EQ(cmp("ab", "a"), 1);
  EXPECT_EQ(cmp("a", "a/b"), -1);
  EXPECT_EQ(cmp("b/c", "a/c"), 1);
}

TEST_F(DynStrTest, Suffixes) {
  auto suffix = [](const char* name) {
    DS s = dsNil;
    DSSuffixOf(DSCreateTmpStr(name, 0), &s);
    return S(s);
  };
  EXPECT_EQ(suffix("a.tar.gz"), ".gz");
  EXPECT_EQ(suffix("dir.d/file"), "");
  EXPECT_EQ(suffix("dir/.profile"), "");
  EXPECT_EQ(suffix(".profile"), "");
  EXPECT_FALSE(DSHasSuffix(DSCreateTmpStr("x/.rc", 0), dsNil));
  EXPECT_FALSE(DSHasSuffix(DSCreateTmpStr("x.gz", 0), DSCreateTmpStr(".GZ", 0)));
  DS out = dsNil;
  DSStripSuffix(DSCreateTmpStr("a.txt", 0), DSCreateTmpStr(".doc", 0), &out);
  EXPECT_EQ(S(out), "a.txt");
  const std::string longName = "d/" + std::string(300, 'n') + ".TXT";
  DSRequireSuffix(DSCreateTmpStr(longName.c_str(), 0), DSCreateTmpStr(".txt", 0), &out);
  EXPECT_EQ(S(out), "d/" + std::string(250, 'n') + ".txt");
}

// ---------------------------------------------------------------- escaping and words

TEST_F(DynStrTest, EscapedTextPassesTheShellAsOneWord) {
  const std::string nasty = "a b\t`!#$&|\\;'\"(){}[]<>*?~%";
  DS s = DSCreateStr(nasty.c_str(), 0), e = dsNil, back = dsNil;
  DSEscapeShMetaChars(s, &e);
  EXPECT_EQ(S(e).size(), nasty.size() + 22);
  const auto run = zolt::test::RunCommand("printf '%s' " + S(e));
  EXPECT_EQ(run.out, nasty);
  DSUnescapeShMetaChars(e, &back);
  EXPECT_EQ(S(back), nasty);
  DSEscapeSpaces(DSCreateTmpStr("a b\\c", 0), &e);
  EXPECT_EQ(S(e), "a\\ b\\c");
  DSUnescapeSpaces(e, &e);
  EXPECT_EQ(S(e), "a b\\c");
  DSShUnescape(DSCreateTmpStr(R"('a b'"c\"d\n"\ e\\f)", 0), &e);
  EXPECT_EQ(S(e), R"(a bc"d\n e\f)");
}

TEST_F(DynStrTest, ShWordsSplitsOutsideQuotesAndEscapes) {
  struct Case {
    const char* line;
    const char* separator;
    std::vector<std::string> plain, shell;  // flag 0, flag 1
  };
  const std::vector<Case> cases = {
      {"a b\t c", "", {"a", "b", "c"}, {"a", "b", "c"}},
      {"  a b ", nullptr, {"", "a", "b", ""}, {"a", "b"}},
      {R"(echo 'a b' "c d")", "", {"echo", "'a b'", "\"c d\""}, {"echo", "a b", "c d"}},
      {R"(a\ b c)", "", {R"(a\ b)", "c"}, {"a b", "c"}},
      {R"("a \" b" c)", "", {R"("a \" b")", "c"}, {"a \" b", "c"}},
      {R"('a\' b)", "", {R"('a\')", "b"}, {R"(a\)", "b"}},
      {R"(x\x41 y \101 z)", "", {R"(x\x41)", "y", R"(\101)", "z"}, {"xx41", "y", "101", "z"}},
      {"1 , 2,3 ,  4", "[ \t]*,[ \t]*", {"1", "2", "3", "4"}, {"1", "2", "3", "4"}},
      {"'a,b', c", "[ \t]*,[ \t]*", {"'a,b'", "c"}, {"a,b", "c"}},
      {"a,,b", ",", {"a", "", "b"}, {"a", "b"}},
      {"1x2y3", "x|y", {"1", "2", "3"}, {"1", "2", "3"}},
      {"ab", "x*", {"ab"}, {"ab"}},  // an empty match separates nothing
      {"", "", {""}, {}},
  };
  for (const auto& c : cases) {
    DS line = DSCreateStr(c.line, 0);
    DS* words = nullptr;
    EXPECT_EQ(DSShWords(line, c.separator, &words, 0), static_cast<long>(c.plain.size())) << c.line;
    EXPECT_EQ(Texts(words), c.plain) << c.line;
    DSFreeArr(&words);
    EXPECT_EQ(DSShWords(line, c.separator, &words, 1), static_cast<long>(c.shell.size())) << c.line;
    EXPECT_EQ(Texts(words), c.shell) << c.line;
    DSFreeArr(&words);
    EXPECT_EQ(words, nullptr);
    EXPECT_EQ(S(line), c.line);
  }
  DS* words = nullptr;
  EXPECT_EQ(DSShWords(DSCreateTmpStr("a 'b c", 0), "", &words, 0), -1);
  EXPECT_EQ(words, nullptr);
  EXPECT_EQ(DSShWords(DSCreateTmpStr("p q", 0), "", &words, 0), 2);
  EXPECT_TRUE(DSIsTmp(words[0]));  // words live in the heap of the line
  DSFreeArr(&words);
}

// ---------------------------------------------------------------- matching, arrays

TEST_F(DynStrTest, RegularExpressionsAndArrays) {
  EXPECT_TRUE(DSMatchPat(DSCreateTmpStr("none", 0), "on"));
  EXPECT_FALSE(DSMatchPat(DSCreateTmpStr("123456789.12", 0), "^[0-9]{8}(-[0-9])?\\.[0-9]{2}$"));
  EXPECT_TRUE(DSFnMatchPat(DSCreateTmpStr("file.txt", 0), "*.txt", 0));
  EXPECT_FALSE(DSFnMatch(DSCreateTmpStr("a/b", 0), DSCreateTmpStr("*", 0), FNM_PATHNAME));
  DS out = dsNil;
  EXPECT_EQ(DSSubstPat(DSCreateTmpStr("2024-05-06", 0), "([0-9]+)-([0-9]+)-([0-9]+)",
                       "\\3.\\2.\\1 \\\\", &out, false),
            1);
  EXPECT_EQ(S(out), "06.05.2024 \\");
  EXPECT_EQ(DSSubstPat(DSCreateTmpStr("a.b.c", 0), "\\.", "/", &out, true), 2);
  EXPECT_EQ(S(out), "a/b/c");
  EXPECT_EQ(DSSubstPat(DSCreateTmpStr("a.b.c", 0), "^a|c$", "_", &out, true), 2);
  EXPECT_EQ(S(out), "_.b._");
  DSSubstPat(DSCreateTmpStr("abc", 0), "x*", "-", &out, true);
  EXPECT_EQ(S(out), "-a-b-c-");
  DSSubstPat(DSCreateTmpStr("abc", 0), "b*", "-", &out, true);
  EXPECT_EQ(S(out), "-a-c-");

  DS* arr = nullptr;
  EXPECT_EQ(DSSplitPat(DSCreateTmpStr("a, b,,c", 0), ", *", &arr), 4);
  EXPECT_EQ(Texts(arr), (std::vector<std::string>{"a", "b", "", "c"}));
  DSJoinStr(arr, "+", &out);
  EXPECT_EQ(S(out), "a+b++c");
  DSJoin(arr, DSCreateStr("--", 0), &out);
  EXPECT_EQ(S(out), "a--b----c");
  DSFreeArr(&arr);
  EXPECT_TRUE(DSDistribPat(DSCreateTmpStr("key=va=l", 0), "^([^=]+)=(.*)$", &arr));
  EXPECT_EQ(Texts(arr), (std::vector<std::string>{"key=va=l", "key", "va=l"}));
  DSFreeArr(&arr);
  EXPECT_TRUE(DSDistribPat(DSCreateTmpStr("b", 0), "(a)|(b)", &arr));
  EXPECT_EQ(Texts(arr), (std::vector<std::string>{"b", "", "b"}));
  DSFreeArr(&arr);
  EXPECT_FALSE(DSDistribPat(DSCreateTmpStr("c", 0), "(a)|(b)", &arr));
  EXPECT_EQ(arr, nullptr);
  DSCreateArr(&arr, 3);
  EXPECT_EQ(DSArrLength(arr), 0);
  DSFreeArr(&arr);
}

// ---------------------------------------------------------------- lines, fields, formatting

TEST_F(DynStrTest, GetLineWalksLinesAndEndsAfterTheLastOne) {
  DS text = DSCreateStr("one\n\nlast", 0), line = dsNil;
  std::vector<std::string> lines;
  long from = 0, next = -1;
  while (DSGetLine(text, from, &next, &line)) {
    lines.push_back(S(line));
    from = next;
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "", "last"}));
  EXPECT_EQ(next, 9);
  EXPECT_EQ(S(line), "");
  EXPECT_TRUE(DSGetLine(text, 4, &next, &text));  // the line replaces the text
  EXPECT_EQ(next, 5);
  EXPECT_FALSE(DSGetLine(text, 0, &next, &text));
  EXPECT_EQ(next, 0);
  DS built = dsNil;
  DSPutLineStr(built, "a", &built);
  DSPutLine(built, DSCreateTmpStr("b", 0), &built);
  EXPECT_EQ(S(built), "a\nb\n");
}

TEST_F(DynStrTest, FieldsTokensAndFormatting) {
  DS f = dsNil;
  EXPECT_TRUE(DSFieldFromStr("a::b", ':', 1, &f));
  EXPECT_EQ(S(f), "");
  EXPECT_TRUE(DSFieldFromStr("a::b", ':', 2, &f));
  EXPECT_EQ(S(f), "b");
  EXPECT_FALSE(DSFieldFromStr("a::b", ':', 3, &f));
  EXPECT_TRUE(DSFieldFromStr1("  a   b ", ' ', 1, &f));
  EXPECT_EQ(S(f), "b");
  EXPECT_FALSE(DSFieldFromStr1("  a   b ", ' ', 2, &f));
  DS line = DSCreateStr(R"(  "x y" z)", 0), item = dsNil;
  long at = DSGetItem(line, 0, &item);
  EXPECT_EQ(S(item), "x y");
  EXPECT_EQ(DSGetItem(line, at, &item), DSLength(line));
  EXPECT_EQ(S(item), "z");
  EXPECT_EQ(DSSkipItem(line, 0), at);
  DS assignment = DSCreateStr(" key = value ; rest", 0);
  at = DSGetToken(assignment, 0, "=;", &item);
  EXPECT_EQ(S(item), "key");
  at = DSGetToken(assignment, at, "=;", &item);
  EXPECT_EQ(S(item), "value");
  EXPECT_EQ(DSSkipToken(assignment, at, "=;"), DSLength(assignment));
  EXPECT_EQ(DSSkipWhite(DSCreateTmpStr(" \t\nx", 0), 0), 2);
  EXPECT_EQ(DSSkipSpace(DSCreateTmpStr(" \t\nx", 0), 0), 3);
  DSFmtStrStr(&f, "%s-%04d", "x", 7);
  EXPECT_EQ(S(f), "x-0007");
  DSFmtStr(&f, DSCreateStr("<%s>", 0), DSStr(f));
  EXPECT_EQ(S(f), "<x-0007>");
  DSStrFromStr("hello", 3, &f);
  EXPECT_EQ(S(f), "hel");
}

TEST_F(DynStrTest, TypedFormattingPrintsAndScansDynamicStrings) {
  char buf[64];
  DS s = DSCreateStr("a b", 0);
  CIO_SPr2(buf, "[%D|%.D]", s, s);
  EXPECT_STREQ(buf, "[a b|a\\ b]");
  DS word = dsNil;
  EXPECT_EQ(CIO_Sc1("  first second", "%D", word), 1);
  EXPECT_EQ(S(word), "first");
}

// ---------------------------------------------------------------- misuse

using DynStrDeathTest = DynStrTest;

TEST_F(DynStrDeathTest, MisuseEndsTheProcessWithTheDiagnostic) {
  DS s = DSCreateStr("abc", 0);
  EXPECT_DEATH(DSGetChar(s, 4), "DynStr: Error \\(DSGetChar\\): index 4");
  EXPECT_DEATH(DSSetChar(s, 3, 'x'), "DynStr: Error \\(DSSetChar\\)");
  EXPECT_DEATH(DSCopy(s, 4, 1, &s), "DynStr: Error \\(DSCopy\\)");
  EXPECT_DEATH(DSInsertStr(s, -1, "x", &s), "DynStr: Error \\(DSInsert\\)");
  EXPECT_DEATH(DSSetSize(s, 3), "DynStr: Error \\(DSSetSize\\): size 3 is below the used size 4");
  DS x = dsNil;
  EXPECT_DEATH(DSExcludePath(s, &x, &x), "DynStr: Error \\(DSExcludePath\\)");
  DSHeapRef heap = DSDefaultHeap();
  EXPECT_DEATH(DSFreeHeap(&heap), "DynStr: Error \\(DSFreeHeap\\)");
  EXPECT_DEATH(DSUnlockHeap(heap), "DynStr: Error \\(DSUnlockHeap\\)");
  DS copy = s;
  DSFree(&s);
  EXPECT_DEATH(DSDecRef(&copy), "DynStr: Error \\(DSDecRef\\): reference count below 1");
  EXPECT_DEATH(DSConcatStr(copy, "x", &copy), "DynStr: Error \\(DSConcatStr\\)");
}

}  // namespace
