#include "batch.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "discrete/custom.hpp"
#include "random.hpp"

namespace varlix {
namespace {

// The stop callbacks are plain function pointers, so their state is global.
int g_questions = 0;

bool never_stop() {
  ++g_questions;
  return false;
}

bool stop_at_once() {
  ++g_questions;
  return true;
}

// A draw of about 20 µs, so that a batch lasts several question periods.
std::expected<double, SampleError> slow_draw() {
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
  while (std::chrono::steady_clock::now() < until) {
  }
  return 0.5;
}

TEST(Batch, AskedStopThatNeverComesChangesNoDraw) {
  const auto d = *DiscreteSampler::from_pmf({1, 2, 3}, {1, 1, 2});
  constexpr std::uint64_t n = 1'000'003;
  Rng plain = seed_from_u64(11);
  Rng asked = seed_from_u64(11);
  const auto expected = d.sample_n_with_rng(n, plain);
  const auto drawn = d.sample_n_with_rng(n, asked, never_stop);
  ASSERT_TRUE(expected && drawn);
  EXPECT_EQ(*drawn, *expected);
}

TEST(Batch, StopEndsTheBatchWithinAQuestionPeriod) {
  g_questions = 0;
  // 100'000 draws of 20 µs would take 2 s; the first question (after 5 ms) ends them.
  const auto started = std::chrono::steady_clock::now();
  const auto result = collect_draws(100'000, slow_draw, stop_at_once);
  const auto took = std::chrono::steady_clock::now() - started;
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), SampleError::interrupted());
  EXPECT_EQ(result.error().message(), "interrupted");
  EXPECT_EQ(g_questions, 1);
  EXPECT_LT(took, std::chrono::milliseconds(500));
}

TEST(Batch, ShortBatchesAreNeverAsked) {
  g_questions = 0;
  const auto result = collect_draws(1000, [] -> std::expected<double, SampleError> { return 0.5; }, never_stop);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->size(), 1000U);
  EXPECT_EQ(g_questions, 0);
}

}  // namespace
}  // namespace varlix
