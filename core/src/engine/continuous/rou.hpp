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
//   sampler.draw(pdf, src), sampler.sample(pdf, src, out): two uniforms per
//     trial (u, then v). Fails with bad_value(x, v) when pdf is NaN, negative
//     or infinite at x, and with no_mass() when kRouMaxTrials trials in a row
//     are rejected (a density that is zero on the rectangle must not loop).
#pragma once

#include <cmath>
#include <cstdint>
#include <expected>
#include <span>

#include "draw_loop.hpp"
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
      // 1 - U keeps u away from 0, where v/u has no value.
      const double u = umax * (1.0 - src.next_double());
      const double v = vmin + (vmax - vmin) * src.next_double();
      const double x = v / u + c;
      const double fx = pdf(x);
      if (!usable_density(fx)) {
        return std::unexpected(SetupError::bad_value(x, fx));
      }
      if (u * u <= fx) return x;
    }
    return std::unexpected(SetupError::no_mass());
  }

  template <class F, UniformSource S>
  [[nodiscard]] std::expected<void, SetupError> sample(const F& pdf, S& src, std::span<double> out) const {
    return fill_with_draws(out, [&] { return draw(pdf, src); });
  }
};

}  // namespace varlix
