#include "batch.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "discrete/custom.hpp"
#include "random.hpp"

namespace varlix {
namespace {

// The stop callbacks are plain function pointers, so their state is global.
int g_questions = 0;
std::uint64_t g_draws_at_stop = 0;
std::uint64_t g_draws = 0;

bool never_stop() {
  ++g_questions;
  return false;
}

bool stop_at_second_question() {
  ++g_questions;
  g_draws_at_stop = g_draws;
  return g_questions == 2;
}

TEST(Batch, StopIsAskedOncePerBlockAndChangesNoDraw) {
  const auto d = *DiscreteSampler::from_pmf({1, 2, 3}, {1, 1, 2});
  constexpr std::uint64_t n = 3 * kDrawsBetweenStopChecks + 5;
  Rng plain = seed_from_u64(11);
  Rng asked = seed_from_u64(11);
  g_questions = 0;
  const auto expected = d.sample_n_with_rng(n, plain);
  const auto drawn = d.sample_n_with_rng(n, asked, never_stop);
  ASSERT_TRUE(expected && drawn);
  EXPECT_EQ(*drawn, *expected);
  EXPECT_EQ(g_questions, 3);
}

TEST(Batch, StopEndsTheBatchBetweenBlocks) {
  g_questions = 0;
  g_draws = 0;
  const auto result = collect_draws(
      10 * kDrawsBetweenStopChecks,
      [] -> std::expected<double, SampleError> { return static_cast<double>(g_draws++); },
      stop_at_second_question);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), SampleError::interrupted());
  EXPECT_EQ(result.error().message(), "interrupted");
  EXPECT_EQ(g_draws_at_stop, 2 * kDrawsBetweenStopChecks - 1);
  EXPECT_EQ(g_draws, g_draws_at_stop);
}

TEST(Batch, ShortBatchesAreNeverAsked) {
  g_questions = 0;
  const auto result = collect_draws(
      kDrawsBetweenStopChecks - 1, [] -> std::expected<double, SampleError> { return 0.5; }, never_stop);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->size(), kDrawsBetweenStopChecks - 1);
  EXPECT_EQ(g_questions, 0);
}

}  // namespace
}  // namespace varlix
