// The random source: ChaCha used as a keystream generator (Bernstein 2008,
// "ChaCha, a variant of Salsa20"), with the 64-bit block counter in state words
// 12-13 and the 64-bit stream (always 0) in words 14-15.
//
// One engine type serves both generators of the library:
//  - a SeededRng (8 rounds) made by seed_from_u64 for one reproducible call;
//  - the calling thread's ThreadRng (12 rounds), keyed from the operating
//    system, re-keyed every 1024 blocks and in a child process after fork(),
//    reached through thread_rng().
// Core routines take `Rng&` and do not care which one they were handed.
//
// The keystream is produced four blocks (256 bytes) at a time, with SSE2 on
// x86-64; a draw is two array reads and an index update. Drawing never
// allocates.
//
// The operating system's entropy source is the one thing here that can fail.
// Such a failure cannot be caused by input and cannot be returned through a
// draw, so it ends the process: "could not initialize ThreadRng: <reason>" or
// "could not reseed ThreadRng: <reason>" (reason = strerror text) is written to
// stderr and std::abort() is called. SeededRng never touches the entropy source.
#pragma once

#include <array>
#include <cstddef>
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
  friend struct RngTestAccess;  // the tests place the index on odd words

  static Rng from_entropy();
  std::uint64_t draw_u64_across_refill();
  void refill();
  void rekey_from_entropy(const char* failure_prefix);

  std::array<std::uint32_t, kBufferWords> buffer_{};
  std::array<std::uint32_t, 8> key_{};
  std::uint64_t counter_ = 0;
  std::uint32_t index_ = kBufferWords;
  int rounds_ = 8;
  bool reseeding_ = false;
  std::uint64_t fork_generation_ = 0;
};

using SeededRng = Rng;

// A reproducible generator: key expanded from the seed by eight PCG32 steps.
[[nodiscard]] SeededRng seed_from_u64(std::uint64_t seed);

// The calling thread's generator (the ThreadRng), created and keyed on first
// use, re-keyed before its first use in a child process after fork() so that
// parent and child never share a stream. Unseeded operations must obtain it
// here at their start rather than keep a reference from an earlier call.
[[nodiscard]] Rng& thread_rng();

// Writes `count` consecutive ChaCha blocks (16 words each) for the given key,
// starting at block `counter`, stream 0. The plain scalar definition of the
// block function; exposed for the published test vectors.
void chacha_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, int rounds,
                   std::uint32_t* out, std::size_t count);

// The refill kernel: the same 64 words as chacha_blocks(key, counter, rounds,
// out, 4), computed four blocks abreast with SSE2 where the target has it.
void chacha_four_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, int rounds,
                        std::uint32_t* out);

// A double in [0, 1): the top 53 bits of one draw times 2^-53. Exactly 0 is
// possible; 1 is not.
struct StandardUniform {
  double operator()(Rng& rng) const {
    return static_cast<double>(rng.draw_u64() >> 11) * 0x1.0p-53;
  }
};
inline constexpr StandardUniform standard_uniform{};

// Box-Muller, cosine branch only, of two uniforms in [0, 1): u1 = 0 is floored
// so that the result stays finite (|z| <= 37.17).
[[nodiscard]] double box_muller_cos(double u1, double u2);

// box_muller_cos of two successive uniforms: every normal costs exactly two.
[[nodiscard]] double standard_normal(Rng& rng);

}  // namespace varlix
