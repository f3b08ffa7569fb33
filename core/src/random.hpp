// The random source: ChaCha used as a keystream generator (Bernstein 2008).
//
// One engine type serves both generators of the library:
//  - a SeededRng (8 rounds) made by seed_from_u64 for one reproducible call;
//  - the calling thread's ThreadRng (12 rounds), keyed from the operating
//    system, re-keyed every 1024 blocks and after a fork, reached through
//    thread_rng().
// Core routines take `Rng&` and do not care which one they were handed.
//
// The keystream is produced four blocks (256 bytes) at a time; a draw is two
// array reads and an index update. Drawing never allocates.
#pragma once

#include <array>
#include <cstdint>

namespace varlix {

class Rng {
 public:
  static constexpr std::uint32_t kBufferWords = 64;  // four 16-word blocks

  // Next 64 bits of the keystream, read as a little-endian integer: the word at
  // the index is the low half, the next one the high half.
  [[nodiscard]] std::uint64_t draw_u64() {
    if (index_ + 2 <= kBufferWords) [[likely]] {
      const std::uint64_t lo = buffer_[index_];
      const std::uint64_t hi = buffer_[index_ + 1];
      index_ += 2;
      return (hi << 32) | lo;
    }
    return draw_u64_across_refill();
  }

  [[nodiscard]] int rounds() const { return rounds_; }
  [[nodiscard]] std::uint64_t block_counter() const { return counter_; }

  friend bool operator==(const Rng&, const Rng&) = default;

  // An engine with the given key at counter 0, stream 0 and an empty buffer.
  // `reseeding` engines (the ThreadRng) take a fresh key from the operating
  // system before a refill once 1024 blocks have been produced.
  Rng(const std::array<std::uint32_t, 8>& key, int rounds, bool reseeding);

 private:
  friend Rng& thread_rng();

  std::uint64_t draw_u64_across_refill();
  void refill();
  void rekey_from_entropy(const char* failure_prefix);

  std::array<std::uint32_t, kBufferWords> buffer_{};
  std::array<std::uint32_t, 8> key_{};
  std::uint64_t counter_ = 0;
  std::uint64_t stream_ = 0;
  std::uint32_t index_ = kBufferWords;
  int rounds_ = 8;
  bool reseeding_ = false;
  std::uint64_t fork_generation_ = 0;
};

using SeededRng = Rng;

// A reproducible generator: key expanded from the seed by eight PCG32 steps.
[[nodiscard]] SeededRng seed_from_u64(std::uint64_t seed);

// The calling thread's generator (the ThreadRng), created and keyed on first
// use. A failing entropy source is unrecoverable and ends the process with
// "could not initialize ThreadRng: {}" / "could not reseed ThreadRng: {}".
[[nodiscard]] Rng& thread_rng();

// Writes `count` consecutive ChaCha blocks (16 words each) for the given key,
// starting at block `counter`, stream 0. Exposed for the published test vectors.
void chacha_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, int rounds,
                   std::uint32_t* out, std::size_t count);

// A double in [0, 1): the top 53 bits of one draw times 2^-53. Exactly 0 is
// possible; 1 is not.
struct StandardUniform {
  double operator()(Rng& rng) const {
    return static_cast<double>(rng.draw_u64() >> 11) * 0x1.0p-53;
  }
};
inline constexpr StandardUniform standard_uniform{};

// Box-Muller, cosine branch only: every normal costs exactly two uniforms.
[[nodiscard]] double standard_normal(Rng& rng);

}  // namespace varlix
