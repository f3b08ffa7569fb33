// The u-error of a numerical inverse CDF, |F(ppf(u)) - u|, measured with the
// exact CDF F over given u values: its maximum and mean. The inversion
// methods report it as their accuracy diagnostic. F is the user's CDF of the
// untruncated distribution; on a domain [lo, hi] it is renormalized to
// (F(x) - F(lo)) / (F(hi) - F(lo)).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <expected>
#include <span>
#include <vector>

#include "evaluate.hpp"
#include "memory.hpp"
#include "setup_error.hpp"

namespace varlix {

struct UError {
  double max;
  double mean;
};

// NaN in both fields when F fails (returns NaN) anywhere.
template <class Table, class C>
[[nodiscard]] std::expected<UError, SetupError> measure_u_error(const Table& table, const C& cdf, double lo, double hi,
                                                                std::span<const double> us) {
  std::vector<double> xs;
  std::vector<double> ys;
  if (!try_resize(xs, us.size() + 2) || !try_resize(ys, us.size() + 2)) {
    return std::unexpected(SetupError::out_of_memory());
  }
  for (std::size_t i = 0; i < us.size(); ++i) xs[i] = table.ppf(us[i]);
  // The ends ride in the same batch; an infinite end is never evaluated.
  xs[us.size()] = std::isfinite(lo) ? lo : 0.0;
  xs[us.size() + 1] = std::isfinite(hi) ? hi : 0.0;
  evaluate(cdf, std::span<const double>(xs), std::span<double>(ys));
  const double f_lo = std::isfinite(lo) ? ys[us.size()] : 0.0;
  const double f_hi = std::isfinite(hi) ? ys[us.size() + 1] : 1.0;
  const double mass = f_hi - f_lo;
  double worst = 0.0;
  double sum = 0.0;
  for (std::size_t i = 0; i < us.size(); ++i) {
    const double e = std::abs((ys[i] - f_lo) / mass - us[i]);
    if (std::isnan(e)) return UError{e, e};
    worst = std::max(worst, e);
    sum += e;
  }
  return UError{worst, us.empty() ? 0.0 : sum / static_cast<double>(us.size())};
}

}  // namespace varlix
