// A strict reader of binary message catalogues (.srf) for tests, written from the file
// layout alone and sharing no code with the runtime's reader or the compiler, so that
// each can be checked against it:
//   name 16 (NUL-padded) | count u16 | textSize u16 | count x (number u16, offset u16) |
//   texts (textSize bytes, NUL-terminated)           -- integers little-endian
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace zolt::test {

struct SrfSection {
  std::string name;
  std::vector<std::pair<unsigned, std::string>> texts;  // in file order
};

struct SrfFile {
  std::vector<SrfSection> sections;
  std::string problem;  // empty when the file keeps every rule
};

inline SrfFile ParseSrf(const std::string& bytes) {
  SrfFile f;
  auto u16 = [&](std::size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) |
           static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8;
  };
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 20) {
      f.problem = "incomplete record head at byte " + std::to_string(at);
      return f;
    }
    SrfSection s;
    const std::string rawName = bytes.substr(at, 16);
    s.name = rawName.substr(0, rawName.find('\0'));
    if (s.name.empty()) f.problem = "empty section name at byte " + std::to_string(at);
    for (std::size_t i = s.name.size(); i < 16; ++i) {
      if (rawName[i] != '\0') f.problem = "section name '" + s.name + "' not NUL-padded";
    }
    const unsigned count = u16(at + 16), textSize = u16(at + 18);
    if (count > 15000) {
      f.problem = "section '" + s.name + "' has more than 15000 texts";
      return f;
    }
    const std::size_t index = at + 20, texts = index + 4 * std::size_t{count};
    if (bytes.size() < texts + textSize) {
      f.problem = "section '" + s.name + "' is cut short";
      return f;
    }
    for (unsigned i = 0; i < count; ++i) {
      const unsigned number = u16(index + 4 * i), offset = u16(index + 4 * i + 2);
      if (offset >= textSize) {
        f.problem = "text " + std::to_string(number) + " of '" + s.name + "' outside its block";
        return f;
      }
      const std::size_t end = bytes.find('\0', texts + offset);
      if (end == std::string::npos || end >= texts + textSize) {
        f.problem = "text " + std::to_string(number) + " of '" + s.name + "' not terminated";
        return f;
      }
      if (i > 0 && number <= s.texts.back().first) {
        f.problem =
            "numbers of section '" + s.name + "' not ascending at " + std::to_string(number);
      }
      s.texts.emplace_back(number, bytes.substr(texts + offset, end - texts - offset));
    }
    if (!f.sections.empty() && !(f.sections.back().name < s.name)) {
      f.problem = "sections not ascending at '" + s.name + "'";
    }
    f.sections.push_back(std::move(s));
    at = texts + textSize;
  }
  return f;
}

inline SrfFile ReadSrf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (!in) return SrfFile{{}, "cannot read " + path};
  return ParseSrf(bytes.str());
}

}  // namespace zolt::test
