#include "Path.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "DirAcces.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

namespace {

int Put(const std::string& text, char* result, std::size_t size) {
  if (size == 0) return -1;
  const std::size_t n = std::min(text.size(), size - 1);
  std::memcpy(result, text.data(), n);
  result[n] = '\0';
  return n == text.size() ? 0 : -1;
}

std::string WithoutTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

}  // namespace

void Path_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Path");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  DirAcces_Init();
}

int Basename(const char* path, char* result, std::size_t size) {
  const std::string p = WithoutTrailingSlashes(path);
  const std::size_t slash = p.rfind('/');
  if (slash == std::string::npos || p == "/") return Put(p, result, size);
  return Put(p.substr(slash + 1), result, size);
}

int Dirname(const char* path, char* result, std::size_t size) {
  const std::string p = WithoutTrailingSlashes(path);
  const std::size_t slash = p.rfind('/');
  if (slash == std::string::npos) return Put(".", result, size);
  if (p == "/") return Put("/", result, size);
  return Put(WithoutTrailingSlashes(slash == 0 ? "/" : p.substr(0, slash)), result, size);
}

int PathHead(const char* path, char* result, std::size_t size) {
  // Long enough for any head, so that a cut shows as -1 below.
  std::string head(std::strlen(path) + 1, '\0');
  DirAcces_GetPathHead(StrIn::FromC(path), StrOut(head.data(), head.size() - 1));
  head.resize(std::strlen(head.c_str()));
  return Put(head, result, size);
}

int Cwd(char* result, std::size_t size) {
  char dir[4096];
  DirAcces_CurrentDir(dir);
  return Put(dir, result, size);
}

int TrueName(const char* path, char* result, std::size_t size) {
  char* real = ::realpath(path, nullptr);
  if (real == nullptr) {
    Put("", result, size);
    return -1;
  }
  const int rc = Put(real, result, size);
  std::free(real);
  return rc;
}
