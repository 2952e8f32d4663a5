// bksums: the content checksums of an archive stream, for bkArchiv.sh.
//
//   bksums [-a ALGORITHM] [-o SUMFILE] tar|cpio
//   bksums -l [-n NAMEFILE] tar|cpio
//   bksums -g [-w WANTEDFILE] tar|cpio
//
// Reads an uncompressed tar (ustar or GNU) or cpio (odc) stream on standard input to its
// end and writes "<checksum in hex>  <name>" for every regular member, the form in which
// xxh128sum and sha256sum write theirs, so that either can check a restored tree against
// the lines. ALGORITHM is "xxh128" (the default: XXH3 with 128 bits, fast enough to keep
// up with the archiver on one core) or "sha256". With -o the stream passes to standard
// output unchanged and the lines are appended to SUMFILE, so that the data path needs no
// tee beside it. Exit status 1 when the stream cannot be read or passed on or the sums
// cannot be written; 2 for a wrong command line.
//
// With -l the symbolic links of the stream are named instead, each ended by a NUL; with -n
// the names of all its members go to NAMEFILE the same way. A regular file on standard
// input is read by its headers only, seeking over the members.
//
// With -g the stream passes to standard output, on its way from the medium (or the
// decompressor) to the archiver, without the members that must not be restored: those
// not named in WANTEDFILE (NUL-ended names), those with an absolute name or a ".." in it,
// those below a symbolic link that an earlier member of the stream plants, through which
// the archiver would write outside the base directory, and tar's hard links to members
// not restored in the same pass. Each wanted member left out is named on standard error
// as "not restored: NAME (why)". The stream is read once, so a compressed data file needs
// no second decompression, and the archiver extracts what passes without matching names.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <variant>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "Processe.hpp"
#include "UArgs.hpp"

extern char** environ;

namespace {

[[noreturn]] void Exit(int status) {
  Processe_SetExitStatus(status);
  Processe_Exit();
}

constexpr std::array<std::uint32_t, 64> kK = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

using State = std::array<std::uint32_t, 8>;

void CompressPortable(State& h, const unsigned char* p, std::size_t blocks) {
  using std::rotr;
  for (; blocks > 0; --blocks, p += 64) {
    std::uint32_t w[64];
    for (int t = 0; t < 16; ++t) {
      w[t] = std::uint32_t(p[4 * t]) << 24 | std::uint32_t(p[4 * t + 1]) << 16 |
             std::uint32_t(p[4 * t + 2]) << 8 | p[4 * t + 3];
    }
    for (int t = 16; t < 64; ++t) {
      const std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    auto [a, b, c, d, e, f, g, hh] = h;
    for (int t = 0; t < 64; ++t) {
      const std::uint32_t t1 =
          hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[t] + w[t];
      const std::uint32_t t2 =
          (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    const State add = {a, b, c, d, e, f, g, hh};
    for (int i = 0; i < 8; ++i) h[i] += add[i];
  }
}

#if defined(__x86_64__)
// The same rounds with the processor's SHA instructions, several times faster: the sums
// must not slow the data path below the speed of the archiver itself.
__attribute__((target("sha,sse4.1"))) void CompressNi(State& h, const unsigned char* p,
                                                      std::size_t blocks) {
  const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[0])), 0xB1);
  __m128i s1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[4])), 0x1B);
  __m128i s0 = _mm_alignr_epi8(tmp, s1, 8);  // ABEF
  s1 = _mm_blend_epi16(s1, tmp, 0xF0);       // CDGH
  for (; blocks > 0; --blocks, p += 64) {
    const __m128i save0 = s0, save1 = s1;
    __m128i m[4];
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      if (g < 4) {
        m[g] =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)), swap);
      } else {
        const __m128i x = _mm_add_epi32(_mm_sha256msg1_epu32(m[g & 3], m[(g + 1) & 3]),
                                        _mm_alignr_epi8(m[(g + 3) & 3], m[(g + 2) & 3], 4));
        m[g & 3] = _mm_sha256msg2_epu32(x, m[(g + 3) & 3]);
      }
      __m128i k =
          _mm_add_epi32(m[g & 3], _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kK[4 * g])));
      s1 = _mm_sha256rnds2_epu32(s1, s0, k);
      k = _mm_shuffle_epi32(k, 0x0E);
      s0 = _mm_sha256rnds2_epu32(s0, s1, k);
    }
    s0 = _mm_add_epi32(s0, save0);
    s1 = _mm_add_epi32(s1, save1);
  }
  tmp = _mm_shuffle_epi32(s0, 0x1B);  // FEBA
  s1 = _mm_shuffle_epi32(s1, 0xB1);   // DCHG
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[0]), _mm_blend_epi16(tmp, s1, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[4]), _mm_alignr_epi8(s1, tmp, 8));
}
#endif

using CompressFn = void (*)(State&, const unsigned char*, std::size_t);

// BKSUMS_PORTABLE in the environment keeps to the portable rounds (for their test).
CompressFn ChooseCompress() {
#if defined(__x86_64__)
  if (std::getenv("BKSUMS_PORTABLE") == nullptr && __builtin_cpu_supports("sha") &&
      __builtin_cpu_supports("sse4.1")) {
    return CompressNi;
  }
#endif
  return CompressPortable;
}

class Sha256 {
 public:
  explicit Sha256(CompressFn compress) : compress_(compress) {}
  void Update(const unsigned char* p, std::size_t n) {
    length_ += n;
    if (fill_ > 0) {
      const std::size_t k = std::min(n, 64 - fill_);
      std::memcpy(block_ + fill_, p, k);
      fill_ += k, p += k, n -= k;
      if (fill_ < 64) return;
      compress_(h_, block_, 1);
      fill_ = 0;
    }
    compress_(h_, p, n / 64);
    std::memcpy(block_, p + n / 64 * 64, n % 64);
    fill_ = n % 64;
  }
  std::string HexDigest() {
    const std::uint64_t bits = length_ * 8;
    const unsigned char one = 0x80, zero = 0;
    Update(&one, 1);
    while (fill_ != 56) Update(&zero, 1);
    unsigned char len[8];
    for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    Update(len, 8);
    std::string hex;
    for (const std::uint32_t v : h_) {
      char word[9];
      std::snprintf(word, sizeof word, "%08x", v);
      hex += word;
    }
    *this = Sha256(compress_);
    return hex;
  }

 private:
  CompressFn compress_;
  State h_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  unsigned char block_[64] = {};
  std::size_t fill_ = 0;
  std::uint64_t length_ = 0;
};

// XXH3 with 128 bits, written big-endian in hex as xxh128sum writes it.
class Xxh128 {
 public:
  Xxh128() : state_(XXH3_createState()) {
    if (!state_) throw std::bad_alloc();
    XXH3_128bits_reset(state_.get());
  }
  void Update(const unsigned char* p, std::size_t n) { XXH3_128bits_update(state_.get(), p, n); }
  std::string HexDigest() {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_.get()));
    XXH3_128bits_reset(state_.get());
    std::string hex;
    for (const unsigned char byte : canonical.digest) {
      char pair[3];
      std::snprintf(pair, sizeof pair, "%02x", byte);
      hex += pair;
    }
    return hex;
  }

 private:
  struct Free {
    void operator()(XXH3_state_t* s) const { XXH3_freeState(s); }
  };
  std::unique_ptr<XXH3_state_t, Free> state_;
};

enum class Algorithm { Xxh128, Sha256 };

// The checksum of one member by the algorithm the site chose.
class Digest {
 public:
  explicit Digest(Algorithm algorithm) : impl_(Make(algorithm)) {}
  void Update(const unsigned char* p, std::size_t n) {
    std::visit([p, n](auto& d) { d.Update(p, n); }, impl_);
  }
  std::string HexDigest() {
    return std::visit([](auto& d) { return d.HexDigest(); }, impl_);
  }

 private:
  static std::variant<Sha256, Xxh128> Make(Algorithm algorithm) {
    static const CompressFn compress = ChooseCompress();
    if (algorithm == Algorithm::Sha256) return Sha256(compress);
    return Xxh128();
  }
  std::variant<Sha256, Xxh128> impl_;
};

// The octal number of a header field; tar's base-256 form for large sizes too.
std::uint64_t Number(std::string_view f) {
  std::uint64_t v = 0;
  if (!f.empty() && (static_cast<unsigned char>(f[0]) & 0x80) != 0) {
    for (std::size_t i = 0; i < f.size(); ++i) {
      v = v << 8 | static_cast<unsigned char>(i == 0 ? f[0] & 0x7f : f[i]);
    }
    return v;
  }
  std::size_t i = 0;
  while (i < f.size() && f[i] == ' ') ++i;
  for (; i < f.size() && f[i] >= '0' && f[i] <= '7'; ++i) v = v * 8 + (f[i] - '0');
  return v;
}

std::string_view UpToNul(std::string_view f) { return f.substr(0, f.find('\0')); }

// The name in a tar header of 512 bytes: a POSIX header puts its prefix in front (a GNU
// header, magic "ustar  ", uses those bytes otherwise).
std::string TarHeaderName(std::string_view h) {
  std::string name(UpToNul(h.substr(0, 100)));
  const std::string_view prefix = UpToNul(h.substr(345, 155));
  if (!prefix.empty() && h.substr(257, 6) == std::string_view("ustar\0", 6)) {
    name = std::string(prefix) + "/" + name;
  }
  return name;
}

// Follows the members of the stream through blocks of any size.
class Reader {
 public:
  // links: name the symbolic links (NUL-ended) instead of handing on the regular members.
  Reader(bool tar, bool links) : tar_(tar), links_(links) { Expect(Phase::Header, tar ? 512 : 76); }

  void Feed(const unsigned char* p, std::size_t n) {
    for (;;) {
      if (phase_ == Phase::Done) return;
      if (phase_ == Phase::Data || phase_ == Phase::Skip) {
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(left_, n));
        if (phase_ == Phase::Data && sink_ != nullptr) sink_->Data(p, k);
        p += k, n -= k, left_ -= k;
        if (left_ > 0) return;
        if (phase_ == Phase::Data) {
          Emit();
          Skip(pad_);
        } else {
          Expect(Phase::Header, tar_ ? 512 : 76);
        }
        continue;
      }
      const std::size_t k = std::min(need_ - acc_.size(), n);
      acc_.append(reinterpret_cast<const char*>(p), k);
      p += k, n -= k;
      if (acc_.size() < need_) return;
      if (tar_) {
        TarPiece();
      } else {
        CpioPiece();
      }
    }
  }
  // End of the stream: a member cut short still gets the sum of what came.
  void Finish() {
    if (phase_ == Phase::Data) Emit();
    phase_ = Phase::Done;
  }
  std::string& Lines() { return lines_; }
  bool Done() const { return phase_ == Phase::Done; }
  // Where the data of the regular members goes (the sums); without one they are skipped.
  struct Sink {
    virtual void Begin(const std::string& name) = 0;
    virtual void Data(const unsigned char* p, std::size_t n) = 0;
    virtual void End() = 0;
  };
  void SendTo(Sink* sink) { sink_ = sink; }
  // Bytes that complete the piece of header or name being read (0 while in member data).
  std::size_t Wanted() const {
    return phase_ == Phase::Header || phase_ == Phase::Name || phase_ == Phase::LongName
               ? need_ - acc_.size()
               : 0;
  }
  // The rest of a member that is not looked at: the caller moves past it in the input
  // itself (a file, by seeking) and the reader goes on at the next header.
  std::uint64_t SkipAhead() {
    if (phase_ != Phase::Skip || left_ == 0) return 0;
    const std::uint64_t n = left_;
    Expect(Phase::Header, tar_ ? 512 : 76);
    return n;
  }
  // Every member's name, NUL-ended, in the order of the stream.
  const std::string& Names() const { return names_; }

 private:
  enum class Phase { Header, Name, LongName, Data, Skip, Done };

  void Expect(Phase phase, std::size_t n) { phase_ = phase, need_ = n, acc_.clear(); }
  void Skip(std::uint64_t n) { phase_ = Phase::Skip, left_ = n; }
  void Emit() {
    if (sink_ != nullptr) sink_->End();
  }

  void TarPiece() {
    if (phase_ == Phase::LongName) {
      longName_ = UpToNul(acc_);
      haveLong_ = true;
      Skip(pad_);
      return;
    }
    const std::string_view h = acc_;
    if (h.find_first_not_of('\0') == std::string_view::npos) {
      phase_ = Phase::Done;
      return;
    }
    const std::uint64_t size = Number(h.substr(124, 12));
    const char type = h[156];
    pad_ = (512 - size % 512) % 512;
    if (type == 'L') {
      Expect(Phase::LongName, static_cast<std::size_t>(size));
      return;
    }
    name_ = TarHeaderName(h);
    if (haveLong_) name_ = longName_;
    haveLong_ = false;
    names_ += name_ + '\0';
    if (links_) {
      if (type == '2') lines_ += name_ + '\0';
      Skip(size + pad_);
    } else if (type == '0' || type == '\0') {
      phase_ = Phase::Data, left_ = size;
      if (sink_ != nullptr) sink_->Begin(name_);
    } else {
      Skip(size + pad_);
    }
  }

  void CpioPiece() {
    if (phase_ == Phase::Name) {
      name_ = acc_;
      if (!name_.empty() && name_.back() == '\0') name_.pop_back();
      if (name_ == "TRAILER!!!") {
        phase_ = Phase::Done;
        return;
      }
      names_ += name_ + '\0';
      if (links_) {
        if ((mode_ & 0170000) == 0120000) lines_ += name_ + '\0';
        Skip(size_);
      } else if ((mode_ & 0170000) == 0100000) {
        phase_ = Phase::Data, left_ = size_, pad_ = 0;
        if (sink_ != nullptr) sink_->Begin(name_);
      } else {
        Skip(size_);
      }
      return;
    }
    const std::string_view h = acc_;
    if (h.substr(0, 6) != "070707") {
      phase_ = Phase::Done;
      return;
    }
    mode_ = Number(h.substr(18, 6));
    size_ = Number(h.substr(65, 11));
    Expect(Phase::Name, static_cast<std::size_t>(Number(h.substr(59, 6))));
  }

  bool tar_;
  bool links_;
  Sink* sink_ = nullptr;
  Phase phase_ = Phase::Header;
  std::size_t need_ = 0;
  std::string acc_;
  std::uint64_t left_ = 0, pad_ = 0, mode_ = 0, size_ = 0;
  std::string name_, longName_;
  bool haveLong_ = false;
  std::string lines_;
  std::string names_;
};

bool WriteAll(int fd, const unsigned char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w, n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Reads the archive's headers only, seeking over the members (input a regular file).
bool ReadHeadersOnly(Reader& reader, std::vector<unsigned char>& buf) {
  while (!reader.Done()) {
    const std::size_t want = std::clamp<std::size_t>(reader.Wanted(), 1, buf.size());
    const ssize_t n = ::read(0, buf.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    reader.Feed(buf.data(), static_cast<std::size_t>(n));
    const std::uint64_t skip = reader.SkipAhead();
    if (skip > 0 && ::lseek(0, static_cast<off_t>(skip), SEEK_CUR) < 0) return false;
  }
  return true;
}

// Takes the sums of the members on worker threads, so that hashing (SHA-256 costs about as
// much as archiving) runs on the other processors instead of holding up the stream. The
// stream is read into blocks that the workers share; a member's data are pieces of blocks,
// handed to a worker in batches, so that a member of any size needs bounded memory.
class ParallelSums : public Reader::Sink {
 public:
  using Block = std::vector<unsigned char>;

  explicit ParallelSums(Algorithm algorithm) : algorithm_(algorithm) {
    const unsigned n = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    for (unsigned i = 0; i < n; ++i) workers_.emplace_back([this] { Work(); });
  }
  ~ParallelSums() { Stop(); }

  // A block to read into: a recycled one when the workers are done with it. Waits while
  // too much of the stream is still to be hashed, so that memory stays bounded.
  std::shared_ptr<Block> NewBlock(std::size_t size) {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return pending_ < kMaxPending; });
    Block* b = nullptr;
    if (free_.empty()) {
      b = new Block(size);
    } else {
      b = free_.back().release();
      free_.pop_back();
    }
    return std::shared_ptr<Block>(b, [this](Block* done) {
      std::lock_guard relock(mutex_);
      free_.emplace_back(done);
    });
  }
  // The block whose bytes the reader is fed next.
  void Reading(const std::shared_ptr<Block>& block) { block_ = block; }

  void Begin(const std::string& name) override {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::make_unique<Job>(name, algorithm_));
    job_ = jobs_.back().get();
  }
  void Data(const unsigned char* p, std::size_t n) override {
    if (n == 0) return;
    std::lock_guard lock(mutex_);
    job_->pieces.push_back({block_, static_cast<std::size_t>(p - block_->data()), n});
    job_->waiting += n;
    pending_ += n;
    if (job_->waiting >= kBatch) Offer(job_);
  }
  void End() override {
    std::lock_guard lock(mutex_);
    job_->ended = true;
    Offer(job_);
  }

  // The sum lines in the order of the stream, once every member is hashed.
  std::string Lines() {
    Stop();
    std::string lines;
    for (const auto& job : jobs_) lines += job->sum + "  " + job->name + "\n";
    return lines;
  }

 private:
  static constexpr std::uint64_t kMaxPending = 64u << 20, kBatch = 4u << 20;
  struct Piece {
    std::shared_ptr<Block> block;
    std::size_t offset, size;
  };
  struct Job {
    Job(const std::string& n, Algorithm algorithm) : name(n), digest(algorithm) {}
    std::string name;
    Digest digest;
    std::vector<Piece> pieces;  // not hashed yet
    std::uint64_t waiting = 0;  // their bytes
    bool ended = false, queued = false, busy = false;
    std::string sum;
  };

  // Queues a job unless a worker has it already (that worker takes the new pieces too).
  void Offer(Job* job) {
    if (job->queued || job->busy) return;
    job->queued = true;
    queue_.push_back(job);
    ready_.notify_one();
  }

  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      ready_.notify_all();
    }
    for (std::thread& t : workers_) t.join();
    workers_.clear();
  }

  void Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ready_.wait(lock, [this] { return !queue_.empty() || stopping_; });
      if (queue_.empty()) return;
      Job* job = queue_.front();
      queue_.pop_front();
      job->queued = false;
      job->busy = true;
      while (!job->pieces.empty()) {
        std::vector<Piece> batch;
        batch.swap(job->pieces);
        const std::uint64_t bytes = job->waiting;
        job->waiting = 0;
        lock.unlock();
        for (const Piece& piece : batch)
          job->digest.Update(piece.block->data() + piece.offset, piece.size);
        batch.clear();  // the blocks go back to the pool
        lock.lock();
        pending_ -= bytes;
        idle_.notify_one();
      }
      if (job->ended) job->sum = job->digest.HexDigest();
      job->busy = false;
    }
  }

  Algorithm algorithm_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable ready_, idle_;
  std::deque<Job*> queue_;
  std::vector<std::unique_ptr<Job>> jobs_;
  std::vector<std::unique_ptr<Block>> free_;
  std::uint64_t pending_ = 0;
  bool stopping_ = false;
  std::shared_ptr<Block> block_;
  Job* job_ = nullptr;
};

// Writes through a buffer of its own: the members kept are copied piece by piece.
class Output {
 public:
  explicit Output(std::size_t size) : buf_(size) {}
  bool Put(const unsigned char* p, std::size_t n) {
    if (used_ + n > buf_.size() && !Flush()) return false;
    if (n >= buf_.size()) return WriteAll(1, p, n);
    std::memcpy(buf_.data() + used_, p, n);
    used_ += n;
    return true;
  }
  bool Put(std::string_view s) {
    return Put(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  }
  bool Flush() {
    const bool ok = WriteAll(1, buf_.data(), used_);
    used_ = 0;
    return ok;
  }

 private:
  std::vector<unsigned char> buf_;
  std::size_t used_ = 0;
};

// Why a member must not be restored, or empty. links: the symbolic links planted so far.
std::string Refusal(std::string_view name, const std::unordered_set<std::string>& links) {
  if (!name.empty() && name[0] == '/') return "an absolute name";
  for (std::size_t at = 0; at <= name.size();) {
    const std::size_t end = std::min(name.find('/', at), name.size());
    if (name.substr(at, end - at) == "..") return "a name with '..'";
    at = end + 1;
  }
  for (std::size_t slash = name.find('/'); slash != std::string_view::npos;
       slash = name.find('/', slash + 1)) {
    const std::string above(name.substr(0, slash));
    if (links.count(above) != 0) return "below the symbolic link " + above;
  }
  return {};
}

std::string_view Plain(std::string_view name) {
  while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
  while (name.substr(0, 2) == "./") name.remove_prefix(2);
  return name;
}

// The -g mode: the stream on standard input to standard output without the members that
// must not be restored. A member goes whole or not at all: a tar member together with
// the long names and extended headers in front of it.
class Guard {
 public:
  // wanted: null for every member.
  Guard(bool tar, const std::unordered_set<std::string>* wanted)
      : tar_(tar), wanted_(wanted), out_(kBlock) {
    Expect(Phase::Header, tar ? 512 : kCpioHeader);
  }

  // Returns 1 when the stream could not be passed on, was damaged or cut short, else 0.
  int Run() {
    ::fcntl(0, F_SETPIPE_SZ, static_cast<int>(kBlock));
    ::fcntl(1, F_SETPIPE_SZ, static_cast<int>(kBlock));
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<unsigned char> in(kBlock);
    while (!failed_) {
      const ssize_t got = ::read(0, in.data(), in.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        std::fprintf(stderr, "bksums: cannot read the archive stream: %s\n", std::strerror(errno));
        return 1;
      }
      if (got == 0) break;
      Feed(in.data(), static_cast<std::size_t>(got));
    }
    if (failed_ || (!closed_ && !out_.Flush() && phase_ != Phase::Rest)) {
      std::fprintf(stderr, "bksums: cannot pass the archive stream on: %s\n", std::strerror(errno));
      return 1;
    }
    if (damaged_) return 1;
    // Ending between two members is left to the archiver to judge; inside one, part of
    // the member may have gone on and the archiver would take what came for all of it.
    const bool between = phase_ == Phase::Header && acc_.empty() && pending_.empty();
    if (phase_ != Phase::Rest && !between) {
      std::fprintf(stderr, "bksums: the %s stream is cut short; the rest is not restored\n",
                   Format());
      return 1;
    }
    return 0;
  }

 private:
  static constexpr std::size_t kBlock = 1 << 20, kCpioHeader = 76;
  // Long names and extended headers larger than this are taken for damage.
  static constexpr std::uint64_t kMaxExtended = 16u << 20;
  enum class Phase { Header, Name, Extended, Sparse, Keep, Drop, Rest };

  const char* Format() const { return tar_ ? "tar" : "cpio"; }
  bool Collecting() const {
    return phase_ == Phase::Header || phase_ == Phase::Name || phase_ == Phase::Extended ||
           phase_ == Phase::Sparse;
  }
  void Expect(Phase phase, std::size_t n) { phase_ = phase, need_ = n, acc_.clear(); }
  void Member(Phase phase, std::uint64_t left) {
    if (left == 0) return Expect(Phase::Header, tar_ ? 512 : kCpioHeader);
    phase_ = phase, left_ = left;
  }
  void Put(std::string_view s) {
    if (!out_.Put(s)) failed_ = true;
  }

  void Feed(const unsigned char* p, std::size_t n) {
    while (n > 0 && !failed_) {
      if (Collecting()) {
        const std::size_t k = std::min(need_ - acc_.size(), n);
        acc_.append(reinterpret_cast<const char*>(p), k);
        p += k, n -= k;
        while (Collecting() && acc_.size() == need_ && !failed_) {
          if (tar_) {
            TarPiece();
          } else {
            CpioPiece();
          }
        }
        continue;
      }
      const std::size_t k =
          phase_ == Phase::Rest ? n : static_cast<std::size_t>(std::min<std::uint64_t>(left_, n));
      if (phase_ == Phase::Keep && !out_.Put(p, k)) failed_ = true;
      // The archiver may stop reading at the end of the archive: what follows is passed
      // on while it is taken, and read to its end anyway so the decompressor or the tape
      // finishes. Behind a tar's end only zeros go on: the archiver never sees a member
      // that was not looked at here.
      if (phase_ == Phase::Rest && !closed_ && !(tar_ ? PutZeros(k) : out_.Put(p, k))) {
        closed_ = true;
      }
      p += k, n -= k;
      if (phase_ == Phase::Rest) continue;
      left_ -= k;
      if (left_ == 0) Expect(Phase::Header, tar_ ? 512 : kCpioHeader);
    }
  }

  bool PutZeros(std::size_t n) {
    static const unsigned char zeros[4096] = {};
    for (std::size_t k; n > 0; n -= k) {
      k = std::min(n, sizeof zeros);
      if (!out_.Put(zeros, k)) return false;
    }
    return true;
  }

  // Past a damaged header the archiver would look for the next member itself, one that
  // was never examined here: what went on so far ends the archiver's stream.
  void Damaged() {
    std::fprintf(stderr, "bksums: the %s stream is damaged; the rest is not restored\n", Format());
    out_.Flush();
    ::close(1);
    damaged_ = closed_ = true;
    phase_ = Phase::Rest;
  }

  // The member is passed on (with what stands in front of it) or dropped, and reported
  // when it was wanted. link: a hard link's target, else null.
  void Decide(std::string_view name, bool symlink, const std::string_view* link,
              std::uint64_t data) {
    const std::string_view plain = Plain(name);
    const bool want = wanted_ == nullptr || wanted_->count(std::string(plain)) != 0;
    std::string why = Refusal(plain, links_);
    if (symlink) links_.emplace(plain);
    if (link != nullptr && why.empty() && kept_.count(std::string(Plain(*link))) == 0) {
      // The archiver would link to whatever stands at that name, perhaps through a link
      // on the disk to a file outside.
      why = "a hard link to " + std::string(Plain(*link)) + ", which is not restored";
    }
    if (want && why.empty()) {
      Put(pending_);
      Put(acc_);
      if (tar_) kept_.emplace(plain);
      Member(Phase::Keep, data);
    } else {
      if (want) {
        std::fprintf(stderr, "not restored: %.*s (%s)\n", static_cast<int>(name.size()),
                     name.data(), why.c_str());
      }
      Member(Phase::Drop, data);
    }
    pending_.clear();
    longName_.reset(), longLink_.reset(), paxPath_.reset(), paxLink_.reset(), paxSize_.reset();
  }

  void CpioPiece() {
    const std::string_view h = acc_;
    if (phase_ == Phase::Header) {
      if (h.substr(0, 6) != "070707") return Damaged();
      mode_ = Number(h.substr(18, 6));
      size_ = Number(h.substr(65, 11));
      need_ = kCpioHeader + static_cast<std::size_t>(Number(h.substr(59, 6)));
      phase_ = Phase::Name;
      return;
    }
    const std::string_view name = UpToNul(h.substr(kCpioHeader));
    if (name == "TRAILER!!!") {
      Put(h);
      phase_ = Phase::Rest;
      return;
    }
    Decide(name, (mode_ & 0170000) == 0120000, nullptr, size_);
  }

  static std::uint64_t Blocks(std::uint64_t size) { return (size + 511) / 512 * 512; }

  static bool ChecksumOk(std::string_view h) {
    std::uint64_t sum = 0;
    std::int64_t signedSum = 0;
    for (std::size_t i = 0; i < 512; ++i) {
      const char c = i >= 148 && i < 156 ? ' ' : h[i];
      sum += static_cast<unsigned char>(c);
      signedSum += static_cast<signed char>(c);
    }
    const std::uint64_t want = Number(h.substr(148, 8));
    return want == sum || static_cast<std::int64_t>(want) == signedSum;
  }

  // The records "LENGTH key=value\n" of a pax extended header; false when malformed.
  bool PaxRecords(std::string_view d) {
    while (!d.empty() && d[0] != '\0') {
      std::size_t len = 0, i = 0;
      for (; i < d.size() && d[i] >= '0' && d[i] <= '9' && len < d.size(); ++i) {
        len = len * 10 + static_cast<std::size_t>(d[i] - '0');
      }
      if (i == 0 || i >= d.size() || d[i] != ' ' || len <= i + 1 || len > d.size() ||
          d[len - 1] != '\n') {
        return false;
      }
      const std::string_view record = d.substr(i + 1, len - i - 2);
      const std::size_t eq = record.find('=');
      if (eq == std::string_view::npos) return false;
      const std::string_view key = record.substr(0, eq), value = record.substr(eq + 1);
      if (key == "path") paxPath_ = std::string(value);
      if (key == "linkpath") paxLink_ = std::string(value);
      if (key == "size") {
        std::uint64_t v = 0;
        for (const char c : value) {
          if (c < '0' || c > '9') return false;
          v = v * 10 + static_cast<std::uint64_t>(c - '0');
        }
        paxSize_ = v;
      }
      d.remove_prefix(len);
    }
    return true;
  }

  void TarPiece() {
    if (phase_ == Phase::Extended) {
      const std::string_view d = std::string_view(acc_).substr(0, extSize_);
      if (extType_ == 'L') longName_ = std::string(UpToNul(d));
      if (extType_ == 'K') longLink_ = std::string(UpToNul(d));
      if (extType_ == 'x' && !PaxRecords(d)) return Damaged();
      pending_ += acc_;
      return Expect(Phase::Header, 512);
    }
    if (phase_ == Phase::Sparse) {
      // The extension blocks of an old GNU sparse member belong to its header.
      member_ += acc_;
      if (acc_[504] != 0) return Expect(Phase::Sparse, 512);
      acc_.swap(member_);
      return TarMember(std::string_view(acc_).substr(0, 512));
    }
    const std::string_view h = acc_;
    if (h.find_first_not_of('\0') == std::string_view::npos) {
      // The end of the archive; an extended header without its member is dropped.
      Put(h);
      phase_ = Phase::Rest;
      return;
    }
    if (!ChecksumOk(h)) return Damaged();
    const char type = h[156];
    const std::uint64_t size = Number(h.substr(124, 12));
    if (type == 'L' || type == 'K' || type == 'x') {
      if (size > kMaxExtended || pending_.size() > kMaxExtended) return Damaged();
      pending_ += h;
      extType_ = type, extSize_ = static_cast<std::size_t>(size);
      return Expect(Phase::Extended, static_cast<std::size_t>(Blocks(size)));
    }
    if (type == 'g') {
      // Global headers hold for every member behind them: they always go on.
      Put(h);
      return Member(Phase::Keep, Blocks(size));
    }
    if (type == 'S' && h[482] != 0) {
      member_ = acc_;
      return Expect(Phase::Sparse, 512);
    }
    TarMember(h);
  }

  void TarMember(std::string_view h) {
    std::string name = TarHeaderName(h);
    if (longName_) name = *longName_;
    if (paxPath_) name = *paxPath_;
    std::string_view link = UpToNul(h.substr(157, 100));
    if (longLink_) link = *longLink_;
    if (paxLink_) link = *paxLink_;
    const std::uint64_t size = paxSize_ ? *paxSize_ : Number(h.substr(124, 12));
    const std::string target(link);  // the members' values are cleared by Decide
    const std::string_view targetView = target;
    Decide(name, h[156] == '2', h[156] == '1' ? &targetView : nullptr, Blocks(size));
  }

  bool tar_;
  const std::unordered_set<std::string>* wanted_;
  Output out_;
  std::unordered_set<std::string> links_;  // symbolic links planted so far
  std::unordered_set<std::string> kept_;   // tar: the members passed on, for hard links
  Phase phase_ = Phase::Header;
  std::string acc_;      // the piece of header or extended data being read
  std::string pending_;  // tar: long names and extended headers for the next member
  std::string member_;   // tar: a sparse member's header with its extension blocks
  std::size_t need_ = 0, extSize_ = 0;
  char extType_ = 0;
  std::uint64_t left_ = 0, mode_ = 0, size_ = 0;
  std::optional<std::string> longName_, longLink_, paxPath_, paxLink_;
  std::optional<std::uint64_t> paxSize_;
  bool failed_ = false, closed_ = false, damaged_ = false;
};

const char kUsage[] =
    "usage: bksums [-a xxh128|sha256] [-o SUMFILE] tar|cpio\n"
    "       bksums -l [-n NAMEFILE] tar|cpio\n"
    "       bksums -g [-w WANTEDFILE] tar|cpio\n";

}  // namespace

int main(int argc, char** argv) {
  M2C_INIT(argc, argv, environ);
  Processe_Init();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--help") {
    std::printf(
        "%sWrites \"<checksum>  <name>\" for every regular member of the archive stream on\n"
        "standard input, by ALGORITHM xxh128 (the default) or sha256; with -o the stream passes\n"
        "to standard output and the sums go to SUMFILE.\n"
        "With -l it names the symbolic links of the stream instead, each ended by a NUL, and\n"
        "with -n the names of all its members go to NAMEFILE the same way. With -g the stream\n"
        "passes on without the members that must not be restored (not named in WANTEDFILE,\n"
        "absolute, with '..', below a link planted earlier, hard links to members not\n"
        "restored), each wanted one named on standard error.\n",
        kUsage);
    Exit(0);
  }
  if (!args.empty() && args[0] == "-g") {
    const bool withList = args.size() == 4 && args[1] == "-w";
    if ((args.size() != 2 && !withList) || (args.back() != "tar" && args.back() != "cpio")) {
      std::fputs(kUsage, stderr);
      Exit(2);
    }
    std::unordered_set<std::string> wanted;
    if (withList) {
      FILE* f = std::fopen(args[2].c_str(), "r");
      if (f == nullptr) {
        std::fprintf(stderr, "bksums: cannot read the wanted names in %s\n", args[2].c_str());
        Exit(1);
      }
      char* line = nullptr;
      std::size_t cap = 0;
      for (ssize_t n; (n = ::getdelim(&line, &cap, '\0', f)) > 0;) {
        std::string_view name(line, static_cast<std::size_t>(n));
        if (name.back() == '\0') name.remove_suffix(1);
        if (!name.empty()) wanted.emplace(Plain(name));
      }
      std::free(line);
      std::fclose(f);
    }
    Exit(Guard(args.back() == "tar", withList ? &wanted : nullptr).Run());
  }
  std::string sumFile;
  bool links = false;
  std::string nameFile;
  if (args.size() == 4 && args[0] == "-l" && args[1] == "-n") {
    links = true;
    nameFile = args[2];
    args.erase(args.begin(), args.begin() + 3);
  } else if (args.size() == 2 && args[0] == "-l") {
    links = true;
    args.erase(args.begin());
  }
  Algorithm algorithm = Algorithm::Xxh128;
  if (!links && args.size() >= 3 && args[0] == "-a") {
    if (args[1] == "sha256") {
      algorithm = Algorithm::Sha256;
    } else if (args[1] != "xxh128") {
      std::fprintf(stderr, "bksums: unknown checksum algorithm %s\n", args[1].c_str());
      std::fputs(kUsage, stderr);
      Exit(2);
    }
    args.erase(args.begin(), args.begin() + 2);
  }
  if (!links && args.size() == 3 && args[0] == "-o") {
    sumFile = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() != 1 || (args[0] != "tar" && args[0] != "cpio")) {
    std::fputs(kUsage, stderr);
    Exit(2);
  }
  const bool pass = !sumFile.empty();
  Reader reader(args[0] == "tar", links);
  constexpr std::size_t kBlock = 1 << 20;
  struct stat in {};
  std::unique_ptr<ParallelSums> sums;
  if (links && ::fstat(0, &in) == 0 && S_ISREG(in.st_mode)) {
    std::vector<unsigned char> buf(kBlock);
    if (!ReadHeadersOnly(reader, buf)) {
      std::fprintf(stderr, "bksums: cannot read the archive: %s\n", std::strerror(errno));
      Exit(1);
    }
  } else {
    if (!links) {
      sums = std::make_unique<ParallelSums>(algorithm);
      reader.SendTo(sums.get());
    }
    // Pipes of the blocks' size: the archiver writes small records, and a pipe of a few
    // pages would wake us for each of them. Where the system refuses, the default pipes work.
    ::fcntl(0, F_SETPIPE_SZ, static_cast<int>(kBlock));
    if (pass) ::fcntl(1, F_SETPIPE_SZ, static_cast<int>(kBlock));
    // Reads go on filling a block behind the bytes already passed on: the archiver's pipe
    // often holds only a record or two, and a block apiece would hold the memory of many.
    std::shared_ptr<ParallelSums::Block> block;
    std::size_t used = 0;
    for (;;) {
      if (!block || kBlock - used < kBlock / 16) {
        block = sums ? sums->NewBlock(kBlock) : std::make_shared<ParallelSums::Block>(kBlock);
        used = 0;
      }
      unsigned char* const at = block->data() + used;
      const ssize_t n = ::read(0, at, kBlock - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        std::fprintf(stderr, "bksums: cannot read the archive stream: %s\n", std::strerror(errno));
        Exit(1);
      }
      if (n == 0) break;
      // Passed on before the sums, so that the medium's side works while we hash.
      if (pass && !WriteAll(1, at, static_cast<std::size_t>(n))) {
        std::fprintf(stderr, "bksums: cannot pass the archive stream on: %s\n",
                     std::strerror(errno));
        Exit(1);
      }
      if (sums) sums->Reading(block);
      reader.Feed(at, static_cast<std::size_t>(n));
      used += static_cast<std::size_t>(n);
    }
    block.reset();
  }
  reader.Finish();
  if (sums) reader.Lines() = sums->Lines();
  if (!nameFile.empty()) {
    FILE* f = std::fopen(nameFile.c_str(), "w");
    const std::string& names = reader.Names();
    if (f == nullptr || std::fwrite(names.data(), 1, names.size(), f) != names.size() ||
        std::fclose(f) != 0) {
      std::fprintf(stderr, "bksums: cannot write the member names to %s\n", nameFile.c_str());
      Exit(1);
    }
  }
  const std::string& lines = reader.Lines();
  const bool toFile = !sumFile.empty();
  FILE* out = toFile ? std::fopen(sumFile.c_str(), "a") : stdout;
  if (out == nullptr || std::fwrite(lines.data(), 1, lines.size(), out) != lines.size() ||
      std::fflush(out) != 0 || (toFile && std::fclose(out) != 0)) {
    std::fprintf(stderr, "bksums: cannot write the sums to %s\n",
                 toFile ? sumFile.c_str() : "standard output");
    Exit(1);
  }
  Exit(0);
}
