// Ratio of uniforms over a given rectangle (Kinderman & Monahan 1977,
// "Computer generation of random variables using the ratio of uniform
// deviates", ACM TOMS 3).
//
// If (U, V) is uniform on A = {(u, v): 0 < u <= sqrt(f(v/u + c))}, then
// X = V/U + c has density proportional to f. The caller bounds A by the
// rectangle [0, umax] x [vmin, vmax] (umax = sup sqrt(f), vmin and vmax the
// inf and sup of (x - c) sqrt(f(x))); points of the rectangle outside A are
// rejected. No setup, no table: the right tool when the caller knows the
// bounds (a family with closed-form bounds). A rectangle that does not cover
// A gives draws from a different law; nothing here can detect that.
//
// API
//   RouSampler{umax, vmin, vmax, c}: preconditions umax > 0, vmin < vmax,
//     all finite (checked by the caller).
//   sampler.draw(pdf, src): one draw, two uniforms per trial (u, then v).
//   sampler.sample(pdf, src, out): block-wise, as SciPy's RatioUniforms uses
//     its uniforms, so that a seeded stream gives SciPy's draws: for the n
//     draws still missing, n uniforms for u, then n for v; the accepted
//     points are kept in order and the round repeats for the shortfall.
//   Both fail with bad_value(x, v) when pdf is NaN, negative or infinite at
//   x, and with no_mass() when kRouMaxTrials trials in a row are rejected (a
//   density that is zero on the rectangle must not loop).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "setup_error.hpp"
#include "uniform_source.hpp"

namespace varlix {

// Trials per draw before giving up: with a sensible rectangle the expected
// number is 2 * umax * (vmax - vmin) / area(f), a few at most; fifty thousand
// rejections in a row mean the rectangle misses the density.
inline constexpr std::uint64_t kRouMaxTrials = 50000;

struct RouSampler {
  double umax = 1.0;
  double vmin = -1.0;
  double vmax = 1.0;
  double c = 0.0;

  template <class F, UniformSource S>
  [[nodiscard]] std::expected<double, SetupError> draw(const F& pdf, S& src) const {
    for (std::uint64_t trial = 0; trial < kRouMaxTrials; ++trial) {
      const double u = umax * src.next_double();
      const double v = vmin + (vmax - vmin) * src.next_double();
      const auto kept = accept(pdf, u, v);
      if (!kept) return std::unexpected(kept.error());
      if (*kept) return v / u + c;
    }
    return std::unexpected(SetupError::no_mass());
  }

  // The u's of a round wait in out's unfilled tail: the i-th accepted point
  // of the round is written at or before the slot of the u it was made from,
  // so no u is overwritten before its v is drawn, and nothing is allocated.
  template <class F, UniformSource S>
  [[nodiscard]] std::expected<void, SetupError> sample(const F& pdf, S& src, std::span<double> out) const {
    std::size_t filled = 0;
    std::uint64_t rejected_in_row = 0;
    while (filled < out.size()) {
      const std::span<double> round = out.subspan(filled);
      for (double& u : round) u = umax * src.next_double();
      std::size_t kept = 0;
      for (const double u : round) {
        const double v = vmin + (vmax - vmin) * src.next_double();
        const auto ok = accept(pdf, u, v);
        if (!ok) return std::unexpected(ok.error());
        if (*ok) {
          round[kept++] = v / u + c;
          rejected_in_row = 0;
        } else {
          ++rejected_in_row;
        }
      }
      if (rejected_in_row >= kRouMaxTrials) return std::unexpected(SetupError::no_mass());
      filled += kept;
    }
    return {};
  }

 private:
  // Whether (u, v) lies in A. u = 0 (a uniform of exactly 0) has no ratio
  // and is rejected.
  template <class F>
  [[nodiscard]] std::expected<bool, SetupError> accept(const F& pdf, double u, double v) const {
    if (u == 0.0) return false;
    const double x = v / u + c;
    const double fx = pdf(x);
    if (!usable_density(fx)) return std::unexpected(SetupError::bad_value(x, fx));
    return u * u <= fx;
  }
};

}  // namespace varlix
