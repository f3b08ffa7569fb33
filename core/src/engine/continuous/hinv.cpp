#include "continuous/hinv.hpp"

#include <array>

#include "table_words.hpp"

namespace varlix {

namespace {

// Leading words of a stored table: a tag ("HINV" in ASCII) and the layout version.
constexpr double kTag = 1212763734.0;
constexpr double kVersion = 1.0;
// More intervals than any build makes; keeps the size arithmetic of a
// corrupted header far from overflow.
constexpr std::size_t kMaxStoredIntervals = 100'000'000;
// The derivative of an interpolant is checked at this many steps across [0, 1].
constexpr int kMonotoneChecks = 16;

[[nodiscard]] bool push(std::vector<double>& v, double x) {
  if (v.size() == v.capacity() && !try_reserve(v, std::max<std::size_t>(16, 2 * v.capacity()))) return false;
  v.push_back(x);
  return true;
}

[[nodiscard]] bool all_finite(std::span<const double> values) {
  return std::ranges::all_of(values, [](double v) { return std::isfinite(v); });
}

}  // namespace

// a_0..a_order of the interpolant in t = (u - a.p) / (b.p - a.p).
void HinvTable::coefficients(int order, const End& a, const End& b, std::span<double> c) {
  std::ranges::fill(c, 0.0);
  const double dp = b.p - a.p;
  const double dx = b.x - a.x;
  const double d0 = dp * a.dx;
  const double d1 = dp * b.dx;
  c[0] = a.x;
  // Linear where the order asks for it or a slope is infinite (density 0).
  if (order == 1 || !std::isfinite(d0) || !std::isfinite(d1)) {
    c[1] = dx;
    return;
  }
  const double s0 = dp * dp * a.d2x;
  const double s1 = dp * dp * b.d2x;
  if (order == 3 || !std::isfinite(s0) || !std::isfinite(s1)) {
    c[1] = d0;
    c[2] = 3.0 * dx - 2.0 * d0 - d1;
    c[3] = -2.0 * dx + d0 + d1;
    return;
  }
  c[1] = d0;
  c[2] = 0.5 * s0;
  c[3] = 10.0 * dx - 6.0 * d0 - 4.0 * d1 - 0.5 * (3.0 * s0 - s1);
  c[4] = -15.0 * dx + 8.0 * d0 + 7.0 * d1 + 0.5 * (3.0 * s0 - 2.0 * s1);
  c[5] = 6.0 * dx - 3.0 * d0 - 3.0 * d1 - 0.5 * (s0 - s1);
}

double HinvTable::interpolate(int order, const End& a, const End& b, double t) {
  std::array<double, 6> c{};
  const auto k = static_cast<std::size_t>(order);
  coefficients(order, a, b, std::span(c).first(k + 1));
  double x = c[k];
  for (std::size_t j = k; j-- > 0;) x = x * t + c[j];
  return x;
}

bool HinvTable::falls_back(int order, const End& a, const End& b) {
  const double dp = b.p - a.p;
  return order == 1 || !(std::isfinite(dp * a.dx) && std::isfinite(dp * b.dx));
}

bool HinvTable::monotone(int order, const End& a, const End& b) {
  std::array<double, 6> c{};
  const auto k = static_cast<std::size_t>(order);
  coefficients(order, a, b, std::span(c).first(k + 1));
  for (int step = 0; step <= kMonotoneChecks; ++step) {
    const double t = static_cast<double>(step) / kMonotoneChecks;
    double slope = static_cast<double>(k) * c[k];
    for (std::size_t j = k - 1; j >= 1; --j) slope = slope * t + static_cast<double>(j) * c[j];
    if (slope < 0.0) return false;
  }
  return true;
}

bool HinvTable::append(const End& a, const End& b) {
  std::array<double, 6> c{};
  const auto k = static_cast<std::size_t>(order_);
  coefficients(order_, a, b, std::span(c).first(k + 1));
  if (!push(p_, a.p) || !push(x_starts_, a.x)) return false;
  for (std::size_t j = 1; j <= k; ++j) {
    if (!push(coefs_, c[j])) return false;
  }
  return true;
}

bool HinvTable::finish(const End& last, double midpoint_error) {
  midpoint_error_ = midpoint_error;
  return push(p_, last.p) && push(x_starts_, last.x) && guide_.build(p_);
}

double HinvTable::ppf_unchecked(double u) const {
  const double target = p_.front() + u * (p_.back() - p_.front());
  const std::size_t i = guide_.locate(p_, target);
  const double t = (target - p_[i]) / (p_[i + 1] - p_[i]);
  const auto k = static_cast<std::size_t>(order_);
  const double* c = coefs_.data() + i * k;  // a_1 .. a_k
  double x = c[k - 1];
  for (std::size_t j = k - 1; j >= 1; --j) x = x * t + c[j - 1];
  x = x * t + x_starts_[i];
  return std::clamp(x, x_starts_[i], x_starts_[i + 1]);
}

void HinvTable::ppf_in_place(std::span<double> values) const {
  for (double& value : values) value = ppf_unchecked(value);
}

double HinvTable::ppf(double u) const {
  if (!(u >= 0.0 && u <= 1.0)) return std::numeric_limits<double>::quiet_NaN();
  return ppf_unchecked(u);
}

std::vector<double> HinvTable::to_words() const {
  std::vector<double> w{kTag,
                        kVersion,
                        static_cast<double>(order_),
                        static_cast<double>(intervals()),
                        u_resolution_,
                        domain_lo_,
                        domain_hi_,
                        midpoint_error_};
  w.insert(w.end(), p_.begin(), p_.end());
  w.insert(w.end(), x_starts_.begin(), x_starts_.end());
  w.insert(w.end(), coefs_.begin(), coefs_.end());
  return w;
}

std::expected<HinvTable, SetupError> HinvTable::from_words(std::span<const double> words) {
  WordReader in(words);
  const auto bad = std::unexpected(SetupError::bad_table());
  if (in.value() != kTag || in.value() != kVersion) return bad;
  const auto order = in.count(5);
  const auto count = in.count(kMaxStoredIntervals);
  const auto header = std::array{in.value(), in.value(), in.value(), in.value()};
  if (!order || !(*order == 1 || *order == 3 || *order == 5) || !count || *count < 1) return bad;
  for (const auto& word : header) {
    if (!word) return bad;
  }
  const double u_resolution = *header[0];
  const double lo = *header[1];
  const double hi = *header[2];
  const double midpoint_error = *header[3];
  if (!(u_resolution > 0.0 && std::isfinite(u_resolution)) || !(lo < hi) ||
      !(midpoint_error >= 0.0 && std::isfinite(midpoint_error))) {
    return bad;
  }
  const std::size_t k = *order;
  const std::size_t m = *count;
  const auto p_read = in.array(m + 1);
  const auto x_read = in.array(m + 1);
  const auto coefs_read = in.array(m * k);
  if (!p_read || !x_read || !coefs_read || !in.at_end()) return bad;
  const std::span<const double> p = *p_read;
  const std::span<const double> x_starts = *x_read;
  const std::span<const double> coefs = *coefs_read;
  if (!all_finite(p) || !all_finite(x_starts) || !all_finite(coefs)) return bad;
  for (std::size_t i = 0; i < m; ++i) {
    if (!(p[i + 1] > p[i]) || !(x_starts[i + 1] >= x_starts[i])) return bad;
  }
  if (x_starts[0] < lo || x_starts[m] > hi) return bad;

  HinvTable table(static_cast<int>(k), u_resolution, lo, hi);
  if (!try_reserve(table.p_, m + 1) || !try_reserve(table.x_starts_, m + 1) || !try_reserve(table.coefs_, coefs.size())) {
    return std::unexpected(SetupError::out_of_memory());
  }
  table.p_.assign(p.begin(), p.end());
  table.x_starts_.assign(x_starts.begin(), x_starts.end());
  table.coefs_.assign(coefs.begin(), coefs.end());
  table.midpoint_error_ = midpoint_error;
  if (!table.guide_.build(table.p_)) return std::unexpected(SetupError::out_of_memory());
  return table;
}

}  // namespace varlix
