#include "FuDigest.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "FuFile.hpp"
#include "UCommon.hpp"

namespace {

void PutText(const char* text, char* digest, std::size_t size) {
  if (size == 0) return;
  std::snprintf(digest, size, "%s", text);
}

// ---- MD5 (RFC 1321) ----

constexpr std::uint32_t kMD5Sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int kMD5Shifts[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

std::uint32_t Rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

struct MD5Context {
  std::uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  std::uint64_t length = 0;  // bytes so far
  unsigned char block[64];
  std::size_t filled = 0;

  void Transform(const unsigned char* p) {
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
      m[i] = static_cast<std::uint32_t>(p[i * 4]) | static_cast<std::uint32_t>(p[i * 4 + 1]) << 8 |
             static_cast<std::uint32_t>(p[i * 4 + 2]) << 16 |
             static_cast<std::uint32_t>(p[i * 4 + 3]) << 24;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t f;
      int g;
      if (i < 16) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (i < 32) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
      }
      const std::uint32_t next = d;
      d = c;
      c = b;
      b = b + Rotl(a + f + kMD5Sines[i] + m[g], kMD5Shifts[i]);
      a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
  }

  void Update(const unsigned char* p, std::size_t n) {
    length += n;
    while (n > 0) {
      const std::size_t take = std::min(n, sizeof block - filled);
      std::memcpy(block + filled, p, take);
      filled += take;
      p += take;
      n -= take;
      if (filled == sizeof block) {
        Transform(block);
        filled = 0;
      }
    }
  }
};

namespace {

// ---- CRC of the POSIX cksum utility ----

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t crc = i << 24;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    table[i] = crc;
  }
  return table;
}
constexpr auto kCrcTable = MakeCrcTable();

std::uint32_t CrcByte(std::uint32_t crc, unsigned char byte) {
  return (crc << 8) ^ kCrcTable[((crc >> 24) ^ byte) & 0xff];
}

}  // namespace

struct CRC32Context {
  std::uint32_t crc = 0;
  std::uint64_t length = 0;
};

struct SumContext {
  int kind = FuSumSysV;
  std::uint64_t total = 0;     // System V: the plain byte sum
  std::uint32_t rotating = 0;  // BSD: the 16-bit rotating sum
};

namespace {

// Feeds the file to update in pieces; -1 after reporting a file that cannot be read.
template <class Update>
int ReadFile(const char* path, const char* op, Update&& update) {
  FuClearError();
  const int fd = ::open(path, O_RDONLY);
  if (fd < 0) return FuFail(1, errno, op, path);
  std::vector<unsigned char> buf(1 << 16);
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      return FuFail(1, err, op, path);
    }
    if (n == 0) break;
    update(buf.data(), static_cast<std::size_t>(n));
  }
  ::close(fd);
  return 0;
}

}  // namespace

void FuDigest_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "FuDigest");
  if (!init) return;
  UCommon_Init();
  FuFile_Init();
}

MD5Context* MD5Create() { return new MD5Context; }

void MD5Update(MD5Context* ctx, const void* data, std::size_t n) {
  ctx->Update(static_cast<const unsigned char*>(data), n);
}

void MD5Final(MD5Context* ctx, char* digest, std::size_t size) {
  const std::uint64_t bits = ctx->length * 8;
  unsigned char pad[72] = {0x80};
  const std::size_t padLength = ctx->filled < 56 ? 56 - ctx->filled : 120 - ctx->filled;
  for (int i = 0; i < 8; ++i) pad[padLength + i] = static_cast<unsigned char>(bits >> (8 * i));
  ctx->Update(pad, padLength + 8);
  char text[33];
  for (int i = 0; i < 16; ++i) {
    std::snprintf(text + 2 * i, 3, "%02x",
                  static_cast<unsigned>((ctx->state[i / 4] >> (8 * (i % 4))) & 0xff));
  }
  delete ctx;
  PutText(text, digest, size);
}

CRC32Context* CRC32Create() { return new CRC32Context; }

void CRC32Update(CRC32Context* ctx, const void* data, std::size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint32_t crc = ctx->crc;
  for (std::size_t i = 0; i < n; ++i) crc = CrcByte(crc, p[i]);
  ctx->crc = crc;
  ctx->length += n;
}

void CRC32Final(CRC32Context* ctx, char* digest, std::size_t size) {
  // The length follows the data, least significant byte first, as few bytes as it needs.
  std::uint32_t crc = ctx->crc;
  for (std::uint64_t len = ctx->length; len != 0; len >>= 8) {
    crc = CrcByte(crc, static_cast<unsigned char>(len & 0xff));
  }
  delete ctx;
  char text[16];
  std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(~crc));
  PutText(text, digest, size);
}

SumContext* SumCreate(int kind) {
  auto* ctx = new SumContext;
  ctx->kind = kind == FuSumBSD ? FuSumBSD : FuSumSysV;
  return ctx;
}

void SumUpdate(SumContext* ctx, const void* data, std::size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  if (ctx->kind == FuSumBSD) {
    std::uint32_t sum = ctx->rotating;
    for (std::size_t i = 0; i < n; ++i) {
      sum = (sum >> 1) + ((sum & 1) << 15);
      sum = (sum + p[i]) & 0xffff;
    }
    ctx->rotating = sum;
  } else {
    std::uint64_t total = ctx->total;
    for (std::size_t i = 0; i < n; ++i) total += p[i];
    ctx->total = total;
  }
}

void SumFinal(SumContext* ctx, char* digest, std::size_t size) {
  char text[16];
  if (ctx->kind == FuSumBSD) {
    std::snprintf(text, sizeof text, "%05u", static_cast<unsigned>(ctx->rotating));
  } else {
    // The byte sum folded to 16 bits, the carries added back in.
    const std::uint32_t s = static_cast<std::uint32_t>(ctx->total);
    std::uint32_t r = (s & 0xffff) + (s >> 16);
    r = (r & 0xffff) + (r >> 16);
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(r));
  }
  delete ctx;
  PutText(text, digest, size);
}

int FuMD5(const char* path, char* digest, std::size_t size) {
  MD5Context* ctx = MD5Create();
  if (ReadFile(path, "FuMD5",
               [ctx](const unsigned char* p, std::size_t n) { MD5Update(ctx, p, n); }) != 0) {
    delete ctx;
    PutText("", digest, size);
    return -1;
  }
  MD5Final(ctx, digest, size);
  return 0;
}

int FuCRC32(const char* path, char* digest, std::size_t size) {
  CRC32Context* ctx = CRC32Create();
  if (ReadFile(path, "FuCRC32",
               [ctx](const unsigned char* p, std::size_t n) { CRC32Update(ctx, p, n); }) != 0) {
    delete ctx;
    PutText("", digest, size);
    return -1;
  }
  CRC32Final(ctx, digest, size);
  return 0;
}

int FuSum(const char* path, int kind, char* digest, std::size_t size) {
  SumContext* ctx = SumCreate(kind);
  if (ReadFile(path, "FuSum",
               [ctx](const unsigned char* p, std::size_t n) { SumUpdate(ctx, p, n); }) != 0) {
    delete ctx;
    PutText("", digest, size);
    return -1;
  }
  SumFinal(ctx, digest, size);
  return 0;
}
