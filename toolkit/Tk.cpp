#include "Tk.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "UCommon.hpp"

namespace {
Tk_Backend* backend = nullptr;
Tk_NotifyProc notify = nullptr;
}  // namespace

void Tk_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Tk");
  if (!init) return;
  UCommon_Init();
}

void Tk_SetBackend(Tk_Backend* b) { backend = b; }
Tk_Backend* Tk_Current() { return backend; }
bool Tk_DisplayOpen() { return backend != nullptr; }

void Tk_SetNotify(Tk_NotifyProc proc) { notify = proc; }

void Tk_Notify(Tk_Widget widget, void* client, const Tk_Change& change) {
  if (notify != nullptr) notify(widget, client, change);
}

bool Tk_Backend::Snapshot(Tk_Widget, const std::string&, std::string& why) {
  why = "this display takes no pictures";
  return false;
}

namespace {

std::uint32_t Crc32(const std::uint8_t* p, std::size_t n, std::uint32_t crc = 0) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (std::size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void Put32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}

void Chunk(std::string& out, const char* type, const std::string& data) {
  Put32(out, static_cast<std::uint32_t>(data.size()));
  const std::string body = type + data;
  out += body;
  Put32(out, Crc32(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
}

// A PNG whose image data is a zlib stream of uncompressed blocks: no compression library
// is needed, and window pictures are small enough for that.
std::string Png(int width, int height, const std::vector<std::uint8_t>& rgb) {
  std::string raw;
  const auto row = static_cast<std::size_t>(width) * 3;
  raw.reserve((row + 1) * static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) {
    raw.push_back('\0');  // no filter
    raw.append(reinterpret_cast<const char*>(rgb.data()) + row * static_cast<std::size_t>(y), row);
  }
  std::string z = "\x78\x01";
  std::uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  std::size_t at = 0;
  do {
    const std::size_t n = std::min<std::size_t>(raw.size() - at, 65535);
    z.push_back(at + n == raw.size() ? '\1' : '\0');
    z.push_back(static_cast<char>(n & 0xFF));
    z.push_back(static_cast<char>(n >> 8));
    z.push_back(static_cast<char>(~n & 0xFF));
    z.push_back(static_cast<char>((~n >> 8) & 0xFF));
    z.append(raw, at, n);
    at += n;
  } while (at < raw.size());
  Put32(z, (b << 16) | a);
  std::string out = "\x89PNG\r\n\x1a\n";
  std::string head;
  Put32(head, static_cast<std::uint32_t>(width));
  Put32(head, static_cast<std::uint32_t>(height));
  head += std::string("\x08\x02\0\0\0", 5);  // 8 bits, truecolour, no interlace
  Chunk(out, "IHDR", head);
  Chunk(out, "IDAT", z);
  Chunk(out, "IEND", "");
  return out;
}

}  // namespace

bool Tk_WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& why) {
  const std::string temp = path + ".tmp" + std::to_string(getpid());
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) {
    why = "cannot write " + temp + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int err = errno;
  if (std::fclose(f) != 0 || !written || std::rename(temp.c_str(), path.c_str()) != 0) {
    why = "cannot write " + path + ": " + std::strerror(written ? errno : err);
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

bool Tk_WritePicture(const std::string& path, int width, int height,
                     const std::vector<std::uint8_t>& rgb, std::string& why) {
  if (width <= 0 || height <= 0 ||
      rgb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3) {
    why = "no picture to write";
    return false;
  }
  const bool ppm = path.size() >= 4 && path.compare(path.size() - 4, 4, ".ppm") == 0;
  if (!ppm) return Tk_WriteFileAtomically(path, Png(width, height, rgb), why);
  std::string out = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  out.append(reinterpret_cast<const char*>(rgb.data()), rgb.size());
  return Tk_WriteFileAtomically(path, out, why);
}

bool Tk_ClickLine(std::vector<Tk_Line>& lines, int line, Tk_Select mode, bool twice) {
  if (line < 0 || static_cast<std::size_t>(line) >= lines.size()) return false;
  const auto at = static_cast<std::size_t>(line);
  if (mode == Tk_selectSingle) {
    for (auto& l : lines) l.selected = false;
    lines[at].selected = true;
  } else {
    lines[at].selected = twice || !lines[at].selected;
  }
  return true;
}

bool Tk_ApplyAttr(Tk_Attrs& a, Tk_Kind kind, int attribute, const void* bytes, std::size_t size) {
  if (attribute == Tk_attrLabel) {
    if (kind == Tk_Kind::list || kind == Tk_Kind::box) return false;
    a.label.assign(static_cast<const char*>(bytes), strnlen(static_cast<const char*>(bytes), size));
    return true;
  }
  std::int32_t n;
  if (size != sizeof n) return false;
  std::memcpy(&n, bytes, sizeof n);
  if (n < 0) return false;
  switch (attribute) {
    case Tk_attrColumns:
      a.columns = n;
      return true;
    case Tk_attrRows:
      a.rows = n;
      return true;
    case Tk_attrSelect:
      if (kind != Tk_Kind::list || n > Tk_selectSingle) return false;
      a.select = static_cast<Tk_Select>(n);
      return true;
    case Tk_attrOrient:
      if (kind != Tk_Kind::box || n > Tk_orientHorizontal) return false;
      a.orient = static_cast<Tk_Orient>(n);
      return true;
    case Tk_attrHidden:
      if (kind == Tk_Kind::shell || n > 1) return false;
      a.hidden = n == 1;
      return true;
    case Tk_attrDestructive:
      if (kind != Tk_Kind::button || n > 1) return false;
      a.destructive = n == 1;
      return true;
    default:
      return false;
  }
}
