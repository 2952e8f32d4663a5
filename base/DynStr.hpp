// Dynamic strings: reference-counted, growable, NUL-terminated strings that live in heaps
// this module manages itself.
//
// A heap is a chain of large blocks. Strings are carved from a block one after the other
// by bumping the block's next-free address; released space stays behind as garbage and is
// reclaimed only when a request finds no room, by sliding the live strings of a block
// together (compaction). Descriptors of released strings are kept per heap for reuse.
// Two heaps exist from the first use on: the default heap (blocks of 65536 bytes) and the
// heap of temporaries (blocks of 4096 bytes).
//
// Conventions of the interface:
//  - Results are written through a handle variable (DS*). When it holds dsNil a new string
//    is created in the heap of the first input (the default heap when that is dsNil or a
//    plain text); otherwise the existing string is resized and overwritten. The output may
//    be the same string as an input. dsNil as an input counts as the empty text.
//  - Operations whose name ends in "Str" take plain NUL-terminated texts (nullptr counts
//    as empty).
//  - Positions are 0-based byte indices; an index outside the string is a programming
//    error.
//  - Sizes are exact: no operation reserves more than it needs (apart from the minSize of
//    creation). A string that is the last of its block grows in place as long as the block
//    has room, so appending character by character never moves it.
//  - Temporary-consuming operations (DSIncludePath, DSSubst, DSSubstPat, DSSuffixOf,
//    DSHasSuffix, DSStripSuffix, DSStripAnySuffix, DSRequireSuffix) release each argument
//    that lives in the heap of temporaries once they are done with it (never the result
//    itself), so a temporary may be passed without a later DSFree. A temporary handle must
//    not be used after it has been passed to such an operation.
//  - DSStr addresses are valid until the next allocation in the same heap, because an
//    allocation may compact the heap; code that keeps them across allocations locks the
//    heap (DSLockHeap ... DSUnlockHeap).
//
// Failures. Misuse (an index outside the string, a reference count below 1, DSSetSize
// below the used size, one handle variable as both outputs of DSExcludePath, a handle
// that was already released, freeing one of the two standard heaps, unlocking an
// unlocked heap) ends the process as a failed assertion: "DynStr: Error (<operation>):
// <detail>" on standard error, then abort. Exhausted memory does the same with
// "InternalError". Nothing else fails: the stream helpers and DSRunCmd of DynStrIO
// keep their own error code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "BRegEx.hpp"

// The descriptor of a string (also known to CIO, which prints it for %D).
struct DynStrRec;
using DS = DynStrRec*;
inline constexpr DS dsNil = nullptr;

// A heap is its first block.
struct DSHeapRec;
using DSHeapRef = DSHeapRec*;
inline constexpr DSHeapRef dsHeapNil = nullptr;

// The records behind the handles. They are the module's own: other code uses the
// operations below; the records are visible only so that appending a character can be
// done inline.
struct DynStrRec {
  DynStrRec* prev;  // neighbours in the block's list, in address order
  DynStrRec* next;  // (also the link of the heap's list of kept descriptors)
  DSHeapRec* block;
  std::size_t size;  // bytes reserved for the text
  std::size_t used;  // bytes in use including the NUL
  std::uint16_t refs;
  char* text;
};

// One block of a heap; the heap is its first block, which alone uses nextHeap,
// lockCount, temporary and the list of kept descriptors.
struct DSHeapRec {
  DSHeapRec* nextHeap;
  DSHeapRec* heap;
  DSHeapRec* nextBlock;
  std::size_t size;
  std::size_t increment;
  std::size_t free;     // unallocated bytes at the end
  std::size_t garbage;  // bytes below nextFree that belong to no live string
  int lockCount;
  bool temporary;
  char* memory;
  char* nextFree;
  DynStrRec* first;
  DynStrRec* last;
  DynStrRec* freeFirst;
  DynStrRec* freeLast;
  long expands;  // growths in place in this block (for the statistics)
  // First-fit searches of the heap start at scanFrom for requests larger than
  // prefixFree, the most free space any block before scanFrom has; the result is the same
  // as a search from the first block, without walking the full blocks of a large heap.
  std::size_t index;  // position of the block in its chain
  DSHeapRec* scanFrom;
  std::size_t prefixFree;
};

// Creates the default heap and the heap of temporaries and registers the text accessors
// with the typed formatting module. Every operation that creates a string initialises the
// module on first use.
void DynStr_Init();

// ---------------------------------------------------------------- heaps
DSHeapRef DSCreateHeap(std::size_t blockSize, std::size_t increment);
// Frees every block of the heap at once; strings in it must not be used afterwards.
void DSFreeHeap(DSHeapRef* heap);
// The heap that holds ds (the default heap for dsNil).
DSHeapRef DSHeap(DS ds);
DSHeapRef DSDefaultHeap();
DSHeapRef DSTmpHeap();
void DSLockHeap(DSHeapRef heap);
void DSUnlockHeap(DSHeapRef heap);
// 1 when the heap is locked (nothing happens). With neither compact nor shrink only the
// kept descriptors are released. Otherwise every block with garbage slides its strings
// together (with shrink every string then occupies only its used bytes, and blocks whose
// strings have unused room are packed too); the kept descriptors are released; 0.
int DSRmGarbage(DSHeapRef heap, bool compact, bool shrink);

// ---------------------------------------------------------------- creation, references
// A new string holding text, reserving max(minSize, length + 1) bytes; references 1.
DS DSCreateStr(const char* text, std::size_t minSize);
// The same for a text that need not end in NUL.
DS DSCreateStr(std::string_view text, std::size_t minSize);
// A copy of ds in ds's heap (an empty string in the default heap for dsNil).
DS DSCreate(DS ds, std::size_t minSize);
DS DSCreateTmp(DS ds, std::size_t minSize);
DS DSCreateTmpStr(const char* text, std::size_t minSize);
// Creation in a given heap (the default heap for dsHeapNil).
DS DSCreateH(DSHeapRef heap, DS ds, std::size_t minSize);
DS DSCreateHStr(DSHeapRef heap, const char* text, std::size_t minSize);
DS DSCreateHStr(DSHeapRef heap, std::string_view text, std::size_t minSize);
// Drops one reference and sets the handle to dsNil; nothing for dsNil.
void DSFree(DS* ds);
DS DSIncRef(DS ds);
// Drops one reference; at 0 the string's space becomes garbage and *ds becomes dsNil.
void DSDecRef(DS* ds);
int DSRefCount(DS ds);
bool DSIsTmp(DS ds);

// ---------------------------------------------------------------- access
long DSLength(DS ds);
// The text ("" for dsNil); see the note on addresses above.
const char* DSStr(DS ds);
// Copies at most n - 1 characters and a NUL; the number of characters copied. Nothing
// (result 0) when n < 1.
long DSToStr(DS ds, char* buffer, long n);
std::size_t DSSize(DS ds);
std::size_t DSUsed(DS ds);
// Changes the reserved size; never below used (misuse).
void DSSetSize(DS ds, std::size_t size);
// Sets used (1..size) and terminates the text there.
void DSSetUsed(DS ds, std::size_t used);
// size := used.
void DSPack(DS ds);
// Character at i for 0 <= i < used (the terminating NUL may be read).
char DSGetChar(DS ds, long i);
// Sets the character at i for 0 <= i < length.
void DSSetChar(DS ds, long i, char ch);

// ---------------------------------------------------------------- assignment, comparison
void DSAssign(DS src, DS* dst);
void DSAssignStr(const char* text, DS* dst);
// Byte comparison as strcmp: negative, 0 or positive.
int DSCmp(DS a, DS b);
int DSCmpStr(DS a, const char* text);

// ---------------------------------------------------------------- editing
// dst := a b; when dst is a, b is appended in place.
void DSConcat(DS a, DS b, DS* dst);
void DSConcatStr(DS a, const char* text, DS* dst);
inline void DSConcatChar(DS a, char ch, DS* dst);  // defined at the end
// dst := a text b.
void DSConcat3(DS a, const char* text, DS b, DS* dst);
// dst := a text1 text2.
void DSConcat3Str(DS a, const char* text1, const char* text2, DS* dst);
// dst := up to len characters of ds from position from (0 <= from <= length).
void DSCopy(DS ds, long from, long len, DS* dst);
// The same into buffer of n bytes, NUL-terminated when room is left; characters copied.
long DSCopyStr(DS ds, long from, long len, char* buffer, long n);
// dst := ds without len characters at from (negative len counts as 0, clipped to the end).
void DSDelete(DS ds, long from, long len, DS* dst);
void DSInsert(DS ds, long at, DS piece, DS* dst);
void DSInsertStr(DS ds, long at, const char* text, DS* dst);
// dst := ds with the range from, len (clipped like DSDelete) replaced by piece.
void DSReplace(DS ds, long from, long len, DS piece, DS* dst);
void DSReplaceStr(DS ds, long from, long len, const char* text, DS* dst);
// First position >= from where piece occurs; -1 when absent.
long DSPos(DS ds, DS piece, long from);
long DSPosStr(DS ds, const char* text, long from);
// dst := ds without one trailing line end; true when one was removed.
bool DSChomp(DS ds, DS* dst);
// dst := ds without leading and trailing white space (blank, tab, line ends, ...).
void DSTrimWhite(DS ds, DS* dst);
// ASCII case mapping; other bytes stay.
void DSToUpper(DS ds, DS* dst);
void DSToLower(DS ds, DS* dst);
// dst := ds reversed.
void DSRevert(DS ds, DS* dst);

// ---------------------------------------------------------------- escaping
// A backslash before every shell metacharacter: blank, tab, ` ! # $ & | \ ; ' " ( ) { }
// [ ] < > * ?. The Unescape form removes a backslash that precedes one.
void DSEscapeShMetaChars(DS ds, DS* dst);
void DSUnescapeShMetaChars(DS ds, DS* dst);
// The same for blanks only.
void DSEscapeSpaces(DS ds, DS* dst);
void DSUnescapeSpaces(DS ds, DS* dst);
// Shell-style unquoting: single quotes keep everything literally, double quotes keep
// everything but a backslash before $ ` " \ or a line end, a backslash outside quotes keeps
// the next character; the quotes and those backslashes disappear.
void DSShUnescape(DS ds, DS* dst);

// ---------------------------------------------------------------- paths
// path := dir "/" name (always one "/" inserted). Temporary-consuming.
void DSIncludePath(DS dir, DS name, DS* path);
// Splits at the last "/" ignoring trailing slashes: "" gives "" and "."; slashes only give
// "" and "/"; no "/" gives "" and the path; otherwise dir is everything before the last
// component without its trailing slashes ("/" at the root). dir and name must be
// different variables.
void DSExcludePath(DS path, DS* dir, DS* name);
// The first component: "/" for an absolute path, the whole path without "/", otherwise
// the text up to and including the first "/".
void DSGetPathHead(DS path, DS* head);
// The same, and removes the head and the slashes after it from path. path and head must
// be different variables.
void DSCutPathHead(DS* path, DS* head);
// True when path begins with head and head ends at a component boundary: path continues
// with "/" right after head, or head ends in "/" and path is longer. False when either is
// empty or both are equal.
bool DSThisPathHead(DS path, DS head);
// Compares up to the first difference; b exhausted where a ends or continues with "/"
// counts as equal. -1, 0 or +1.
int DSPathHeadCmp(DS a, DS b);
// suffix := the text from the last "." of the last component when that "." is not its
// first character; empty otherwise. Temporary-consuming.
void DSSuffixOf(DS name, DS* suffix);
// With suffix dsNil or empty: whether name has a suffix; otherwise whether its suffix is
// exactly suffix. Temporary-consuming.
bool DSHasSuffix(DS name, DS suffix);
// dst := name without ext when name ends with it (a..z compared without regard to case).
// Temporary-consuming.
void DSStripSuffix(DS name, DS ext, DS* dst);
// dst := name without what DSSuffixOf finds. Temporary-consuming.
void DSStripAnySuffix(DS name, DS* dst);
// dst := path whose file name ends with ext exactly as given: a case-insensitive ext at
// its end is removed, the name cut to stay within 254 characters, ext appended, the
// directory kept. Temporary-consuming.
void DSRequireSuffix(DS path, DS ext, DS* dst);

// ---------------------------------------------------------------- matching
// Regular expressions are POSIX extended ones (BRegEx.hpp); the Pat forms compile the
// pattern for the one call. fnmatch flags are those of <fnmatch.h>.
Reg DSRegComp(DS pattern, int flags);
bool DSRegExec(Reg regex, DS ds, long offset, std::size_t nmatch, RegMatches& matches, int flags);
bool DSRegExecPat(const char* pattern, DS ds, std::size_t nmatch, RegMatches& matches);
bool DSMatch(DS ds, Reg regex);
bool DSMatchPat(DS ds, const char* pattern);
bool DSFnMatch(DS ds, DS pattern, int flags);
bool DSFnMatchPat(DS ds, const char* pattern, int flags);
// dst := ds with the first (all: every) match of regex replaced by replacement, in which
// "\0".."\9" stand for the match and its groups and "\\" for a backslash. The number of
// replacements. ds and replacement are temporary-consuming.
int DSSubst(DS ds, Reg regex, DS replacement, DS* dst, bool all);
int DSSubstPat(DS ds, const char* pattern, const char* replacement, DS* dst, bool all);

// ---------------------------------------------------------------- arrays of strings
// Arrays are malloc'ed, terminated by dsNil, their strings owned by the array.
// arr := n + 1 entries, all dsNil.
void DSCreateArr(DS** arr, long n);
// Frees every string and the array; arr := nullptr.
void DSFreeArr(DS** arr);
long DSArrLength(DS* arr);
// arr := the pieces of ds between non-empty matches of regex (in ds's heap); the count.
long DSSplit(DS ds, Reg regex, DS** arr);
long DSSplitPat(DS ds, const char* pattern, DS** arr);
// dst := the strings of arr with separator between them.
void DSJoin(DS* arr, DS separator, DS* dst);
void DSJoinStr(DS* arr, const char* separator, DS* dst);
// When regex matches ds: arr := the match followed by each group (empty when a group took
// no part), true. Otherwise arr := nullptr, false.
bool DSDistrib(DS ds, Reg regex, DS** arr);
bool DSDistribPat(DS ds, const char* pattern, DS** arr);
// Splits a command line into words at the separator (a regular expression, "[ \t]+" when
// empty or nullptr) matched at positions outside quotes and escapes. flag 0: every word
// exactly as written, quotes and backslashes included, empty words kept. flag 1 (shell
// words): empty words dropped and each word unquoted as by DSShUnescape. words := a new
// array (in line's heap). The number of words; -1 (words := nullptr) when a quote is left
// open.
long DSShWords(DS line, const char* separator, DS** words, int flag);

// ---------------------------------------------------------------- fields and tokens
// dst := the first len characters of text (all when len < 0).
void DSStrFromStr(const char* text, long len, DS* dst);
// dst := field number n (from 0) of text, fields separated by sep; false when there are
// fewer fields. DSFieldFromStr1 treats a run of separators as one and ignores leading and
// trailing ones (fields as awk sees them).
bool DSFieldFromStr(const char* text, char sep, long n, DS* dst);
bool DSFieldFromStr1(const char* text, char sep, long n, DS* dst);
// First position at or after from that is no blank or tab / no white space at all.
long DSSkipWhite(DS ds, long from);
long DSSkipSpace(DS ds, long from);
// An item is a word up to white space, or a double-quoted part taken whole. Skip gives
// the position after the next item (white space before it skipped); Get also stores the
// item, without its quotes.
long DSSkipItem(DS ds, long from);
long DSGetItem(DS ds, long from, DS* item);
// A token is the text up to the next character of delimiters (or the end), white space
// before it skipped and after it trimmed. Skip gives the position after that delimiter
// (the length at the end); Get also stores the token.
long DSSkipToken(DS ds, long from, const char* delimiters);
long DSGetToken(DS ds, long from, const char* delimiters, DS* token);
// dst := printf-style formatting of fmt.
void DSFmtStr(DS* dst, DS fmt, ...);
void DSFmtStrStr(DS* dst, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// ---------------------------------------------------------------- lines
// line := the characters from from up to the next line end (10) or the end; next := the
// position after that line end (the length when there is none). When from is at or beyond
// the end: line := empty, next := the length (0 when line is ds), false.
bool DSGetLine(DS ds, long from, long* next, DS* line);
// dst := ds line "\n".
void DSPutLine(DS ds, DS line, DS* dst);
void DSPutLineStr(DS ds, const char* text, DS* dst);

// ---------------------------------------------------------------- statistics
struct DSStats {
  long sizeOfHeapStruct;
  long sizeOfDynStrStruct;
  long numberOfHeaps;
  long numberOfHeapSegments;
  long sizeOfHeaps;
  long freeInHeaps;
  long unusedByStrings;  // garbage: bytes that belong to no live string
  long numberOfUsedStrings;
  long numberOfFreeStrings;  // descriptors kept for reuse
  long sizeOfStrings;
  long usedByStrings;
  long maxSize;
  long maxUsed;
  long maxRefCount;
  long numberOfDSRmGarbageCalls;
  long numberOfReallocs;            // growths that had to move a string
  long numberOfExpandsInFreeSpace;  // growths in place
  long numberOfCopies;              // texts copied by a move
  long numberOfNews;                // descriptors newly allocated
  long numberOfReuses;              // descriptors taken from a free list
  long numberOfUnlinks;             // strings released
  long numberOfXXX0;                // strings slid by compaction
  long numberOfXXX1;                // blocks added to heaps
};
void DSGetStats(DSStats* stats);
// One line "%-27s = %9d" per field, in the order above.
void DSDumpStats(FILE* stream);

// ---------------------------------------------------------------- inline parts

// Appending one character to a string with room, or to the last string of a block with
// free space, is done here; everything else goes to DSConcatCharOther.
void DSConcatCharOther(DS a, char ch, DS* dst);

inline void DSConcatChar(DS a, char ch, DS* dst) {
  if (a != dsNil && *dst == a && a->refs > 0) {
    DSHeapRec* b = a->block;
    if (a->size <= a->used) {
      if (b->free == 0 || b->nextFree != a->text + a->size || b->last != a) {
        DSConcatCharOther(a, ch, dst);
        return;
      }
      ++b->nextFree;
      --b->free;
      ++a->size;
      ++b->expands;
    }
    a->text[a->used - 1] = ch;
    a->text[a->used] = '\0';
    ++a->used;
    return;
  }
  DSConcatCharOther(a, ch, dst);
}
