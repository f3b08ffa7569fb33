// Simple ratio-of-uniforms for T_{-1/2}-concave densities (Leydold 2001, "A
// simple universal generator for continuous and discrete univariate
// T-concave distributions", ACM TOMS 27).
//
// If f is T_{-1/2}-concave with mode m, the region
//   A = {(u, v): 0 < u <= sqrt(f(v/u + m))}
// is convex with area A_f / 2 (A_f the area below f), and it lies in the
// rectangle [0, um] x [vl, vr] with um = sqrt(f(m)), vl = -A_f / um,
// vr = A_f / um. A point uniform in A gives X = V/U + m with density f. With
// F(m), the mass left of the mode, the rectangle shrinks to
// vl = -F(m) A_f / um, vr = (1 - F(m)) A_f / um, which halves the expected
// number of trials (2 instead of 4). Setup is one density value: the right
// tool for few draws per shape parameter, or as a universal fallback.
//
// With the exact area and F(m), A also contains the rhombus with vertices
// (0, 0), (um/2, vl/2), (um, 0), (um/2, vr/2) (a line through the centre of
// either half-rectangle halves it, and the part of A on that side fills half
// of it), so points there are accepted without calling f. An upper bound on
// the area (which the rectangle allows) voids this, so the squeeze is off
// unless asked for.
//
// API
//   build_srou(pdf, options) -> SrouSampler or SetupError
//     options: mode (required, inside the domain), pdf_area (> 0; exact or an
//     upper bound), domain, cdf_at_mode (optional, in [0, 1]), use_squeeze.
//     Errors: bad_value(m, f(m)) when f(m) is NaN/negative/infinite,
//     no_mass() when f(m) = 0, pdf_area <= 0 or the mode lies outside the
//     domain, divergent() for an infinite or NaN area, bad_value(m, F) for a
//     cdf_at_mode outside [0, 1].
//   sampler.draw(pdf, src), sampler.sample(pdf, src, out): two uniforms per
//     trial (u, then v). Fails with bad_value(x, v) when pdf fails at x and
//     no_mass() after kSrouMaxTrials trials.
//   sampler.to_words() / SrouSampler::from_words(words): flat storage.
#pragma once

#include <cmath>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "draw_loop.hpp"
#include "setup_error.hpp"
#include "uniform_source.hpp"

namespace varlix {

// Trials per draw before giving up. The expected number is at most 4 for a
// T_{-1/2}-concave density with a correct area; reaching this bound means the
// density is (nearly) zero where the rectangle lies: a wrong mode or area.
inline constexpr std::uint64_t kSrouMaxTrials = 100000;

struct SrouOptions {
  double mode = 0.0;
  double pdf_area = 1.0;
  double domain_lo = -std::numeric_limits<double>::infinity();
  double domain_hi = std::numeric_limits<double>::infinity();
  std::optional<double> cdf_at_mode{};
  bool use_squeeze = false;
};

class SrouSampler {
 public:
  template <class F>
  friend std::expected<SrouSampler, SetupError> build_srou(const F& pdf, const SrouOptions& options);

  [[nodiscard]] static std::expected<SrouSampler, SetupError> from_words(std::span<const double> words);
  [[nodiscard]] std::vector<double> to_words() const;

  template <class F, UniformSource S>
  [[nodiscard]] std::expected<double, SetupError> draw(const F& pdf, S& src) const {
    for (std::uint64_t trial = 0; trial < kSrouMaxTrials; ++trial) {
      // u = umax U as SciPy draws it (seeded streams then give its draws);
      // U = 0, where v/u has no value, is drawn again.
      double unit = src.next_double();
      while (unit == 0.0) unit = src.next_double();
      const double u = umax_ * unit;
      const double v = vmin_ + (vmax_ - vmin_) * src.next_double();
      const double x = v / u + mode_;
      if (!(x >= lo_ && x <= hi_)) continue;
      if (squeeze_ && in_squeeze(u, v)) return x;
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

  [[nodiscard]] double umax() const { return umax_; }
  [[nodiscard]] double vmin() const { return vmin_; }
  [[nodiscard]] double vmax() const { return vmax_; }
  [[nodiscard]] double mode() const { return mode_; }
  [[nodiscard]] bool uses_squeeze() const { return squeeze_; }

 private:
  SrouSampler() = default;

  // Inside the rhombus (0,0), (um/2, vl/2), (um, 0), (um/2, vr/2).
  [[nodiscard]] bool in_squeeze(double u, double v) const {
    const double reach = std::fmin(u, umax_ - u) / umax_;
    return v < 0.0 ? v >= vmin_ * reach : v <= vmax_ * reach;
  }

  double mode_ = 0.0;
  double lo_ = 0.0, hi_ = 0.0;
  double umax_ = 0.0, vmin_ = 0.0, vmax_ = 0.0;
  bool squeeze_ = false;
};

template <class F>
[[nodiscard]] std::expected<SrouSampler, SetupError> build_srou(const F& pdf, const SrouOptions& options) {
  const double m = options.mode;
  if (!(m >= options.domain_lo && m <= options.domain_hi && std::isfinite(m))) {
    return std::unexpected(SetupError::no_mass());
  }
  const double area = options.pdf_area;
  if (area <= 0.0) return std::unexpected(SetupError::no_mass());
  if (!std::isfinite(area)) return std::unexpected(SetupError::divergent());
  const double left = options.cdf_at_mode.value_or(0.0);
  if (!(left >= 0.0 && left <= 1.0)) return std::unexpected(SetupError::bad_value(m, left));
  const double fm = pdf(m);
  if (!usable_density(fm)) {
    return std::unexpected(SetupError::bad_value(m, fm));
  }
  if (fm == 0.0) return std::unexpected(SetupError::no_mass());

  SrouSampler s;
  s.mode_ = m;
  s.lo_ = options.domain_lo;
  s.hi_ = options.domain_hi;
  s.umax_ = std::sqrt(fm);
  const double width = area / s.umax_;
  if (options.cdf_at_mode) {
    s.vmin_ = -left * width;
    s.vmax_ = (1.0 - left) * width;
  } else {
    s.vmin_ = -width;
    s.vmax_ = width;
  }
  s.squeeze_ = options.use_squeeze;
  return s;
}

}  // namespace varlix
