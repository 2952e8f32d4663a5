#include "BkArchivText.hpp"

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "BConvert.hpp"
#include "BkFLists.hpp"
#include "BkMisc.hpp"
#include "DirAcces.hpp"
#include "DynStr.hpp"
#include "Messages.hpp"
#include "SRegExpr.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

namespace {

// Capacity of a line as the text layer reads it.
constexpr std::size_t kLine = 5120;
// A comment block holds at most this many lines.
constexpr std::size_t kCommentLines = 4096;

SRegExpr labelPattern = SRegExpr_Nil;

// ---------------------------------------------------------------- writing

// Collects the text and hands it to the file in large pieces: a header of a million files
// is written at the speed of the file. A failed write of any piece fails the header.
class Writer {
 public:
  explicit Writer(BFileIO_File f) : f_(f), buf_(kChunk) {}

  void Line(std::string_view s) {
    Reserve(s.size() + 1);
    std::memcpy(p_, s.data(), s.size());
    p_ += s.size();
    *p_++ = '\n';
  }
  void Card(std::uint64_t v) {
    Reserve(24);
    char digits[24];
    char* end = digits + sizeof digits;
    char* d = end;
    do {
      *--d = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    std::memcpy(p_, d, static_cast<std::size_t>(end - d));
    p_ += end - d;
  }
  void Int(std::int64_t v) {
    if (v < 0) Char('-');
    Card(v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v));
  }
  void Char(char c) {
    Reserve(1);
    *p_++ = c;
  }
  void Moment(const Utility_Date& d, const Utility_Time& t) {
    Reserve(BkMisc_dateAndTimeMax);
    p_ += BkMisc_PutDateAndTime(d, t, p_);
  }
  void CardLn(std::uint64_t v) {
    Card(v);
    Char('\n');
  }
  void IntLn(std::int64_t v) {
    Int(v);
    Char('\n');
  }
  // A real rounded to a whole number, without a decimal point.
  void WholeLn(double v) {
    char text[400] = "";
    BConvert_RealToStr(text, v, 1, 0);
    Line(StrIn(text).view());
  }
  // Path with every blank and backslash escaped.
  void Path(std::string_view path) {
    Reserve(path.size() * 2);
    for (char c : path) {
      if (c == ' ' || c == '\\') *p_++ = '\\';
      *p_++ = c;
    }
  }
  // Writes what is collected; false when some piece could not be written.
  bool Flush() {
    const std::size_t n = static_cast<std::size_t>(p_ - buf_.data());
    if (n > 0) {
      BFileIO_Write(f_, buf_.data(), n);
      if (BFileIO_ioError != 0 || BFileIO_bytesTransferred != n) failed_ = true;
      p_ = buf_.data();
    }
    return !failed_;
  }
  // Flush, and the stream's own buffer too, so that a full disk shows here.
  bool Finish() {
    Flush();
    BFileIO_Flush(f_);
    if (BFileIO_ioError != 0) failed_ = true;
    return !failed_;
  }

 private:
  static constexpr std::size_t kChunk = 1 << 16;
  // Room for n more characters.
  void Reserve(std::size_t n) {
    if (static_cast<std::size_t>(buf_.data() + buf_.size() - p_) >= n) return;
    Flush();
    if (buf_.size() < n) {
      buf_ = std::vector<char>(n);  // empty after Flush: nothing to keep
      p_ = buf_.data();
    }
  }
  BFileIO_File f_;
  std::vector<char> buf_;
  char* p_ = buf_.data();
  bool failed_ = false;
};

// Whether a comment line would read back as the line that closes the comment block,
// which ends the comment there and leaves the rest to be misread: the reader drops
// carriage returns, reads a tab as a blank and ends a read at character 26 and at a full
// line, so every piece it would make of the line is compared.
bool ReadsAsCommentEnd(std::string_view line) {
  constexpr std::string_view kEnd = "END COMMENT";
  if (line.find("COMMENT") == std::string_view::npos) return false;
  std::string piece;
  auto closes = [&piece, kEnd] {
    const bool is = piece == kEnd;
    piece.clear();
    return is;
  };
  for (const char c : line) {
    if (c == '\r') continue;
    if (c == 26) {
      if (closes()) return true;
      continue;
    }
    piece.push_back(c == '\t' ? ' ' : c);
    if (piece.size() == kLine && closes()) return true;
  }
  return closes();
}

bool CommentReadsBack(std::string_view comment) {
  for (;;) {
    const std::size_t end = comment.find('\n');
    if (ReadsAsCommentEnd(comment.substr(0, end))) return false;
    if (end == std::string_view::npos) return true;
    comment.remove_prefix(end + 1);
  }
}

// The comment block has no escape: a comment holding a line that closes the block cannot
// be written so that it reads back, and the header is refused before a byte is written.
bool CommentsReadBack(const Header* hdr) {
  if (!CommentReadsBack(StrIn(hdr->mediaComment).view())) return false;
  for (const Archive* a = hdr->archives; a != nullptr; a = a->next) {
    if (!CommentReadsBack(StrIn(a->archiveComment).view())) return false;
  }
  return true;
}

void WriteComment(Writer& w, std::string_view comment) {
  w.Line("BEGIN COMMENT");
  if (!comment.empty()) {
    for (;;) {
      const std::size_t end = comment.find('\n');
      w.Line(comment.substr(0, end));
      if (end == std::string_view::npos) break;
      comment.remove_prefix(end + 1);
    }
  }
  w.Line("END COMMENT");
}

void WriteArchive(Writer& w, const Archive* a) {
  w.Line("BEGIN ARCHIVE");
  w.Line(StrIn(a->archiveType).view());
  w.Moment(a->created.date, a->created.time);
  w.Line("");
  w.Line(a->softCompress ? "C" : "N");
  WriteComment(w, StrIn(a->archiveComment).view());
  w.Line("BEGIN FILES");
  w.Line(StrIn(a->baseDir).view());
  for (const FileEntry* e = a->files; e != nullptr; e = e->next) {
    w.Path(std::string_view(DSStr(e->path), static_cast<std::size_t>(DSLength(e->path))));
    w.Char(' ');
    w.Char(e->isDir ? 'D' : e->isSymlink ? 'S' : 'F');
    w.Char(' ');
    // Sizes beyond 4 GB are recorded modulo 2^32.
    const double size = e->size < 0 ? 0 : e->size < 1.8e19 ? e->size : 0;
    w.Card(static_cast<std::uint32_t>(static_cast<std::uint64_t>(size)));
    w.Char(' ');
    w.Moment(e->modified.date, e->modified.time);
    w.Char(' ');
    w.Int(e->fileMark);
    w.Char(' ');
    w.Int(e->tapeNumber);
    w.Line("");
  }
  w.Line("END FILES");
  w.Line("END ARCHIVE");
}

// The standard text with the given nextData.
void WriteStd(BFileIO_File file, Header* hdr, bool withFullPaths, std::uint32_t nextData) {
  if (!CommentsReadBack(hdr)) {
    Messages_SupplyAdditionalInfo("::GenStdSHeader: a comment line reads as END COMMENT");
    BkArchiv_ReportError(10);
    return;
  }
  Writer w(file);
  w.Line("10");
  w.Line(StrIn(hdr->label).view());
  w.Line(StrIn(hdr->mediaType).view());
  w.Moment(hdr->created.date, hdr->created.time);
  w.Line("");
  w.Moment(hdr->modified.date, hdr->modified.time);
  w.Line("");
  w.CardLn(nextData);
  w.WholeLn(hdr->minCapacity);
  w.WholeLn(hdr->maxCapacity);
  w.IntLn(hdr->dirSize);
  w.CardLn(hdr->blkHeader);
  w.CardLn(hdr->blkData);
  WriteComment(w, StrIn(hdr->mediaComment).view());
  w.Line("BEGIN DIR");
  for (const Archive* a = hdr->archives; a != nullptr; a = a->next) WriteArchive(w, a);
  w.Line("END DIR");
  bool ok = w.Flush();
  Messages_Ignoring quiet;
  const double pos = BFileIO_GetPos(file);
  quiet.Close();
  Messages_ForgetErrorReasons();
  hdr->fmDirPos = pos > 0 ? static_cast<std::uint32_t>(pos) : 0;
  if (hdr->fmDir != nullptr) {
    w.Line("BEGIN FMDIR");
    for (const FmDirEntry* e = hdr->fmDir; e != nullptr; e = e->next) {
      w.Card(e->fileNo);
      w.Char(' ');
      w.CardLn(e->startBlock);
    }
    w.Line("END FMDIR");
  }
  if (withFullPaths) {
    w.Line("BEGIN FULLPATHS");
    DS full = dsNil;
    for (const Archive* a = hdr->archives; a != nullptr; a = a->next) {
      for (const FileEntry* e = a->files; e != nullptr; e = e->next) {
        DSIncludePath(DSCreateTmpStr(a->baseDir, 0), DSCreateTmpStr(DSStr(e->path), 0), &full);
        w.Line(DSStr(full));
      }
    }
    DSFree(&full);
    w.Line("END FULLPATHS");
  }
  ok = w.Finish() && ok;
  if (!ok) BkArchiv_ReportError(10);
}

// ---------------------------------------------------------------- reading

// Reads lines the way the text layer's ReadString does on a buffered file, but a whole
// line at a time: a header of a million files is read at the speed of the file. A
// seekable stream is read in large blocks and lines are found in place; what was read
// beyond the last line taken is given back when the reader ends. A stream that cannot
// seek (a pipe, a remote tape) is read one line at a time, so that whatever follows the
// header stays in the stream for the next reader.
class LineReader {
 public:
  explicit LineReader(BFileIO_File f) : f_(f), byLine_(f != BFileIO_Nil && ::ftello(f) < 0) {}
  ~LineReader() {
    std::free(line_);
    if (f_ != BFileIO_Nil && end_ > start_ &&
        ::fseeko(f_, -static_cast<off_t>(end_ - start_), SEEK_CUR) != 0) {
      Messages_SupplyAdditionalInfo("::ParseStdSHeader: the text behind the header is lost");
    }
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Bytes read from the stream and not yet taken as lines.
  std::size_t Unread() const { return end_ - start_; }
  // Bytes taken as lines so far.
  std::size_t Taken() const { return taken_ + start_; }

  // The next line; false when the file ended before a character was read.
  bool Next(std::string_view& line) {
    if (queued_ < queue_.size()) {
      const Piece& p = queue_[queued_++];
      line = p.text;
      return p.ok;
    }
    const char* raw = nullptr;
    std::size_t len = 0;
    if (!NextRaw(raw, len)) {
      line = {};
      return false;
    }
    const bool hasEnd = raw[len - 1] == '\n';
    const std::size_t body = hasEnd ? len - 1 : len;
    if (body < kLine && Plain(static_cast<std::size_t>(raw - buf_.data()), body)) {
      line = std::string_view(raw, body);
      return true;
    }
    Split(raw, len);
    return Next(line);
  }

 private:
  struct Piece {
    std::string text;
    bool ok;
  };

  static constexpr std::size_t kBlock = std::size_t{1} << 18;

  // The next raw line with its line feed (none at the end of the file), in the buffer;
  // false at the end of the file.
  bool NextRaw(const char*& raw, std::size_t& len) {
    std::size_t searched = start_;
    for (;;) {
      const void* nl =
          end_ > searched ? std::memchr(buf_.data() + searched, '\n', end_ - searched) : nullptr;
      if (nl != nullptr) {
        const std::size_t stop =
            static_cast<std::size_t>(static_cast<const char*>(nl) - buf_.data());
        raw = buf_.data() + start_;
        len = stop + 1 - start_;
        start_ = stop + 1;
        return true;
      }
      searched = end_ - start_;
      if (!Fill()) break;
    }
    if (end_ == start_) return false;
    raw = buf_.data() + start_;
    len = end_ - start_;
    start_ = end_;
    return true;
  }

  // Moves the unread rest to the front and reads another block behind it (the buffer
  // grows for a line longer than a block); false when nothing more came.
  bool Fill() {
    if (f_ == BFileIO_Nil || eof_) return false;
    const std::size_t shift = start_, oldEnd = end_;
    if (shift > 0) std::memmove(buf_.data(), buf_.data() + shift, end_ - shift);
    taken_ += shift;
    end_ -= shift;
    start_ = 0;
    std::size_t n = 0;
    if (byLine_) {
      const ssize_t got = ::getline(&line_, &lineSize_, f_);
      if (got > 0) {
        n = static_cast<std::size_t>(got);
        if (buf_.size() - end_ < n) buf_.resize(end_ + std::max(n, kBlock));
        std::memcpy(buf_.data() + end_, line_, n);
      }
    } else {
      if (buf_.size() - end_ < kBlock) buf_.resize(end_ + kBlock);
      n = std::fread(buf_.data() + end_, 1, buf_.size() - end_, f_);
    }
    if (n == 0) eof_ = true;
    end_ += n;
    // A special character already found moves with the text; where none was found up to
    // the old end only the new text is searched (a line of many blocks stays linear).
    for (std::size_t k = 0; k < std::size(kSpecial); ++k) {
      if (special_[k] < shift) {
        Find(k, 0);
      } else if (special_[k] < oldEnd) {
        special_[k] -= shift;
      } else {
        Find(k, oldEnd - shift);
      }
    }
    return n > 0;
  }

  // True when the line at [from, from + n) of the buffer holds no character that the
  // text layer changes or treats as an end (carriage return, tab, character 26). Where
  // the next of each lies is kept and looked for again only once a line has passed it,
  // so the buffer is searched once for each, however many lines it holds.
  bool Plain(std::size_t from, std::size_t n) {
    bool plain = true;
    for (std::size_t k = 0; k < std::size(kSpecial); ++k) {
      if (special_[k] < from) Find(k, from);
      if (special_[k] < from + n) plain = false;
    }
    return plain;
  }
  static constexpr char kSpecial[] = {'\r', '\t', 26};
  void Find(std::size_t k, std::size_t from) {
    const void* at = std::memchr(buf_.data() + from, kSpecial[k], end_ - from);
    special_[k] =
        at != nullptr ? static_cast<std::size_t>(static_cast<const char*>(at) - buf_.data()) : end_;
  }

  // The reads the text layer makes of one raw line: carriage returns vanish, a tab is a
  // blank, character 26 ends a read (an empty one counts as the end of the file), and
  // a full line capacity ends a read with the rest of the line still to come.
  void Split(const char* r, std::size_t n) {
    queue_.clear();
    queued_ = 0;
    std::size_t i = 0;
    while (i < n) {
      Piece p{std::string(), false};
      bool ended = false;
      while (p.text.size() < kLine) {
        int c = -1;
        while (i < n) {
          c = static_cast<unsigned char>(r[i++]);
          if (c != '\r') break;
          c = -1;
        }
        if (c == -1 || c == 26) {
          ended = true;
          break;
        }
        p.ok = true;
        if (c == '\n') {
          ended = true;
          break;
        }
        p.text.push_back(c == '\t' ? ' ' : static_cast<char>(c));
      }
      if (!ended) p.ok = true;
      queue_.push_back(std::move(p));
    }
  }

  BFileIO_File f_;
  bool byLine_;           // the stream cannot seek: nothing may be read ahead
  char* line_ = nullptr;  // getline's buffer when reading by line
  std::size_t lineSize_ = 0;
  std::vector<char> buf_;
  std::size_t start_ = 0;  // the unread rest of the buffer: [start_, end_)
  std::size_t end_ = 0;
  std::size_t taken_ = 0;        // bytes moved out of the buffer's front
  std::size_t special_[3] = {};  // see Plain; end_ when there is none
  bool eof_ = false;
  std::vector<Piece> queue_;
  std::size_t queued_ = 0;
};

// The base library's unsigned conversion on a piece of a line: leading blanks, digits,
// no overflow; p moves behind what was consumed.
bool TakeCard(const char*& p, const char* end, std::uint32_t& value) {
  while (p < end && *p == ' ') ++p;
  std::uint64_t v = 0;
  bool any = false, overflow = false;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    any = true;
    v = v * 10 + static_cast<unsigned>(*p - '0');
    if (v > 0xFFFFFFFFu) {
      overflow = true;
      v = 0;
    }
  }
  if (!any || overflow) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

// The base library's signed conversion: leading blanks, one "-", digits, no overflow.
bool TakeInt(const char*& p, const char* end, int& value) {
  while (p < end && *p == ' ') ++p;
  const bool negative = p < end && *p == '-';
  if (negative) ++p;
  const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
  std::int64_t v = 0;
  bool any = false, overflow = false;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    any = true;
    v = v * 10 + (*p - '0');
    if (v > limit) {
      overflow = true;
      v = 0;
    }
  }
  if (!any || overflow) return false;
  value = static_cast<int>(negative ? -v : v);
  return true;
}

bool TakeMoment(const char*& p, const char* end, BkArchiv_DateTime& m) {
  return BkMisc_TakeDateAndTime(p, end, m.date, m.time);
}

bool LineToMoment(std::string_view line, BkArchiv_DateTime& m) {
  const char* p = line.data();
  return TakeMoment(p, p + line.size(), m);
}

bool LineToCard(std::string_view line, std::uint32_t& v) {
  const char* p = line.data();
  return TakeCard(p, p + line.size(), v);
}

bool LineToInt(std::string_view line, std::int32_t& v) {
  char text[kLine + 1];
  Strings_Assign(line, text);
  BConvert_StrToInt(text, v);
  return BConvert_done;
}

bool LineToReal(std::string_view line, double& v) {
  char text[kLine + 1];
  Strings_Assign(line, text);
  BConvert_StrToReal(text, v);
  return BConvert_done;
}

class Parser {
 public:
  Parser(BFileIO_File f, Header* hdr) : in_(f), hdr_(hdr) {}

  // False with the failure's text supplied and bkaError set.
  bool Run(std::uint8_t mediaFormat, bool& isEmpty, BFileIO_File file);

 private:
  bool Fail(std::string_view text, std::uint8_t error = 9) {
    Messages_SupplyAdditionalInfo(text);
    BkArchiv_bkaError = error;
    return false;
  }
  std::string_view Line() {
    ok_ = in_.Next(line_);
    return line_;
  }
  // A text field keeps at most its capacity less one, so it always ends in a NUL.
  static void Keep(std::string_view line, StrOut field) {
    Strings_Assign(line.substr(0, field.high()), field);
  }
  bool Comment(bool openingRead, StrOut comment);
  bool ParseArchive(Archive* a);
  bool FileLine(Archive* a);

  LineReader in_;
  Header* hdr_;
  std::string_view line_;
  bool ok_ = false;
  DirAcces_DirEntry info_{};
  char path_[kLine + 1];
};

// Comment lines up to "END COMMENT", joined by line feeds.
bool Parser::Comment(bool openingRead, StrOut comment) {
  Strings_Assign("", comment);
  if (!openingRead && (Line() != "BEGIN COMMENT" || !ok_)) return false;
  std::string text;
  for (std::size_t lines = 0;; ++lines) {
    Line();
    if (!ok_) return false;
    if (line_ == "END COMMENT") break;
    if (lines == kCommentLines) return false;
    if (lines > 0) text.push_back('\n');
    if (text.size() <= comment.high()) text.append(line_);
  }
  Strings_Assign(text, comment);
  return true;
}

bool Parser::FileLine(Archive* a) {
  const char* p = line_.data();
  const char* end = p + line_.size();
  // The path runs to the first blank that no backslash protects; a backslash takes the
  // character after it as it is (a last one stands for itself). Mostly there is no
  // backslash at all and the path is taken from the line as it stands; otherwise the
  // runs between backslashes are copied whole.
  auto blankFrom = [end](const char* q) {
    const void* b = std::memchr(q, ' ', static_cast<std::size_t>(end - q));
    return b != nullptr ? static_cast<const char*>(b) : end;
  };
  const char* blank = blankFrom(p);
  std::string_view path;
  const char* escape = static_cast<const char*>(std::memchr(p, '\\', std::size_t(blank - p)));
  if (escape == nullptr) {
    path = std::string_view(p, static_cast<std::size_t>(blank - p));
    p = blank;
  } else {
    std::size_t n = 0;
    for (;;) {
      std::memcpy(path_ + n, p, static_cast<std::size_t>(escape - p));
      n += static_cast<std::size_t>(escape - p);
      if (escape + 1 == end) {
        path_[n++] = '\\';
        p = end;
        break;
      }
      path_[n++] = escape[1];
      p = escape + 2;
      if (blank < p) blank = blankFrom(p);  // the blank was the escaped character
      escape = static_cast<const char*>(std::memchr(p, '\\', std::size_t(blank - p)));
      if (escape == nullptr) {
        std::memcpy(path_ + n, p, static_cast<std::size_t>(blank - p));
        n += static_cast<std::size_t>(blank - p);
        p = blank;
        break;
      }
    }
    path = std::string_view(path_, n);
  }
  if (p < end) ++p;
  const char type = p < end ? *p++ : '\0';
  if (type != 'D' && type != 'F' && type != 'S') {
    Messages_SupplyAdditionalInfo("::bad file type; 'D', 'F' or 'S' expected ");
    return false;
  }
  std::uint32_t size = 0;
  int mark = 0, tape = 0;
  BkArchiv_DateTime m{};
  if (!TakeCard(p, end, size) || !TakeMoment(p, end, m) || !TakeInt(p, end, mark) ||
      !TakeInt(p, end, tape)) {
    return false;
  }
  info_.size = size;
  info_.day = m.date.day;
  info_.month = m.date.month;
  info_.year = m.date.year;
  info_.hour = m.time.hour;
  info_.minute = m.time.minute;
  info_.second = m.time.second;
  info_.isDirectory = type == 'D';
  info_.isSymlink = type == 'S';
  return BkFLists_AppendOnFileList(a->files, path, true, info_, mark, tape) != nullptr;
}

bool Parser::ParseArchive(Archive* a) {
  Keep(Line(), a->archiveType);
  if (ok_) Line();
  if (!ok_) return Fail("::ParseArchive: read type/date failed");
  if (!LineToMoment(line_, a->created)) return Fail("::ParseArchive: bad date");
  Line();
  if (!ok_ || (line_ != "C" && line_ != "N")) return Fail("::ParseArchive: bad softcompress");
  a->softCompress = line_ == "C";
  if (!Comment(false, a->archiveComment)) {
    Messages_SupplyAdditionalInfo("::ParseArchive: bad comment");
  }
  if (Line() != "BEGIN FILES" || !ok_) return Fail("::ParseArchive: BEGIN FILES expected");
  Keep(Line(), a->baseDir);
  Strings_Assign(a->baseDir, a->writtenBaseDir);
  for (;;) {
    Line();
    if (ok_ && line_ == "END FILES") return true;
    if (!ok_ || !FileLine(a)) return Fail("::ParseArchive: AppendFile failed");
  }
}

bool Parser::Run(std::uint8_t mediaFormat, bool& isEmpty, BFileIO_File file) {
  std::uint32_t version = 0;
  Line();
  if (!ok_ || !LineToCard(line_, version) || version != 10) {
    return Fail("::ParseStdSHeader: version mismatch", 8);
  }
  hdr_->version = version;
  Keep(Line(), hdr_->label);
  if (!Strings_Equal(hdr_->label, "NONAME") && !SRegExpr_Match(labelPattern, hdr_->label)) {
    return Fail("::ParseStdSHeader: bad media label");
  }
  Keep(Line(), hdr_->mediaType);
  isEmpty = Strings_Equal(hdr_->mediaType, "EMPTY_MEDIA");
  if (!LineToMoment(Line(), hdr_->created)) {
    return Fail("::ParseStdSHeader: bad media creation time");
  }
  if (!LineToMoment(Line(), hdr_->modified)) {
    return Fail("::ParseStdSHeader: bad media modification time");
  }
  std::uint32_t next = 0;
  if (!LineToCard(Line(), next) || !BkArchiv_IsLegalNextData(mediaFormat, next)) {
    return Fail("::ParseStdSHeader: bad value for 'nextData'");
  }
  hdr_->nextDataRead = hdr_->nextData = next;
  // A bad capacity is worth a note, not the header.
  if (!LineToReal(Line(), hdr_->minCapacity)) {
    Messages_SupplyAdditionalInfo("::ParseStdSHeader: bad value for 'minCapacity'");
  }
  if (!LineToReal(Line(), hdr_->maxCapacity)) {
    Messages_SupplyAdditionalInfo("::ParseStdSHeader: bad value for 'maxCapacity'");
  }
  if (!LineToInt(Line(), hdr_->dirSize)) return Fail("::ParseStdSHeader: bad value for 'dirSize'");
  // Older headers carry no block sizes: the comment follows at once.
  bool opened = Line() == "BEGIN COMMENT" && ok_;
  if (opened) {
    hdr_->blkHeader = hdr_->blkData = 0;
  } else {
    if (!LineToCard(line_, hdr_->blkHeader)) {
      return Fail("::ParseStdSHeader: bad value for 'blkHeader'");
    }
    if (!LineToCard(Line(), hdr_->blkData)) {
      return Fail("::ParseStdSHeader: bad value for 'blkData'");
    }
  }
  if (!Comment(opened, hdr_->mediaComment)) {
    return Fail("::ParseStdSHeader: could not read archive comment");
  }
  if (isEmpty) return true;
  if (Line() != "BEGIN DIR" || !ok_) return Fail("::ParseStdSHeader: BEGIN DIR expected");
  Archive* last = nullptr;
  for (;;) {
    Line();
    if (ok_ && line_ == "END DIR") break;
    if (!ok_ || line_ != "BEGIN ARCHIVE") {
      return Fail("::ParseStdSHeader: BEGIN ARCHIVE expected");
    }
    Archive* a = nullptr;
    BkArchiv_AppendEmptyArchive(hdr_, a, "", last);
    last = a;
    if (a == nullptr) return false;
    if (!ParseArchive(a)) return false;
    if (Line() != "END ARCHIVE" || !ok_) return Fail("::ParseStdSHeader: END ARCHIVE expected");
  }
  // Where the next line starts: the stream is ahead by what the reader holds unread. A
  // stream without positions counts from where the header began.
  double pos = static_cast<double>(in_.Taken());
  if (const off_t at = ::ftello(file); at >= 0) pos = static_cast<double>(at) - in_.Unread();
  hdr_->fmDirPos = pos > 0 ? static_cast<std::uint32_t>(pos) : 0;
  hdr_->fmDir = nullptr;
  if (Line() != "BEGIN FMDIR" || !ok_) return true;
  FmDirEntry** tail = &hdr_->fmDir;
  for (;;) {
    Line();
    if (ok_ && line_ == "END FMDIR") return true;
    const char* p = line_.data();
    const char* end = p + line_.size();
    std::uint32_t fileNo = 0, startBlock = 0;
    if (!ok_ || !TakeCard(p, end, fileNo) || !TakeCard(p, end, startBlock)) {
      return Fail("::ParseStdSHeader: bad FMDIR entry");
    }
    FmDirEntry* e = new (std::nothrow) FmDirEntry{nullptr, fileNo, startBlock};
    if (e == nullptr) return Fail("::ParseStdSHeader: failed to create FMDIR entry (out of mem?)");
    *tail = e;
    tail = &e->next;
  }
}

}  // namespace

void BkArchivText_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkArchivText");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  BConvert_Init();
  Messages_Init();
  BFileIO_Init();
  DirAcces_Init();
  DynStr_Init();
  SRegExpr_Init();
  BkMisc_Init();
  BkFLists_Init();
  BkArchiv_Init();
  labelPattern = SRegExpr_Create("[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][^.][^.]*\\.[0-9][0-9]");
}

void BkArchiv_GenStdSHeader(BFileIO_File file, Header* hdr, bool withFullPaths) {
  BkArchiv_bkaError = 0;
  WriteStd(file, hdr, withFullPaths, hdr->nextData);
}

void BkArchiv_GenHeader(BFileIO_File file, Header* hdr, bool withFullPaths) {
  BkArchiv_bkaError = 0;
  switch (hdr->mediaFormat) {
    case mfmtStdTar:
    case mfmtStd:
    case mfmtStdD:
      WriteStd(file, hdr, withFullPaths, hdr->nextData);
      return;
    case mfmtStdTarA:
    case mfmtStdA:
      WriteStd(file, hdr, withFullPaths,
               hdr->newHeader || hdr->appended ? hdr->nextData + 1 : hdr->nextData);
      return;
    case mfmtACpio: {
      if (hdr->archives != nullptr && hdr->archives->next != nullptr) {
        BkArchiv_ReportError(23);
        return;
      }
      Writer w(file);
      if (hdr->archives != nullptr) {
        for (const FileEntry* e = hdr->archives->files; e != nullptr; e = e->next) {
          w.Line(DSStr(e->path));
        }
      }
      if (!w.Finish()) BkArchiv_ReportError(10);
      return;
    }
    default:
      BkArchiv_ReportError(4);
  }
}

void BkArchiv_ParseStdSHeader(BFileIO_File file, Header* hdr, std::uint8_t mediaFormat,
                              bool& isEmpty) {
  BkArchiv_bkaError = 0;
  isEmpty = false;
  Parser parser(file, hdr);
  parser.Run(mediaFormat, isEmpty, file);
}
