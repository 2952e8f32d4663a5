// bkmedia: the operator's look at media headers and media names, without a device.
//
//   bkmedia show  FILE [FORMAT]   a readable summary of a header text
//   bkmedia check FILE [FORMAT]   exit 0 when the header parses, else its errors and 1
//   bkmedia canon FILE [FORMAT]   the header again as this program writes it
//   bkmedia decode NAME           the parts of a media name
//   bkmedia next MEDIA-ID         the next media name of today (the counter advances)
//
//   bkmedia --help                the usage line
//
// FORMAT is a media format name ("mfmtStdA", ...); it decides which nextData values are
// legal. Without it the header is read as a disk medium's, which allows them all.
// Exit status 0 on success, 1 when the input is refused, 2 for a wrong command line.
#include <cstdint>
#include <string>
#include <vector>

#include "BConvert.hpp"
#include "BFileIO.hpp"
#include "BOutIn.hpp"
#include "BkArchiv.hpp"
#include "BkArchivNames.hpp"
#include "BkArchivText.hpp"
#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "SPrintf.hpp"
#include "Strings.hpp"
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
  Messages_UseMsgCat("ZAREDAVmsg");
  // Failures are reported here, with the file or name they concern. Open for the rest of the
  // run: every way out ends the process.
  const Messages_Ignoring quiet;

  char command[16], arg[1024], format[128];
  UArgs_GetParam(1, command);
  UArgs_GetParam(2, arg);
  UArgs_GetParam(3, format);
  const std::string c = command;
  if (UArgs_NumParams() == 1 && (c == "--help" || c == "-h")) Usage(true);
  if (UArgs_NumParams() < 2 || UArgs_NumParams() > 3 ||
      (UArgs_NumParams() == 3 && c != "show" && c != "check" && c != "canon")) {
    Usage(false);
  }
  if (c == "show") {
    Show(Load(arg, format));
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
