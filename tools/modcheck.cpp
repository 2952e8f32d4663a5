// modcheck: the build step that keeps the three places naming a module's imports in
// agreement. A module X writes its imports in its includes, in its zolt_module line
// (DEPS) and in X_Init; when they drift apart, a module links what it does not use, or
// starts before a module it uses. The rule, for every module X:
//
//   1. X.hpp and X.cpp exist.
//   2. DEPS names exactly the modules whose headers X.hpp, X.cpp (and the module's extra
//      SOURCES) include with #include "Y.hpp": no module missing, none extra. UCommon
//      counts like any other module.
//   3. X.hpp declares X_Init and X.cpp defines it; its body calls Y_Init for exactly the
//      modules of DEPS, each once, in the order DEPS lists them.
//
// Headers that belong to no module (no zolt_module line) are not imports. Every problem
// is reported, one line each, and the exit status is 1; otherwise nothing is written.
//
//   modcheck <manifest>
//
// The manifest, written by cmake/Zolt.cmake, has one line per module, fields separated
// by tabs: name, folder, DEPS (blank-separated), extra sources (blank-separated).
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Module {
  std::string name, dir;
  std::vector<std::string> deps, sources;
};

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == '\t') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

bool Read(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The names Y of the lines #include "…Y.hpp".
std::vector<std::string> IncludedHeaders(const std::string& text) {
  std::vector<std::string> names;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::size_t p = line.find_first_not_of(" \t");
    if (p == std::string::npos || line[p] != '#') continue;
    p = line.find_first_not_of(" \t", p + 1);
    if (p == std::string::npos || line.compare(p, 7, "include") != 0) continue;
    const std::size_t open = line.find('"', p + 7);
    const std::size_t close = open == std::string::npos ? open : line.find('"', open + 1);
    if (close == std::string::npos) continue;
    std::string header = line.substr(open + 1, close - open - 1);
    header = header.substr(header.rfind('/') + 1);  // npos + 1 == 0
    if (header.size() > 4 && header.compare(header.size() - 4, 4, ".hpp") == 0) {
      names.push_back(header.substr(0, header.size() - 4));
    }
  }
  return names;
}

// The text with comments and the contents of string and character literals blanked, so
// that braces and names in them do not count.
std::string Code(const std::string& text) {
  std::string out = text;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out.compare(i, 2, "//") == 0) {
      while (i < out.size() && out[i] != '\n') out[i++] = ' ';
    } else if (out.compare(i, 2, "/*") == 0) {
      const std::size_t end = out.find("*/", i + 2);
      const std::size_t stop = end == std::string::npos ? out.size() : end + 2;
      for (; i < stop; ++i) {
        if (out[i] != '\n') out[i] = ' ';
      }
      --i;
    } else if (out[i] == '"' || out[i] == '\'') {
      const char quote = out[i++];
      for (; i < out.size() && out[i] != quote && out[i] != '\n'; ++i) {
        if (out[i] == '\\' && i + 1 < out.size()) out[i++] = ' ';
        out[i] = ' ';
      }
    }
  }
  return out;
}

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Position of the word `word` followed (after blanks) by "(" in code from `from`.
std::size_t FindCall(const std::string& code, const std::string& word, std::size_t from) {
  for (std::size_t p = code.find(word, from); p != std::string::npos; p = code.find(word, p + 1)) {
    if (p > 0 && IsWordChar(code[p - 1])) continue;
    std::size_t q = p + word.size();
    if (q < code.size() && IsWordChar(code[q])) continue;
    while (q < code.size() && std::isspace(static_cast<unsigned char>(code[q]))) ++q;
    if (q < code.size() && code[q] == '(') return p;
  }
  return std::string::npos;
}

// The body of the definition "void X_Init() { … }"; false when there is none.
bool InitBody(const std::string& code, const std::string& name, std::string& body) {
  const std::string word = name + "_Init";
  for (std::size_t p = FindCall(code, word, 0); p != std::string::npos;
       p = FindCall(code, word, p + 1)) {
    const std::size_t before = code.find_last_not_of(" \t\n", p - 1);
    if (p == 0 || before == std::string::npos || before < 3 ||
        code.compare(before - 3, 4, "void") != 0) {
      continue;
    }
    const std::size_t close = code.find(')', p);
    const std::size_t open = code.find_first_not_of(" \t\n", close + 1);
    if (close == std::string::npos || open == std::string::npos || code[open] != '{') continue;
    int depth = 0;
    for (std::size_t i = open; i < code.size(); ++i) {
      depth += code[i] == '{' ? 1 : code[i] == '}' ? -1 : 0;
      if (depth == 0) {
        body = code.substr(open + 1, i - open - 1);
        return true;
      }
    }
  }
  return false;
}

// The modules Y whose Y_Init the body calls, in the order of the calls.
std::vector<std::string> InitCalls(const std::string& body, const std::set<std::string>& known) {
  std::vector<std::string> calls;
  for (std::size_t p = body.find("_Init"); p != std::string::npos; p = body.find("_Init", p + 1)) {
    std::size_t start = p;
    while (start > 0 && IsWordChar(body[start - 1])) --start;
    const std::string name = body.substr(start, p - start);
    if (known.count(name) != 0 && FindCall(body, name + "_Init", start) == start) {
      calls.push_back(name);
    }
  }
  return calls;
}

std::string Join(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : " ") + n;
  return text.empty() ? "(none)" : text;
}

class Checker {
 public:
  explicit Checker(const std::vector<Module>& modules) : modules_(modules) {
    for (const Module& m : modules) known_.insert(m.name);
  }

  int Run() {
    for (const Module& m : modules_) Check(m);
    if (problems_ == 0) return 0;
    std::fprintf(stderr,
                 "modcheck: %d disagreement(s). The rule: a module's DEPS in its zolt_module "
                 "line names exactly the modules whose headers X.hpp and X.cpp include, and "
                 "X_Init calls their Y_Init, each once, in the order DEPS lists them (see "
                 "cmake/Zolt.cmake).\n",
                 problems_);
    return 1;
  }

 private:
  void Problem(const Module& m, const std::string& text) {
    std::fprintf(stderr, "modcheck: %s/%s: %s\n", m.dir.c_str(), m.name.c_str(), text.c_str());
    ++problems_;
  }

  void Check(const Module& m) {
    std::string hpp, cpp;
    const bool hasHpp = Read(m.dir + "/" + m.name + ".hpp", hpp);
    const bool hasCpp = Read(m.dir + "/" + m.name + ".cpp", cpp);
    if (!hasHpp) Problem(m, m.name + ".hpp is missing");
    if (!hasCpp) Problem(m, m.name + ".cpp is missing");
    std::string all = hpp + "\n" + cpp;
    for (const std::string& s : m.sources) {
      std::string text;
      if (Read(m.dir + "/" + s, text)) all += "\n" + text;
    }

    std::set<std::string> imports;
    for (const std::string& h : IncludedHeaders(all)) {
      if (h != m.name && known_.count(h) != 0) imports.insert(h);
    }
    std::set<std::string> listed;
    for (const std::string& d : m.deps) {
      if (!listed.insert(d).second) Problem(m, "DEPS lists " + d + " twice");
      if (known_.count(d) == 0) {
        Problem(m, "DEPS lists " + d + ", which is no module (no zolt_module line)");
      } else if (imports.count(d) == 0) {
        Problem(m, "DEPS lists " + d + " but no " + d + ".hpp is included: include it where " +
                       m.name + " uses it, or drop it from DEPS");
      }
    }
    for (const std::string& i : imports) {
      if (listed.count(i) == 0) {
        Problem(m, "includes " + i + ".hpp but DEPS does not list " + i + ": add it to DEPS");
      }
    }

    if (!hasHpp || !hasCpp) return;
    if (FindCall(Code(hpp), m.name + "_Init", 0) == std::string::npos) {
      Problem(m, m.name + ".hpp declares no " + m.name + "_Init()");
    }
    std::string body;
    if (!InitBody(Code(cpp), m.name, body)) {
      Problem(m, m.name + ".cpp defines no void " + m.name + "_Init()");
      return;
    }
    const std::vector<std::string> calls = InitCalls(body, known_);
    std::vector<std::string> expected;
    for (const std::string& d : m.deps) {
      if (known_.count(d) != 0) expected.push_back(d);
    }
    if (calls != expected) {
      Problem(m, m.name + "_Init initialises " + Join(calls) + "; DEPS asks for " + Join(expected) +
                     " (each once, in this order)");
    }
  }

  const std::vector<Module>& modules_;
  std::set<std::string> known_;
  int problems_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: modcheck <manifest>\n");
    return 2;
  }
  std::string text;
  if (!Read(argv[1], text)) {
    std::fprintf(stderr, "modcheck: cannot read %s\n", argv[1]);
    return 2;
  }
  std::vector<Module> modules;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    std::vector<std::string> f = Fields(line);
    f.resize(4);
    modules.push_back({f[0], f[1], Words(f[2]), Words(f[3])});
  }
  return Checker(modules).Run();
}
