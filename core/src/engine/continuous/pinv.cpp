#include "continuous/pinv.hpp"

#include <array>
#include <numbers>

#include "table_words.hpp"

namespace varlix {

namespace {

// Leading words of a stored table: a tag ("PINV" in ASCII) and the layout version.
constexpr double kTag = 1346981462.0;
constexpr double kVersion = 1.0;
// More intervals than any build makes; keeps the size arithmetic of a
// corrupted header far from overflow.
constexpr std::size_t kMaxStoredIntervals = 100'000'000;

[[nodiscard]] bool append_all(std::vector<double>& v, std::span<const double> values) {
  if (v.size() + values.size() > v.capacity() &&
      !try_reserve(v, std::max(2 * v.capacity(), v.size() + values.size()))) {
    return false;
  }
  v.insert(v.end(), values.begin(), values.end());
  return true;
}

[[nodiscard]] bool all_finite(std::span<const double> values) {
  return std::ranges::all_of(values, [](double v) { return std::isfinite(v); });
}

[[nodiscard]] bool strictly_increasing(std::span<const double> values) {
  for (std::size_t i = 1; i < values.size(); ++i) {
    if (!(values[i] > values[i - 1])) return false;
  }
  return true;
}

}  // namespace

namespace pinv_detail {

NodePattern node_pattern(int order) {
  NodePattern p;
  const double n = order;
  const auto point = [n](double j) { return 0.5 * (1.0 - std::cos(j * std::numbers::pi / n)); };
  for (int j = 0; j <= order; ++j) p.nodes[static_cast<std::size_t>(j)] = point(j);
  p.nodes[0] = 0.0;
  p.nodes[static_cast<std::size_t>(order)] = 1.0;
  for (int k = 1; k <= order; ++k) {
    const double lo = p.nodes[static_cast<std::size_t>(k - 1)];
    const double hi = p.nodes[static_cast<std::size_t>(k)];
    p.test[static_cast<std::size_t>(k - 1)] = (point(k - 0.5) - lo) / (hi - lo);
  }
  return p;
}

void divided_differences(std::span<const double> v, std::span<double> values) {
  const std::size_t n = v.size() - 1;
  for (std::size_t k = 1; k <= n; ++k) {
    for (std::size_t j = n; j >= k; --j) values[j] = (values[j] - values[j - 1]) / (v[j] - v[j - k]);
  }
}

double newton_value(std::span<const double> v, std::span<const double> c, double t) {
  const std::size_t n = v.size() - 1;
  double p = c[n];
  for (std::size_t j = n; j-- > 0;) p = p * (t - v[j]) + c[j];
  return p;
}

double tail_bound(double fx, double f_inner, double step) {
  if (fx == 0.0) return 0.0;
  if (!(f_inner > fx) || !(step > 0.0)) return std::numeric_limits<double>::infinity();
  // Tangent to g = f^(-1/2) at x with slope b: the tail of (g + b t)^-2 is 1 / (b g).
  const double g = 1.0 / std::sqrt(fx);
  const double slope = (g - 1.0 / std::sqrt(f_inner)) / step;
  return 1.0 / (slope * g);
}

}  // namespace pinv_detail

bool PinvTable::append(double x, double u, std::span<const double> nodes, std::span<const double> coefs) {
  const std::array<double, 1> xa{x};
  const std::array<double, 1> ua{u};
  return append_all(x_starts_, xa) && append_all(u_starts_, ua) && append_all(nodes_, nodes) &&
         append_all(coefs_, coefs);
}

bool PinvTable::finish(double x, double u, double max_error) {
  const std::array<double, 1> xa{x};
  const std::array<double, 1> ua{u};
  max_error_ = max_error;
  return append_all(x_starts_, xa) && append_all(u_starts_, ua) && guide_.build(u_starts_);
}

double PinvTable::newton(std::size_t i, double v) const {
  const auto n = static_cast<std::size_t>(order_);
  const double* c = coefs_.data() + i * n;            // c_1 .. c_n
  const double* nodes = nodes_.data() + i * (n - 1);  // v_1 .. v_{n-1}
  double p = c[n - 1];
  for (std::size_t j = n - 1; j >= 1; --j) p = p * (v - nodes[j - 1]) + c[j - 1];
  return p * v + x_starts_[i];
}

std::pair<double, double> PinvTable::newton_with_slope(std::size_t i, double v) const {
  const auto n = static_cast<std::size_t>(order_);
  const double* c = coefs_.data() + i * n;
  const double* nodes = nodes_.data() + i * (n - 1);
  double p = c[n - 1];
  double dp = 0.0;
  for (std::size_t j = n - 1; j >= 1; --j) {
    dp = dp * (v - nodes[j - 1]) + p;
    p = p * (v - nodes[j - 1]) + c[j - 1];
  }
  dp = dp * v + p;
  p = p * v + x_starts_[i];
  return {p, dp};
}

double PinvTable::ppf_unchecked(double u) const {
  const double target = u * area();
  const std::size_t i = guide_.locate(u_starts_, target);
  const double x = newton(i, target - u_starts_[i]);
  return std::clamp(x, x_starts_[i], x_starts_[i + 1]);
}

void PinvTable::ppf_in_place(std::span<double> values) const {
  for (double& value : values) value = ppf_unchecked(value);
}

double PinvTable::ppf(double u) const {
  if (!(u >= 0.0 && u <= 1.0)) return std::numeric_limits<double>::quiet_NaN();
  return ppf_unchecked(u);
}

double PinvTable::local_inverse(std::size_t i, double x) const {
  // Safeguarded Newton on P_i(v) = x over the interval's u-range: bisection
  // whenever a Newton step leaves the bracket.
  constexpr int kMaxSteps = 100;
  double lo = 0.0;
  double hi = u_starts_[i + 1] - u_starts_[i];
  const double width = x_starts_[i + 1] - x_starts_[i];
  double v = hi * ((x - x_starts_[i]) / width);
  for (int step = 0; step < kMaxSteps; ++step) {
    const auto [p, dp] = newton_with_slope(i, v);
    const double r = p - x;
    if (r == 0.0) return v;
    if (r > 0.0) {
      hi = v;
    } else {
      lo = v;
    }
    double next = v - r / dp;
    if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
    if (next == v || next == lo || next == hi) return next;
    v = next;
  }
  return v;
}

double PinvTable::cdf(double x) const {
  if (std::isnan(x)) return x;
  if (x <= support_lo()) return 0.0;
  if (x >= support_hi()) return 1.0;
  const auto it = std::upper_bound(x_starts_.begin(), x_starts_.end(), x);
  const auto i = static_cast<std::size_t>(it - x_starts_.begin()) - 1;
  return std::clamp((u_starts_[i] + local_inverse(i, x)) / area(), 0.0, 1.0);
}

std::vector<double> PinvTable::to_words() const {
  std::vector<double> w{kTag,
                        kVersion,
                        static_cast<double>(order_),
                        static_cast<double>(intervals()),
                        u_resolution_,
                        domain_lo_,
                        domain_hi_,
                        max_error_};
  w.insert(w.end(), u_starts_.begin(), u_starts_.end());
  w.insert(w.end(), x_starts_.begin(), x_starts_.end());
  w.insert(w.end(), nodes_.begin(), nodes_.end());
  w.insert(w.end(), coefs_.begin(), coefs_.end());
  return w;
}

std::expected<PinvTable, SetupError> PinvTable::from_words(std::span<const double> words) {
  WordReader in(words);
  const auto bad = std::unexpected(SetupError::bad_table());
  if (in.value() != kTag || in.value() != kVersion) return bad;
  const auto order = in.count(kPinvMaxOrder);
  const auto count = in.count(kMaxStoredIntervals);
  const auto header = std::array{in.value(), in.value(), in.value(), in.value()};
  if (!order || *order < kPinvMinOrder || !count || *count < 1) return bad;
  for (const auto& word : header) {
    if (!word) return bad;
  }
  const double u_resolution = *header[0];
  const double lo = *header[1];
  const double hi = *header[2];
  const double max_error = *header[3];
  if (!(u_resolution > 0.0 && std::isfinite(u_resolution)) || !(lo < hi) ||
      !(max_error >= 0.0 && std::isfinite(max_error))) {
    return bad;
  }
  const std::size_t n = *order;
  const std::size_t m = *count;
  const auto u_read = in.array(m + 1);
  const auto x_read = in.array(m + 1);
  const auto nodes_read = in.array(m * (n - 1));
  const auto coefs_read = in.array(m * n);
  if (!u_read || !x_read || !nodes_read || !coefs_read || !in.at_end()) return bad;
  const std::span<const double> u_starts = *u_read;
  const std::span<const double> x_starts = *x_read;
  const std::span<const double> nodes = *nodes_read;
  const std::span<const double> coefs = *coefs_read;
  if (u_starts[0] != 0.0 || !all_finite(u_starts) || !strictly_increasing(u_starts)) return bad;
  if (!all_finite(x_starts) || !strictly_increasing(x_starts) || x_starts[0] < lo || x_starts[m] > hi) return bad;
  if (!all_finite(nodes) || !all_finite(coefs)) return bad;

  PinvTable table(static_cast<int>(n), u_resolution, lo, hi);
  if (!try_reserve(table.u_starts_, m + 1) || !try_reserve(table.x_starts_, m + 1) ||
      !try_reserve(table.nodes_, nodes.size()) || !try_reserve(table.coefs_, coefs.size())) {
    return std::unexpected(SetupError::out_of_memory());
  }
  table.u_starts_.assign(u_starts.begin(), u_starts.end());
  table.x_starts_.assign(x_starts.begin(), x_starts.end());
  table.nodes_.assign(nodes.begin(), nodes.end());
  table.coefs_.assign(coefs.begin(), coefs.end());
  table.max_error_ = max_error;
  if (!table.guide_.build(table.u_starts_)) return std::unexpected(SetupError::out_of_memory());
  return table;
}

}  // namespace varlix
