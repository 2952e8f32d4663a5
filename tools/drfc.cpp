// drfc - compiles a dialog layout source (.dlg, see data/README.md) into the binary dialog
// catalogue (.drf) that the dialog framework reads.
//
//   drfc -o <output.drf> <input.dlg>
//
// Errors go to standard error as "<file>:<line>: <what>"; on any error nothing is written
// and the exit status is 1. Uses nothing but the standard library.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kMagic = 24291;
constexpr std::uint32_t kVersion = 4;

using Attrs = std::vector<std::pair<std::string, std::string>>;

struct Template {
  std::string name, base;
  Attrs attrs;
  bool builtin = false;
};

struct AObj {
  std::string name, note, tmpl;
  std::int32_t number = 0;
  Attrs attrs;
  int line = 0;
};

struct RObj {
  std::string name, tmpl;
  std::int32_t number = 0, aobj = 0;
  Attrs attrs;
  int line = 0, indent = 0;
  std::vector<std::unique_ptr<RObj>> children;
};

struct Context {
  std::string name;
  int line = 0;
  std::vector<AObj> aobjs;
  std::vector<std::unique_ptr<RObj>> robjs;
};

class Compiler {
 public:
  explicit Compiler(std::string file) : file_(std::move(file)) {
    const char* types[] = {"BOOLEAN", "INTEGER", "CARDINAL", "REAL", "STRING", "Generic"};
    for (int i = 0; i < 6; ++i) Builtin(types[i], "", {{"type", std::to_string(i)}});
    // A list value: a reference to the first record of a chain.
    Builtin("LIST", "Generic", {{"size", std::to_string(sizeof(void*))}});
    for (const char* c : {"shell", "box", "label", "text", "number", "toggle", "button", "list"})
      Builtin(c, "", {{"class", c}});
  }

  bool Parse(std::istream& in);
  std::string Binary();

 private:
  void Builtin(const std::string& name, const std::string& base, Attrs attrs) {
    templates_[name] = Template{name, base, std::move(attrs), true};
  }
  void Error(int line, const std::string& what) {
    std::cerr << file_ << ":" << line << ": " << what << "\n";
    ++errors_;
  }
  bool Tokens(const std::string& text, int line, std::vector<std::string>& out);
  bool SplitAttr(const std::string& tok, int line, std::string& key, std::string& value);
  std::string Resolve(const std::string& tmpl, const std::string& key) const;
  void CheckContext(const Context& c);
  void CheckRObj(const Context& c, const RObj& r, std::set<std::int32_t>& seen);

  std::uint32_t Id(const std::string& s) {
    auto [it, fresh] = ids_.emplace(s, static_cast<std::uint32_t>(pool_.size()));
    if (fresh) pool_.push_back(s);
    return it->second;
  }
  void U32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  void WriteAttrs(std::string& out, const Attrs& a) {
    U32(out, static_cast<std::uint32_t>(a.size()));
    for (const auto& [k, v] : a) {
      U32(out, Id(k));
      U32(out, Id(v));
    }
  }
  void WriteTemplateRef(std::string& out, const std::string& name) {
    U32(out, Id(name));
    if (name.empty() || !written_.insert(name).second) return;
    const Template& t = templates_.at(name);
    out.push_back(0);
    WriteAttrs(out, t.attrs);
    WriteTemplateRef(out, t.base);
  }
  void WriteRObj(std::string& out, const RObj& r) {
    U32(out, Id(r.name));
    U32(out, static_cast<std::uint32_t>(r.number));
    U32(out, static_cast<std::uint32_t>(r.aobj));
    WriteTemplateRef(out, r.tmpl);
    WriteAttrs(out, r.attrs);
    U32(out, static_cast<std::uint32_t>(r.children.size()));
    for (const auto& c : r.children) WriteRObj(out, *c);
  }

  std::string file_;
  int errors_ = 0;
  std::map<std::string, Template> templates_;
  std::vector<Context> contexts_;
  std::map<std::string, std::uint32_t> ids_;
  std::vector<std::string> pool_;
  std::set<std::string> written_;
};

// UTF-8 to Latin-1 (the character set of the programs); false for anything outside it.
bool ToLatin1(const std::string& in, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    const auto c = static_cast<unsigned char>(in[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < in.size() &&
               (static_cast<unsigned char>(in[i + 1]) & 0xC0) == 0x80) {
      out.push_back(
          static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(in[i + 1]) & 0x3F)));
      ++i;
    } else {
      return false;
    }
  }
  return true;
}

// Words separated by blanks; "..." is one word with \" and \\ as escapes.
bool Compiler::Tokens(const std::string& text, int line, std::vector<std::string>& out) {
  out.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    if (text[i] == '#') break;
    std::string tok;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') {
      if (text[i] == '"') {
        ++i;
        while (i < text.size() && text[i] != '"') {
          if (text[i] == '\\' && i + 1 < text.size()) ++i;
          tok.push_back(text[i++]);
        }
        if (i >= text.size()) {
          Error(line, "missing closing quote");
          return false;
        }
        ++i;
      } else {
        tok.push_back(text[i++]);
      }
    }
    std::string latin;
    if (!ToLatin1(tok, latin)) {
      Error(line, "character outside Latin-1");
      return false;
    }
    out.push_back(latin);
  }
  return true;
}

bool Compiler::SplitAttr(const std::string& tok, int line, std::string& key, std::string& value) {
  const auto eq = tok.find('=');
  if (eq == std::string::npos || eq == 0) {
    Error(line, "expected key=value, found '" + tok + "'");
    return false;
  }
  key = tok.substr(0, eq);
  value = tok.substr(eq + 1);
  return true;
}

std::string Compiler::Resolve(const std::string& tmpl, const std::string& key) const {
  for (std::string t = tmpl; !t.empty();) {
    auto it = templates_.find(t);
    if (it == templates_.end()) break;
    for (const auto& [k, v] : it->second.attrs)
      if (k == key) return v;
    t = it->second.base;
  }
  return "";
}

bool ParseInt(const std::string& s, std::int32_t& v) {
  try {
    std::size_t end = 0;
    const long long n = std::stoll(s, &end, 10);
    if (end != s.size() || n < INT32_MIN || n > INT32_MAX) return false;
    v = static_cast<std::int32_t>(n);
    return true;
  } catch (...) {
    return false;
  }
}

bool Compiler::Parse(std::istream& in) {
  std::string raw;
  int lineNo = 0;
  Context* ctx = nullptr;
  std::vector<RObj*> stack;
  std::vector<std::string> tok;
  while (std::getline(in, raw)) {
    ++lineNo;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    const auto indent = static_cast<int>(raw.find_first_not_of(" \t"));
    if (!Tokens(raw, lineNo, tok) || tok.empty()) continue;
    const std::string& kw = tok[0];
    if (kw == "template") {
      if (ctx != nullptr || tok.size() < 2) {
        Error(lineNo, ctx ? "template inside a context" : "template without a name");
        continue;
      }
      Template t{tok[1], "", {}, false};
      std::size_t i = 2;
      if (tok.size() > 3 && tok[2] == "extends") {
        t.base = tok[3];
        i = 4;
        if (!templates_.count(t.base)) Error(lineNo, "unknown template '" + t.base + "'");
      }
      for (; i < tok.size(); ++i) {
        std::string k, v;
        if (SplitAttr(tok[i], lineNo, k, v)) t.attrs.emplace_back(k, v);
      }
      if (templates_.count(t.name)) Error(lineNo, "template '" + t.name + "' defined twice");
      templates_[t.name] = std::move(t);
    } else if (kw == "context") {
      if (ctx != nullptr || tok.size() != 2) {
        Error(lineNo, ctx ? "context inside a context (missing 'end')" : "context needs one name");
        continue;
      }
      for (const auto& c : contexts_)
        if (c.name == tok[1]) Error(lineNo, "context '" + tok[1] + "' defined twice");
      contexts_.push_back(Context{tok[1], lineNo, {}, {}});
      ctx = &contexts_.back();
      stack.clear();
    } else if (kw == "end") {
      if (ctx == nullptr) Error(lineNo, "'end' without a context");
      if (ctx != nullptr) CheckContext(*ctx);
      ctx = nullptr;
    } else if (kw == "aobj" || kw == "robj") {
      std::int32_t number = 0;
      if (ctx == nullptr || tok.size() < 4 || !ParseInt(tok[1], number)) {
        Error(lineNo, ctx ? "expected: " + kw + " <number> <name> <template> [key=value...]"
                          : kw + " outside a context");
        continue;
      }
      if (!templates_.count(tok[3])) {
        Error(lineNo, "unknown template '" + tok[3] + "'");
        continue;
      }
      Attrs attrs;
      std::string note;
      std::int32_t bound = 0;
      for (std::size_t i = 4; i < tok.size(); ++i) {
        std::string k, v;
        if (!SplitAttr(tok[i], lineNo, k, v)) continue;
        if (kw == "aobj" && k == "note") {
          note = v;
        } else if (kw == "robj" && k == "aobj") {
          if (!ParseInt(v, bound)) Error(lineNo, "bad AObj number '" + v + "'");
        } else {
          attrs.emplace_back(k, v);
        }
      }
      if (kw == "aobj") {
        if (Resolve(tok[3], "type").empty()) Error(lineNo, "'" + tok[3] + "' is no value template");
        ctx->aobjs.push_back(AObj{tok[2], note, tok[3], number, std::move(attrs), lineNo});
      } else {
        if (Resolve(tok[3], "class").empty())
          Error(lineNo, "'" + tok[3] + "' is no widget template");
        auto r = std::make_unique<RObj>();
        *r = RObj{tok[2], tok[3], number, bound, std::move(attrs), lineNo, indent, {}};
        while (!stack.empty() && stack.back()->indent >= indent) stack.pop_back();
        RObj* raw = r.get();
        (stack.empty() ? ctx->robjs : stack.back()->children).push_back(std::move(r));
        stack.push_back(raw);
      }
    } else {
      Error(lineNo, "unknown keyword '" + kw + "'");
    }
  }
  if (ctx != nullptr) Error(lineNo, "context '" + ctx->name + "' lacks its 'end'");
  if (contexts_.empty() && errors_ == 0) Error(lineNo, "no context defined");
  return errors_ == 0;
}

void Compiler::CheckRObj(const Context& c, const RObj& r, std::set<std::int32_t>& seen) {
  if (!seen.insert(r.number).second)
    Error(r.line, "RObj number " + std::to_string(r.number) + " used twice");
  if (r.aobj != 0) {
    bool found = false;
    for (const auto& a : c.aobjs) found = found || a.number == r.aobj;
    if (!found) Error(r.line, "RObj bound to unknown AObj " + std::to_string(r.aobj));
  }
  // Attributes whose value is one of a few words, each for one widget class.
  static const struct {
    const char* key;
    const char* cls;
    std::set<std::string> words;
  } kWords[] = {{"select", "list", {"single", "multiple"}},
                {"orient", "box", {"vertical", "horizontal"}},
                {"destructive", "button", {"1"}},
                {"hide", "button", {"1"}}};
  for (const auto& w : kWords) {
    std::string v = Resolve(r.tmpl, w.key);
    for (const auto& [k, val] : r.attrs)
      if (k == w.key) v = val;
    if (v.empty()) continue;
    if (Resolve(r.tmpl, "class") != w.cls)
      Error(r.line, std::string(w.key) + "= is only for widgets of class " + w.cls);
    else if (!w.words.count(v))
      Error(r.line, "bad " + std::string(w.key) + " '" + v + "'");
  }
  for (const auto& ch : r.children) CheckRObj(c, *ch, seen);
}

void Compiler::CheckContext(const Context& c) {
  std::set<std::int32_t> numbers;
  for (const auto& a : c.aobjs) {
    if (!numbers.insert(a.number).second)
      Error(a.line, "AObj number " + std::to_string(a.number) + " used twice");
    if (Resolve(a.tmpl, "type") == "5") {
      std::string size = Resolve(a.tmpl, "size");
      for (const auto& [k, v] : a.attrs)
        if (k == "size") size = v;
      std::int32_t n = 0;
      if (!ParseInt(size, n) || n <= 0) Error(a.line, "a Generic AObj needs size=<bytes>");
    }
  }
  if (c.robjs.size() != 1 || Resolve(c.robjs[0]->tmpl, "class") != "shell") {
    Error(c.line, "context '" + c.name + "' needs exactly one top widget, a shell");
    return;
  }
  std::set<std::int32_t> seen;
  CheckRObj(c, *c.robjs[0], seen);
}

std::string Compiler::Binary() {
  Id("");  // identifier 0: no template
  std::string body;
  U32(body, static_cast<std::uint32_t>(contexts_.size()));
  for (const auto& c : contexts_) {
    U32(body, Id(c.name));
    U32(body, static_cast<std::uint32_t>(c.aobjs.size()));
    for (const auto& a : c.aobjs) {
      U32(body, Id(a.name));
      U32(body, Id(a.note));
      U32(body, static_cast<std::uint32_t>(a.number));
      WriteTemplateRef(body, a.tmpl);
      WriteAttrs(body, a.attrs);
    }
    U32(body, static_cast<std::uint32_t>(c.robjs.size()));
    for (const auto& r : c.robjs) WriteRObj(body, *r);
  }
  std::string out;
  U32(out, kMagic);
  U32(out, kVersion);
  for (int i = 0; i < 4; ++i) U32(out, 0);
  U32(out, static_cast<std::uint32_t>(pool_.size()));
  for (const auto& s : pool_) {
    out.push_back(static_cast<char>(s.size() & 0xFF));
    out.push_back(static_cast<char>((s.size() >> 8) & 0xFF));
    out += s;
  }
  return out + body;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || std::string(argv[1]) != "-o") {
    std::cerr << "usage: drfc -o <output.drf> <input.dlg>\n";
    return 1;
  }
  std::ifstream in(argv[3]);
  if (!in) {
    std::cerr << argv[3] << ": cannot open\n";
    return 1;
  }
  Compiler compiler(argv[3]);
  if (!compiler.Parse(in)) return 1;
  const std::string bytes = compiler.Binary();
  const std::string tmp = std::string(argv[2]) + ".tmp";
  std::ofstream out(tmp, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out || std::rename(tmp.c_str(), argv[2]) != 0) {
    std::cerr << argv[2] << ": cannot write\n";
    std::remove(tmp.c_str());
    return 1;
  }
  return 0;
}
