// srfc - compiles a message catalogue source (.msg, see data/README.md) into the binary
// catalogue (.srf) that the programs read.
//
//   srfc -o <output.srf> <input.msg>
//
// Errors go to standard error as "<file>:<line>: <what>"; on any error nothing is
// written and the exit status is 1. Built before (and independent of) the runtime
// library, so it uses nothing but the standard library.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kNameSize = 16;
constexpr std::size_t kMaxCount = 15000;
constexpr std::size_t kMaxTextBlock = 65535;
constexpr unsigned long kMaxNumber = 65535;

struct Text {
  unsigned number;
  std::string bytes;  // Latin-1
  int line;
};

struct Section {
  std::string name;
  int line;
  std::vector<Text> texts;
};

class Compiler {
 public:
  explicit Compiler(std::string file) : file_(std::move(file)) {}

  bool Parse(const std::string& source);
  bool Check();
  std::string Binary() const;

 private:
  void Error(int line, const std::string& what) {
    std::cerr << file_ << ":" << line << ": " << what << "\n";
    ++errors_;
  }
  void ParseLine(std::string line, int lineNo);
  bool DecodeText(const std::string& raw, int lineNo, std::string& out);

  std::string file_;
  int errors_ = 0;
  std::vector<Section> sections_;
};

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

bool EndsInContinuation(const std::string& line) {
  std::size_t slashes = 0;
  for (auto it = line.rbegin(); it != line.rend() && *it == '\\'; ++it) ++slashes;
  return slashes % 2 == 1;
}

bool Compiler::Parse(const std::string& source) {
  std::istringstream in(source);
  std::string physical;
  int lineNo = 0;
  while (std::getline(in, physical)) {
    ++lineNo;
    if (!physical.empty() && physical.back() == '\r') physical.pop_back();
    const int startLine = lineNo;
    std::string logical = physical;
    // A text line ending in a single backslash goes on in the next line.
    while (EndsInContinuation(Trim(logical)) && Trim(logical).front() != '#') {
      logical = Trim(logical);
      logical.pop_back();
      if (!std::getline(in, physical)) break;
      ++lineNo;
      if (!physical.empty() && physical.back() == '\r') physical.pop_back();
      logical += Trim(physical);
    }
    ParseLine(logical, startLine);
  }
  return errors_ == 0;
}

void Compiler::ParseLine(std::string line, int lineNo) {
  line = Trim(line);
  if (line.empty() || line.front() == '#') return;
  if (line.front() == '[') {
    if (line.back() != ']') {
      Error(lineNo, "section line must end in ']'");
      return;
    }
    const std::string name = line.substr(1, line.size() - 2);
    if (name.empty() || name.size() > kNameSize) {
      Error(lineNo, "section name must have 1 to 16 characters");
      return;
    }
    for (const unsigned char c : name) {
      if (c <= ' ' || c >= 127 || c == '[' || c == ']') {
        Error(lineNo, "section name may only hold printable ASCII characters without blanks");
        return;
      }
    }
    for (const Section& s : sections_) {
      if (s.name == name) {
        Error(lineNo, "section '" + name + "' is already opened at line " + std::to_string(s.line));
        return;
      }
    }
    sections_.push_back({name, lineNo, {}});
    return;
  }
  std::size_t digits = 0;
  while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
  if (digits == 0 || (digits < line.size() && line[digits] != ' ' && line[digits] != '\t')) {
    Error(lineNo, "expected '[section]', '<number> <text>' or a '#' comment");
    return;
  }
  if (sections_.empty()) {
    Error(lineNo, "text before the first section");
    return;
  }
  const std::string numberText = line.substr(0, digits);
  const unsigned long number = digits > 5 ? kMaxNumber + 1 : std::stoul(numberText);
  if (number > kMaxNumber) {
    Error(lineNo, "message number " + numberText + " is above 65535");
    return;
  }
  std::string bytes;
  if (!DecodeText(Trim(line.substr(digits)), lineNo, bytes)) return;
  sections_.back().texts.push_back({static_cast<unsigned>(number), bytes, lineNo});
}

// Escapes, then UTF-8 to Latin-1 (the character set of the programs).
bool Compiler::DecodeText(const std::string& raw, int lineNo, std::string& out) {
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(raw[i]);
    if (c == '\\') {
      const char e = i + 1 < raw.size() ? raw[++i] : '\0';
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 's':
          out += ' ';
          break;
        case '\\':
          out += '\\';
          break;
        default:
          Error(lineNo, std::string("unknown escape '\\") + e + "' (use \\n, \\t, \\s or \\\\)");
          return false;
      }
    } else if (c < 0x80) {
      if (c < ' ' && c != '\t') {
        Error(lineNo, "control character in text");
        return false;
      }
      out += static_cast<char>(c);
    } else {
      // A UTF-8 sequence: its length from the lead byte, then continuation bytes.
      const std::size_t length = c >= 0xF0 && c <= 0xF4   ? 4
                                 : c >= 0xE0 && c <= 0xEF ? 3
                                 : c >= 0xC2 && c <= 0xDF ? 2
                                                          : 0;
      unsigned code = length == 4 ? c & 0x07u : length == 3 ? c & 0x0Fu : c & 0x1Fu;
      bool valid = length != 0 && i + length <= raw.size();
      for (std::size_t k = 1; valid && k < length; ++k) {
        const unsigned char cont = static_cast<unsigned char>(raw[i + k]);
        valid = (cont & 0xC0) == 0x80;
        code = code << 6 | (cont & 0x3Fu);
      }
      if (!valid) {
        Error(lineNo, "text is not valid UTF-8 (save the source in UTF-8)");
        return false;
      }
      if (code > 0xFF) {
        Error(lineNo, "character outside Latin-1 in text");
        return false;
      }
      out += static_cast<char>(code);
      i += length - 1;
    }
  }
  return true;
}

bool Compiler::Check() {
  std::sort(sections_.begin(), sections_.end(),
            [](const Section& a, const Section& b) { return a.name < b.name; });
  for (Section& s : sections_) {
    std::stable_sort(s.texts.begin(), s.texts.end(),
                     [](const Text& a, const Text& b) { return a.number < b.number; });
    for (std::size_t i = 1; i < s.texts.size(); ++i) {
      if (s.texts[i].number == s.texts[i - 1].number) {
        Error(s.texts[i].line, "text " + std::to_string(s.texts[i].number) + " of section '" +
                                   s.name + "' is already defined at line " +
                                   std::to_string(s.texts[i - 1].line));
      }
    }
    if (s.texts.size() > kMaxCount) {
      Error(s.line, "section '" + s.name + "' has " + std::to_string(s.texts.size()) +
                        " texts, at most 15000 are allowed");
    }
    std::size_t block = 0;
    for (const Text& t : s.texts) block += t.bytes.size() + 1;
    if (block > kMaxTextBlock) {
      Error(s.line, "the texts of section '" + s.name + "' take " + std::to_string(block) +
                        " bytes, at most 65535 are allowed");
    }
  }
  return errors_ == 0;
}

void PutU16(std::string& out, std::size_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8 & 0xFF);
}

std::string Compiler::Binary() const {
  std::string out;
  for (const Section& s : sections_) {
    std::string name = s.name;
    name.resize(kNameSize, '\0');
    out += name;
    std::string texts;
    std::string index;
    for (const Text& t : s.texts) {
      PutU16(index, t.number);
      PutU16(index, texts.size());
      texts += t.bytes;
      texts += '\0';
    }
    PutU16(out, s.texts.size());
    PutU16(out, texts.size());
    out += index;
    out += texts;
  }
  return out;
}

int Usage() {
  std::cerr << "usage: srfc -o <output.srf> <input.msg>\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string output, input;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-o" && i + 1 < argc) {
      output = argv[++i];
    } else if (!arg.empty() && arg[0] != '-' && input.empty()) {
      input = arg;
    } else {
      return Usage();
    }
  }
  if (input.empty() || output.empty()) return Usage();

  std::ifstream in(input, std::ios::binary);
  if (!in) {
    std::cerr << input << ": cannot read (" << std::strerror(errno) << ")\n";
    return 1;
  }
  std::ostringstream source;
  source << in.rdbuf();

  Compiler compiler(input);
  if (!compiler.Parse(source.str()) || !compiler.Check()) return 1;

  // Written beside the target and renamed over it, so a reader never sees half a file.
  const std::string temp = output + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    const std::string bytes = compiler.Binary();
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
      std::cerr << temp << ": cannot write (" << std::strerror(errno) << ")\n";
      std::remove(temp.c_str());
      return 1;
    }
  }
  if (std::rename(temp.c_str(), output.c_str()) != 0) {
    std::cerr << output << ": cannot write (" << std::strerror(errno) << ")\n";
    std::remove(temp.c_str());
    return 1;
  }
  return 0;
}
