#include "DynStr.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "BRegEx.hpp"
#include "CIO.hpp"
#include "RecPool.hpp"
#include "UCommon.hpp"

namespace {

constexpr std::size_t kDefaultBlock = 65536;
constexpr std::size_t kTmpBlock = 4096;
constexpr std::size_t kMaxFileName = 254;
constexpr const char* kShMetaChars = " \t`!#$&|\\;'\"(){}[]<>*?";

DSHeapRef heaps = nullptr;  // every heap, most recently made first
DSHeapRef defaultHeap = nullptr;
DSHeapRef tmpHeap = nullptr;
DS backslash = nullptr;  // the escape character the escaping operations put in
DSStats counters{};      // only the cumulative counters are kept here

// Results are composed here before the output string is sized: sizing may compact the
// heap, which moves every text the inputs point at.
std::string work;
// A piece to append is parked here when the string it goes to has to move.
std::string parked;

[[noreturn]] void Fail(const char* diagnostic, const char* op, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

void Fail(const char* diagnostic, const char* op, const char* fmt, ...) {
  std::fflush(stdout);
  std::fprintf(stderr, "DynStr: %s (%s): ", diagnostic, op);
  va_list args;
  va_start(args, fmt);
  std::vfprintf(stderr, fmt, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

#define DS_MISUSE(op, ...) Fail("Error", op, __VA_ARGS__)

void* Allocate(std::size_t n, const char* op) {
  void* p = std::malloc(n);
  if (p == nullptr) Fail("InternalError", op, "out of memory (%zu bytes)", n);
  return p;
}

// Descriptors come from a pool: a heap of a million strings makes a million of them.
// Never destroyed, so strings freed by other modules' static destructors stay valid.
RecPool& Descriptors() {
  static RecPool* pool = new RecPool(sizeof(DynStrRec), alignof(DynStrRec));
  return *pool;
}

// A handle whose string has been released may still sit on its heap's descriptor list.
void Check(DS ds, const char* op) {
  if (ds != dsNil && ds->refs == 0) DS_MISUSE(op, "the string has already been released");
}

std::string_view View(DS ds) {
  return ds == dsNil ? std::string_view() : std::string_view(ds->text, ds->used - 1);
}
std::string_view View(const char* text) { return text == nullptr ? std::string_view() : text; }

// Copies the characters of text to `to` (the view of nothing may have no address).
void CopyText(char* to, std::string_view text) {
  if (!text.empty()) std::memmove(to, text.data(), text.size());
}

// ---------------------------------------------------------------- blocks and heaps

DSHeapRec* NewBlock(std::size_t size, const char* op) {
  auto* b = static_cast<DSHeapRec*>(Allocate(sizeof(DSHeapRec), op));
  std::memset(static_cast<void*>(b), 0, sizeof *b);
  b->memory = static_cast<char*>(Allocate(size, op));
  b->size = size;
  b->free = size;
  b->nextFree = b->memory;
  return b;
}

DSHeapRef MakeHeap(std::size_t blockSize, std::size_t increment, bool temporary) {
  if (increment == 0) increment = blockSize;
  if (blockSize == 0) blockSize = increment;
  if (blockSize == 0) blockSize = increment = kDefaultBlock;
  DSHeapRec* h = NewBlock(blockSize, "DSCreateHeap");
  h->heap = h;
  h->scanFrom = h;
  h->increment = increment;
  h->temporary = temporary;
  h->nextHeap = heaps;
  heaps = h;
  ++counters.numberOfXXX1;
  return h;
}

void EnsureHeaps() {
  if (defaultHeap != dsHeapNil) return;
  defaultHeap = MakeHeap(kDefaultBlock, kDefaultBlock, false);
  tmpHeap = MakeHeap(kTmpBlock, kTmpBlock, true);
  backslash = DSCreateHStr(defaultHeap, "\\", 0);
}

DSHeapRef Default() {
  if (defaultHeap == dsHeapNil) {
    DynStr_Init();
    EnsureHeaps();  // also when the module is being initialised further up the stack
  }
  return defaultHeap;
}

// A heap argument of an operation that cannot do without one.
DSHeapRef Heap(DSHeapRef heap, const char* op) {
  if (heap == dsHeapNil) DS_MISUSE(op, "no heap");
  return heap;
}

// The heap a result goes to when the output variable holds dsNil.
DSHeapRef HeapFor(DS first) { return first == dsNil ? Default() : first->block->heap; }

DSHeapRec* FirstFit(DSHeapRef heap, std::size_t n) {
  const bool skip = n > heap->prefixFree;
  std::size_t most = skip ? heap->prefixFree : 0;
  for (DSHeapRec* b = skip ? heap->scanFrom : heap; b != nullptr; b = b->nextBlock) {
    if (b->free >= n) {
      heap->scanFrom = b;
      heap->prefixFree = most;
      return b;
    }
    most = std::max(most, b->free);
  }
  return nullptr;
}

// A block's free space grew: searches may no longer skip it.
void MoreFree(DSHeapRec* b) {
  DSHeapRef heap = b->heap;
  if (b->index < heap->scanFrom->index) heap->prefixFree = std::max(heap->prefixFree, b->free);
}

DSHeapRec* AddBlock(DSHeapRef heap, std::size_t n) {
  DSHeapRec* b = NewBlock(n <= heap->increment ? heap->increment : heap->increment + n, "DSAlloc");
  b->heap = heap;
  DSHeapRec* tail = heap;
  while (tail->nextBlock != nullptr) tail = tail->nextBlock;
  tail->nextBlock = b;
  b->index = tail->index + 1;
  ++counters.numberOfXXX1;
  return b;
}

// The block a request of n bytes goes to: first fit, else after compaction, else new.
DSHeapRec* Place(DSHeapRef heap, std::size_t n) {
  DSHeapRec* b = FirstFit(heap, n);
  if (b != nullptr) return b;
  if (DSRmGarbage(heap, true, false) == 0) b = FirstFit(heap, n);
  return b != nullptr ? b : AddBlock(heap, n);
}

char* Bump(DSHeapRec* b, std::size_t n) {
  char* p = b->nextFree;
  b->nextFree += n;
  b->free -= n;
  return p;
}

void Link(DS ds, DSHeapRec* b) {
  ds->block = b;
  ds->prev = b->last;
  ds->next = nullptr;
  if (b->last != nullptr) {
    b->last->next = ds;
  } else {
    b->first = ds;
  }
  b->last = ds;
}

void Unlink(DS ds) {
  DSHeapRec* b = ds->block;
  if (ds->prev != nullptr) {
    ds->prev->next = ds->next;
  } else {
    b->first = ds->next;
  }
  if (ds->next != nullptr) {
    ds->next->prev = ds->prev;
  } else {
    b->last = ds->prev;
  }
}

DS NewDescriptor(DSHeapRef heap) {
  DS d = heap->freeFirst;
  if (d != nullptr) {
    heap->freeFirst = d->next;
    if (heap->freeFirst == nullptr) heap->freeLast = nullptr;
    ++counters.numberOfReuses;
  } else {
    d = static_cast<DS>(Descriptors().Take());
    if (d == nullptr) Fail("InternalError", "DSCreate", "out of memory (%zu bytes)", sizeof *d);
    ++counters.numberOfNews;
  }
  return d;
}

// A new empty string of size bytes in block b, which has the room.
DS NewStringIn(DSHeapRec* b, std::size_t size) {
  DSHeapRef heap = b->heap;
  char* p = Bump(b, size);
  DS d = NewDescriptor(heap);
  d->size = size;
  d->used = 1;
  d->refs = 1;
  d->text = p;
  p[0] = '\0';
  Link(d, b);
  return d;
}

// A new empty string of size bytes.
DS NewString(DSHeapRef heap, std::size_t size) { return NewStringIn(Place(heap, size), size); }

// Extends the last string of its block in place to n bytes when the block has room.
// Whatever lies between its end and the next-free address is garbage and is taken back.
bool TryExtend(DS ds, std::size_t n) {
  DSHeapRec* b = ds->block;
  if (b->last != ds) return false;
  char* end = ds->text + ds->size;
  const std::size_t gap = static_cast<std::size_t>(b->nextFree - end);
  const std::size_t extra = n - ds->size;
  if (b->free + gap < extra) return false;
  if (gap != 0) {
    b->garbage -= gap;
    b->free += gap;
    b->nextFree = end;
  }
  Bump(b, extra);
  if (gap > extra) MoreFree(b);
  ds->size = n;
  ++b->expands;
  return true;
}

// Makes ds at least n bytes large; keep: its text must survive a move.
void Grow(DS ds, std::size_t n, bool keep) {
  if (ds->size >= n || TryExtend(ds, n)) return;
  DSHeapRef heap = ds->block->heap;
  DSHeapRec* b = FirstFit(heap, n);
  if (b == nullptr) {
    if (DSRmGarbage(heap, true, false) == 0) {
      if (TryExtend(ds, n)) return;
      b = FirstFit(heap, n);
    }
    if (b == nullptr) b = AddBlock(heap, n);
  }
  char* p = Bump(b, n);
  if (keep) {
    std::memcpy(p, ds->text, ds->used);
    ++counters.numberOfCopies;
  } else {
    ds->used = 1;
    p[0] = '\0';
  }
  ds->block->garbage += ds->size;
  Unlink(ds);
  Link(ds, b);
  ds->text = p;
  ds->size = n;
  ++counters.numberOfReallocs;
}

void Release(DS ds) {
  DSHeapRec* b = ds->block;
  b->garbage += ds->size;
  Unlink(ds);
  DSHeapRef heap = b->heap;
  ds->refs = 0;
  ds->text = nullptr;
  ds->block = heap;
  ds->next = nullptr;
  if (heap->freeLast != nullptr) {
    heap->freeLast->next = ds;
  } else {
    heap->freeFirst = ds;
  }
  heap->freeLast = ds;
  ++counters.numberOfUnlinks;
}

void ReleaseKeptDescriptors(DSHeapRef heap) {
  for (DS d = heap->freeFirst; d != nullptr;) {
    DS next = d->next;
    Descriptors().Give(d);
    d = next;
  }
  heap->freeFirst = heap->freeLast = nullptr;
}

bool HasSlack(const DSHeapRec* b) {
  for (const DynStrRec* s = b->first; s != nullptr; s = s->next) {
    if (s->size > s->used) return true;
  }
  return false;
}

void CompactBlock(DSHeapRec* b, bool shrink) {
  char* to = b->memory;
  for (DS s = b->first; s != nullptr; s = s->next) {
    if (s->text != to) {
      std::memmove(to, s->text, s->used);
      s->text = to;
      ++counters.numberOfXXX0;
    }
    if (shrink) s->size = s->used;
    to += s->size;
  }
  b->nextFree = to;
  b->free = b->size - static_cast<std::size_t>(to - b->memory);
  b->garbage = 0;
  MoreFree(b);
}

// ---------------------------------------------------------------- writing results

// text may lie in the heap itself: when no block has room, making room compacts the
// heap and moves it, so it is parked first (lists of a million paths are made one
// after the other, and mostly there is room).
DS CreateFrom(DSHeapRef heap, std::string_view text, std::size_t minSize) {
  const std::size_t n = std::max(minSize, text.size() + 1);
  DSHeapRec* b = FirstFit(heap, n);
  if (b == nullptr) {
    parked.assign(text);
    text = parked;
    b = Place(heap, n);
  }
  DS d = NewStringIn(b, n);
  CopyText(d->text, text);
  d->text[text.size()] = '\0';
  d->used = text.size() + 1;
  return d;
}

// *dst := text; text must not point into a heap (compose it in `work`).
void Put(DS* dst, DSHeapRef heap, std::string_view text, const char* op) {
  const std::size_t n = text.size() + 1;
  if (*dst == dsNil) {
    *dst = NewString(heap, n);
  } else {
    Check(*dst, op);
    Grow(*dst, n, false);
  }
  CopyText((*dst)->text, text);
  (*dst)->text[text.size()] = '\0';
  (*dst)->used = n;
}

// Composes the result in `work` and stores it.
void PutWork(DS* dst, DSHeapRef heap, const char* op) { Put(dst, heap, work, op); }

// Appends piece to a, in place when a has room or is the last string of its block.
void Append(DS a, std::string_view piece) {
  const std::size_t n = a->used + piece.size();
  if (a->size >= n || TryExtend(a, n)) {
    CopyText(a->text + a->used - 1, piece);
  } else {
    parked.assign(piece);
    Grow(a, n, true);
    CopyText(a->text + a->used - 1, parked);
  }
  a->used = n;
  a->text[n - 1] = '\0';
}

// dst := a followed by tail (which must not lie in `work`).
void ConcatInto(DS a, std::string_view tail, DS* dst, const char* op) {
  Check(a, op);
  if (a != dsNil && *dst == a) {
    Append(a, tail);
    return;
  }
  work.assign(View(a));
  work.append(tail);
  PutWork(dst, HeapFor(a), op);
}

// A temporary argument of a consuming operation is released once the result is made.
void Consume(DS arg, DS result) {
  if (arg != dsNil && arg != result && arg->refs > 0 && arg->block->heap->temporary) {
    DSDecRef(&arg);
  }
}

std::size_t Position(DS ds, long i, const char* op) {
  const long len = DSLength(ds);
  if (i < 0 || i > len) DS_MISUSE(op, "position %ld is outside the string of length %ld", i, len);
  return static_cast<std::size_t>(i);
}

// The range from, len of ds, len clipped to the end (negative len counts as 0).
std::pair<std::size_t, std::size_t> Range(DS ds, long from, long len, const char* op) {
  const std::size_t start = Position(ds, from, op);
  const std::size_t rest = View(ds).size() - start;
  const std::size_t n = len < 0 ? 0 : std::min(rest, static_cast<std::size_t>(len));
  return {start, n};
}

bool IsWhite(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EndsWithNoCase(std::string_view s, std::string_view end) {
  if (end.size() > s.size()) return false;
  const std::string_view tail = s.substr(s.size() - end.size());
  for (std::size_t i = 0; i < end.size(); ++i) {
    if (Lower(tail[i]) != Lower(end[i])) return false;
  }
  return true;
}

// The suffix of a file name: from the last "." of its last component, when that "." is
// not the component's first character.
std::string_view SuffixView(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot <= start) return {};
  return name.substr(dot);
}

// Characters of the escape sequence at text[i] (a backslash): "\x" with up to two hex
// digits, a backslash with up to three octal digits, or a backslash and one character.
std::size_t EscapeUnit(std::string_view text, std::size_t i) {
  if (i + 1 >= text.size()) return 1;
  std::size_t k = i + 1;
  if (text[k] == 'x') {
    ++k;
    for (int d = 0; d < 2 && k < text.size() && std::isxdigit(static_cast<unsigned char>(text[k]));
         ++d) {
      ++k;
    }
    return k - i;
  }
  if (text[k] >= '0' && text[k] <= '7') {
    for (int d = 0; d < 3 && k < text.size() && text[k] >= '0' && text[k] <= '7'; ++d) ++k;
    return k - i;
  }
  return 2;
}

std::string ShUnescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  char quote = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (quote == '\'') {
      if (c == '\'') {
        quote = 0;
      } else {
        out += c;
      }
    } else if (quote == '"') {
      if (c == '"') {
        quote = 0;
      } else if (c == '\\' && i + 1 < s.size() && s[i + 1] != '\0' &&
                 std::strchr("$`\"\\\n", s[i + 1]) != nullptr) {
        if (s[++i] != '\n') out += s[i];
      } else {
        out += c;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '\\') {
      if (i + 1 < s.size() && s[++i] != '\n') out += s[i];
    } else {
      out += c;
    }
  }
  return out;
}

// A growing array of handles terminated by dsNil, four entries more at a time.
class ArrayBuilder {
 public:
  ArrayBuilder() { Reserve(); }
  void Add(DS ds) {
    if (n_ + 1 >= cap_) Reserve();
    a_[n_++] = ds;
    a_[n_] = dsNil;
  }
  long Count() const { return n_; }
  DS* Take() { return std::exchange(a_, nullptr); }

 private:
  void Reserve() {
    cap_ += 4;
    void* p = std::realloc(a_, static_cast<std::size_t>(cap_) * sizeof(DS));
    if (p == nullptr) Fail("InternalError", "DSCreateArr", "out of memory");
    a_ = static_cast<DS*>(p);
    a_[n_] = dsNil;
  }
  DS* a_ = nullptr;
  long n_ = 0;
  long cap_ = 0;
};

const char* HookText(const DynStrRec* ds) { return DSStr(const_cast<DS>(ds)); }
void HookAssign(const char* text, DynStrRec** ds) { DSAssignStr(text, ds); }

}  // namespace

void DynStr_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "DynStr");
  if (!init) return;
  UCommon_Init();
  BRegEx_Init();
  CIO_Init();
  RecPool_Init();
  EnsureHeaps();
  CIO_SetDynStrHooks(HookText, HookAssign);
}

// ---------------------------------------------------------------- heaps

DSHeapRef DSCreateHeap(std::size_t blockSize, std::size_t increment) {
  Default();
  return MakeHeap(blockSize, increment, false);
}

void DSFreeHeap(DSHeapRef* heap) {
  DSHeapRef h = *heap;
  if (h == dsHeapNil) return;
  if (h == defaultHeap || h == tmpHeap) DS_MISUSE("DSFreeHeap", "a standard heap cannot be freed");
  for (DSHeapRef* p = &heaps; *p != nullptr; p = &(*p)->nextHeap) {
    if (*p == h) {
      *p = h->nextHeap;
      break;
    }
  }
  ReleaseKeptDescriptors(h);
  for (DSHeapRec* b = h; b != nullptr;) {
    for (DS s = b->first; s != nullptr;) {
      DS next = s->next;
      Descriptors().Give(s);
      s = next;
    }
    counters.numberOfExpandsInFreeSpace += b->expands;
    DSHeapRec* next = b->nextBlock;
    std::free(b->memory);
    std::free(b);
    b = next;
  }
  *heap = dsHeapNil;
}

DSHeapRef DSHeap(DS ds) {
  Check(ds, "DSHeap");
  return HeapFor(ds);
}
DSHeapRef DSDefaultHeap() { return Default(); }
DSHeapRef DSTmpHeap() {
  Default();
  return tmpHeap;
}

void DSLockHeap(DSHeapRef heap) { ++Heap(heap, "DSLockHeap")->lockCount; }

void DSUnlockHeap(DSHeapRef heap) {
  if (Heap(heap, "DSUnlockHeap")->lockCount <= 0)
    DS_MISUSE("DSUnlockHeap", "the heap is not locked");
  --heap->lockCount;
}

int DSRmGarbage(DSHeapRef heap, bool compact, bool shrink) {
  ++counters.numberOfDSRmGarbageCalls;
  if (Heap(heap, "DSRmGarbage")->lockCount > 0) return 1;
  if (compact || shrink) {
    for (DSHeapRec* b = heap; b != nullptr; b = b->nextBlock) {
      if (b->garbage > 0 || (shrink && HasSlack(b))) CompactBlock(b, shrink);
    }
  }
  ReleaseKeptDescriptors(heap);
  return 0;
}

// ---------------------------------------------------------------- creation, references

DS DSCreateHStr(DSHeapRef heap, const char* text, std::size_t minSize) {
  return DSCreateHStr(heap, View(text), minSize);
}

DS DSCreateHStr(DSHeapRef heap, std::string_view text, std::size_t minSize) {
  return CreateFrom(heap == dsHeapNil ? Default() : heap, text, minSize);
}

DS DSCreateStr(std::string_view text, std::size_t minSize) {
  return DSCreateHStr(Default(), text, minSize);
}

DS DSCreateH(DSHeapRef heap, DS ds, std::size_t minSize) {
  Check(ds, "DSCreateH");
  const std::size_t len = View(ds).size();
  DS d = NewString(heap == dsHeapNil ? Default() : heap, std::max(minSize, len + 1));
  if (ds != dsNil) std::memcpy(d->text, ds->text, len + 1);  // read after the allocation
  d->used = len + 1;
  return d;
}

DS DSCreateStr(const char* text, std::size_t minSize) {
  return DSCreateHStr(Default(), text, minSize);
}
DS DSCreate(DS ds, std::size_t minSize) { return DSCreateH(HeapFor(ds), ds, minSize); }
DS DSCreateTmp(DS ds, std::size_t minSize) { return DSCreateH(DSTmpHeap(), ds, minSize); }
DS DSCreateTmpStr(const char* text, std::size_t minSize) {
  return DSCreateHStr(DSTmpHeap(), text, minSize);
}

void DSFree(DS* ds) {
  if (*ds == dsNil) return;
  DS d = *ds;
  DSDecRef(&d);
  *ds = dsNil;
}

DS DSIncRef(DS ds) {
  if (ds == dsNil) return ds;
  Check(ds, "DSIncRef");
  if (ds->refs == UINT16_MAX) Fail("InternalError", "DSIncRef", "too many references");
  ++ds->refs;
  return ds;
}

void DSDecRef(DS* ds) {
  DS d = *ds;
  if (d == dsNil) return;
  if (d->refs < 1) DS_MISUSE("DSDecRef", "reference count below 1");
  if (--d->refs == 0) {
    Release(d);
    *ds = dsNil;
  }
}

int DSRefCount(DS ds) { return ds == dsNil ? 0 : ds->refs; }

bool DSIsTmp(DS ds) {
  Check(ds, "DSIsTmp");
  return ds != dsNil && ds->block->heap->temporary;
}

// ---------------------------------------------------------------- access

long DSLength(DS ds) { return ds == dsNil ? 0 : static_cast<long>(ds->used) - 1; }

const char* DSStr(DS ds) {
  Check(ds, "DSStr");
  return ds == dsNil ? "" : ds->text;
}

long DSToStr(DS ds, char* buffer, long n) {
  if (n < 1) return 0;
  Check(ds, "DSToStr");
  const std::string_view v = View(ds);
  const std::size_t k = std::min(v.size(), static_cast<std::size_t>(n - 1));
  CopyText(buffer, v.substr(0, k));
  buffer[k] = '\0';
  return static_cast<long>(k);
}

std::size_t DSSize(DS ds) { return ds == dsNil ? 0 : ds->size; }
std::size_t DSUsed(DS ds) { return ds == dsNil ? 0 : ds->used; }

void DSSetSize(DS ds, std::size_t size) {
  Check(ds, "DSSetSize");
  if (ds == dsNil) DS_MISUSE("DSSetSize", "no string");
  if (size < ds->used) {
    DS_MISUSE("DSSetSize", "size %zu is below the used size %zu", size, ds->used);
  }
  if (size > ds->size) {
    Grow(ds, size, true);
    return;
  }
  const std::size_t cut = ds->size - size;
  DSHeapRec* b = ds->block;
  if (b->last == ds && ds->text + ds->size == b->nextFree) {
    b->nextFree -= cut;
    b->free += cut;
    MoreFree(b);
  } else {
    b->garbage += cut;
  }
  ds->size = size;
}

void DSSetUsed(DS ds, std::size_t used) {
  Check(ds, "DSSetUsed");
  if (ds == dsNil || used < 1 || used > ds->size) {
    DS_MISUSE("DSSetUsed", "used size %zu is outside 1..%zu", used, DSSize(ds));
  }
  ds->used = used;
  ds->text[used - 1] = '\0';
}

void DSPack(DS ds) {
  if (ds != dsNil) DSSetSize(ds, ds->used);
}

char DSGetChar(DS ds, long i) {
  Check(ds, "DSGetChar");
  const long used = DSLength(ds) + 1;
  if (i < 0 || i >= used) {
    DS_MISUSE("DSGetChar", "index %ld is outside the string of length %ld", i, used - 1);
  }
  return ds == dsNil ? '\0' : ds->text[i];
}

void DSSetChar(DS ds, long i, char ch) {
  Check(ds, "DSSetChar");
  if (i < 0 || i >= DSLength(ds)) {
    DS_MISUSE("DSSetChar", "index %ld is outside the string of length %ld", i, DSLength(ds));
  }
  ds->text[i] = ch;
}

// ---------------------------------------------------------------- assignment, comparison

void DSAssign(DS src, DS* dst) {
  Check(src, "DSAssign");
  if (src != dsNil && *dst == src) return;
  work.assign(View(src));
  PutWork(dst, HeapFor(src), "DSAssign");
}

void DSAssignStr(const char* text, DS* dst) {
  work.assign(View(text));
  PutWork(dst, Default(), "DSAssignStr");
}

int DSCmp(DS a, DS b) { return std::strcmp(DSStr(a), DSStr(b)); }
int DSCmpStr(DS a, const char* text) { return std::strcmp(DSStr(a), text == nullptr ? "" : text); }

// ---------------------------------------------------------------- editing

void DSConcat(DS a, DS b, DS* dst) {
  Check(b, "DSConcat");
  ConcatInto(a, View(b), dst, "DSConcat");
}

void DSConcatStr(DS a, const char* text, DS* dst) { ConcatInto(a, View(text), dst, "DSConcatStr"); }

void DSConcatCharOther(DS a, char ch, DS* dst) {
  if (a != dsNil && *dst == a && a->refs > 0 && TryExtend(a, a->used + 1)) {
    a->text[a->used - 1] = ch;
    a->text[a->used] = '\0';
    ++a->used;
    return;
  }
  ConcatInto(a, std::string_view(&ch, 1), dst, "DSConcatChar");
}

void DSConcat3(DS a, const char* text, DS b, DS* dst) {
  Check(b, "DSConcat3");
  std::string tail(View(text));
  tail.append(View(b));
  ConcatInto(a, tail, dst, "DSConcat3");
}

void DSConcat3Str(DS a, const char* text1, const char* text2, DS* dst) {
  std::string tail(View(text1));
  tail.append(View(text2));
  ConcatInto(a, tail, dst, "DSConcat3Str");
}

void DSCopy(DS ds, long from, long len, DS* dst) {
  Check(ds, "DSCopy");
  const auto [start, n] = Range(ds, from, len, "DSCopy");
  work.assign(View(ds).substr(start, n));
  PutWork(dst, HeapFor(ds), "DSCopy");
}

long DSCopyStr(DS ds, long from, long len, char* buffer, long n) {
  Check(ds, "DSCopyStr");
  const auto [start, k] = Range(ds, from, len, "DSCopyStr");
  if (n < 1) return 0;
  const std::size_t c = std::min(k, static_cast<std::size_t>(n));
  CopyText(buffer, View(ds).substr(start, c));
  if (c < static_cast<std::size_t>(n)) buffer[c] = '\0';
  return static_cast<long>(c);
}

void DSDelete(DS ds, long from, long len, DS* dst) {
  Check(ds, "DSDelete");
  const auto [start, n] = Range(ds, from, len, "DSDelete");
  const std::string_view v = View(ds);
  work.assign(v.substr(0, start));
  work.append(v.substr(start + n));
  PutWork(dst, HeapFor(ds), "DSDelete");
}

void DSReplaceStr(DS ds, long from, long len, const char* text, DS* dst) {
  Check(ds, "DSReplace");
  const auto [start, n] = Range(ds, from, len, "DSReplace");
  const std::string_view v = View(ds);
  std::string out(v.substr(0, start));
  out.append(View(text));
  out.append(v.substr(start + n));
  work = std::move(out);
  PutWork(dst, HeapFor(ds), "DSReplace");
}

void DSReplace(DS ds, long from, long len, DS piece, DS* dst) {
  Check(piece, "DSReplace");
  DSReplaceStr(ds, from, len, DSStr(piece), dst);
}

void DSInsertStr(DS ds, long at, const char* text, DS* dst) {
  Position(ds, at, "DSInsert");
  DSReplaceStr(ds, at, 0, text, dst);
}

void DSInsert(DS ds, long at, DS piece, DS* dst) {
  Check(piece, "DSInsert");
  DSInsertStr(ds, at, DSStr(piece), dst);
}

long DSPosStr(DS ds, const char* text, long from) {
  Check(ds, "DSPos");
  const std::size_t start = Position(ds, from, "DSPos");
  const std::size_t p = View(ds).find(View(text), start);
  return p == std::string_view::npos ? -1 : static_cast<long>(p);
}

long DSPos(DS ds, DS piece, long from) { return DSPosStr(ds, DSStr(piece), from); }

bool DSChomp(DS ds, DS* dst) {
  Check(ds, "DSChomp");
  std::string_view v = View(ds);
  const bool cut = !v.empty() && v.back() == '\n';
  if (cut) v.remove_suffix(1);
  if (!(ds != dsNil && *dst == ds)) {
    work.assign(v);
    PutWork(dst, HeapFor(ds), "DSChomp");
  } else if (cut) {
    DSSetUsed(ds, ds->used - 1);
  }
  return cut;
}

void DSTrimWhite(DS ds, DS* dst) {
  Check(ds, "DSTrimWhite");
  std::string_view v = View(ds);
  while (!v.empty() && IsWhite(v.front())) v.remove_prefix(1);
  while (!v.empty() && IsWhite(v.back())) v.remove_suffix(1);
  work.assign(v);
  PutWork(dst, HeapFor(ds), "DSTrimWhite");
}

void DSToUpper(DS ds, DS* dst) {
  Check(ds, "DSToUpper");
  work.assign(View(ds));
  for (char& c : work) c = Upper(c);
  PutWork(dst, HeapFor(ds), "DSToUpper");
}

void DSToLower(DS ds, DS* dst) {
  Check(ds, "DSToLower");
  work.assign(View(ds));
  for (char& c : work) c = Lower(c);
  PutWork(dst, HeapFor(ds), "DSToLower");
}

void DSRevert(DS ds, DS* dst) {
  Check(ds, "DSRevert");
  work.assign(View(ds));
  std::reverse(work.begin(), work.end());
  PutWork(dst, HeapFor(ds), "DSRevert");
}

// ---------------------------------------------------------------- escaping

namespace {

void Escape(DS ds, DS* dst, const char* set, const char* op) {
  Check(ds, op);
  const char esc = DSStr(backslash)[0];
  std::string out;
  for (char c : View(ds)) {
    if (c != '\0' && std::strchr(set, c) != nullptr) out += esc;
    out += c;
  }
  work = std::move(out);
  PutWork(dst, HeapFor(ds), op);
}

void Unescape(DS ds, DS* dst, const char* set, const char* op) {
  Check(ds, op);
  const std::string_view v = View(ds);
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\\' && i + 1 < v.size() && v[i + 1] != '\0' &&
        std::strchr(set, v[i + 1]) != nullptr) {
      ++i;
    }
    out += v[i];
  }
  work = std::move(out);
  PutWork(dst, HeapFor(ds), op);
}

}  // namespace

void DSEscapeShMetaChars(DS ds, DS* dst) { Escape(ds, dst, kShMetaChars, "DSEscapeShMetaChars"); }
void DSUnescapeShMetaChars(DS ds, DS* dst) {
  Unescape(ds, dst, kShMetaChars, "DSUnescapeShMetaChars");
}
void DSEscapeSpaces(DS ds, DS* dst) { Escape(ds, dst, " ", "DSEscapeSpaces"); }
void DSUnescapeSpaces(DS ds, DS* dst) { Unescape(ds, dst, " ", "DSUnescapeSpaces"); }

void DSShUnescape(DS ds, DS* dst) {
  Check(ds, "DSShUnescape");
  work = ShUnescape(View(ds));
  PutWork(dst, HeapFor(ds), "DSShUnescape");
}

// ---------------------------------------------------------------- paths

void DSIncludePath(DS dir, DS name, DS* path) {
  Check(dir, "DSIncludePath");
  Check(name, "DSIncludePath");
  std::string out(View(dir));
  out += '/';
  out.append(View(name));
  work = std::move(out);
  PutWork(path, HeapFor(dir), "DSIncludePath");
  Consume(dir, *path);
  Consume(name, *path);
}

void DSExcludePath(DS path, DS* dir, DS* name) {
  if (dir == name || (*dir != dsNil && *dir == *name)) {
    DS_MISUSE("DSExcludePath", "dir and name are the same string");
  }
  Check(path, "DSExcludePath");
  std::string_view p = View(path);
  std::string d, n;
  if (p.empty()) {
    n = ".";
  } else {
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    const std::size_t slash = p.rfind('/');
    if (p == "/") {
      n = "/";
    } else if (slash == std::string_view::npos) {
      n = p;
    } else {
      n = p.substr(slash + 1);
      std::string_view head = p.substr(0, slash);
      while (!head.empty() && head.back() == '/') head.remove_suffix(1);
      d = head.empty() ? std::string("/") : std::string(head);
    }
  }
  DSHeapRef heap = HeapFor(path);
  work = std::move(d);
  PutWork(dir, heap, "DSExcludePath");
  work = std::move(n);
  PutWork(name, heap, "DSExcludePath");
}

namespace {

std::string_view PathHead(std::string_view p) {
  if (!p.empty() && p[0] == '/') return p.substr(0, 1);
  const std::size_t slash = p.find('/');
  return slash == std::string_view::npos ? p : p.substr(0, slash + 1);
}

}  // namespace

void DSGetPathHead(DS path, DS* head) {
  Check(path, "DSGetPathHead");
  work.assign(PathHead(View(path)));
  PutWork(head, HeapFor(path), "DSGetPathHead");
}

void DSCutPathHead(DS* path, DS* head) {
  if (path == head || (*path != dsNil && *path == *head)) {
    DS_MISUSE("DSCutPathHead", "path and head are the same string");
  }
  Check(*path, "DSCutPathHead");
  const std::string_view p = View(*path);
  const std::string_view h = PathHead(p);
  std::size_t k = h.size();
  while (k < p.size() && p[k] == '/') ++k;
  std::string rest(p.substr(k));
  work.assign(h);
  PutWork(head, HeapFor(*path), "DSCutPathHead");
  work = std::move(rest);
  PutWork(path, HeapFor(*path), "DSCutPathHead");
}

bool DSThisPathHead(DS path, DS head) {
  Check(path, "DSThisPathHead");
  Check(head, "DSThisPathHead");
  const std::string_view p = View(path), h = View(head);
  if (p.empty() || h.empty() || p.size() <= h.size() || p.substr(0, h.size()) != h) return false;
  return h.back() == '/' || p[h.size()] == '/';
}

int DSPathHeadCmp(DS a, DS b) {
  const std::string_view x = View(a), y = View(b);
  std::size_t i = 0;
  while (i < x.size() && i < y.size() && x[i] == y[i]) ++i;
  if (i == y.size()) return (i == x.size() || x[i] == '/') ? 0 : 1;
  if (i == x.size()) return -1;
  return static_cast<unsigned char>(x[i]) < static_cast<unsigned char>(y[i]) ? -1 : 1;
}

void DSSuffixOf(DS name, DS* suffix) {
  Check(name, "DSSuffixOf");
  work.assign(SuffixView(View(name)));
  PutWork(suffix, HeapFor(name), "DSSuffixOf");
  Consume(name, *suffix);
}

bool DSHasSuffix(DS name, DS suffix) {
  Check(name, "DSHasSuffix");
  Check(suffix, "DSHasSuffix");
  const std::string_view s = SuffixView(View(name));
  const bool has = View(suffix).empty() ? !s.empty() : s == View(suffix);
  Consume(name, dsNil);
  Consume(suffix, dsNil);
  return has;
}

void DSStripSuffix(DS name, DS ext, DS* dst) {
  Check(name, "DSStripSuffix");
  Check(ext, "DSStripSuffix");
  std::string_view n = View(name);
  if (EndsWithNoCase(n, View(ext))) n.remove_suffix(View(ext).size());
  work.assign(n);
  PutWork(dst, HeapFor(name), "DSStripSuffix");
  Consume(name, *dst);
  Consume(ext, *dst);
}

void DSStripAnySuffix(DS name, DS* dst) {
  Check(name, "DSStripAnySuffix");
  std::string_view n = View(name);
  n.remove_suffix(SuffixView(n).size());
  work.assign(n);
  PutWork(dst, HeapFor(name), "DSStripAnySuffix");
  Consume(name, *dst);
}

void DSRequireSuffix(DS path, DS ext, DS* dst) {
  Check(path, "DSRequireSuffix");
  Check(ext, "DSRequireSuffix");
  const std::string_view p = View(path), e = View(ext);
  const std::size_t slash = p.rfind('/');
  const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  std::string_view file = p.substr(start);
  if (EndsWithNoCase(file, e)) file.remove_suffix(e.size());
  file = file.substr(0, e.size() >= kMaxFileName ? 0 : kMaxFileName - e.size());
  std::string out(p.substr(0, start));
  out.append(file);
  out.append(e);
  work = std::move(out);
  PutWork(dst, HeapFor(path), "DSRequireSuffix");
  Consume(path, *dst);
  Consume(ext, *dst);
}

// ---------------------------------------------------------------- matching

Reg DSRegComp(DS pattern, int flags) { return RegComp(DSStr(pattern), flags); }

bool DSRegExec(Reg regex, DS ds, long offset, std::size_t nmatch, RegMatches& matches, int flags) {
  const std::size_t at = Position(ds, offset, "DSRegExec");
  return RegExec(regex, DSStr(ds), at, nmatch, matches, flags);
}

bool DSRegExecPat(const char* pattern, DS ds, std::size_t nmatch, RegMatches& matches) {
  return RegExecPat(pattern, DSStr(ds), nmatch, matches);
}

bool DSMatch(DS ds, Reg regex) { return RegMatch(regex, DSStr(ds)); }
bool DSMatchPat(DS ds, const char* pattern) { return RegMatchPat(pattern, DSStr(ds)); }

bool DSFnMatch(DS ds, DS pattern, int flags) {
  return ::fnmatch(DSStr(pattern), DSStr(ds), flags) == 0;
}
bool DSFnMatchPat(DS ds, const char* pattern, int flags) {
  return ::fnmatch(pattern == nullptr ? "" : pattern, DSStr(ds), flags) == 0;
}

namespace {

// Calls found(start, end) for each match of regex in text that consumes at least one
// character, searching from the end of the previous one; stops after the first unless all.
template <typename Found>
void EachMatch(Reg regex, const std::string& text, bool all, Found found) {
  RegMatches m = regMatchNil;
  std::size_t from = 0;
  while (from <= text.size() &&
         RegExec(regex, text.c_str(), from, 1, m, from > 0 ? regNotBol : 0)) {
    long s = 0, e = 0;
    RegLimits(m, 0, s, e);
    if (e == s) {
      from = static_cast<std::size_t>(s) + 1;
      continue;
    }
    found(static_cast<std::size_t>(s), static_cast<std::size_t>(e));
    from = static_cast<std::size_t>(e);
    if (!all) break;
  }
  RegMatchFree(m);
}

}  // namespace

int DSSubst(DS ds, Reg regex, DS replacement, DS* dst, bool all) {
  Check(ds, "DSSubst");
  Check(replacement, "DSSubst");
  const std::string text(View(ds));
  const std::string rep(View(replacement));
  const std::size_t groups = RegNSubs(regex);
  std::string out;
  RegMatches m = regMatchNil;
  std::size_t from = 0, copied = 0;
  long lastEnd = -1;
  int count = 0;
  while (regex != regNil && from <= text.size() &&
         RegExec(regex, text.c_str(), from, groups, m, from > 0 ? regNotBol : 0)) {
    long s = 0, e = 0;
    RegLimits(m, 0, s, e);
    if (e == s && s == lastEnd) {
      // An empty match right behind the previous match is no new match.
      from = static_cast<std::size_t>(s) + 1;
      continue;
    }
    out.append(text, copied, static_cast<std::size_t>(s) - copied);
    for (std::size_t i = 0; i < rep.size(); ++i) {
      if (rep[i] == '\\' && i + 1 < rep.size() && rep[i + 1] >= '0' && rep[i + 1] <= '9') {
        long gs = -1, ge = -1;
        RegLimits(m, static_cast<std::size_t>(rep[++i] - '0'), gs, ge);
        if (gs >= 0) {
          out.append(text, static_cast<std::size_t>(gs), static_cast<std::size_t>(ge - gs));
        }
      } else if (rep[i] == '\\' && i + 1 < rep.size() && rep[i + 1] == '\\') {
        out += rep[++i];
      } else {
        out += rep[i];
      }
    }
    ++count;
    lastEnd = e;
    copied = static_cast<std::size_t>(e);
    // After an empty match the search goes on behind the next character.
    from = e == s ? copied + 1 : copied;
    if (!all) break;
  }
  RegMatchFree(m);
  if (copied < text.size()) out.append(text, copied);
  work = std::move(out);
  PutWork(dst, HeapFor(ds), "DSSubst");
  Consume(ds, *dst);
  Consume(replacement, *dst);
  return count;
}

int DSSubstPat(DS ds, const char* pattern, const char* replacement, DS* dst, bool all) {
  Reg regex = RegComp(pattern, regExtended);
  DS rep = DSCreateTmpStr(replacement, 0);
  const int n = DSSubst(ds, regex, rep, dst, all);
  RegFree(regex);
  return n;
}

// ---------------------------------------------------------------- arrays of strings

void DSCreateArr(DS** arr, long n) {
  if (n < 0) n = 0;
  void* p = std::calloc(static_cast<std::size_t>(n) + 1, sizeof(DS));
  if (p == nullptr) Fail("InternalError", "DSCreateArr", "out of memory");
  *arr = static_cast<DS*>(p);
}

void DSFreeArr(DS** arr) {
  if (*arr == nullptr) return;
  for (DS* p = *arr; *p != dsNil; ++p) DSFree(p);
  std::free(*arr);
  *arr = nullptr;
}

long DSArrLength(DS* arr) {
  long n = 0;
  while (arr != nullptr && arr[n] != dsNil) ++n;
  return n;
}

long DSSplit(DS ds, Reg regex, DS** arr) {
  Check(ds, "DSSplit");
  const std::string text(View(ds));  // the pieces' allocations may move ds's text
  DSHeapRef heap = HeapFor(ds);
  ArrayBuilder out;
  if (!text.empty()) {
    std::size_t start = 0;
    EachMatch(regex, text, true, [&](std::size_t s, std::size_t e) {
      out.Add(CreateFrom(heap, std::string_view(text).substr(start, s - start), 0));
      start = e;
    });
    out.Add(CreateFrom(heap, std::string_view(text).substr(start), 0));
  }
  const long n = out.Count();
  *arr = out.Take();
  return n;
}

long DSSplitPat(DS ds, const char* pattern, DS** arr) {
  Reg regex = RegComp(pattern, regExtended);
  const long n = DSSplit(ds, regex, arr);
  RegFree(regex);
  return n;
}

void DSJoinStr(DS* arr, const char* separator, DS* dst) {
  std::string out;
  for (long i = 0; arr != nullptr && arr[i] != dsNil; ++i) {
    Check(arr[i], "DSJoin");
    if (i > 0) out.append(View(separator));
    out.append(View(arr[i]));
  }
  work = std::move(out);
  PutWork(dst, HeapFor(arr != nullptr ? arr[0] : dsNil), "DSJoin");
}

void DSJoin(DS* arr, DS separator, DS* dst) {
  Check(separator, "DSJoin");
  const std::string sep(View(separator));
  DSJoinStr(arr, sep.c_str(), dst);
}

bool DSDistrib(DS ds, Reg regex, DS** arr) {
  Check(ds, "DSDistrib");
  *arr = nullptr;
  const std::string text(View(ds));
  const std::size_t groups = RegNSubs(regex);
  RegMatches m = regMatchNil;
  if (regex == regNil || !RegExec(regex, text.c_str(), 0, groups, m, 0)) {
    RegMatchFree(m);
    return false;
  }
  DSHeapRef heap = HeapFor(ds);
  ArrayBuilder out;
  for (std::size_t i = 0; i < groups; ++i) {
    long s = -1, e = -1;
    RegLimits(m, i, s, e);
    const std::string_view part =
        s < 0 ? std::string_view()
              : std::string_view(text).substr(static_cast<std::size_t>(s),
                                              static_cast<std::size_t>(e - s));
    out.Add(CreateFrom(heap, part, 0));
  }
  RegMatchFree(m);
  *arr = out.Take();
  return true;
}

bool DSDistribPat(DS ds, const char* pattern, DS** arr) {
  Reg regex = RegComp(pattern, regExtended);
  const bool found = DSDistrib(ds, regex, arr);
  RegFree(regex);
  return found;
}

long DSShWords(DS line, const char* separator, DS** words, int flag) {
  Check(line, "DSShWords");
  *words = nullptr;
  const std::string pattern =
      std::string("^(") + (separator != nullptr && *separator ? separator : "[ \t]+") + ")";
  Reg sep = RegComp(pattern.c_str(), regExtended);
  if (sep == regNil) return -1;
  DSHeapRef heap = HeapFor(line);
  // Locked, the words can be carved from the heap while the line's text stays put.
  DSLockHeap(heap);
  const std::string_view text = View(line);
  const char* base = DSStr(line);
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  RegMatches m = regMatchNil;
  std::size_t start = 0, i = 0;
  char quote = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
        ++i;
      } else {
        i += c == '\\' && quote == '"' ? EscapeUnit(text, i) : 1;
      }
      continue;
    }
    if (RegExec(sep, base, i, 1, m, 0)) {
      long s = 0, e = 0;
      RegLimits(m, 0, s, e);
      if (e > s) {
        spans.emplace_back(start, i);
        i = start = static_cast<std::size_t>(e);
        continue;
      }
    }
    if (c == '"' || c == '\'') {
      quote = c;
      ++i;
    } else {
      i += c == '\\' ? EscapeUnit(text, i) : 1;
    }
  }
  RegMatchFree(m);
  RegFree(sep);
  long count = -1;
  if (quote == 0) {
    spans.emplace_back(start, text.size());
    ArrayBuilder out;
    for (const auto& [s, e] : spans) {
      const std::string_view word = text.substr(s, e - s);
      if (flag == 0) {
        out.Add(CreateFrom(heap, word, 0));
      } else if (!word.empty()) {
        out.Add(CreateFrom(heap, ShUnescape(word), 0));
      }
    }
    count = out.Count();
    *words = out.Take();
  }
  DSUnlockHeap(heap);
  return count;
}

// ---------------------------------------------------------------- fields and tokens

void DSStrFromStr(const char* text, long len, DS* dst) {
  std::string_view v = View(text);
  if (len >= 0 && static_cast<std::size_t>(len) < v.size()) v = v.substr(0, len);
  work.assign(v);
  PutWork(dst, Default(), "DSStrFromStr");
}

bool DSFieldFromStr(const char* text, char sep, long n, DS* dst) {
  const std::string_view v = View(text);
  std::size_t start = 0;
  for (long k = 0; k < n; ++k) {
    const std::size_t p = v.find(sep, start);
    if (p == std::string_view::npos) return false;
    start = p + 1;
  }
  const std::size_t end = std::min(v.find(sep, start), v.size());
  work.assign(v.substr(start, end - start));
  PutWork(dst, Default(), "DSFieldFromStr");
  return true;
}

bool DSFieldFromStr1(const char* text, char sep, long n, DS* dst) {
  const std::string_view v = View(text);
  long k = 0;
  std::size_t i = 0;
  while (true) {
    while (i < v.size() && v[i] == sep) ++i;
    if (i == v.size()) return false;
    const std::size_t end = std::min(v.find(sep, i), v.size());
    if (k++ == n) {
      work.assign(v.substr(i, end - i));
      PutWork(dst, Default(), "DSFieldFromStr1");
      return true;
    }
    i = end;
  }
}

long DSSkipWhite(DS ds, long from) {
  const std::string_view v = View(ds);
  std::size_t i = Position(ds, from, "DSSkipWhite");
  while (i < v.size() && IsBlank(v[i])) ++i;
  return static_cast<long>(i);
}

long DSSkipSpace(DS ds, long from) {
  const std::string_view v = View(ds);
  std::size_t i = Position(ds, from, "DSSkipSpace");
  while (i < v.size() && IsWhite(v[i])) ++i;
  return static_cast<long>(i);
}

namespace {

// The next item from from: its text (without quotes) and the position after it.
std::pair<std::string, std::size_t> NextItem(DS ds, long from, const char* op) {
  const std::string_view v = View(ds);
  std::size_t i = Position(ds, from, op);
  while (i < v.size() && IsWhite(v[i])) ++i;
  if (i < v.size() && v[i] == '"') {
    const std::size_t close = v.find('"', i + 1);
    const std::size_t end = close == std::string_view::npos ? v.size() : close;
    return {std::string(v.substr(i + 1, end - i - 1)), std::min(end + 1, v.size())};
  }
  const std::size_t start = i;
  while (i < v.size() && !IsWhite(v[i])) ++i;
  return {std::string(v.substr(start, i - start)), i};
}

std::pair<std::string, std::size_t> NextToken(DS ds, long from, const char* delimiters,
                                              const char* op) {
  const std::string_view v = View(ds);
  std::size_t i = Position(ds, from, op);
  while (i < v.size() && IsWhite(v[i])) ++i;
  const std::size_t end = std::min(v.find_first_of(View(delimiters), i), v.size());
  std::string_view token = v.substr(i, end - i);
  while (!token.empty() && IsWhite(token.back())) token.remove_suffix(1);
  return {std::string(token), std::min(end + 1, v.size())};
}

}  // namespace

long DSSkipItem(DS ds, long from) {
  return static_cast<long>(NextItem(ds, from, "DSSkipItem").second);
}

long DSGetItem(DS ds, long from, DS* item) {
  auto [text, next] = NextItem(ds, from, "DSGetItem");
  work = std::move(text);
  PutWork(item, HeapFor(ds), "DSGetItem");
  return static_cast<long>(next);
}

long DSSkipToken(DS ds, long from, const char* delimiters) {
  return static_cast<long>(NextToken(ds, from, delimiters, "DSSkipToken").second);
}

long DSGetToken(DS ds, long from, const char* delimiters, DS* token) {
  auto [text, next] = NextToken(ds, from, delimiters, "DSGetToken");
  work = std::move(text);
  PutWork(token, HeapFor(ds), "DSGetToken");
  return static_cast<long>(next);
}

namespace {

void Format(DS* dst, DSHeapRef heap, const char* fmt, va_list args) {
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  work.assign(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(work.data(), work.size() + 1, fmt, again);
  va_end(again);
  PutWork(dst, heap, "DSFmtStr");
}

}  // namespace

void DSFmtStr(DS* dst, DS fmt, ...) {
  Check(fmt, "DSFmtStr");
  const std::string f(View(fmt));
  va_list args;
  va_start(args, fmt);
  Format(dst, HeapFor(fmt), f.c_str(), args);
  va_end(args);
}

void DSFmtStrStr(DS* dst, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Format(dst, Default(), fmt == nullptr ? "" : fmt, args);
  va_end(args);
}

// ---------------------------------------------------------------- lines

bool DSGetLine(DS ds, long from, long* next, DS* line) {
  Check(ds, "DSGetLine");
  if (from < 0) DS_MISUSE("DSGetLine", "position %ld is outside the string", from);
  const std::string_view v = View(ds);
  if (static_cast<std::size_t>(from) >= v.size()) {
    work.clear();
    PutWork(line, HeapFor(ds), "DSGetLine");
    *next = DSLength(ds);
    return false;
  }
  const std::size_t start = static_cast<std::size_t>(from);
  const std::size_t end = v.find('\n', start);
  const std::size_t stop = end == std::string_view::npos ? v.size() : end;
  *next = static_cast<long>(end == std::string_view::npos ? v.size() : end + 1);
  work.assign(v.substr(start, stop - start));
  PutWork(line, HeapFor(ds), "DSGetLine");
  return true;
}

void DSPutLineStr(DS ds, const char* text, DS* dst) {
  std::string tail(View(text));
  tail += '\n';
  ConcatInto(ds, tail, dst, "DSPutLine");
}

void DSPutLine(DS ds, DS line, DS* dst) {
  Check(line, "DSPutLine");
  std::string tail(View(line));
  tail += '\n';
  ConcatInto(ds, tail, dst, "DSPutLine");
}

// ---------------------------------------------------------------- statistics

void DSGetStats(DSStats* stats) {
  Default();
  DSStats s = counters;
  s.sizeOfHeapStruct = sizeof(DSHeapRec);
  s.sizeOfDynStrStruct = sizeof(DynStrRec);
  s.numberOfHeaps = s.numberOfHeapSegments = s.sizeOfHeaps = s.freeInHeaps = 0;
  s.unusedByStrings = s.numberOfUsedStrings = s.numberOfFreeStrings = 0;
  s.sizeOfStrings = s.usedByStrings = s.maxSize = s.maxUsed = s.maxRefCount = 0;
  for (DSHeapRef h = heaps; h != nullptr; h = h->nextHeap) {
    ++s.numberOfHeaps;
    for (DS d = h->freeFirst; d != nullptr; d = d->next) ++s.numberOfFreeStrings;
    for (const DSHeapRec* b = h; b != nullptr; b = b->nextBlock) {
      ++s.numberOfHeapSegments;
      s.sizeOfHeaps += static_cast<long>(b->size);
      s.freeInHeaps += static_cast<long>(b->free);
      s.unusedByStrings += static_cast<long>(b->garbage);
      s.numberOfExpandsInFreeSpace += b->expands;
      for (const DynStrRec* d = b->first; d != nullptr; d = d->next) {
        ++s.numberOfUsedStrings;
        s.sizeOfStrings += static_cast<long>(d->size);
        s.usedByStrings += static_cast<long>(d->used);
        s.maxSize = std::max(s.maxSize, static_cast<long>(d->size));
        s.maxUsed = std::max(s.maxUsed, static_cast<long>(d->used));
        s.maxRefCount = std::max(s.maxRefCount, static_cast<long>(d->refs));
      }
    }
  }
  *stats = s;
}

void DSDumpStats(FILE* stream) {
  DSStats s;
  DSGetStats(&s);
  const std::pair<const char*, long> rows[] = {
      {"sizeOfHeapStruct", s.sizeOfHeapStruct},
      {"sizeOfDynStrStruct", s.sizeOfDynStrStruct},
      {"numberOfHeaps", s.numberOfHeaps},
      {"numberOfHeapSegments", s.numberOfHeapSegments},
      {"sizeOfHeaps", s.sizeOfHeaps},
      {"freeInHeaps", s.freeInHeaps},
      {"unusedByStrings", s.unusedByStrings},
      {"numberOfUsedStrings", s.numberOfUsedStrings},
      {"numberOfFreeStrings", s.numberOfFreeStrings},
      {"sizeOfStrings", s.sizeOfStrings},
      {"usedByStrings", s.usedByStrings},
      {"maxSize", s.maxSize},
      {"maxUsed", s.maxUsed},
      {"maxRefCount", s.maxRefCount},
      {"numberOfDSRmGarbageCalls", s.numberOfDSRmGarbageCalls},
      {"numberOfReallocs", s.numberOfReallocs},
      {"numberOfExpandsInFreeSpace", s.numberOfExpandsInFreeSpace},
      {"numberOfCopies", s.numberOfCopies},
      {"numberOfNews", s.numberOfNews},
      {"numberOfReuses", s.numberOfReuses},
      {"numberOfUnlinks", s.numberOfUnlinks},
      {"numberOfXXX0", s.numberOfXXX0},
      {"numberOfXXX1", s.numberOfXXX1},
  };
  for (const auto& [name, value] : rows) std::fprintf(stream, "%-27s = %9ld\n", name, value);
}
