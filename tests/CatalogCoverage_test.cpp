// Every (section, number) that the code reports with literal arguments has a text in the
// shipped catalogues, in English and in German.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Sandbox.hpp"
#include "SrfReader.hpp"

namespace {

namespace fs = std::filesystem;
using Key = std::pair<std::string, unsigned>;

// The texts of all catalogues of one language in the build tree.
std::set<Key> Texts(const std::string& lang) {
  std::set<Key> keys;
  for (const auto& entry :
       fs::directory_iterator(fs::path(zolt::test::BuildDir()) / "env" / lang)) {
    if (entry.path().extension() != ".srf") continue;
    const auto file = zolt::test::ReadSrf(entry.path().string());
    EXPECT_EQ(file.problem, "") << entry.path();
    for (const auto& s : file.sections) {
      for (const auto& t : s.texts) keys.emplace(s.name, t.first);
    }
  }
  return keys;
}

bool Skipped(const fs::path& dir) {
  const std::string name = dir.filename().string();
  return name.empty() || name[0] == '.' || name.starts_with("build") || name == "tests";
}

bool IsIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The report calls with a literal section and number in one line, each with its column:
// Messages_Error("Section", 12) or MsgError("Section", 12u).
std::vector<std::pair<std::size_t, Key>> CallsIn(const std::string& line) {
  std::vector<std::pair<std::size_t, Key>> calls;
  for (const std::string name : {"Messages_Error", "MsgError"}) {
    for (std::size_t at = line.find(name); at != std::string::npos; at = line.find(name, at + 1)) {
      if (at > 0 && IsIdentChar(line[at - 1])) continue;
      std::size_t i = at + name.size();
      auto blanks = [&] {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
      };
      auto take = [&](char c) {
        blanks();
        if (i >= line.size() || line[i] != c) return false;
        ++i;
        return true;
      };
      if (!take('(') || !take('"')) continue;
      const std::size_t close = line.find('"', i);
      if (close == std::string::npos || close == i) continue;
      const std::string section = line.substr(i, close - i);
      i = close + 1;
      if (!take(',')) continue;
      blanks();
      const std::size_t digits = i;
      while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) ++i;
      if (i == digits || i - digits > 9) continue;
      const unsigned number = static_cast<unsigned>(std::stoul(line.substr(digits, i - digits)));
      if (i < line.size() && (line[i] == 'u' || line[i] == 'U')) ++i;
      if (!take(')')) continue;
      calls.push_back({at, Key{section, number}});
    }
  }
  return calls;
}

// Reports in the sources (outside tests and line comments) with their first place.
std::map<Key, std::string> Reports() {
  std::map<Key, std::string> found;
  const fs::path root = ZOLT_SOURCE_DIR;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    if (it->is_directory()) {
      if (Skipped(it->path())) it.disable_recursion_pending();
      continue;
    }
    const std::string name = it->path().filename().string();
    const std::string ext = it->path().extension().string();
    if (ext != ".cpp" && ext != ".hpp" && ext != ".c" && ext != ".h") continue;
    if (name.ends_with("_test.cpp")) continue;
    std::ifstream in(it->path());
    std::string line;
    for (int lineNo = 1; std::getline(in, line); ++lineNo) {
      const std::size_t comment = line.find("//");
      for (const auto& [column, key] : CallsIn(line)) {
        if (comment != std::string::npos && column > comment) continue;
        found.emplace(key, fs::relative(it->path(), root).string() + ":" + std::to_string(lineNo));
      }
    }
  }
  return found;
}

TEST(CatalogCoverage, EveryReportedMessageHasAnEnglishAndAGermanText) {
  const auto reports = Reports();
  // The scan itself must see the message system's own reports.
  for (const Key& own :
       {Key{"Messages", 1}, Key{"Messages", 2}, Key{"Catalog", 0}, Key{"Catalog", 1},
        Key{"Catalog", 6}, Key{"BStorage", 0}, Key{"BStorage", 1}}) {
    EXPECT_TRUE(reports.count(own)) << "scan missed (" << own.first << ", " << own.second << ")";
  }
  for (const char* lang : {"eng", "deu"}) {
    const auto texts = Texts(lang);
    for (const auto& [key, where] : reports) {
      EXPECT_TRUE(texts.count(key)) << where << ": (\"" << key.first << "\", " << key.second
                                    << ") has no text in data/" << lang << "/*.msg";
    }
  }
}

}  // namespace
