#include "multivar/gibbs.hpp"
#include "multivar/factor.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kNaN;

// One recorded call: the index and the point (or prefix) it was given.
using Call = std::pair<std::size_t, std::vector<double>>;
using CallLog = std::shared_ptr<std::vector<Call>>;

// Returns `offset` + 10 * (number of calls so far) and records every call.
struct RecordingConditional {
  std::size_t d;
  CallLog log = std::make_shared<std::vector<Call>>();
  double offset = 0.0;

  std::size_t dim() const { return d; }
  double sample_coord(Rng&, std::size_t i, std::span<const double> x) {
    log->emplace_back(i, std::vector<double>(x.begin(), x.end()));
    return offset + 10.0 * static_cast<double>(log->size());
  }
};

struct RecordingFactorization {
  CallLog log = std::make_shared<std::vector<Call>>();

  double sample_i(Rng&, std::size_t i, std::span<const double> prefix) const {
    log->emplace_back(i, std::vector<double>(prefix.begin(), prefix.end()));
    return 10.0 * static_cast<double>(log->size());
  }
};

// Draws from the generator it is handed.
struct UniformFactorization {
  double sample_i(Rng& rng, std::size_t, std::span<const double>) const { return standard_uniform(rng); }
};

TEST(Gibbs, InitLengthMustMatchTheDimension) {
  for (const std::vector<double>& init : {std::vector<double>{0.5}, std::vector<double>{}, std::vector<double>{1, 2, 3}}) {
    const auto sampler = GibbsSamplerNd<RecordingConditional>::build(RecordingConditional{2}, 1, init);
    ASSERT_FALSE(sampler.has_value());
    EXPECT_EQ(sampler.error().message(), "mcmc sampler failed");
  }
}

// Systematic scan, in place: each call sees the coordinates already updated
// in the sweep. The init need not lie in any box.
TEST(Gibbs, CallOrderAndInPlaceUpdate) {
  RecordingConditional conditional{2};
  auto sampler = GibbsSamplerNd<RecordingConditional>::build(conditional, 2, {-5.0, 7.0});
  ASSERT_TRUE(sampler.has_value());
  Rng rng = seed_from_u64(1);
  const auto x = sampler->sample_with_rng(rng);
  ASSERT_TRUE(x.has_value());
  const std::vector<Call> expected = {
      {0, {-5.0, 7.0}}, {1, {10.0, 7.0}}, {0, {10.0, 20.0}}, {1, {30.0, 20.0}}};
  EXPECT_EQ(*conditional.log, expected);
  EXPECT_EQ(*x, (std::vector<double>{30.0, 40.0}));
  EXPECT_TRUE(std::ranges::equal(sampler->state(), *x));
}

TEST(Gibbs, ZeroSweepsReturnTheStateWithoutCalls) {
  RecordingConditional conditional{3};
  auto sampler = GibbsSamplerNd<RecordingConditional>::build(conditional, 0, {1.0, 2.0, 3.0});
  const auto x = sampler->step();
  EXPECT_EQ(std::vector<double>(x.begin(), x.end()), (std::vector<double>{1.0, 2.0, 3.0}));
  EXPECT_TRUE(conditional.log->empty());
}

TEST(Gibbs, FailedValuesAreStoredAndPassedOn) {
  RecordingConditional conditional{2, std::make_shared<std::vector<Call>>(), kNaN};
  auto sampler = GibbsSamplerNd<RecordingConditional>::build(conditional, 1, {0.0, 0.0});
  const auto x = sampler->step();
  EXPECT_TRUE(std::isnan(x[0]) && std::isnan(x[1]));
  ASSERT_EQ(conditional.log->size(), 2u);
  EXPECT_TRUE(std::isnan((*conditional.log)[1].second[0]));
}

TEST(ConditionalFactorization, CallOrderAndPrefixes) {
  RecordingFactorization factorization;
  const ConditionalFactorSampler<RecordingFactorization> sampler(factorization, 3);
  const auto x = sampler.sample();
  ASSERT_TRUE(x.has_value());
  const std::vector<Call> expected = {{0, {}}, {1, {10.0}}, {2, {10.0, 20.0}}};
  EXPECT_EQ(*factorization.log, expected);
  EXPECT_EQ(*x, (std::vector<double>{10.0, 20.0, 30.0}));
}

TEST(ConditionalFactorization, BatchPointsAreBuiltFromFreshPrefixes) {
  RecordingFactorization factorization;
  const ConditionalFactorSampler<RecordingFactorization> sampler(factorization, 2);
  Rng rng = seed_from_u64(1);
  const auto batch = sampler.sample_n_with_rng(2, rng);
  ASSERT_TRUE(batch.has_value());
  const std::vector<Call> expected = {{0, {}}, {1, {10.0}}, {0, {}}, {1, {30.0}}};
  EXPECT_EQ(*factorization.log, expected);
  EXPECT_EQ(batch->values(), (std::vector<double>{10.0, 20.0, 30.0, 40.0}));
}

TEST(ConditionalFactorization, DimensionZeroFailsExceptForAnEmptyBatch) {
  RecordingFactorization factorization;
  const ConditionalFactorSampler<RecordingFactorization> sampler(factorization, 0);
  Rng rng = seed_from_u64(1);
  EXPECT_EQ(sampler.sample().error().message(), "mcmc sampler failed");
  EXPECT_EQ(sampler.sample_n_with_rng(2, rng).error().message(), "mcmc sampler failed");
  const auto empty = sampler.sample_n_with_rng(0, rng);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->size(), 0u);
  EXPECT_TRUE(factorization.log->empty());
}

TEST(ConditionalFactorization, HugeDimensionIsOutOfMemory) {
  const ConditionalFactorSampler<RecordingFactorization> sampler(RecordingFactorization{}, std::uint64_t{1} << 62);
  EXPECT_EQ(sampler.sample().error(), SampleError::out_of_memory());
}

// The generator handed to a batch reaches the user's conditional sampler.
TEST(ConditionalFactorization, SeededBatchRepeatsWhenTheFactorizationUsesTheGenerator) {
  const ConditionalFactorSampler<UniformFactorization> sampler(UniformFactorization{}, 3);
  Rng a = seed_from_u64(4);
  Rng b = seed_from_u64(4);
  EXPECT_EQ(sampler.sample_n_with_rng(5, a)->values(), sampler.sample_n_with_rng(5, b)->values());
}

}  // namespace
}  // namespace varlix
