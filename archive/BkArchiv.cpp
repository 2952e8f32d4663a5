#include "BkArchiv.hpp"

#include <new>
#include <string_view>

#include "DirAcces.hpp"
#include "DynStr.hpp"
#include "Messages.hpp"
#include "StringOp.hpp"
#include "UCommon.hpp"

std::uint8_t BkArchiv_bkaError = 0;

namespace {

constexpr char kSection[] = "BkArchiv";
constexpr char kEmptyMedia[] = "EMPTY_MEDIA";

void Now(BkArchiv_DateTime& moment) { Utility_GetSysDateTime(moment.date, moment.time); }

bool SameMoment(const BkArchiv_DateTime& a, const BkArchiv_DateTime& b) {
  return a.date.day == b.date.day && a.date.month == b.date.month && a.date.year == b.date.year &&
         a.time.hour == b.time.hour && a.time.minute == b.time.minute &&
         a.time.second == b.time.second;
}

bool SameFiles(FileList a, FileList b) {
  for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
    if (DSCmp(a->path, b->path) != 0 || a->fileMark != b->fileMark ||
        a->tapeNumber != b->tapeNumber || a->size != b->size ||
        !SameMoment(a->modified, b->modified) || a->isDir != b->isDir) {
      return false;
    }
  }
  return a == nullptr && b == nullptr;
}

bool SameArchive(const Archive* a, const Archive* b) {
  return Strings_Equal(a->archiveType, b->archiveType) && SameMoment(a->created, b->created) &&
         Strings_Equal(a->baseDir, b->baseDir) && SameFiles(a->files, b->files);
}

void AppendArchive(Header* hdr, Archive* archive, Archive* after = nullptr) {
  Archive** at = after != nullptr ? &after->next : &hdr->archives;
  while (*at != nullptr) at = &(*at)->next;
  *at = archive;
}

// A comment line "%%key value": exactly two "%" in front.
bool IsKeyLine(std::string_view line) {
  return line.size() >= 2 && line[0] == '%' && line[1] == '%' &&
         (line.size() == 2 || line[2] != '%');
}

}  // namespace

void BkArchiv_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkArchiv");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  StringOp_Init();
  Messages_Init();
  Utility_Init();
  DirAcces_Init();
  DynStr_Init();
  StrHash_Init();
  BkFLists_Init();
  BkArchivNames_Init();
}

void BkArchiv_ReportError(std::uint8_t n) {
  BkArchiv_bkaError = n;
  char text[1024];
  Messages_GetMsg(kSection, n, text);
  Messages_SupplyAdditionalInfo(text);
  Messages_Error(kSection, n);
}

// ---------------------------------------------------------------- construction

void BkArchiv_NewHeader(Header*& hdr, std::uint8_t mediaFormat, StrIn mediaType,
                        StrIn mediaComment) {
  BkArchiv_bkaError = 0;
  hdr = new (std::nothrow) Header{};
  if (hdr == nullptr) {
    BkArchiv_ReportError(12);
    return;
  }
  hdr->mediaFormat = mediaFormat;
  hdr->version = 10;
  Strings_Assign("NONAME", hdr->label);
  Strings_Assign(mediaType, hdr->mediaType);
  Strings_Assign(mediaComment, hdr->mediaComment);
  Now(hdr->created);
  hdr->modified = hdr->created;
  hdr->nextData = mediaFormat == mfmtStdD ? 0 : 1;
  hdr->newHeader = true;
  hdr->lastValidHdr = -1;
}

bool BkArchiv_GetEmptyHeader(const BkArchiv_DevInfo& device, std::uint8_t mediaFormat,
                             StrIn comment1, StrIn comment2, Header*& hdr) {
  char comment[4096];
  Strings_Concat(comment1, "\n", comment);
  Strings_Concat(comment, comment2, comment);
  BkArchiv_NewHeader(hdr, mediaFormat, kEmptyMedia, comment);
  if (hdr == nullptr) return false;
  BkArchiv_SetDevInfo(hdr, device);
  char path[1024];
  return BkArchiv_GenMediaLabel(device.mediaId, 0, 1, hdr->label, path);
}

void BkArchiv_SetDevInfo(Header* hdr, const BkArchiv_DevInfo& device) {
  BkArchiv_bkaError = 0;
  switch (device.baseType) {
    case 1:  // tape
      hdr->minCapacity = device.nativeCapacity;
      hdr->maxCapacity = device.maxCapacity;
      hdr->blkDevice = device.blkDevice;
      break;
    case 2:  // disk
    case 3:  // file system
      hdr->minCapacity = hdr->maxCapacity = device.capacity;
      hdr->blkDevice = 0;
      break;
    default:
      break;
  }
  hdr->blkHeader = device.blkHeader;
  hdr->blkData = device.blkData;
  hdr->dirSize = device.dirSize;
  hdr->softCompress = device.softCompress;
}

void BkArchiv_NewArchive(Header* hdr, Archive*& archive, StrIn archiveType, StrIn archiveComment,
                         StrIn host, StrIn baseDir, FileList fileList) {
  BkArchiv_bkaError = 0;
  archive = nullptr;
  const std::uint8_t f = hdr->mediaFormat;
  if (f != mfmtStdTar && f != mfmtStdTarA && f != mfmtStd && f != mfmtStdA && f != mfmtStdD) {
    Messages_SupplyAdditionalInfo("::format does not support append");
    BkArchiv_ReportError(13);
    return;
  }
  if ((f == mfmtStd || f == mfmtStdTar) && !hdr->newHeader) {
    Messages_SupplyAdditionalInfo("::append on mfmtStd only with new headers");
    BkArchiv_ReportError(13);
    return;
  }
  // The job writes a new leading header into the data file that used to be free.
  if ((f == mfmtStdA || f == mfmtStdTarA) && hdr->appendPending) {
    hdr->appendPending = false;
    hdr->appended = true;
    hdr->nextData += 1;
  }
  if (fileList == nullptr) {
    BkArchiv_bkaError = 26;
    char text[1024];
    Messages_GetMsg(kSection, 26, text);
    Messages_SupplyAdditionalInfo(text);
    return;
  }
  BkFLists_SelectAllFiles(fileList, true);
  int lowest = 0, highest = 0;
  if (!BkFLists_DenseFileMarks(fileList, lowest, highest)) {
    BkArchiv_ReportError(24);
    return;
  }
  if (lowest != 0) {
    BkArchiv_ReportError(25);
    return;
  }
  BkFLists_OffsetFileMarks(fileList, static_cast<int>(hdr->nextData));
  Archive* a = new (std::nothrow) Archive{};
  if (a == nullptr) {
    BkArchiv_ReportError(13);
    return;
  }
  Strings_Assign(archiveType, a->archiveType);
  Strings_Assign(archiveComment, a->archiveComment);
  Now(a->created);
  if (host.length() == 0) {
    DirAcces_GetMachineName(a->host);
  } else {
    Strings_Assign(host, a->host);
  }
  Strings_Assign(baseDir, a->baseDir);
  Strings_Assign(baseDir, a->writtenBaseDir);
  a->files = fileList;
  a->isNew = true;
  a->softCompress = hdr->softCompress;
  AppendArchive(hdr, a);
  hdr->nextData += static_cast<std::uint32_t>(highest) + 1;
  archive = a;
}

void BkArchiv_AppendEmptyArchive(Header* hdr, Archive*& archive, StrIn archiveType,
                                 Archive* after) {
  BkArchiv_bkaError = 0;
  archive = new (std::nothrow) Archive{};
  if (archive == nullptr) {
    BkArchiv_ReportError(14);
    return;
  }
  Strings_Assign(archiveType, archive->archiveType);
  Now(archive->created);
  DirAcces_GetMachineName(archive->host);
  AppendArchive(hdr, archive, after);
}

void BkArchiv_DestroyHeaderAndArchives(Header*& hdr) {
  BkArchiv_bkaError = 0;
  if (hdr == nullptr) return;
  for (Archive* a = hdr->archives; a != nullptr;) {
    Archive* next = a->next;
    BkFLists_DestroyFileList(a->files);
    delete a;
    a = next;
  }
  for (FmDirEntry* e = hdr->fmDir; e != nullptr;) {
    FmDirEntry* next = e->next;
    delete e;
    e = next;
  }
  delete hdr;
  hdr = nullptr;
}

bool BkArchiv_HeadersEqual(const Header* a, const Header* b) {
  BkArchiv_bkaError = 0;
  if (a->mediaFormat != b->mediaFormat || a->version != b->version ||
      !Strings_Equal(a->label, b->label) || !Strings_Equal(a->mediaType, b->mediaType) ||
      !SameMoment(a->created, b->created) || !SameMoment(a->modified, b->modified) ||
      a->nextDataRead != b->nextDataRead || a->nextData != b->nextData) {
    return false;
  }
  const Archive* x = a->archives;
  const Archive* y = b->archives;
  for (; x != nullptr && y != nullptr; x = x->next, y = y->next) {
    if (!SameArchive(x, y)) return false;
  }
  return x == nullptr && y == nullptr;
}

void BkArchiv_MkLabelFromHdr(const Header* hdr, StrOut label) {
  BkArchiv_bkaError = 0;
  char moment[64];
  BkArchiv_DateTimeText(hdr->created.date, hdr->created.time, moment);
  BkArchiv_MkLabelFromData(hdr->label, hdr->mediaType, moment, label);
}

// ---------------------------------------------------------------- accessors

std::uint8_t BkArchiv_GetMediaFormat(const Header* hdr) { return hdr->mediaFormat; }
void BkArchiv_SetMediaFormat(Header* hdr, std::uint8_t mediaFormat) {
  hdr->mediaFormat = mediaFormat;
}
bool BkArchiv_IsNewHeader(const Header* hdr) { return hdr->newHeader; }
bool BkArchiv_IsRecoveredHeader(const Header* hdr) { return hdr->recovered; }
void BkArchiv_GetExpectLabel(const Header* hdr, StrOut label) {
  Strings_Assign(hdr->expectLabel, label);
}
void BkArchiv_SetExpectLabel(Header* hdr, StrIn label) { Strings_Assign(label, hdr->expectLabel); }
void BkArchiv_GetMediaType(const Header* hdr, StrOut mediaType, bool& isEmpty) {
  Strings_Assign(hdr->mediaType, mediaType);
  isEmpty = Strings_Equal(hdr->mediaType, kEmptyMedia);
}
void BkArchiv_SetMediaType(Header* hdr, StrIn mediaType) {
  Strings_Assign(mediaType, hdr->mediaType);
}
void BkArchiv_GetMediaComment(const Header* hdr, StrOut comment) {
  Strings_Assign(hdr->mediaComment, comment);
}
void BkArchiv_SetMediaComment(Header* hdr, StrIn comment) {
  Strings_Assign(comment, hdr->mediaComment);
}
void BkArchiv_GetMediaDescription(const Header* hdr, StrOut description) {
  const std::string_view c = StrIn(hdr->mediaComment).view();
  Strings_Assign(c.substr(0, c.find('\n')), description);
}

bool BkArchiv_GetFirstArchive(Header* hdr, Archive*& archive) {
  hdr->currArchive = hdr->archives;
  archive = hdr->currArchive;
  return archive != nullptr;
}

bool BkArchiv_GetNextArchive(Header* hdr, Archive*& archive) {
  if (hdr->currArchive != nullptr) hdr->currArchive = hdr->currArchive->next;
  archive = hdr->currArchive;
  return archive != nullptr;
}

bool BkArchiv_IsNewArchive(const Archive* archive) { return archive->isNew; }
void BkArchiv_GetArchiveType(const Archive* archive, StrOut type) {
  Strings_Assign(archive->archiveType, type);
}
void BkArchiv_SetArchiveType(Archive* archive, StrIn type) {
  Strings_Assign(type, archive->archiveType);
}
void BkArchiv_GetArchiveComment(const Archive* archive, StrOut comment) {
  Strings_Assign(archive->archiveComment, comment);
}
void BkArchiv_SetArchiveComment(Archive* archive, StrIn comment) {
  Strings_Assign(comment, archive->archiveComment);
}
void BkArchiv_GetArchiveHost(const Archive* archive, StrOut host) {
  Strings_Assign(archive->host, host);
}
void BkArchiv_SetArchiveHost(Archive* archive, StrIn host) { Strings_Assign(host, archive->host); }
void BkArchiv_GetArchiveBaseDir(const Archive* archive, StrOut baseDir) {
  Strings_Assign(archive->baseDir, baseDir);
}
void BkArchiv_SetArchiveBaseDir(Archive* archive, StrIn baseDir) {
  Strings_Assign(baseDir, archive->baseDir);
}
FileList BkArchiv_GetArchiveFiles(const Archive* archive) { return archive->files; }
void BkArchiv_SetArchiveFiles(Archive* archive, FileList files) { archive->files = files; }
double BkArchiv_GetMBAvail(const Archive* archive) { return archive->mbAvail; }
void BkArchiv_SetMBAvail(Archive* archive, double mb) { archive->mbAvail = mb; }
double BkArchiv_GetMBNeeded(const Archive* archive) { return archive->mbNeeded; }
void BkArchiv_SetMBNeeded(Archive* archive, double mb) { archive->mbNeeded = mb; }

// ---------------------------------------------------------------- selection

void BkArchiv_ArSelectAllFiles(Archive* archive, bool flag) {
  BkFLists_SelectAllFiles(archive->files, flag);
}
void BkArchiv_ArSelectByFileMark(Archive* archive, int mark, bool flag) {
  BkFLists_SelectByFileMark(archive->files, mark, flag);
}
bool BkArchiv_ArSelectByPath(Archive* archive, StrIn path, bool relative, bool flag) {
  DS p = DSCreateStr(path.str().c_str(), 0);
  DS base = DSCreateStr(relative ? archive->baseDir : "", 0);
  const bool found = BkFLists_SelectByPath(archive->files, p, base, flag);
  DSFree(&p);
  DSFree(&base);
  return found;
}
double BkArchiv_ArSizeOfSelectedFiles(const Archive* archive) {
  return BkFLists_SizeOfSelectedFiles(archive->files);
}
long BkArchiv_ArNumberOfSelectedFiles(const Archive* archive) {
  return BkFLists_NumberOfSelectedFiles(archive->files);
}
bool BkArchiv_ArOneSelected(const Archive* archive) { return BkFLists_OneSelected(archive->files); }
bool BkArchiv_ArAllSelected(const Archive* archive) { return BkFLists_AllSelected(archive->files); }
void BkArchiv_ArPushSelection(Archive* archive) { BkFLists_PushSelection(archive->files); }
void BkArchiv_ArPopSelection(Archive* archive) { BkFLists_PopSelection(archive->files); }

void BkArchiv_HdrSelectAllFiles(Header* hdr, bool flag) {
  for (Archive* a = hdr->archives; a != nullptr; a = a->next) BkArchiv_ArSelectAllFiles(a, flag);
}
void BkArchiv_HdrSelectByFileMark(Header* hdr, int mark, bool flag) {
  for (Archive* a = hdr->archives; a != nullptr; a = a->next) {
    BkArchiv_ArSelectByFileMark(a, mark, flag);
  }
}
bool BkArchiv_HdrSelectByPath(Header* hdr, StrIn path, bool relative, bool flag) {
  bool found = false;
  for (Archive* a = hdr->archives; a != nullptr; a = a->next) {
    found = BkArchiv_ArSelectByPath(a, path, relative, flag) || found;
  }
  return found;
}
double BkArchiv_HdrSizeOfSelectedFiles(const Header* hdr) {
  double sum = 0.0;
  for (const Archive* a = hdr->archives; a != nullptr; a = a->next) {
    sum += BkArchiv_ArSizeOfSelectedFiles(a);
  }
  return sum;
}
long BkArchiv_HdrNumberOfSelectedFiles(const Header* hdr) {
  long sum = 0;
  for (const Archive* a = hdr->archives; a != nullptr; a = a->next) {
    sum += BkArchiv_ArNumberOfSelectedFiles(a);
  }
  return sum;
}
bool BkArchiv_HdrOneSelected(const Header* hdr) {
  for (const Archive* a = hdr->archives; a != nullptr; a = a->next) {
    if (BkArchiv_ArOneSelected(a)) return true;
  }
  return false;
}
bool BkArchiv_HdrAllSelected(const Header* hdr) {
  for (const Archive* a = hdr->archives; a != nullptr; a = a->next) {
    if (!BkArchiv_ArAllSelected(a)) return false;
  }
  return true;
}
void BkArchiv_HdrPushSelection(Header* hdr) {
  for (Archive* a = hdr->archives; a != nullptr; a = a->next) BkArchiv_ArPushSelection(a);
}
void BkArchiv_HdrPopSelection(Header* hdr) {
  for (Archive* a = hdr->archives; a != nullptr; a = a->next) BkArchiv_ArPopSelection(a);
}

// ---------------------------------------------------------------- comments

void BkArchiv_EncodeComment(StrOut comment, StrIn key, StrIn value) {
  char line[4096] = "%%";
  Strings_Concat(line, key, line);
  Strings_Concat(line, " ", line);
  Strings_Concat(line, value, line);
  if (comment.length() > 0) Strings_Concat(comment, "\n", comment);
  Strings_Concat(comment, line, comment);
}

StrHash BkArchiv_DecodeComment(StrIn comment, StrOut description) {
  Strings_Assign("", description);
  StrHash table = StrHash_CreateTable(8);
  std::string_view rest = comment.view();
  bool first = true;
  while (!rest.empty() || first) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (IsKeyLine(line)) {
      std::string_view body = line.substr(2);
      while (!body.empty() && body[0] == ' ') body.remove_prefix(1);
      const std::size_t blank = body.find(' ');
      const std::string key(body.substr(0, blank));
      const std::string_view value =
          blank == std::string_view::npos ? std::string_view() : body.substr(blank + 1);
      char* text = StrHash_GetPointer<char>(table, key);
      if (text == nullptr) {
        text = new char[128];
        StrHash_PutPointer(table, key, text);
      }
      Strings_Assign(value, StrOut(text, 127));
    } else if (first) {
      Strings_Assign(line, description);
    }
    first = false;
  }
  return table;
}

void BkArchiv_DestroyCommentHash(StrHash& table) {
  if (table == StrHash_Nil) return;
  for (StrHash_Value v = StrHash_GetFirstNoID(table); v != 0; v = StrHash_GetNextNoID(table)) {
    delete[] reinterpret_cast<char*>(v);
  }
  StrHash_DestroyTable(table);
}
