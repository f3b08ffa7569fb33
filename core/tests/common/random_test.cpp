#include "random.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__) && defined(__x86_64__)
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>
#define VARLIX_TEST_SECCOMP 1
#endif

namespace varlix {

struct RngTestAccess {
  static void set_index(Rng& rng, std::uint32_t index) { rng.index_ = index; }
};

namespace {

using Key = std::array<std::uint32_t, 8>;

std::string hex_of_words(const std::uint32_t* words, std::size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    for (int byte = 0; byte < 4; ++byte) {
      const unsigned v = (words[i] >> (8 * byte)) & 0xff;
      text += kDigits[v >> 4];
      text += kDigits[v & 0xf];
    }
  }
  return text;
}

Key key_from(Rng& source) {
  Key key;
  for (std::size_t i = 0; i < key.size(); i += 2) {
    const std::uint64_t v = source.draw_u64();
    key[i] = static_cast<std::uint32_t>(v);
    key[i + 1] = static_cast<std::uint32_t>(v >> 32);
  }
  return key;
}

// ---- known answers ----------------------------------------------------------

struct PublishedKeystream {
  int rounds;
  const char* block0;
  const char* block1;
};

class ZeroKeyKeystream : public testing::TestWithParam<PublishedKeystream> {};

// Every path to the keystream (scalar blocks, the four-block kernel, draws) must
// reproduce the published all-zero-key output.
TEST_P(ZeroKeyKeystream, AllPathsMatchPublishedBlocks) {
  const auto& p = GetParam();
  const std::string expected = std::string(p.block0) + p.block1;
  const Key zero{};

  std::array<std::uint32_t, 64> words{};
  chacha_blocks(zero, 0, p.rounds, words.data(), 2);
  EXPECT_EQ(hex_of_words(words.data(), 32), expected);

  chacha_four_blocks(zero, 0, p.rounds, words.data());
  EXPECT_EQ(hex_of_words(words.data(), 32), expected);

  Rng rng(zero, p.rounds, false);
  for (std::size_t i = 0; i < 16; ++i) {
    const std::uint64_t v = rng.draw_u64();
    words[2 * i] = static_cast<std::uint32_t>(v);
    words[2 * i + 1] = static_cast<std::uint32_t>(v >> 32);
  }
  EXPECT_EQ(hex_of_words(words.data(), 32), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rounds, ZeroKeyKeystream,
    testing::Values(
        PublishedKeystream{
            8,
            "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42",
            "d2aefa0deaa5c151bf0adb6c01f2a5adc0fd581259f9a2aadcf20f8fd566a26b5032ec38bbc5da98ee0c6f568b872a65a08abf251deb21bb4b56e5d8821e68aa"},
        PublishedKeystream{
            12,
            "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be",
            "0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b442258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316"},
        PublishedKeystream{
            20,
            "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586",
            "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"}));

TEST(SeedFromU64, SeedZeroExpandsToKnownKeyAndDraws) {
  const Key expected_key = {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06,
                            0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7};
  SeededRng rng = seed_from_u64(0);
  EXPECT_EQ(rng, Rng(expected_key, 8, false));
  EXPECT_EQ(rng.rounds(), 8);
  EXPECT_EQ(rng.block_counter(), 0u);

  const std::array<std::uint64_t, 4> expected = {0xb585f767a79a3b6cULL, 0x7746a55fbad8c037ULL,
                                                 0xb2fb0d3281e2a6e6ULL, 0x0f6760a48f9b887cULL};
  for (const std::uint64_t v : expected) EXPECT_EQ(rng.draw_u64(), v);
}

TEST(StandardUniform, FirstDrawsOfKnownSeeds) {
  struct Case {
    std::uint64_t seed;
    double first, second;
  };
  for (const Case& c : {Case{0, 0.7090754154265618, 0.46592172228961015},
                        Case{42, 0.6818961923066714, 0.950275407672484}}) {
    SeededRng rng = seed_from_u64(c.seed);
    EXPECT_EQ(standard_uniform(rng), c.first) << "seed " << c.seed;
    EXPECT_EQ(standard_uniform(rng), c.second) << "seed " << c.seed;
  }
}

// ---- the stream as a whole ---------------------------------------------------

// Starting at odd words forces every refill to split a draw (the index-63 rule);
// the draws must still read the keystream continuously.
TEST(DrawU64, StreamIsIndependentOfWhereRefillsFall) {
  SeededRng source = seed_from_u64(7);
  const Key key = key_from(source);
  std::vector<std::uint32_t> words(16 * 32);
  chacha_blocks(key, 0, 8, words.data(), 32);
  for (const std::uint32_t start : {1u, 3u, 61u, 63u, 62u}) {
    Rng rng(key, 8, false);
    (void)rng.draw_u64();  // fills the first buffer
    RngTestAccess::set_index(rng, start);
    for (std::size_t i = start; i + 1 < start + 400; i += 2) {
      const std::uint64_t expected = (std::uint64_t{words[i + 1]} << 32) | words[i];
      ASSERT_EQ(rng.draw_u64(), expected) << "start " << start << ", word " << i;
    }
  }
}

TEST(ChaChaFourBlocks, MatchesScalarBlocksForManyKeysAndCounters) {
  SeededRng source = seed_from_u64(2024);
  // Counters around the 32-bit carry into word 13 and around the 64-bit wrap.
  std::vector<std::uint64_t> counters = {0, 1, 0xfffffffcULL, 0xfffffffdULL, 0xffffffffULL,
                                         0x1fffffffeULL, ~std::uint64_t{0} - 1};
  for (int i = 0; i < 20; ++i) counters.push_back(source.draw_u64());
  for (const int rounds : {8, 12, 20}) {
    for (const std::uint64_t counter : counters) {
      const Key key = key_from(source);
      std::array<std::uint32_t, 64> scalar{}, simd{};
      chacha_blocks(key, counter, rounds, scalar.data(), 4);
      chacha_four_blocks(key, counter, rounds, simd.data());
      ASSERT_EQ(simd, scalar) << "rounds " << rounds << ", counter " << counter;
    }
  }
}

TEST(Rng, ReseedingEngineRekeysBeforeRefillAfter1024Blocks) {
  SeededRng source = seed_from_u64(11);
  const Key key = key_from(source);
  Rng plain(key, 12, false);
  Rng reseeding(key, 12, true);
  constexpr int kDrawsPerKey = 1024 * 16 / 2;
  for (int i = 0; i < kDrawsPerKey; ++i) ASSERT_EQ(reseeding.draw_u64(), plain.draw_u64());
  ASSERT_EQ(reseeding.block_counter(), 1024u);

  std::array<std::uint32_t, 16> block1024{};
  chacha_blocks(key, 1024, 12, block1024.data(), 1);
  const std::uint64_t continued = (std::uint64_t{block1024[1]} << 32) | block1024[0];
  EXPECT_EQ(plain.draw_u64(), continued);
  EXPECT_EQ(plain.block_counter(), 1028u);

  EXPECT_NE(reseeding.draw_u64(), continued);
  EXPECT_EQ(reseeding.block_counter(), 4u);
}

// ---- normal draws ------------------------------------------------------------

TEST(StandardNormal, TakesU1ThenU2) {
  SeededRng rng = seed_from_u64(0);
  EXPECT_EQ(standard_normal(rng), box_muller_cos(0.7090754154265618, 0.46592172228961015));
}

TEST(StandardNormal, ZeroU1IsFlooredToAFiniteExtreme) {
  // sqrt(-2 ln 1e-300) = sqrt(600 ln 10)
  const double extreme = std::sqrt(600.0 * std::log(10.0));
  EXPECT_NEAR(box_muller_cos(0.0, 0.0), extreme, 1e-12);
  EXPECT_NEAR(box_muller_cos(0.0, 0.5), -extreme, 1e-12);
  EXPECT_EQ(box_muller_cos(0.0, 0.25), box_muller_cos(1e-300, 0.25));
  EXPECT_TRUE(std::isfinite(box_muller_cos(0.0, 0.25)));
}

// ---- the ThreadRng ------------------------------------------------------------

TEST(ThreadRng, OnePerThreadWithTwelveRounds) {
  Rng& mine = thread_rng();
  EXPECT_EQ(&thread_rng(), &mine);
  EXPECT_EQ(mine.rounds(), 12);
  Rng other = mine;
  std::thread([&] { other = thread_rng(); }).join();
  EXPECT_NE(other.draw_u64(), Rng(mine).draw_u64());
}

TEST(ThreadRng, ForkedChildDoesNotRepeatTheParentStream) {
  constexpr int kDraws = 4;
  (void)thread_rng().draw_u64();  // the parent's buffer is part-read at the fork
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::array<std::uint64_t, kDraws> drawn;
    for (auto& v : drawn) v = thread_rng().draw_u64();
    const bool written = write(fds[1], drawn.data(), sizeof drawn) == sizeof drawn;
    _exit(written ? 0 : 1);
  }
  close(fds[1]);
  std::array<std::uint64_t, kDraws> parent, child{};
  for (auto& v : parent) v = thread_rng().draw_u64();
  ASSERT_EQ(read(fds[0], child.data(), sizeof child), static_cast<ssize_t>(sizeof child));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int i = 0; i < kDraws; ++i) EXPECT_NE(child[i], parent[i]) << "draw " << i;
}

#if defined(VARLIX_TEST_SECCOMP)
// Makes getrandom fail with `error` in this process from now on.
void refuse_getrandom(int error) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    std::_Exit(77);
  }
}

// Each case runs in a freshly executed process, where the entropy source has
// not been probed yet.
class EntropyFailure : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(EntropyFailure, UnavailableGetrandomFallsBackToTheRandomDevice) {
  for (const int error : {ENOSYS, EPERM}) {
    EXPECT_EXIT(
        {
          refuse_getrandom(error);
          std::exit(thread_rng().draw_u64() == seed_from_u64(0).draw_u64() ? 1 : 0);
        },
        testing::ExitedWithCode(0), "");
  }
}

TEST_F(EntropyFailure, FailingSourceEndsTheProcessWithItsReason) {
  EXPECT_DEATH(
      {
        refuse_getrandom(EIO);
        (void)thread_rng();
      },
      "^could not initialize ThreadRng: Input/output error\n");
  EXPECT_DEATH(
      {
        refuse_getrandom(EIO);
        Rng rng(Key{}, 12, true);
        for (int i = 0; i <= 1024 * 16 / 2; ++i) (void)rng.draw_u64();
      },
      "^could not reseed ThreadRng: Input/output error\n");
}
#endif

}  // namespace
}  // namespace varlix
