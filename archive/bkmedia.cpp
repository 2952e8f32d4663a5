// bkmedia: the operator's look at media headers and media names, without a device.
//
//   bkmedia show  FILE [FORMAT]   a readable summary of a header text
//   bkmedia show [--recover] [--force] MEDIUM
//                                 the same of the header on a medium: a catalogue device
//                                 (by device name), a header copy, a file-system root, a
//                                 disk image, a virtual tape or host:device through the
//                                 remote tape server. --recover walks the header pairs of
//                                 an appendable tape and prints its progress; --force reads
//                                 a plain tar or cpio stream as a list of paths.
//   bkmedia check FILE [FORMAT]   exit 0 when the header parses, else its errors and 1
//   bkmedia canon FILE [FORMAT]   the header again as this program writes it
//   bkmedia verify MEDIUM [SUMS]  reads every data file of the medium with the stock tar or
//                                 cpio and checks that every file the header lists is
//                                 there with its type and size, and with its checksum
//                                 where the checksum manifest SUMS lists it (by default
//                                 "<label>.sums" beside the header copies). Exit status
//                                 0 when the medium is sound, 1 with the differences.
//   bkmedia decode NAME           the parts of a media name
//   bkmedia next MEDIA-ID         the next media name of today (the counter advances)
//
//   bkmedia list [--type RE] [--label RE] [--date DD.MM.YYYY]
//                                 the known media of the local archive directory, each
//                                 with its list line and the lines of its orders; only
//                                 those whose media type and identification label the
//                                 patterns match and that were created on the date
//   bkmedia search MEDIA-RE [JOB-RE]
//                                 the known media whose list line matches MEDIA-RE or
//                                 one of whose order lines matches JOB-RE ("" for none)
//   bkmedia forget NAME           drops a medium from the known media: its header copy
//                                 goes, under an exclusive reservation of the medium
//
//   bkmedia --help                the usage line
//
// FORMAT is a media format name ("mfmtStdA", ...); it decides which nextData values are
// legal. Without it the header is read as a disk medium's, which allows them all.
// Exit status 0 on success, 1 when the input is refused, 2 for a wrong command line.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "BConvert.hpp"
#include "BFileIO.hpp"
#include "BOutIn.hpp"
#include "BkArchiv.hpp"
#include "BkArchivNames.hpp"
#include "BkArchivRead.hpp"
#include "BkArchivText.hpp"
#include "BkDevSel.hpp"
#include "BkMisc.hpp"
#include "BkStore.hpp"
#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "Rmt.hpp"
#include "SFilMisc.hpp"
#include "SPrintf.hpp"
#include "Strings.hpp"
#include "TpTape.hpp"
#include "TpVirt.hpp"
#include "UArgs.hpp"
#include "UCommon.hpp"

namespace {

constexpr char kSection[] = "BkMedia";

[[noreturn]] void Exit(int status) {
  Processe_SetExitStatus(status);
  Processe_Exit();
}

void Out(const std::string& line) { BOutIn_WriteStringLn(BFileIO_stdout, line); }

// Every reason recorded so far to standard error, oldest first, and the stack emptied.
void ShowReasons() {
  std::vector<std::string> reasons;
  char text[5120];
  while (Messages_ErrorReason(text)) reasons.emplace_back(text);
  for (auto r = reasons.rbegin(); r != reasons.rend(); ++r) {
    BOutIn_WriteStringLn(BFileIO_stderr,
                         Messages_ForOutput(2, "  " + r->substr(r->find_first_not_of(" \t"))));
  }
}

// The usage line: asked for, on standard output and status 0; after a wrong command line,
// on standard error and status 2.
[[noreturn]] void Usage(bool asked) {
  char text[5120];
  Messages_GetMsg(kSection, 1, text);
  BOutIn_WriteStringLn(asked ? BFileIO_stdout : BFileIO_stderr,
                       Messages_ForOutput(asked ? 1 : 2, StrIn(text).view()));
  BFileIO_Flush(BFileIO_stdout);
  Exit(asked ? 0 : 2);
}

// Catalogue text n with its "%s" filled, to standard error; then the reasons behind it.
[[noreturn]] void Fail(std::uint32_t n, StrIn arg = "") {
  char text[5120];
  Messages_GetMsg(kSection, n, text);
  SPrintf_String(text, arg);
  BOutIn_WriteStringLn(BFileIO_stderr, Messages_ForOutput(2, StrIn(text).view()));
  ShowReasons();
  Exit(1);
}

std::string Moment(const BkArchiv_DateTime& m) {
  char text[64];
  BkArchiv_DateTimeText(m.date, m.time, text);
  return text;
}

std::string Number(double v, int decimals) {
  char text[400] = "";
  BConvert_RealToStr(text, v, 1, decimals);
  return text;
}

std::string Gigabytes(double bytes) { return Number(bytes / 1073741824.0, 2) + " GB"; }

// The first bytes of a file.
std::string ReadStart(const std::string& path, std::size_t n) {
  std::string text(n, '\0');
  BFileIO_File f = BFileIO_Open(path, FileIO_readOnly);
  if (f == BFileIO_Nil) return "";
  BFileIO_Read(f, text.data(), n);
  text.resize(BFileIO_bytesTransferred);
  BFileIO_Close(f);
  return text;
}

// Parses the header text of path; fails with the parser's reasons.
// The header read from the file; it lives until the program ends, on every way out.
Header* loaded = nullptr;

void FreeLoaded() { BkArchiv_DestroyHeaderAndArchives(loaded); }

Header* Load(StrIn path, StrIn formatName) {
  std::uint8_t format = mfmtStdD;
  if (formatName.length() > 0) {
    BkArchiv_StrToMediaFormat(formatName, format);
    if (!BkArchiv_IsStdFmt(format)) Fail(7, formatName);
  }
  BFileIO_File f = BFileIO_Open(path, FileIO_readOnly);
  if (f == BFileIO_Nil) Fail(2, path);
  Header*& hdr = loaded;
  BkArchiv_NewHeader(hdr, format, "", "");
  Processe_InstallTerminationProcedure(FreeLoaded);
  hdr->newHeader = false;
  bool isEmpty = false;
  BkArchiv_ParseStdSHeader(f, hdr, format, isEmpty);
  BFileIO_Close(f);
  if (BkArchiv_bkaError != 0) {
    char text[1024];
    Messages_GetMsg("BkArchiv", BkArchiv_bkaError, text);
    Messages_SupplyAdditionalInfo(text);
    Fail(3, path);
  }
  ShowReasons();  // notes of a header that parsed, such as an unreadable capacity
  return hdr;
}

void Show(Header* hdr) {
  char text[5120];
  bool isEmpty = false;
  BkArchiv_GetMediaType(hdr, text, isEmpty);
  Out(std::string("Label:          ") + hdr->label + (isEmpty ? "  (empty medium)" : ""));
  BkArchiv_MkLabelFromHdr(hdr, text);
  Out(std::string("Identification: ") + text);
  Out(std::string("Media type:     ") + hdr->mediaType);
  BkArchiv_GetMediaDescription(hdr, text);
  Out(std::string("Description:    ") + text);
  Out("Created:        " + Moment(hdr->created));
  Out("Modified:       " + Moment(hdr->modified));
  Out("Next data file: " + std::to_string(hdr->nextData));
  Out("Capacity:       " + Gigabytes(hdr->minCapacity) + " to " + Gigabytes(hdr->maxCapacity));
  Out("Block sizes:    header " + std::to_string(hdr->blkHeader) + ", data " +
      std::to_string(hdr->blkData) + "; header space " + std::to_string(hdr->dirSize));
  int count = 0;
  for (const Archive* a = hdr->archives; a != nullptr; a = a->next) ++count;
  BkArchiv_HdrSelectAllFiles(hdr, true);
  Out("Archives:       " + std::to_string(count) + " with " +
      std::to_string(BkArchiv_HdrNumberOfSelectedFiles(hdr)) + " files, " +
      Gigabytes(BkArchiv_HdrSizeOfSelectedFiles(hdr)));
  int n = 0;
  for (Archive* a = hdr->archives; a != nullptr; a = a->next) {
    char description[128];
    StrHash keys = BkArchiv_DecodeComment(a->archiveComment, description);
    const char* order = StrHash_GetPointer<char>(keys, "ORDERNUM");
    const char* about = StrHash_GetPointer<char>(keys, "DESCRIPTION");
    int low = 0, high = 0;
    BkFLists_GetFileMarkRange(a->files, low, high);
    std::string line = "  " + std::to_string(++n) + ". " + a->archiveType + ", " +
                       Moment(a->created) + ", " + a->baseDir + ", " +
                       std::to_string(BkArchiv_ArNumberOfSelectedFiles(a)) + " files, " +
                       Gigabytes(BkArchiv_ArSizeOfSelectedFiles(a)) + ", file marks " +
                       std::to_string(low) + "-" + std::to_string(high);
    if (order != nullptr) line += ", order " + std::string(order);
    if (about != nullptr) line += ": " + std::string(about);
    Out(line);
    BkArchiv_DestroyCommentHash(keys);
  }
}

// ---- Media ----

// The device a medium argument names; nullptr when it names none. The entry is the
// program's until it ends.
BkDevSel_DevList named = nullptr;

void FreeNamed() { BkDevSel_DestroyDevList(named, false); }

DevListEntry* MediumDevice(const std::string& arg) {
  Processe_InstallTerminationProcedure(FreeNamed);
  struct stat st {};
  const bool exists = ::stat(arg.c_str(), &st) == 0;
  if (!exists && arg.find(':') == std::string::npos) {
    BkDevSel_SetupDevListByDevName(named, arg);
    if (named != nullptr) BkDevSel_FillCaps(*named);
    return named;
  }
  named = new DevListEntry{};
  DevListEntry& e = *named;
  e.blkHeader = 10240;
  e.isLocal = true;
  if (!exists) {  // host:device, read through the remote tape server
    const std::size_t colon = arg.find(':');
    Strings_Assign(arg.substr(0, colon), e.record.host);
    Strings_Assign(arg.substr(colon + 1), e.record.devName);
    e.isLocal = false;
    e.baseType = BkDevSel_tape;
  } else if (S_ISDIR(st.st_mode) && !TpVirt_IsVirtual(arg.c_str())) {
    e.baseType = BkDevSel_filesys;
    e.fs.root = DSCreateStr(arg.c_str(), 0);
  } else {
    Strings_Assign(arg, e.record.devName);
    e.baseType = S_ISDIR(st.st_mode) || S_ISCHR(st.st_mode) ? BkDevSel_tape : BkDevSel_disk;
  }
  return named;
}

bool PrintNote(void*, StrIn message) {
  Out(std::string(message.data()));
  return true;
}

// Reads the header of the medium; fails with the reader's reasons.
Header* LoadMedium(DevListEntry& device, const std::string& arg, bool recover, bool force) {
  Header*& hdr = loaded;
  Processe_InstallTerminationProcedure(FreeLoaded);
  bool recovered = false, isEmpty = false;
  BkArchiv_XReadHeader(device, force, recover, PrintNote, nullptr, false, hdr, recovered, isEmpty);
  if (hdr == nullptr) Fail(8, arg);
  char format[64];
  BkArchiv_MediaFormatToStr(hdr->mediaFormat, format);
  Out(std::string("Medium:         ") + arg + " (" + BkDevSel_BaseDevTypeToString(device.baseType) +
      ", " + format + ")");
  if (recovered)
    Out("Recovered:      last valid header at file " + std::to_string(hdr->lastValidHdr));
  return hdr;
}

// A file that is a header text rather than a medium: no tar or cpio member at its start.
bool IsHeaderText(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const std::string head = ReadStart(path, 10240);
  std::vector<unsigned char> block(head.begin(), head.end());
  block.resize(10240, 0);
  return BkArchiv_CheckHeader(block.data(), block.size()).mediaFormat == mfmtUnknown;
}

// ---- Verifying a medium ----

std::string Quote(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string scratch;  // extraction directory, removed on every way out

void RemoveScratch() {
  if (!scratch.empty()) Processe_System("rm -rf " + Quote(scratch));
}

// A member path as archives and manifests write it: no leading "/" or "./".
std::string Member(std::string_view path) {
  while (path.starts_with("./") || path.starts_with("/"))
    path.remove_prefix(path[0] == '.' ? 2 : 1);
  return std::string(path);
}

// Copies data file n of the medium to path; false when it is not there.
bool FetchDataFile(const DevListEntry& d, const Header* hdr, int n, const std::string& path) {
  const bool local = d.isLocal || d.record.host[0] == '\0';
  const std::string host = local ? std::string() : std::string(d.record.host) + ":";
  std::string source;
  long long from = 0, length = -1;
  if (d.baseType == BkDevSel_filesys) {
    source = host + DSStr(d.fs.root) + "/" + std::to_string(n);
  } else {
    source = host + d.record.devName;
    if (d.baseType == BkDevSel_disk) {
      const FmDirEntry* e = hdr->fmDir;
      while (e != nullptr && e->fileNo != static_cast<std::uint32_t>(n)) e = e->next;
      if (e == nullptr || e->next == nullptr) return false;
      from = 512LL * e->startBlock;
      length = 512LL * (static_cast<long long>(e->next->startBlock) - e->startBlock);
    }
  }
  const int fd = rmtopen(source.c_str(), local, 0);
  if (fd < 0) return false;
  bool ok = true;
  if (d.baseType == BkDevSel_tape) {
    ok = rmtTpSeekTo(fd, n) == 0;
  } else if (from > 0) {
    ok = rmtlseek(fd, from, SEEK_SET) == from;
  }
  BFileIO_File out = BFileIO_Create(path, FileIO_writeOnly);
  ok = ok && out != BFileIO_Nil;
  std::vector<char> buffer(65536);
  while (ok && length != 0) {
    long got = 0;
    if (d.baseType == BkDevSel_tape) {
      char* block = nullptr;
      long size = 0;
      got = rmtTpReadBlock(fd, &block, &size);
      if (got > 0) buffer.assign(block, block + got);
      std::free(block);
    } else {
      buffer.resize(65536);
      got = rmtread(fd, buffer.data(),
                    static_cast<std::size_t>(length < 0 ? 65536 : std::min(length, 65536LL)));
    }
    if (got <= 0) {
      // A tape file ends at its mark; a read error there is the end of the recorded data.
      ok = got == 0 || d.baseType == BkDevSel_tape;
      break;
    }
    BFileIO_Write(out, buffer.data(), static_cast<std::size_t>(got));
    if (length > 0) length -= got;
  }
  BFileIO_Close(out);
  rmtclose(fd);
  return ok;
}

// A manifest: member path to checksum, and the program that takes such sums. Its first
// line names the algorithm ("# checksums xxh128"); a manifest without it holds SHA-256 sums.
struct Sums {
  std::string tool = "sha256sum";
  std::map<std::string, std::string> byMember;
};

// "<hex>  <path>" lines, as the checksum programs write them.
void ReadSumLines(std::istream& in, Sums& sums) {
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("# checksums ", 0) == 0) {
      sums.tool = line.substr(12) == "xxh128" ? "xxh128sum" : "sha256sum";
      continue;
    }
    const std::size_t blank = line.find("  ");
    if ((blank == 32 || blank == 64) && line.size() > blank + 2)
      sums.byMember[Member(line.substr(blank + 2))] = line.substr(0, blank);
  }
}

Sums ReadSums(const std::string& path) {
  Sums sums;
  std::ifstream in(path);
  ReadSumLines(in, sums);
  return sums;
}

// The sums of every regular file below dir by the manifest's program, by member path;
// false when the program cannot take them (not installed, say).
bool SumTree(const std::string& dir, const std::string& tool,
             std::map<std::string, std::string>& byMember) {
  const std::string list = dir + ".sums";
  if (Processe_System("cd " + Quote(dir) + " && find . -type f -print0 | xargs -0 -r " + tool +
                      " > " + Quote(list))) {
    return false;
  }
  Sums sums;
  std::ifstream in(list);
  ReadSumLines(in, sums);
  byMember = std::move(sums.byMember);
  return true;
}

void Verify(DevListEntry& device, const std::string& arg, const std::string& sumsArg) {
  Header* hdr = LoadMedium(device, arg, false, false);
  std::string sumsPath = sumsArg;
  if (sumsPath.empty()) sumsPath = std::string(BkArchiv_archivDir) + "/" + hdr->label + ".sums";
  const bool haveSums = !sumsArg.empty() || access(sumsPath.c_str(), R_OK) == 0;
  const Sums manifest = haveSums ? ReadSums(sumsPath) : Sums{};
  if (haveSums) Out("Checksums:      " + sumsPath);
  char tmp[1024];
  SFilMisc_CreateTmpName(tmp, "");
  scratch = tmp;
  Processe_InstallTerminationProcedure(RemoveScratch);
  std::map<int, std::vector<const FileEntry*>> byMark;
  for (const Archive* a = hdr->archives; a != nullptr; a = a->next) {
    for (const FileEntry* e = a->files; e != nullptr; e = e->next) byMark[e->fileMark].push_back(e);
  }
  long checked = 0, differences = 0;
  auto differ = [&differences](const std::string& line) {
    Out("  " + line);
    ++differences;
  };
  for (const auto& [mark, files] : byMark) {
    const std::string dir = scratch + "/" + std::to_string(mark), data = dir + ".data";
    Processe_System("mkdir -p " + Quote(dir));
    Out("Data file " + std::to_string(mark) + ": " + std::to_string(files.size()) + " files");
    if (!FetchDataFile(device, hdr, mark, data)) {
      differ("data file " + std::to_string(mark) + " cannot be read from the medium");
    } else {
      // The stock tool of the data file's format, compressed or not.
      const std::string start = ReadStart(data, 10240);
      const bool gz = start.size() > 2 && start[0] == '\x1f' && start[1] == '\x8b';
      std::vector<unsigned char> block(start.begin(), start.end());
      block.resize(10240, 0);
      char name[1024];
      TpEntry entry{name, sizeof name, {}, 0, 0, nullptr};
      const bool cpio = !gz && TpIsCpio(block.data(), block.size(), entry);
      const std::string tool = cpio ? "cpio" : "tar";
      const std::string cmd =
          cpio ? "cd " + Quote(dir) + " && cpio -idm --quiet --no-absolute-filenames < " +
                     Quote(data)
               : "tar -x" + std::string(gz ? "z" : "") + "f " + Quote(data) + " -C " + Quote(dir);
      if (Processe_System(cmd + " 2>/dev/null")) {
        differ("data file " + std::to_string(mark) + ": " + tool + " reports it damaged");
      }
    }
    std::map<std::string, std::string> sums;
    if (haveSums && !SumTree(dir, manifest.tool, sums))
      differ("data file " + std::to_string(mark) + ": " + manifest.tool +
             " cannot take the checksums");
    for (const FileEntry* e : files) {
      ++checked;
      const std::string member = Member(DSStr(e->path));
      struct stat st {};
      if (::lstat((dir + "/" + member).c_str(), &st) != 0) {
        differ("missing: " + member);
        continue;
      }
      const bool isDir = S_ISDIR(st.st_mode), isLink = S_ISLNK(st.st_mode);
      if (isDir != e->isDir || (!isDir && isLink != e->isSymlink)) {
        differ("type differs: " + member);
        continue;
      }
      if (!isDir && !isLink &&
          std::fmod(static_cast<double>(st.st_size), 4294967296.0) != e->size) {
        differ("size differs: " + member + " (" + std::to_string(st.st_size) + " bytes, listed " +
               Number(e->size, 0) + ")");
        continue;
      }
      const auto listed = manifest.byMember.find(member);
      if (listed != manifest.byMember.end() && S_ISREG(st.st_mode)) {
        const auto got = sums.find(member);
        if (got == sums.end() || got->second != listed->second)
          differ("content differs: " + member);
      }
    }
    Processe_System("rm -rf " + Quote(dir) + " " + Quote(data) + " " + Quote(dir + ".sums"));
  }
  Out(std::to_string(checked) + " files checked, " + std::to_string(differences) + " differences");
  BFileIO_Flush(BFileIO_stdout);
  Exit(differences == 0 ? 0 : 1);
}

void Decode(StrIn name) {
  if (!BkArchiv_LegalArchiveName(name)) Fail(4, name);
  int day, month, year, counter, shortDigit, mediaId, dupNo, volIndex, volCount;
  BkArchiv_DecodeName(name, day, month, year, counter, shortDigit, mediaId, dupNo, volIndex,
                      volCount);
  char date[32] = "%04d-%02d-%02d";
  SPrintf_Int(date, year);
  SPrintf_Int(date, month);
  SPrintf_Int(date, day);
  Out(std::string("date ") + date);
  Out("counter " + std::to_string(counter));
  Out("media id " + std::to_string(mediaId));
  if (shortDigit >= 0) Out("short digit " + std::to_string(shortDigit));
  if (dupNo > 0) Out("duplicate " + std::to_string(dupNo));
  if (volCount > 1) Out("volume " + std::to_string(volIndex) + " of " + std::to_string(volCount));
}

void Next(StrIn idText) {
  char text[128];
  Strings_Assign(idText, text);
  std::uint32_t id = 0;
  BConvert_StrToCard(text, id);
  if (!BConvert_done || text[0] != '\0' || id > 99) Fail(5, idText);
  // The archive directory of a fresh installation may not exist yet.
  if (!DirAcces_Access(BkArchiv_archivDir, DirAcces_exists)) {
    DirAcces_RecursiveMkDir(BkArchiv_archivDir, 0);
  }
  char name[128], path[1024];
  if (!BkArchiv_GenMediaLabel(static_cast<int>(id), 0, 1, name, path)) {
    Fail(6, BkArchiv_archivDir);
  }
  Out(name);
}

// ---- The known media ----

void PrintMedium(const MediaInfo* m) {
  Out(std::string(m->name) + "  " + m->displayText);
  for (const JobInfo* j = m->jobs; j != nullptr; j = j->next) Out(std::string("    ") + j->text);
}

// bkmedia list: the options after the command word, as name/value pairs.
void List(const std::vector<std::string>& args) {
  std::string type, label, date;
  for (std::size_t i = 1; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) Usage(false);
    const std::string& option = args[i];
    std::string* slot = option == "--type"    ? &type
                        : option == "--label" ? &label
                        : option == "--date"  ? &date
                                              : nullptr;
    if (slot == nullptr) Usage(false);
    *slot = args[i + 1];
  }
  SearchMediaParams* check = BkStore_NewSearchMediaParams();
  for (const std::string* p : {&type, &label}) {
    if (!BkStore_SetMediaFilter(check, *p)) Fail(10, *p);
  }
  BkStore_DestroySearchMediaParams(check);
  MediaInfoList list = nullptr;
  BkStore_GetMediaInfo(1, list);
  for (const MediaInfo* m = list; m != nullptr; m = m->next) {
    if (!type.empty() && !BkMisc_Match(type, m->mediaType)) continue;
    if (!label.empty() && !BkMisc_Match(label, m->label)) continue;
    if (!date.empty() && std::string_view(m->created).substr(0, date.size()) != date) continue;
    PrintMedium(m);
  }
  BkStore_DestroyMediaInfo(list, false);
}

void Search(const std::string& media, const std::string& job) {
  SearchMediaParams* params = BkStore_NewSearchMediaParams();
  if (!BkStore_SetMediaFilter(params, media)) Fail(10, media);
  if (!BkStore_SetJobFilter(params, job)) Fail(10, job);
  MediaInfoList list = nullptr;
  BkStore_GetMediaInfo(1, list);
  const bool found = BkStore_SearchMedia(list, 3, false, params);
  for (MediaInfo* m = BkStore_FirstSelectedMedia(list); m != nullptr;
       m = BkStore_NextSelectedMedia(m)) {
    PrintMedium(m);
  }
  BkStore_DestroyMediaInfo(list, false);
  BkStore_DestroySearchMediaParams(params);
  BFileIO_Flush(BFileIO_stdout);
  Exit(found ? 0 : 1);
}

// A medium is forgotten only while nobody else uses it: the exclusive reservation of the
// medium is held while its header copy goes.
void Forget(const std::string& name) {
  MediaInfoList list = nullptr;
  BkStore_GetMediaInfo(1, list);
  MediaInfo* mi = BkStore_SelectByName(list, name);
  if (mi == nullptr) Fail(11, name);
  if (!BkStore_ReserveMedia(mi, true)) Fail(12, name);
  const bool removed = BkStore_RemoveMediaInfoByName(name);
  BkStore_ReleaseMedia(mi);
  BkStore_DestroyMediaInfo(list, false);
  if (!removed) Fail(13, name);
}

}  // namespace

int main(int argc, char** argv, char** envp) {
  M2C_INIT(argc, argv, envp);
  UCommon_Init();
  UArgs_Init();
  Processe_Init();
  Messages_Init();
  BFileIO_Init();
  BOutIn_Init();
  DirAcces_Init();
  BkArchivText_Init();
  BkArchivRead_Init();
  BkDevSel_Init();
  BkMisc_Init();
  BkStore_Init();
  TpVirt_Init();
  Messages_UseMsgCat("ZAREDAVmsg");
  // Failures are reported here, with the file or name they concern. Open for the rest of the
  // run: every way out ends the process.
  const Messages_Ignoring quiet;

  std::vector<std::string> params;
  bool recover = false, force = false;
  for (std::size_t i = 1; i <= UArgs_NumParams(); ++i) {
    char p[1024];
    UArgs_GetParam(i, p);
    if (std::strcmp(p, "--recover") == 0) {
      recover = true;
    } else if (std::strcmp(p, "--force") == 0) {
      force = true;
    } else {
      params.emplace_back(p);
    }
  }
  char command[16], arg[1024], format[128];
  Strings_Assign(params.size() > 0 ? params[0] : "", command);
  Strings_Assign(params.size() > 1 ? params[1] : "", arg);
  Strings_Assign(params.size() > 2 ? params[2] : "", format);
  const std::string c = command;
  if (params.size() == 1 && !recover && !force && (c == "--help" || c == "-h")) Usage(true);
  if (!recover && !force && c == "list") {
    List(params);
    BFileIO_Flush(BFileIO_stdout);
    Exit(0);
  }
  if (!recover && !force && c == "search" && (params.size() == 2 || params.size() == 3)) {
    Search(params[1], params.size() == 3 ? params[2] : "");
  }
  if (!recover && !force && c == "forget" && params.size() == 2) {
    Forget(params[1]);
    Exit(0);
  }
  if (params.size() < 2 || params.size() > 3 ||
      (params.size() == 3 && c != "show" && c != "check" && c != "canon" && c != "verify") ||
      ((recover || force) && (c != "show" || params.size() != 2))) {
    Usage(false);
  }
  if (c == "show" && params.size() == 2 && !IsHeaderText(arg)) {
    DevListEntry* device = MediumDevice(arg);
    if (device == nullptr) Fail(9, arg);
    Show(LoadMedium(*device, arg, recover, force));
  } else if (c == "show") {
    Show(Load(arg, format));
  } else if (c == "verify") {
    DevListEntry* device = MediumDevice(arg);
    if (device == nullptr) Fail(9, arg);
    Verify(*device, arg, format);
  } else if (c == "check") {
    Load(arg, format);
  } else if (c == "canon") {
    Header* hdr = Load(arg, format);
    BkArchiv_GenStdSHeader(BFileIO_stdout, hdr, false);
    if (BkArchiv_bkaError != 0) Fail(3, arg);
  } else if (c == "decode") {
    Decode(arg);
  } else if (c == "next") {
    Next(arg);
  } else {
    Usage(false);
  }
  BFileIO_Flush(BFileIO_stdout);
  Exit(0);
}
