#include "multivar/support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "multivar_test_density.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

using testing::constant_density;
using testing::draws_between;
using testing::make_box;
using testing::TestDensity;

constexpr double kMax = std::numeric_limits<double>::max();

struct BoxCase {
  std::vector<double> lo;
  std::vector<double> hi;
  const char* message;
};

TEST(HyperRect, ValidationOrderAndMessages) {
  const std::vector<BoxCase> cases = {
      {{}, {}, "invalid support interval: hyper-rect cannot be empty"},
      {{0.0}, {}, "invalid support interval: hyper-rect cannot be empty"},
      {{}, {1.0}, "invalid support interval: hyper-rect cannot be empty"},
      {{0.0, 0.0}, {1.0}, "invalid support interval: hyper-rect lo/hi must have same dimension"},
      // Index 0 decides before the reversed bounds at index 1 are seen.
      {{0.0, 5.0}, {kNaN, 1.0}, "non-finite value in hyper-rect bounds"},
      {{0.0, 5.0}, {1.0, kInf}, "non-finite value in hyper-rect bounds"},
      {{-kInf}, {0.0}, "non-finite value in hyper-rect bounds"},
      // ... and here before the NaN at index 1.
      {{2.0, 0.0}, {1.0, kNaN}, "invalid support interval: each lo must be < hi"},
      {{0.0}, {0.0}, "invalid support interval: each lo must be < hi"},
  };
  for (const auto& c : cases) {
    const auto box = HyperRect::build(c.lo, c.hi);
    ASSERT_FALSE(box.has_value()) << c.message;
    EXPECT_EQ(box.error().message(), c.message);
  }
}

TEST(HyperRect, KeepsItsBoundsAndCopiesValidated) {
  const auto box = HyperRect::build({0.0, 1.0}, {2.0, 3.0});
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->lo(), (std::vector<double>{0.0, 1.0}));
  EXPECT_EQ(box->hi(), (std::vector<double>{2.0, 3.0}));
  EXPECT_EQ(box->dim(), 2u);
  EXPECT_EQ(copy_validated(*box), box);
}

struct ReflectCase {
  double y, lo, hi, expected;
};

// The plain mirror chain, bit for bit, including its rounding.
TEST(Reflect, MirrorsFiniteValuesAsOftenAsNeeded) {
  const std::vector<ReflectCase> cases = {
      {-0.25, 0.0, 1.0, 0.25},
      {1.5, 0.0, 1.0, 0.5},
      {3.25, 0.0, 1.0, 0.75},                  // 3.25 -> -1.25 -> 1.25 -> 0.75
      {1.3, 0.0, 1.0, 0.7},
      {-2.6, 0.0, 1.0, 0.6000000000000001},    // -2.6 -> 2.6 -> -0.6 -> 0.6, rounded
      {7.3, -1.0, 2.5, 0.2999999999999998},
      {-13.1, 0.1, 0.7, 0.10000000000000142},  // 22 mirrors, rounding accumulates
      {0.0, 0.0, 1.0, 0.0},                    // bounds stay put
      {1.0, 0.0, 1.0, 1.0},
      {2.0, 0.0, 1.0, 0.0},
      {2048.75, 0.0, 1.0, 0.75},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reflect(c.y, c.lo, c.hi), c.expected) << c.y << " in [" << c.lo << ", " << c.hi << "]";
  }
}

TEST(Reflect, NonFiniteValuesComeBackUnchanged) {
  EXPECT_EQ(reflect(kInf, 0.0, 1.0), kInf);
  EXPECT_EQ(reflect(-kInf, 0.0, 1.0), -kInf);
  EXPECT_TRUE(std::isnan(reflect(kNaN, 0.0, 1.0)));
}

// Far values are folded modulo 2w; with exact (dyadic) arithmetic the fold
// lands where the mirror chain would, on both sides of the pass limit.
TEST(Reflect, FoldsFarValuesToTheirMirrorImage) {
  const std::vector<ReflectCase> cases = {
      {4096.25, 0.0, 1.0, 0.25},
      {4097.25, 0.0, 1.0, 0.75},
      {-4097.25, 0.0, 1.0, 0.75},
      {0x1.0p40 + 0.25, 0.0, 1.0, 0.25},
      {0x1.0p40 + 1.75, 0.0, 1.0, 0.25},
      {-0x1.0p40 - 0.25, 0.0, 1.0, 0.25},
      {0x1.0p60, 3.0, 3.5, 3.0},  // 2^60 - 3 is a whole number of periods from lo
  };
  for (const auto& c : cases) EXPECT_EQ(reflect(c.y, c.lo, c.hi), c.expected) << c.y;
  for (int k = 4080; k < 4110; ++k) {
    EXPECT_EQ(reflect(k + 0.25, 0.0, 1.0), k % 2 == 0 ? 0.25 : 0.75) << k;
  }
}

// Inputs on which the plain chain never ends: a width lost in the rounding of
// y, and mirrors that overflow to +-inf and alternate forever.
TEST(Reflect, EndsInsideTheBoxForEveryFiniteValue) {
  const std::vector<ReflectCase> cases = {
      {1e300, 0.0, 1.0, 0},
      {-1e300, 0.0, 1e-3, 0},
      {1e308, 0.0, 5e-324, 0},
      {-kMax, 1e16, 1e16 + 2.0, 0},
      {kMax, -kMax, -0.4 * kMax, 0},
      {0.0, -kMax, -0.9 * kMax, 0},
      {-kMax, 0.9 * kMax, kMax, 0},
      {kMax, -kMax, kMax * 0.999, 0},
      {kMax, 1e300, std::nextafter(1e300, kInf), 0},
      {-kMax, 0.75 * kMax, std::nextafter(0.75 * kMax, kInf), 0},
  };
  for (const auto& c : cases) {
    const double z = reflect(c.y, c.lo, c.hi);
    EXPECT_TRUE(c.lo <= z && z <= c.hi) << c.y << " -> " << z;
  }
  // A spread of magnitudes and widths.
  Rng rng = seed_from_u64(11);
  for (int k = 0; k < 2000; ++k) {
    const double lo = std::ldexp(standard_uniform(rng) - 0.5, static_cast<int>(standard_uniform(rng) * 2000) - 1000);
    const double width = std::ldexp(1.0, static_cast<int>(standard_uniform(rng) * 1000) - 990);
    const double hi = lo + width;
    if (!(lo < hi) || !std::isfinite(hi)) continue;
    const double y = std::ldexp(standard_uniform(rng) - 0.5, static_cast<int>(standard_uniform(rng) * 2040) - 1020);
    const double z = reflect(y, lo, hi);
    EXPECT_TRUE(lo <= z && z <= hi) << y << " into [" << lo << ", " << hi << "] -> " << z;
  }
}

TEST(LogDensity, Convention) {
  EXPECT_EQ(log_density(1.0), 0.0);
  EXPECT_EQ(log_density(std::exp(2.0)), std::log(std::exp(2.0)));
  EXPECT_EQ(log_density(kInf), kInf);
  for (const double v : {0.0, -0.0, -1.0, -kInf, kNaN}) EXPECT_EQ(log_density(v), -kInf) << v;
}

TEST(LogDensity, ProposalWithNonFiniteCoordinateIsInvalidButStillCallsTheDensity) {
  const TestDensity pdf = constant_density(make_box({0.0, 0.0}, {1.0, 1.0}), 2.0);
  EXPECT_EQ(proposal_log_density(pdf, std::vector<double>{0.5, 0.5}), std::log(2.0));
  for (const double bad : {kNaN, kInf, -kInf}) {
    EXPECT_EQ(proposal_log_density(pdf, std::vector<double>{0.5, bad}), -kInf);
  }
  EXPECT_EQ(*pdf.calls, 4u);
}

TEST(UniformPoint, OneDrawPerCoordinateInOrder) {
  const HyperRect box = make_box({-1.0, 10.0, 0.0}, {1.0, 20.0, 0.5});
  Rng rng = seed_from_u64(3);
  Rng copy = rng;
  std::vector<double> x(3);
  uniform_point(box, rng, x);
  for (std::size_t j = 0; j < 3; ++j) {
    const double u = standard_uniform(copy);
    EXPECT_EQ(x[j], u * (box.hi()[j] - box.lo()[j]) + box.lo()[j]);
  }
  EXPECT_EQ(rng, copy);
}

TEST(InitialState, FirstPointWithFiniteLogDensity) {
  // Valid only in the upper half of the first coordinate.
  const TestDensity pdf{make_box({0.0, 0.0}, {1.0, 1.0}),
                        [](std::span<const double> x) { return x[0] > 0.5 ? 3.0 : 0.0; }};
  Rng rng = seed_from_u64(5);
  const Rng start = rng;
  std::vector<double> point(2);
  const auto l = find_initial_state(pdf, pdf.box, 100, rng, point);
  ASSERT_TRUE(l.has_value());
  EXPECT_EQ(*l, std::log(3.0));
  EXPECT_GT(point[0], 0.5);
  EXPECT_EQ(draws_between(start, rng), 2 * *pdf.calls);
}

TEST(InitialState, FailsAfterMaxTrials) {
  const TestDensity pdf = constant_density(make_box({0.0, 0.0, 0.0}, {1.0, 1.0, 1.0}), kNaN);
  Rng rng = seed_from_u64(5);
  const Rng start = rng;
  std::vector<double> point(3);
  const auto l = find_initial_state(pdf, pdf.box, 17, rng, point);
  ASSERT_FALSE(l.has_value());
  EXPECT_EQ(l.error().message(), "mcmc sampler failed");
  EXPECT_EQ(*pdf.calls, 17u);
  EXPECT_EQ(draws_between(start, rng), 3u * 17u);
}

TEST(PointBatch, TooLargeIsOutOfMemory) {
  for (const std::uint64_t count : {std::uint64_t{1} << 62, ~std::uint64_t{0}}) {
    const auto batch = PointBatch::with_capacity(count, 3);
    ASSERT_FALSE(batch.has_value());
    EXPECT_EQ(batch.error(), SampleError::out_of_memory());
  }
}

TEST(PointBatch, RowsInOrder) {
  auto batch = PointBatch::with_capacity(2, 2);
  ASSERT_TRUE(batch.has_value());
  batch->push_back(std::vector<double>{1.0, 2.0});
  batch->push_back(std::vector<double>{3.0, 4.0});
  EXPECT_EQ(batch->size(), 2u);
  EXPECT_EQ((*batch)[1][0], 3.0);
  EXPECT_EQ(batch->values(), (std::vector<double>{1.0, 2.0, 3.0, 4.0}));
}

}  // namespace
}  // namespace varlix
