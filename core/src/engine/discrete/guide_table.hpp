// Indexed search for a finite discrete distribution (Chen & Asau 1974, "On
// generating random variates from an empirical distribution", AIIE
// Transactions 6): inversion of the cumulative table, started from a guide
// entry so that a draw costs about two comparisons.
//
// The right tool when draws must be monotone in the uniform (inversion:
// quantiles, common random numbers, quasi-Monte Carlo); the alias urn is as
// fast but not monotone.
//
// API
//   build_guide_table(pv, options) -> GuideTable or SetupError
//     pv: non-negative finite masses, not necessarily normalized, at least one
//         positive. A negative, NaN or infinite entry k gives
//         bad_value(k, pv[k]); all zero (or empty) gives no_mass().
//     options.guide_factor >= 0: guide entries per value (at least one entry in
//       all; negative or NaN acts as 1; above 64 acts as 64, where the search
//       is already down to one comparison). Vectors of up to 2048 values get
//       16 entries per value at least, for speed; results never depend on it.
//     options.domain_lo: the value of pv[0]; results are domain_lo + index.
//       Stored tables hold it as a double: |domain_lo| <= 2^53 (checked by
//       the caller) for a table to load again.
//   table.draw(src) / table.sample(src, out): the smallest value k with
//     CDF(k) > U for one uniform U per draw, in order; never a value of zero mass.
//   table.ppf(u): the smallest value k with CDF(k) >= u for 0 < u < 1;
//     ppf(0) = domain_lo - 1, ppf(1) = the last value of the vector,
//     NaN for u outside [0, 1] or NaN.
//   table.cdf_at(k), table.mass(k): the normalized CDF and mass of index k.
//   table.to_words() / GuideTable::from_words(words): flat storage; the guide
//     is rebuilt from the stored cumulative table, which from_words checks
//     (finite, non-decreasing, within [0, 1], last entry 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "setup_error.hpp"
#include "uniform_source.hpp"

namespace varlix {

struct GuideTableOptions {
  double guide_factor = 1.0;
  std::int64_t domain_lo = 0;
};

class GuideTable {
 public:
  [[nodiscard]] static std::expected<GuideTable, SetupError> from_words(std::span<const double> words);
  [[nodiscard]] std::vector<double> to_words() const;

  template <UniformSource S>
  [[nodiscard]] std::int64_t draw(S& src) const {
    return domain_lo_ + static_cast<std::int64_t>(draw_index(src.next_double()));
  }

  template <UniformSource S>
  void sample(S& src, std::span<std::int64_t> out) const {
    for (std::int64_t& value : out) value = draw(src);
  }

  [[nodiscard]] double ppf(double u) const;

  [[nodiscard]] std::size_t size() const { return cumulative_.size(); }
  [[nodiscard]] std::size_t guide_size() const { return guide_.size(); }
  [[nodiscard]] std::int64_t domain_lo() const { return domain_lo_; }
  [[nodiscard]] std::span<const double> cumulative() const { return cumulative_; }
  // Index k below size(); the CDF and mass at domain_lo + k.
  [[nodiscard]] double cdf_at(std::size_t k) const { return cumulative_[k]; }
  [[nodiscard]] double mass(std::size_t k) const {
    return k == 0 ? cumulative_[0] : cumulative_[k] - cumulative_[k - 1];
  }

  friend std::expected<GuideTable, SetupError> build_guide_table(std::span<const double> pv,
                                                                const GuideTableOptions& options);

 private:
  GuideTable() = default;
  // A guide of at least `requested` entries.
  [[nodiscard]] std::expected<void, SetupError> build_guide(std::size_t requested);

  // The smallest index whose cumulative value exceeds u, for u in [0, 1):
  // the last positive entry is exactly 1, so the walk stops at or before it
  // (the bound on k only guards against a source that breaks its contract).
  [[nodiscard]] std::size_t draw_index(double u) const {
    std::size_t cell = static_cast<std::size_t>(u * static_cast<double>(guide_.size()));
    if (cell >= guide_.size()) cell = guide_.size() - 1;
    std::size_t k = guide_[cell];
    while (k + 1 < cumulative_.size() && cumulative_[k] <= u) ++k;
    return k;
  }

  std::int64_t domain_lo_ = 0;
  std::vector<double> cumulative_;  // normalized; exactly 1 from the last positive mass on
  std::vector<std::size_t> guide_;  // guide_[j]: smallest k with cumulative_[k] > j / guide_size
};

[[nodiscard]] std::expected<GuideTable, SetupError> build_guide_table(std::span<const double> pv,
                                                                     const GuideTableOptions& options = {});

}  // namespace varlix
