#include "SAIF.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "BFileIO.hpp"
#include "DirAcces.hpp"
#include "Messages.hpp"
#include "StrHash.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

std::uint32_t SAIF_aifError = 0;

namespace {

constexpr std::size_t kHeaderSize = 26;
constexpr std::size_t kTagBuckets = 1024;
constexpr std::uint32_t kTileBytes = SAIF_tileWidth * SAIF_tileHeight;
constexpr std::size_t kCopyChunk = 64 * 1024;

struct Tag {
  std::vector<char> data;
};

}  // namespace

struct SAIF_File {
  std::string name;
  BFileIO_File file = BFileIO_Nil;
  bool readOnly = false;
  std::uint16_t width = 0, height = 0, across = 0, down = 0, channels = 0;
  std::uint32_t tagListPos = 0;
  StrHash tags = StrHash_Nil;
  bool listLoaded = false;
  bool listChanged = false;
  bool blackIsWhite = false;  // kept for the image functions
};

namespace {

// The header as it lies in the file: field sizes in file order.
constexpr std::array<std::size_t, 11> kFieldSizes = {2, 2, 2, 2, 2, 2, 2, 2, 2, 4, 4};

void PutLE(char* at, std::uint32_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) at[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint32_t GetLE(const unsigned char* at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;) value = (value << 8) | at[i];
  return value;
}

// Tag names are compared exactly and hold at most 127 characters.
std::string_view TagKey(StrIn name) {
  return name.view().substr(0, std::min(name.view().size(), SAIF_tagNameSize - 1));
}

// Raises (SAIF, number) with the file and what went wrong as the reason behind it.
void Raise(const std::string& fileName, std::uint32_t number, std::string_view operation,
           std::string_view what) {
  SAIF_aifError = number;
  std::string info = "::" + std::string(operation) + ": " + fileName;
  if (!what.empty()) info += ": " + std::string(what);
  Messages_SupplyAdditionalInfo(info);
  Messages_Error("SAIF", number);
}

void FreeTags(StrHash& tags) {
  if (tags == StrHash_Nil) return;
  char key[SAIF_tagNameSize];
  for (StrHash_Value v = StrHash_GetFirst(tags, key); v != 0; v = StrHash_GetNext(tags, key)) {
    delete reinterpret_cast<Tag*>(v);
  }
  StrHash_DestroyTable(tags);
}

void PutTag(SAIF_File& f, std::string_view key, std::vector<char> data) {
  if (Tag* old = StrHash_GetPointer<Tag>(f.tags, key)) {
    old->data = std::move(data);  // the entry keeps its place in the table
    return;
  }
  StrHash_PutPointer(f.tags, key, new Tag{std::move(data)});
}

// Reads exactly n bytes; false on a short read (the end of the file or a read error).
bool ReadExactly(BFileIO_File file, void* buffer, std::size_t n) {
  if (n == 0) return true;
  BFileIO_Read(file, buffer, n);
  return BFileIO_bytesTransferred == n;
}

// Header fields in file order; false after raising error 5 or 7.
bool ReadHeader(SAIF_File& f) {
  std::array<std::uint32_t, kFieldSizes.size()> v{};
  for (std::size_t i = 0; i < kFieldSizes.size(); ++i) {
    unsigned char bytes[4] = {};
    BFileIO_Read(f.file, bytes, kFieldSizes[i]);
    if (BFileIO_bytesTransferred != kFieldSizes[i]) {
      const bool cutShort = i == 0 || BFileIO_ioError == 0 || BFileIO_ioError == 1;
      Raise(f.name, cutShort ? 5 : 7, "SAIF_Open", cutShort ? "header cut short" : "read error");
      return false;
    }
    v[i] = GetLE(bytes, kFieldSizes[i]);
  }
  if (v[0] != SAIF_magic) {
    Raise(f.name, 4, "SAIF_Open", "not a container file");
    return false;
  }
  if (v[1] != SAIF_version) {
    Raise(f.name, 6, "SAIF_Open", "version " + std::to_string(v[1]));
    return false;
  }
  if (v[6] != SAIF_tileWidth || v[7] != SAIF_tileHeight) {
    Raise(f.name, 7, "SAIF_Open",
          "tile size " + std::to_string(v[6]) + " x " + std::to_string(v[7]));
    return false;
  }
  f.width = static_cast<std::uint16_t>(v[2]);
  f.height = static_cast<std::uint16_t>(v[3]);
  f.across = static_cast<std::uint16_t>(v[4]);
  f.down = static_cast<std::uint16_t>(v[5]);
  f.channels = static_cast<std::uint16_t>(v[8]);
  f.tagListPos = v[9];
  return true;
}

// The tag list from its position to the terminating length 0 or the end of the file;
// false after raising error 11 (the incomplete entry is dropped).
bool ReadTagList(SAIF_File& f) {
  BFileIO_Seek(f.file, f.tagListPos, FileIO_fromStart);
  if (BFileIO_ioError != 0) return true;  // a list beyond reach is an empty one
  for (;;) {
    unsigned char lengthBytes[2];
    if (!ReadExactly(f.file, lengthBytes, 2)) break;
    const std::uint32_t n = GetLE(lengthBytes, 2);
    if (n == 0) break;
    char name[SAIF_tagNameSize];
    std::vector<char> data(n);
    if (!ReadExactly(f.file, name, sizeof name) || !ReadExactly(f.file, data.data(), n)) {
      Raise(f.name, 11, "SAIF_Open", "tag list cut short");
      return false;
    }
    name[SAIF_tagNameSize - 1] = '\0';
    PutTag(f, std::string_view(name, std::strlen(name)), std::move(data));
  }
  f.listLoaded = true;
  return true;
}

std::array<char, kHeaderSize> HeaderBytes(const SAIF_File& f) {
  std::array<char, kHeaderSize> h{};
  const std::uint32_t values[kFieldSizes.size()] = {
      SAIF_magic,     SAIF_version,    f.width,    f.height,     f.across,      f.down,
      SAIF_tileWidth, SAIF_tileHeight, f.channels, f.tagListPos, SAIF_dataStart};
  std::size_t at = 0;
  for (std::size_t i = 0; i < kFieldSizes.size(); ++i) {
    PutLE(h.data() + at, values[i], kFieldSizes[i]);
    at += kFieldSizes[i];
  }
  return h;
}

bool Write(BFileIO_File file, const void* data, std::size_t n) {
  BFileIO_Write(file, data, n);
  return BFileIO_ioError == 0 && BFileIO_bytesTransferred == n;
}

bool WriteTagList(SAIF_File& f, BFileIO_File out) {
  StrHash_Iterator it = StrHash_CreateIterator(f.tags);
  char key[SAIF_tagNameSize];
  StrHash_Value value = 0;
  bool ok = true;
  while (ok && StrHash_Iterate(it, false, key, value)) {
    const Tag& tag = *reinterpret_cast<const Tag*>(value);
    char entry[2 + SAIF_tagNameSize] = {};
    PutLE(entry, static_cast<std::uint32_t>(tag.data.size()), 2);
    std::memcpy(entry + 2, key, std::strlen(key));
    ok = Write(out, entry, sizeof entry) && Write(out, tag.data.data(), tag.data.size());
  }
  StrHash_DestroyIterator(it);
  const char end[2] = {0, 0};
  return ok && Write(out, end, sizeof end);
}

// The bytes before the tag list: those of the open file, or (for a new file) the header
// followed by the empty pixel area, left as a hole.
bool WriteFront(SAIF_File& f, BFileIO_File out) {
  if (f.file == BFileIO_Nil) {
    const auto header = HeaderBytes(f);
    if (!Write(out, header.data(), header.size())) return false;
    BFileIO_Seek(out, f.tagListPos, FileIO_fromStart);
    return BFileIO_ioError == 0;
  }
  BFileIO_Seek(f.file, 0, FileIO_fromStart);
  std::vector<char> chunk(kCopyChunk);
  std::uint64_t left = f.tagListPos;
  while (left > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
    BFileIO_Read(f.file, chunk.data(), n);
    const std::size_t got = BFileIO_bytesTransferred;
    if (BFileIO_ioError > 1) return false;
    if (got < n) {
      // The file ends inside the pixel area: the rest of it reads as zeros.
      if (got > 0 && !Write(out, chunk.data(), got)) return false;
      BFileIO_Seek(out, f.tagListPos, FileIO_fromStart);
      return BFileIO_ioError == 0;
    }
    if (!Write(out, chunk.data(), n)) return false;
    left -= n;
  }
  return true;
}

std::string TemporaryName(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : name.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  return dir + "." + base + "." + std::to_string(::getpid()) + "~";
}

// Writes the whole file under a temporary name and renames it over the file; then the
// handle reads and writes the new file. False (nothing changed) on failure.
bool ReplaceFile(SAIF_File& f, std::string_view operation) {
  const std::string tmp = TemporaryName(f.name);
  Messages_Ignoring quiet;
  bool ok = false;
  BFileIO_File out = BFileIO_Create(tmp, 1);
  if (out != BFileIO_Nil) {
    ok = WriteFront(f, out) && WriteTagList(f, out);
    if (ok) {
      // Flushed, not synced: the rename already keeps readers from a half-written list,
      // and a sync per order would make writing thousands of orders crawl.
      BFileIO_Flush(out);
      ok = BFileIO_ioError == 0;
    }
    if (ok && f.file != BFileIO_Nil) {
      DirAcces_DirEntry st{};
      DirAcces_FileStatF(BFileIO_FileDesc(f.file), st);
      if (DirAcces_dirError == 0) DirAcces_ChMod(tmp, st.mode & 07777);
    }
    BFileIO_Close(out);
    if (ok) {
      DirAcces_AtomicRename(tmp, f.name);
      ok = DirAcces_dirError == 0;
    }
  }
  if (!ok) {
    // Keep the reasons of the file layer, drop the half-written copy quietly.
    const std::uint8_t saved = DirAcces_dirError;
    {
      const Messages_Ignoring removing;
      DirAcces_Remove(tmp);
    }
    Messages_ForgetErrorReasons();
    DirAcces_dirError = saved;
  }
  BFileIO_File reopened = ok ? BFileIO_Open(f.name, f.readOnly ? 0 : 2) : BFileIO_Nil;
  quiet.Close();
  if (!ok || reopened == BFileIO_Nil) {
    Raise(f.name, 11, operation, "tag list not written");
    return false;
  }
  BFileIO_Close(f.file);
  f.file = reopened;
  return true;
}

void WriteBack(SAIF_File& f, std::string_view operation) {
  if (!f.listLoaded || !f.listChanged) return;
  f.listChanged = false;
  if (f.readOnly) {
    Raise(f.name, 11, operation, "opened read-only");
    return;
  }
  ReplaceFile(f, operation);
}

void Destroy(SAIF_File*& f) {
  if (f->file != BFileIO_Nil) {
    {
      const Messages_Ignoring quiet;
      BFileIO_Close(f->file);
    }
    Messages_ForgetErrorReasons();
  }
  FreeTags(f->tags);
  delete f;
  f = nullptr;
}

bool CopyOut(const Tag& tag, std::size_t& length, std::span<char> data) {
  length = std::min(tag.data.size(), data.size());
  if (length > 0) std::memcpy(data.data(), tag.data.data(), length);
  return true;
}

}  // namespace

void SAIF_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SAIF");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  BFileIO_Init();
  DirAcces_Init();
  StrHash_Init();
}

SAIF SAIF_Open(StrIn fileName, std::uint32_t& width, std::uint32_t& height, std::uint32_t& channels,
               bool readOnly) {
  SAIF_Init();
  SAIF_aifError = 0;
  auto* f = new SAIF_File;
  f->name = fileName.str();
  f->readOnly = readOnly;
  f->file = BFileIO_Open(f->name, readOnly ? 0 : 2);
  if (f->file == BFileIO_Nil) {
    SAIF_aifError = 3;
    Destroy(f);
    return SAIF_Nil;
  }
  f->tags = StrHash_CreateTable(kTagBuckets);
  if (!ReadHeader(*f) || !ReadTagList(*f)) {
    Destroy(f);
    return SAIF_Nil;
  }
  width = f->width;
  height = f->height;
  channels = f->channels;
  f->blackIsWhite = StrHash_GetEntry(f->tags, "BLACKISWHITE") != 0;
  return f;
}

SAIF SAIF_Create(StrIn fileName, std::uint32_t width, std::uint32_t height,
                 std::uint32_t channels) {
  SAIF_Init();
  SAIF_aifError = 0;
  if (width > 0xFFFF || height > 0xFFFF || channels > 0xFFFF) HALT();
  auto* f = new SAIF_File;
  f->name = fileName.str();
  f->width = static_cast<std::uint16_t>(width);
  f->height = static_cast<std::uint16_t>(height);
  f->across = static_cast<std::uint16_t>((width + SAIF_tileWidth - 1) / SAIF_tileWidth);
  f->down = static_cast<std::uint16_t>((height + SAIF_tileHeight - 1) / SAIF_tileHeight);
  f->channels = static_cast<std::uint16_t>(channels);
  const std::uint64_t position =
      SAIF_dataStart + std::uint64_t{f->down} * f->across * f->channels * kTileBytes;
  if (position > 0xFFFFFFFFu) {
    Raise(f->name, 7, "SAIF_Create", "pixel area too large");
    Destroy(f);
    return SAIF_Nil;
  }
  f->tagListPos = static_cast<std::uint32_t>(position);
  f->tags = StrHash_CreateTable(kTagBuckets);
  f->listLoaded = true;
  if (!ReplaceFile(*f, "SAIF_Create")) {
    Destroy(f);
    return SAIF_Nil;
  }
  return f;
}

void SAIF_Close(SAIF& file) {
  if (file == SAIF_Nil) return;
  WriteBack(*file, "SAIF_Close");
  Destroy(file);
}

void SAIF_Flush(SAIF file) {
  if (file != SAIF_Nil) WriteBack(*file, "SAIF_Flush");
}

void SAIF_TagRetrieve(SAIF file, StrIn name, std::size_t& length, std::span<char> data) {
  length = 0;
  if (file == SAIF_Nil) return;
  if (const Tag* tag = StrHash_GetPointer<Tag>(file->tags, TagKey(name))) {
    CopyOut(*tag, length, data);
  }
}

void SAIF_TagInsertOrReplace(SAIF file, StrIn name, std::size_t length,
                             std::span<const char> data) {
  if (file == SAIF_Nil) return;
  const std::size_t n = std::min(length, data.size());
  if (n == 0 || n > SAIF_maxTagData) HALT();
  PutTag(*file, TagKey(name), std::vector<char>(data.begin(), data.begin() + n));
  file->listChanged = true;
}

void SAIF_TagDestroy(SAIF file, StrIn name) {
  if (file == SAIF_Nil) return;
  const std::string_view key = TagKey(name);
  if (Tag* tag = StrHash_GetPointer<Tag>(file->tags, key)) {
    delete tag;
    StrHash_DestroyEntry(file->tags, key);
    file->listChanged = true;
  }
}

bool SAIF_FirstTag(SAIF file, StrOut name, std::size_t& length, std::span<char> data) {
  length = 0;
  if (file == SAIF_Nil) return false;
  const StrHash_Value v = StrHash_GetFirst(file->tags, name);
  return v != 0 && CopyOut(*reinterpret_cast<const Tag*>(v), length, data);
}

bool SAIF_NextTag(SAIF file, StrOut name, std::size_t& length, std::span<char> data) {
  length = 0;
  if (file == SAIF_Nil) return false;
  const StrHash_Value v = StrHash_GetNext(file->tags, name);
  return v != 0 && CopyOut(*reinterpret_cast<const Tag*>(v), length, data);
}

std::uint32_t SAIF_TagListPosition(SAIF file) { return file == SAIF_Nil ? 0 : file->tagListPos; }
