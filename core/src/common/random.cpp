// ChaCha keystream engine, PCG32 seed expansion, the per-thread generator with
// its entropy source, and the normal draw. See random.hpp for the contract.
#include "random.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#define VARLIX_HAVE_GETRANDOM 1
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varlix {
namespace {

// "expand 32-byte k" as four little-endian words: ChaCha state words 0-3.
constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
constexpr std::size_t kBlockWords = 16;
constexpr std::size_t kBlocksPerRefill = Rng::kBufferWords / kBlockWords;
constexpr int kSeededRounds = 8;
constexpr int kThreadRounds = 12;
// 64 KiB of output per key bounds what a leaked ThreadRng state reveals.
constexpr std::uint64_t kReseedBlocks = 1024;
constexpr std::size_t kKeyBytes = 32;
// PCG32's multiplier and increment (O'Neill 2014), used only to spread a
// 64-bit seed over the 256-bit key.
constexpr std::uint64_t kPcgMultiplier = 6364136223846793005ULL;
constexpr std::uint64_t kPcgIncrement = 11634580027462260723ULL;
// Smallest u1 passed to log: keeps a normal finite (|z| <= 37.17) when u1 is 0.
constexpr double kLogFloor = 1e-300;
constexpr double kTwoPi = 6.283185307179586;

constexpr const char* kInitFailure = "could not initialize ThreadRng";
constexpr const char* kReseedFailure = "could not reseed ThreadRng";

// ---- the block function, written once for one word or four lanes ----------

template <int Bits>
std::uint32_t rotl(std::uint32_t x) {
  return std::rotl(x, Bits);
}

std::uint32_t splat(std::uint32_t word, std::uint32_t) { return word; }

template <class Word>
void quarter_round(Word& a, Word& b, Word& c, Word& d) {
  a = a + b;
  d = rotl<16>(d ^ a);
  c = c + d;
  b = rotl<12>(b ^ c);
  a = a + b;
  d = rotl<8>(d ^ a);
  c = c + d;
  b = rotl<7>(b ^ c);
}

template <class Word>
void double_round(std::array<Word, kBlockWords>& x) {
  quarter_round(x[0], x[4], x[8], x[12]);
  quarter_round(x[1], x[5], x[9], x[13]);
  quarter_round(x[2], x[6], x[10], x[14]);
  quarter_round(x[3], x[7], x[11], x[15]);
  quarter_round(x[0], x[5], x[10], x[15]);
  quarter_round(x[1], x[6], x[11], x[12]);
  quarter_round(x[2], x[7], x[8], x[13]);
  quarter_round(x[3], x[4], x[9], x[14]);
}

template <class Word>
std::array<Word, kBlockWords> initial_state(const std::array<std::uint32_t, 8>& key, Word counter_lo,
                                            Word counter_hi) {
  const Word zero = splat(0, Word{});
  std::array<Word, kBlockWords> x{};
  for (std::size_t i = 0; i < kSigma.size(); ++i) x[i] = splat(kSigma[i], Word{});
  for (std::size_t i = 0; i < key.size(); ++i) x[4 + i] = splat(key[i], Word{});
  x[12] = counter_lo;
  x[13] = counter_hi;
  x[14] = zero;  // the stream is always 0
  x[15] = zero;
  return x;
}

// Rounds are always even (8, 12 or 20): column and diagonal rounds in pairs.
template <class Word>
std::array<Word, kBlockWords> permute_and_add(const std::array<Word, kBlockWords>& input, int rounds) {
  std::array<Word, kBlockWords> x = input;
  for (int r = 0; r < rounds; r += 2) double_round(x);
  for (std::size_t i = 0; i < kBlockWords; ++i) x[i] = x[i] + input[i];
  return x;
}

std::uint32_t low_word(std::uint64_t v) { return static_cast<std::uint32_t>(v); }
std::uint32_t high_word(std::uint64_t v) { return static_cast<std::uint32_t>(v >> 32); }

#if defined(__SSE2__)
// Four blocks abreast: lane j of vector i is state word i of block counter + j.
struct Lanes {
  __m128i v;
};

Lanes operator+(Lanes a, Lanes b) { return {_mm_add_epi32(a.v, b.v)}; }
Lanes operator^(Lanes a, Lanes b) { return {_mm_xor_si128(a.v, b.v)}; }
Lanes splat(std::uint32_t word, Lanes) { return {_mm_set1_epi32(static_cast<int>(word))}; }

template <int Bits>
Lanes rotl(Lanes x) {
  if constexpr (Bits == 16) {
    // Swapping the 16-bit halves takes two shuffles instead of shift, shift, or.
    constexpr int kSwapHalves = 0xB1;
    return {_mm_shufflehi_epi16(_mm_shufflelo_epi16(x.v, kSwapHalves), kSwapHalves)};
  } else {
    return {_mm_or_si128(_mm_slli_epi32(x.v, Bits), _mm_srli_epi32(x.v, 32 - Bits))};
  }
}

Lanes counter_lanes(std::uint64_t counter, std::uint32_t (*half)(std::uint64_t)) {
  return {_mm_set_epi32(static_cast<int>(half(counter + 3)), static_cast<int>(half(counter + 2)),
                        static_cast<int>(half(counter + 1)), static_cast<int>(half(counter)))};
}

// Words w..w+3 of the four blocks, transposed so that each block's four words
// land together at their place in the buffer.
void store_transposed(const Lanes* words, std::uint32_t* out) {
  const __m128i ab_lo = _mm_unpacklo_epi32(words[0].v, words[1].v);
  const __m128i cd_lo = _mm_unpacklo_epi32(words[2].v, words[3].v);
  const __m128i ab_hi = _mm_unpackhi_epi32(words[0].v, words[1].v);
  const __m128i cd_hi = _mm_unpackhi_epi32(words[2].v, words[3].v);
  const __m128i blocks[kBlocksPerRefill] = {
      _mm_unpacklo_epi64(ab_lo, cd_lo), _mm_unpackhi_epi64(ab_lo, cd_lo),
      _mm_unpacklo_epi64(ab_hi, cd_hi), _mm_unpackhi_epi64(ab_hi, cd_hi)};
  for (std::size_t b = 0; b < kBlocksPerRefill; ++b) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + b * kBlockWords), blocks[b]);
  }
}
#endif

// ---- entropy ----------------------------------------------------------------

enum class EntropySource : int { Unprobed, GetRandom, RandomDevice };
std::atomic<EntropySource> entropy_source{EntropySource::Unprobed};

// Each reader returns 0 or an errno value.
int read_getrandom(unsigned char* out, std::size_t size) {
#if defined(VARLIX_HAVE_GETRANDOM)
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::getrandom(out + done, size - done, 0);
    if (got >= 0) {
      done += static_cast<std::size_t>(got);
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
#else
  (void)out;
  (void)size;
  return ENOSYS;
#endif
}

int open_read_only(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// /dev/urandom does not block before the kernel pool is initialized;
// /dev/random becoming readable says that it is.
int wait_for_random_device() {
  const int fd = open_read_only("/dev/random");
  if (fd < 0) return errno;
  pollfd request{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&request, 1, -1);
  } while (ready < 0 && errno == EINTR);
  const int error = ready < 0 ? errno : 0;
  ::close(fd);
  return error;
}

int read_fully(int fd, unsigned char* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, out + done, size - done);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got == 0) {
      return EIO;  // a random device never ends; treat it as broken
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

int read_random_device(unsigned char* out, std::size_t size) {
  if (const int error = wait_for_random_device(); error != 0) return error;
  const int fd = open_read_only("/dev/urandom");
  if (fd < 0) return errno;
  const int error = read_fully(fd, out, size);
  ::close(fd);
  return error;
}

// Old kernels lack the call (ENOSYS); some sandboxes forbid it (EPERM).
int probe_entropy_source(unsigned char* out, std::size_t size) {
  const int error = read_getrandom(out, size);
  if (error != ENOSYS && error != EPERM) {
    if (error == 0) entropy_source.store(EntropySource::GetRandom, std::memory_order_relaxed);
    return error;
  }
  entropy_source.store(EntropySource::RandomDevice, std::memory_order_relaxed);
  return read_random_device(out, size);
}

int read_entropy(unsigned char* out, std::size_t size) {
  switch (entropy_source.load(std::memory_order_relaxed)) {
    case EntropySource::GetRandom: return read_getrandom(out, size);
    case EntropySource::RandomDevice: return read_random_device(out, size);
    case EntropySource::Unprobed: break;
  }
  return probe_entropy_source(out, size);
}

[[noreturn]] void entropy_failure(const char* what, int error) {
  std::fprintf(stderr, "%s: %s\n", what, std::strerror(error));
  std::abort();
}

// ---- fork -------------------------------------------------------------------

// Bumped in every child process: a ThreadRng keyed under an older generation
// holds its parent's stream and must not be drawn from again.
std::atomic<std::uint64_t> fork_generation{0};

void note_fork_in_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

void watch_forks() {
  static const int error = ::pthread_atfork(nullptr, nullptr, note_fork_in_child);
  if (error != 0) [[unlikely]] entropy_failure(kInitFailure, error);
}

}  // namespace

void chacha_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, int rounds,
                   std::uint32_t* out, std::size_t count) {
  for (std::size_t b = 0; b < count; ++b) {
    const std::uint64_t block = counter + b;
    const auto x = permute_and_add(initial_state(key, low_word(block), high_word(block)), rounds);
    std::copy(x.begin(), x.end(), out + b * kBlockWords);
  }
}

void chacha_four_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, int rounds,
                        std::uint32_t* out) {
#if defined(__SSE2__)
  const auto x = permute_and_add(
      initial_state(key, counter_lanes(counter, low_word), counter_lanes(counter, high_word)), rounds);
  for (std::size_t w = 0; w < kBlockWords; w += 4) store_transposed(&x[w], out + w);
#else
  chacha_blocks(key, counter, rounds, out, kBlocksPerRefill);
#endif
}

Rng::Rng(const std::array<std::uint32_t, 8>& key, int rounds, bool reseeding)
    : key_(key), rounds_(rounds), reseeding_(reseeding) {}

std::uint64_t Rng::draw_u64_across_refill() {
  if (index_ == kBufferWords - 1) {
    // One word left: it is the low half, so that no word is skipped.
    const std::uint64_t lo = buffer_[kBufferWords - 1];
    refill();
    index_ = 1;
    return (std::uint64_t{buffer_[0]} << 32) | lo;
  }
  refill();
  index_ = 2;
  return (std::uint64_t{buffer_[1]} << 32) | buffer_[0];
}

void Rng::refill() {
  if (reseeding_ && counter_ >= kReseedBlocks) [[unlikely]] rekey_from_entropy(kReseedFailure);
  chacha_four_blocks(key_, counter_, rounds_, buffer_.data());
  counter_ += kBlocksPerRefill;
  index_ = 0;
}

void Rng::rekey_from_entropy(const char* failure_prefix) {
  std::array<unsigned char, kKeyBytes> bytes;
  if (const int error = read_entropy(bytes.data(), bytes.size()); error != 0) [[unlikely]] {
    entropy_failure(failure_prefix, error);
  }
  for (std::size_t i = 0; i < key_.size(); ++i) {
    const unsigned char* b = &bytes[4 * i];
    key_[i] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
              std::uint32_t{b[3]} << 24;
  }
  counter_ = 0;
  index_ = kBufferWords;
}

Rng Rng::from_entropy() {
  watch_forks();
  Rng rng({}, kThreadRounds, true);
  rng.fork_generation_ = fork_generation.load(std::memory_order_relaxed);
  rng.rekey_from_entropy(kInitFailure);
  return rng;
}

Rng& thread_rng() {
  thread_local Rng rng = Rng::from_entropy();
  const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
  if (rng.fork_generation_ != generation) [[unlikely]] {
    rng.fork_generation_ = generation;
    rng.rekey_from_entropy(kReseedFailure);
  }
  return rng;
}

SeededRng seed_from_u64(std::uint64_t seed) {
  std::array<std::uint32_t, 8> key;
  std::uint64_t s = seed;
  for (std::uint32_t& word : key) {
    s = s * kPcgMultiplier + kPcgIncrement;  // advance first: seed 0 gives a non-zero key
    const auto x = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
    word = std::rotr(x, static_cast<int>(s >> 59));
  }
  return SeededRng(key, kSeededRounds, false);
}

double box_muller_cos(double u1, double u2) {
  return std::sqrt(-2.0 * std::log(std::max(u1, kLogFloor))) * std::cos(kTwoPi * u2);
}

double standard_normal(Rng& rng) {
  const double u1 = standard_uniform(rng);
  const double u2 = standard_uniform(rng);
  return box_muller_cos(u1, u2);
}

}  // namespace varlix
