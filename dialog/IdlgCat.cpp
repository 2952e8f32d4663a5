#include "IdlgCat.hpp"

#include <cstring>
#include <fstream>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "Catalog.hpp"
#include "DirAcces.hpp"
#include "Messages.hpp"
#include "SIdPool.hpp"
#include "UCommon.hpp"

std::uint8_t IdlgCat_error = 0;

namespace {

struct Catalogue {
  const char* name;
  std::list<IdlgCat_Template> templates;  // stable addresses
  std::vector<IdlgCat_Context> contexts;
};

// Newest first.
std::list<std::unique_ptr<Catalogue>>& Pool() {
  static std::list<std::unique_ptr<Catalogue>> pool;
  return pool;
}

void Fail(std::uint8_t n, const std::string& info) {
  IdlgCat_error = n;
  if (!info.empty()) Messages_SupplyAdditionalInfo(info);
  Messages_Error("IdlgCat", n);
}

// Reads the binary stream; any read past the end makes the whole file unloadable.
class Reader {
 public:
  Reader(const std::string& bytes, Catalogue& cat) : b_(bytes), cat_(cat) {}

  bool ok() const { return ok_; }

  std::uint32_t U32() {
    if (pos_ + 4 > b_.size()) return Bad();
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b_[pos_ + i]);
    pos_ += 4;
    return v;
  }
  std::uint8_t U8() {
    if (pos_ >= b_.size()) return Bad();
    return static_cast<std::uint8_t>(b_[pos_++]);
  }
  // The header past the magic value and version: reserved values, identifier pool.
  void Pool() {
    for (int i = 0; i < 4; ++i) U32();
    const std::uint32_t n = U32();
    if (n > b_.size()) Bad();
    for (std::uint32_t i = 0; ok_ && i < n; ++i) {
      const std::size_t len = U8() | (static_cast<std::size_t>(U8()) << 8);
      if (pos_ + len > b_.size()) {
        Bad();
        break;
      }
      ids_.push_back(SIdPool_Put(std::string_view(b_).substr(pos_, len)));
      pos_ += len;
    }
  }
  const char* Ident() {
    const std::uint32_t i = U32();
    if (i >= ids_.size()) {
      Bad();
      return SIdPool_Put("");
    }
    return ids_[i];
  }
  IdlgCat_Attrs Attrs() {
    IdlgCat_Attrs a;
    const std::uint32_t n = Count();
    for (std::uint32_t i = 0; ok_ && i < n; ++i) {
      const char* k = Ident();
      a.emplace_back(k, Ident());
    }
    return a;
  }
  const IdlgCat_Template* TemplateRef(int depth = 0) {
    const char* name = Ident();
    if (!ok_ || *name == '\0') return nullptr;
    if (auto it = seen_.find(name); it != seen_.end()) return it->second;
    if (U8() != 0 || depth > 64) {
      Bad();
      return nullptr;
    }
    IdlgCat_Template& t = cat_.templates.emplace_back(IdlgCat_Template{name, {}, nullptr});
    seen_[name] = &t;
    t.attrs = Attrs();
    t.base = TemplateRef(depth + 1);
    // A template may not extend itself, directly or through others.
    for (const IdlgCat_Template* b = t.base; b != nullptr; b = b->base) {
      if (b == &t) {
        Bad();
        return nullptr;
      }
    }
    return &t;
  }
  IdlgCat_RObj RObj(int depth) {
    IdlgCat_RObj r{
        Ident(), static_cast<std::int32_t>(U32()), static_cast<std::int32_t>(U32()), nullptr, {},
        {}};
    r.tmpl = TemplateRef();
    r.attrs = Attrs();
    const std::uint32_t n = Count();
    if (depth > 64) Bad();
    for (std::uint32_t i = 0; ok_ && i < n; ++i) r.children.push_back(RObj(depth + 1));
    return r;
  }
  void Contexts() {
    const std::uint32_t n = Count();
    for (std::uint32_t c = 0; ok_ && c < n; ++c) {
      IdlgCat_Context ctx{Ident(), cat_.name, {}, {}};
      const std::uint32_t na = Count();
      for (std::uint32_t i = 0; ok_ && i < na; ++i) {
        IdlgCat_AObj a{Ident(), Ident(), static_cast<std::int32_t>(U32()), nullptr, {}};
        a.tmpl = TemplateRef();
        a.attrs = Attrs();
        ctx.aobjs.push_back(std::move(a));
      }
      const std::uint32_t nr = Count();
      for (std::uint32_t i = 0; ok_ && i < nr; ++i) ctx.robjs.push_back(RObj(0));
      cat_.contexts.push_back(std::move(ctx));
    }
  }

 private:
  // A count can never exceed the bytes left: guards against absurd allocations.
  std::uint32_t Count() {
    const std::uint32_t n = U32();
    if (n > b_.size() - pos_) return Bad();
    return n;
  }
  std::uint32_t Bad() {
    ok_ = false;
    pos_ = b_.size();
    return 0;
  }

  const std::string& b_;
  Catalogue& cat_;
  std::size_t pos_ = 0;
  bool ok_ = true;
  std::vector<const char*> ids_;
  std::map<const char*, const IdlgCat_Template*> seen_;
};

bool Loaded(const char* name) {
  for (const auto& c : Pool())
    if (c->name == name) return true;
  return false;
}

bool Load(const std::string& path, const char* name) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    Fail(6, "::UseContextCat: cannot read '" + path + "'");
    return false;
  }
  auto cat = std::make_unique<Catalogue>();
  cat->name = name;
  Reader r(bytes, *cat);
  const std::uint32_t magic = r.U32();
  const std::uint32_t version = r.U32();
  if (r.ok() && magic != IdlgCat_magic) {
    Fail(1, "::UseContextCat: '" + path + "'");
    return false;
  }
  if (r.ok() && version != IdlgCat_version) {
    Fail(2, "::UseContextCat: '" + path + "' has version " + std::to_string(version));
    return false;
  }
  r.Pool();
  r.Contexts();
  if (!r.ok()) {
    Fail(6, "::UseContextCat: '" + path + "'");
    return false;
  }
  Pool().push_front(std::move(cat));
  return true;
}

}  // namespace

void IdlgCat_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "IdlgCat");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  Catalog_Init();
  DirAcces_Init();
  SIdPool_Init();
}

const char* IdlgCat_Attr(const IdlgCat_Attrs& own, const IdlgCat_Template* tmpl,
                         std::string_view key) {
  for (const auto& [k, v] : own)
    if (key == k) return v;
  for (; tmpl != nullptr; tmpl = tmpl->base)
    for (const auto& [k, v] : tmpl->attrs)
      if (key == k) return v;
  return nullptr;
}

bool IdlgCat_UseContextCat(StrIn nameIn) {
  IdlgCat_error = 0;
  std::string name = nameIn.str();
  if (name.find('.') == std::string::npos) name += ".drf";
  const char* pooled = SIdPool_Put(name);
  if (Loaded(pooled)) return true;
  char lang[16];
  Catalog_GetLanguage(lang, "eng");
  for (const std::string& l : {StrIn(lang).str(), std::string("eng"), std::string("deu")}) {
    char path[1024];
    if (DirAcces_AccessSpecial(DirAcces_envPath, l + "/" + name, 0, path)) {
      return Load(StrIn(path).str(), pooled);
    }
  }
  Fail(3, "::UseContextCat: dialog catalogue '" + name + "'");
  return false;
}

bool IdlgCat_LoadFile(StrIn path) {
  IdlgCat_error = 0;
  std::string p = path.str();
  const char* name = SIdPool_Put(p.substr(p.rfind('/') + 1));
  if (Loaded(name)) return true;
  return Load(p, name);
}

const IdlgCat_Context* IdlgCat_Find(StrIn name) {
  const std::string_view n = name.view();
  for (const auto& cat : Pool())
    for (const auto& c : cat->contexts)
      if (n == c.name) return &c;
  return nullptr;
}

const IdlgCat_Context* IdlgCat_GetContext(StrIn name) {
  IdlgCat_error = 0;
  const IdlgCat_Context* c = IdlgCat_Find(name);
  if (c == nullptr) Fail(4, "::GetContext: '" + name.str() + "'");
  return c;
}

std::vector<const IdlgCat_Context*> IdlgCat_AllContexts() {
  std::vector<const IdlgCat_Context*> out;
  for (const auto& cat : Pool())
    for (const auto& c : cat->contexts) out.push_back(&c);
  return out;
}

std::vector<const char*> IdlgCat_Catalogues() {
  std::vector<const char*> out;
  for (const auto& cat : Pool()) out.push_back(cat->name);
  return out;
}
