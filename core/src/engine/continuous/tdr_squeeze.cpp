#include "continuous/tdr_squeeze.hpp"

#include <algorithm>
#include <numbers>
#include <tuple>
#include <utility>

#include "table_words.hpp"

namespace varlix {
namespace {

// Tag and layout version of the stored table ("TDRS" in ASCII).
constexpr double kTdrSqueezeTag = 0x54445253;
constexpr double kTdrSqueezeVersion = 1;

// Construction points beyond this are refused: a few hundred already bring the
// squeeze within 1e-4 of the hat, so larger counts only exhaust memory.
constexpr std::size_t kMaxConstructionPoints = 1'000'000;

// Slopes of T(f) may violate concavity by this relative amount (plus the
// rounding of the secant) before the density is declared not T-concave: a
// derivative from finite differences is good to about 1e-8 relative only in
// its own terms, but consecutive slopes differ by far more than that.
constexpr double kSlopeTolerance = 1e-9;
// Bound on the relative rounding of each T(f) value entering a secant.
constexpr double kSecantRounding = 4.0 * std::numeric_limits<double>::epsilon();

// The tangents' intersection is used as split point only when it is at least
// this fraction of the interval away from both ends; otherwise the midpoint
// halves the interval for sure.
constexpr double kSplitMargin = 0.1;
// Intervals narrower than this, relative to their position, are not split:
// the two tangents there already agree to rounding.
constexpr double kMinRelativeWidth = 1e-10;

// Refinement rounds beyond this end the setup. Each round adds points or
// narrows the domain to where f > 0; the bound only stops a density that keeps
// narrowing it (zero on most of a huge domain) from taking forever.
constexpr std::size_t kMaxRefinementRounds = 2000;
constexpr double kTdrGapMargin = 2.5;

// The piece guide is computed for areas lowered by this relative margin (a
// few roundings of t / total * size), so no entry points past its answer.
constexpr double kGuideMargin = 1e-14;
// Guide entries per piece: with many, nearly every cell lies inside one piece,
// the search after the entry almost never steps and its exit is predicted.
constexpr std::size_t kGuideEntriesPerPiece = 16;
// ... up to this many entries (128 KiB), beyond which the pieces' own data
// is out of the first-level cache anyway.
constexpr std::size_t kMaxGuideEntries = std::size_t{1} << 14;

constexpr double kInf = std::numeric_limits<double>::infinity();

[[nodiscard]] double transform_value(TdrSqueezeTransform tr, double f) {
  return tr == TdrSqueezeTransform::Log ? std::log(f) : -1.0 / std::sqrt(f);
}

// d/dx T(f(x)) from f and f'.
[[nodiscard]] double transform_slope(TdrSqueezeTransform tr, double f, double df) {
  return tr == TdrSqueezeTransform::Log ? df / f : 0.5 * df / (f * std::sqrt(f));
}

// Signed area under T^{-1}(t0 + s (x - x0)) from x0 to x0 + d, where
// f0 = T^{-1}(t0). Infinite (with the sign of d) where the line does not
// give an integrable function: a tail that does not decay, or for InvSqrt a
// line that reaches 0 (the back-transform has a pole there).
[[nodiscard]] double area_from(TdrSqueezeTransform tr, double f0, double t0, double s, double d) {
  if (d == 0.0) return 0.0;
  if (tr == TdrSqueezeTransform::Log) {
    if (s == 0.0) return f0 * d;
    return f0 * std::expm1(s * d) / s;
  }
  if (std::isinf(d)) return s * d < 0.0 ? 1.0 / (t0 * s) : d;
  const double y = t0 + s * d;
  if (!(y < 0.0)) return d > 0.0 ? kInf : -kInf;
  // Integral of 1/y^2 from x0 to x0 + d, written without cancellation.
  return d / (t0 * y);
}

// Area under T^{-1} of the line through (0, t0) and (d, t1), d > 0, f0 and
// f1 the back-transformed ends; written from the higher end so that nothing
// overflows or cancels.
[[nodiscard]] double secant_area(TdrSqueezeTransform tr, double f0, double t0, double f1, double t1, double d) {
  if (tr == TdrSqueezeTransform::InvSqrt) return d / (t0 * t1);
  const double high = std::fmax(f0, f1);
  const double drop = -std::fabs(t1 - t0);
  if (drop == 0.0) return f0 * d;
  return high * d * (std::expm1(drop) / drop);
}

// The midpoint of (a, b) in the angle seen from c: for an infinite end it
// moves outwards geometrically, for nearby ends it is close to the midpoint.
[[nodiscard]] double arc_mean(double a, double b, double c) {
  const double x = c + std::tan(0.5 * (std::atan(a - c) + std::atan(b - c)));
  if (x > a && x < b) return x;
  if (std::isinf(a)) return b - std::fmax(1.0, std::fabs(b - c));
  return a + std::fmax(1.0, std::fabs(a - c));
}

}  // namespace

// ---- the table ----

std::size_t TdrSqueezeTable::piece_of(double x) const {
  const auto first = bounds_.begin() + 1;
  const auto last = bounds_.end() - 1;
  return static_cast<std::size_t>(std::upper_bound(first, last, x) - first);
}

double TdrSqueezeTable::secant_t_at(std::size_t j, double x) const {
  const std::size_t high = t_[j + 1] > t_[j] ? j + 1 : j;
  return t_[high] + secant_[j] * (x - x_[high]);
}

// T(squeeze(x)); -inf where there is no squeeze (outside the first and last points).
double TdrSqueezeTable::squeeze_t_in(std::size_t i, double x) const {
  if (x < x_[i]) return i == 0 ? -kInf : secant_t_at(i - 1, x);
  if (i + 1 == x_.size()) return x == x_[i] ? t_[i] : -kInf;
  return secant_t_at(i, x);
}

double TdrSqueezeTable::squeeze(double x) const {
  if (!(x >= x_.front() && x <= x_.back())) return 0.0;
  const double t = squeeze_t_in(piece_of(x), x);
  return t == -kInf ? 0.0 : inverse_t(t);
}

double TdrSqueezeTable::ppf_hat(double u) const {
  if (!(u >= 0.0 && u <= 1.0)) return std::numeric_limits<double>::quiet_NaN();
  // The ends exactly, also when they are infinite (the inversion there only
  // gets within rounding of them).
  if (u == 0.0) return bounds_.front();
  if (u == 1.0) return bounds_.back();
  std::size_t piece = 0;
  return invert_hat(u * hat_area_, piece);
}

double TdrSqueezeTable::hat(double x) const {
  if (!(x >= bounds_.front() && x <= bounds_.back())) return 0.0;
  return hat_in(piece_of(x), x);
}


std::vector<double> TdrSqueezeTable::to_words() const {
  std::vector<double> words;
  words.reserve(6 + 3 * x_.size());
  words.push_back(kTdrSqueezeTag);
  words.push_back(kTdrSqueezeVersion);
  words.push_back(transform_ == TdrSqueezeTransform::Log ? 0.0 : 1.0);
  words.push_back(bounds_.front());
  words.push_back(bounds_.back());
  words.push_back(static_cast<double>(x_.size()));
  words.insert(words.end(), x_.begin(), x_.end());
  words.insert(words.end(), f_.begin(), f_.end());
  words.insert(words.end(), slope_.begin(), slope_.end());
  return words;
}

std::expected<TdrSqueezeTable, SetupError> TdrSqueezeTable::from_words(std::span<const double> words) {
  WordReader in(words);
  const auto bad = std::unexpected(SetupError::bad_table());
  if (in.value() != kTdrSqueezeTag || in.value() != kTdrSqueezeVersion) return bad;
  const auto transform = in.count(1);
  const auto lo = in.value();
  const auto hi = in.value();
  const auto n = in.count(kMaxConstructionPoints);
  if (!transform || !lo || !hi || !n || *n == 0 || !(*lo < *hi)) return bad;
  const auto xs = in.array(*n);
  const auto fs = in.array(*n);
  const auto slopes = in.array(*n);
  if (!xs || !fs || !slopes || !in.at_end()) return bad;

  TdrSqueezeTable table;
  table.transform_ = *transform == 0 ? TdrSqueezeTransform::Log : TdrSqueezeTransform::InvSqrt;
  double previous = *lo;
  for (std::size_t i = 0; i < *n; ++i) {
    const double x = (*xs)[i], f = (*fs)[i], s = (*slopes)[i];
    const double t = transform_value(table.transform_, f);
    if (!(x > previous && x < *hi && std::isfinite(x) && f > 0.0 && std::isfinite(f) && std::isfinite(t) &&
          std::isfinite(s))) {
      return bad;
    }
    previous = x;
  }
  if (!try_reserve(table.x_, *n) || !try_reserve(table.f_, *n) || !try_reserve(table.t_, *n) ||
      !try_reserve(table.slope_, *n)) {
    return std::unexpected(SetupError::out_of_memory());
  }
  table.x_.assign(xs->begin(), xs->end());
  table.f_.assign(fs->begin(), fs->end());
  table.slope_.assign(slopes->begin(), slopes->end());
  for (const double f : table.f_) table.t_.push_back(transform_value(table.transform_, f));
  table.bounds_ = {*lo, *hi};
  // The stored points must give the same bounded hat they gave when built.
  if (auto ok = TdrSqueezeBuilder::complete(table, nullptr, nullptr); !ok) {
    return ok.error().kind() == SetupError::Kind::OutOfMemory ? std::unexpected(ok.error()) : bad;
  }
  return table;
}

// ---- setup ----

std::expected<void, SetupError> TdrSqueezeBuilder::place_bounds(TdrSqueezeTable& table,
                                                               std::vector<double>& bound_t) {
  const std::vector<double>& x = table.x_;
  const std::vector<double>& t = table.t_;
  const std::vector<double>& s = table.slope_;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    const double width = x[i + 1] - x[i];
    const double secant = (t[i + 1] - t[i]) / width;
    const double tol = kSlopeTolerance * std::fmax(std::fmax(std::fabs(s[i]), std::fabs(s[i + 1])), std::fabs(secant)) +
                       kSecantRounding * (std::fabs(t[i]) + std::fabs(t[i + 1])) / width;
    // A concave T(f) lies below its tangents: the secant's slope is between
    // the slopes at its ends.
    if (secant > s[i] + tol) return std::unexpected(SetupError::not_t_concave(x[i]));
    if (secant < s[i + 1] - tol) return std::unexpected(SetupError::not_t_concave(x[i + 1]));
    table.secant_[i] = secant;
    const double drop = s[i] - s[i + 1];
    // Where the tangents meet, as a fraction of the interval; parallel
    // tangents (a linear T(f)) meet anywhere, the midpoint is as good.
    const double fraction = drop > 0.0 ? std::clamp((secant - s[i + 1]) / drop, 0.0, 1.0) : 0.5;
    const double z = x[i] + fraction * width;
    table.bounds_[i + 1] = z;
    // T(hat) at z from the tangent that reaches it without cancellation: one
    // whose T(f) falls towards z (slope >= 0 seen from the right point, <= 0
    // from the left), else the one from the higher point.
    const bool from_right = s[i + 1] >= 0.0 || (s[i] > 0.0 && t[i + 1] >= t[i]);
    bound_t[i + 1] = from_right ? t[i + 1] + s[i + 1] * (z - x[i + 1]) : t[i] + s[i] * (z - x[i]);
  }
  return {};
}

void TdrSqueezeBuilder::anchor_piece(TdrSqueezeTable& table, std::size_t k, std::span<const double> bound_t) {
  const std::size_t n = table.x_.size();
  const double x = table.x_[k], t = table.t_[k], s = table.slope_[k];
  const double low = table.bounds_[k], high = table.bounds_[k + 1];
  // The hat is largest at the end its tangent rises to.
  double anchor = x, anchor_t = t;
  if (s > 0.0) {
    anchor = high;
    anchor_t = k + 1 < n ? bound_t[k + 1] : t + s * (high - x);
  } else if (s < 0.0) {
    anchor = low;
    anchor_t = k > 0 ? bound_t[k] : t + s * (low - x);
  }
  table.anchor_[k] = anchor;
  table.anchor_t_[k] = anchor_t;
  table.anchor_f_[k] = table.inverse_t(anchor_t);
}

std::expected<void, SetupError> TdrSqueezeBuilder::build_guide(TdrSqueezeTable& table) {
  const std::size_t n = table.x_.size();
  const std::size_t size = std::max(n, std::min(n * kGuideEntriesPerPiece, kMaxGuideEntries));
  if (!try_resize(table.guide_, size)) return std::unexpected(SetupError::out_of_memory());
  // Entries start at or before the answer for any area in their cell: each is
  // computed for a threshold lowered by kGuideMargin.
  std::size_t piece = 0;
  for (std::size_t j = 0; j < size; ++j) {
    const double threshold =
        static_cast<double>(j) / static_cast<double>(size) * table.hat_area_ * (1.0 - kGuideMargin);
    // (The cell of an area t is t * guide_scale_, a rounding or two off
    // t / hat_area * size: well inside the margin.)
    while (piece + 1 < n && table.cumulative_[piece] <= threshold) ++piece;
    table.guide_[j] = piece;
  }
  table.guide_scale_ = static_cast<double>(size) / table.hat_area_;
  return {};
}

std::expected<void, SetupError> TdrSqueezeBuilder::complete(TdrSqueezeTable& table,
                                                           std::vector<std::size_t>* unbounded,
                                                           std::vector<double>* gaps) {
  const TdrSqueezeTransform tr = table.transform_;
  const std::vector<double>& x = table.x_;
  const std::vector<double>& f = table.f_;
  const std::vector<double>& t = table.t_;
  const std::vector<double>& s = table.slope_;
  const std::size_t n = x.size();
  const double lo = table.bounds_.front();
  const double hi = table.bounds_.back();
  std::vector<double> bound_t;
  if (!try_resize(table.bounds_, n + 1) || !try_resize(table.secant_, n - 1) || !try_resize(table.lower_x_, n + 1) ||
      !try_resize(table.lower_t_, n + 1) || !try_resize(table.lower_slope_, n + 1) || !try_resize(table.anchor_, n) ||
      !try_resize(table.anchor_t_, n) || !try_resize(table.anchor_f_, n) || !try_resize(table.area_below_, n) ||
      !try_resize(table.cumulative_, n) || !try_resize(bound_t, n + 1) ||
      (gaps && !try_resize(*gaps, n + 1))) {
    return std::unexpected(SetupError::out_of_memory());
  }
  table.bounds_.front() = lo;
  table.bounds_.back() = hi;
  if (auto placed = place_bounds(table, bound_t); !placed) return placed;
  for (const std::size_t j : {std::size_t{0}, n}) {
    table.lower_x_[j] = 0.0;
    table.lower_t_[j] = -kInf;
    table.lower_slope_[j] = 0.0;
  }
  for (std::size_t j = 0; j + 1 < n; ++j) {
    const std::size_t high = t[j + 1] > t[j] ? j + 1 : j;
    table.lower_x_[j + 1] = x[high];
    table.lower_t_[j + 1] = t[high];
    table.lower_slope_[j + 1] = table.secant_[j];
  }

  if (unbounded) unbounded->clear();
  double hat_total = 0.0;
  double squeeze_total = 0.0;
  double right_of_previous = 0.0;
  for (std::size_t k = 0; k <= n; ++k) {
    // Interval k runs from point k-1 (or the domain's start) to point k (or
    // its end): the right part of piece k-1 and the left part of piece k.
    double hat = right_of_previous;
    if (k < n) {
      anchor_piece(table, k, bound_t);
      const double a = table.anchor_[k], at = table.anchor_t_[k], af = table.anchor_f_[k];
      const bool pole = tr == TdrSqueezeTransform::InvSqrt && !(at < 0.0);
      double below = -kInf, at_point = -kInf, above = kInf;
      if (std::isfinite(a) && std::isfinite(af) && !pole) {
        below = area_from(tr, af, at, s[k], table.bounds_[k] - a);
        at_point = area_from(tr, af, at, s[k], x[k] - a);
        above = area_from(tr, af, at, s[k], table.bounds_[k + 1] - a);
      }
      table.area_below_[k] = below;
      hat += at_point - below;
      right_of_previous = above - at_point;
      hat_total += above - below;
      table.cumulative_[k] = hat_total;
    }
    const double squeeze = k > 0 && k < n ? secant_area(tr, f[k - 1], t[k - 1], f[k], t[k], x[k] - x[k - 1]) : 0.0;
    squeeze_total += squeeze;
    if (!std::isfinite(hat)) {
      if (!unbounded) return std::unexpected(SetupError::not_t_concave(x[k < n ? k : n - 1]));
      unbounded->push_back(k);
    }
    if (gaps) (*gaps)[k] = hat - squeeze;
  }
  table.hat_area_ = hat_total;
  table.squeeze_area_ = squeeze_total;
  // Unbounded pieces are for the caller to split; without them, a total that
  // is zero (every value underflowed) or overflows leaves nothing to sample.
  if (unbounded && !unbounded->empty()) return {};
  if (hat_total == 0.0) return std::unexpected(SetupError::no_mass());
  if (!(hat_total < kInf)) return std::unexpected(SetupError::divergent());
  return build_guide(table);
}

std::expected<TdrSqueezeBuilder, SetupError> TdrSqueezeBuilder::start(const TdrSqueezeOptions& options) {
  const double lo = options.domain_lo;
  const double hi = options.domain_hi;
  if (!(lo < hi)) return std::unexpected(SetupError::no_mass());
  if (options.construction_count > kMaxConstructionPoints ||
      options.construction_points.size() > kMaxConstructionPoints) {
    return std::unexpected(SetupError::out_of_memory());
  }
  TdrSqueezeBuilder builder;
  builder.options_ = options;
  builder.options_.max_intervals = std::min(options.max_intervals, kMaxConstructionPoints);
  builder.lo_ = lo;
  builder.hi_ = hi;
  builder.table_.transform_ = options.transform;
  builder.table_.bounds_ = {lo, hi};
  const auto inside = [&](std::optional<double> x) { return x && *x > lo && *x < hi; };
  if (inside(options.center)) {
    builder.center_ = *options.center;
  } else if (inside(options.mode)) {
    builder.center_ = *options.mode;
  } else if (std::isfinite(lo) && std::isfinite(hi)) {
    builder.center_ = lo + 0.5 * (hi - lo);
  } else if (std::isfinite(lo)) {
    builder.center_ = lo + 1.0;
  } else if (std::isfinite(hi)) {
    builder.center_ = hi - 1.0;
  } else {
    builder.center_ = 0.0;
  }
  return builder;
}

std::vector<double> TdrSqueezeBuilder::initial_points() const {
  std::vector<double> xs;
  const auto keep = [&](double x) {
    if (x > lo_ && x < hi_) xs.push_back(x);
  };
  if (!options_.construction_points.empty()) {
    for (const double x : options_.construction_points) keep(x);
  } else {
    // Equal angles seen from the center, one unit away: dense near the center,
    // sparse far out, and finite for an infinite domain.
    const double first = std::atan(lo_ - center_);
    const double last = std::atan(hi_ - center_);
    const double step = (last - first) / static_cast<double>(options_.construction_count + 1);
    for (std::size_t k = 1; k <= options_.construction_count; ++k) {
      keep(center_ + std::tan(first + static_cast<double>(k) * step));
    }
  }
  if (options_.mode) keep(*options_.mode);
  std::sort(xs.begin(), xs.end());
  xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
  if (xs.empty()) xs.push_back(center_);
  return xs;
}

std::expected<void, SetupError> TdrSqueezeBuilder::add(std::span<const double> xs, std::span<const double> fs,
                                                       std::span<const double> dfs) {
  TdrSqueezeTable& tb = table_;
  const TdrSqueezeTransform tr = tb.transform_;
  std::vector<std::tuple<double, double, double, double>> merged;
  std::vector<double> zeros;
  if (!try_reserve(merged, tb.x_.size() + xs.size()) || !try_reserve(zeros, xs.size())) {
    return std::unexpected(SetupError::out_of_memory());
  }
  for (std::size_t i = 0; i < tb.x_.size(); ++i) merged.emplace_back(tb.x_[i], tb.f_[i], tb.t_[i], tb.slope_[i]);
  for (std::size_t i = 0; i < xs.size(); ++i) {
    const double x = xs[i], f = fs[i], df = dfs[i];
    if (!(f >= 0.0 && f < kInf)) return std::unexpected(SetupError::bad_value(x, f));
    if (f > 0.0 && !std::isfinite(df)) return std::unexpected(SetupError::bad_value(x, df));
    const double t = f > 0.0 ? transform_value(tr, f) : 0.0;
    const double s = f > 0.0 ? transform_slope(tr, f, df) : 0.0;
    // A density too small for its transform to be finite (InvSqrt below
    // ~1e-205) holds no mass that matters: it counts as zero.
    if (f == 0.0 || !std::isfinite(t) || !std::isfinite(s)) {
      zeros.push_back(x);
      continue;
    }
    merged.emplace_back(x, f, t, s);
  }
  std::sort(merged.begin(), merged.end());
  merged.erase(std::unique(merged.begin(), merged.end(),
                           [](const auto& a, const auto& b) { return std::get<0>(a) == std::get<0>(b); }),
               merged.end());
  if (!merged.empty()) {
    // A T-concave density is positive on an interval: a zero outside the
    // points narrows the domain, a zero between them disproves T-concavity.
    const double first = std::get<0>(merged.front());
    const double last = std::get<0>(merged.back());
    for (const double z : zeros) {
      if (z < first) {
        lo_ = std::fmax(lo_, z);
      } else if (z > last) {
        hi_ = std::fmin(hi_, z);
      } else {
        return std::unexpected(SetupError::not_t_concave(z));
      }
    }
  }
  tb.x_.clear();
  tb.f_.clear();
  tb.t_.clear();
  tb.slope_.clear();
  if (!try_reserve(tb.x_, merged.size()) || !try_reserve(tb.f_, merged.size()) ||
      !try_reserve(tb.t_, merged.size()) || !try_reserve(tb.slope_, merged.size())) {
    return std::unexpected(SetupError::out_of_memory());
  }
  for (const auto& [x, f, t, s] : merged) {
    tb.x_.push_back(x);
    tb.f_.push_back(f);
    tb.t_.push_back(t);
    tb.slope_.push_back(s);
  }
  tb.bounds_ = {lo_, hi_};
  return {};
}

double TdrSqueezeBuilder::split_point(std::size_t k) const {
  const std::vector<double>& x = table_.x_;
  const std::size_t n = x.size();
  const double a = k == 0 ? lo_ : x[k - 1];
  const double b = k == n ? hi_ : x[k];
  if (std::isinf(a) || std::isinf(b)) return arc_mean(a, b, center_);
  const double width = b - a;
  if (!(width > kMinRelativeWidth * std::fmax(std::fabs(a), std::fabs(b)))) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if (k > 0 && k < n) {
    const double z = table_.bounds_[k];
    if (z >= a + kSplitMargin * width && z <= b - kSplitMargin * width) return z;
  }
  return a + 0.5 * width;
}

// Density calls per draw follow 1 - ratio. Reaching the target just barely
// would leave a table that calls the density more often than one refined in
// whole rounds (as published DARS does, overshooting the target), so
// refinement goes on until the gap is kTdrGapMargin times smaller than the
// target's, or for one more full round once the target is reached.
bool TdrSqueezeBuilder::refined_enough() {
  const double target = options_.max_squeeze_hat_ratio;
  const double ratio = table_.squeeze_hat_ratio();
  if (1.0 - ratio <= (1.0 - target) / kTdrGapMargin) return true;
  if (ratio < target) return false;
  if (extra_round_done_) return true;
  extra_round_done_ = true;
  return false;
}

std::expected<std::vector<double>, SetupError> TdrSqueezeBuilder::refine() {
  std::vector<std::size_t> unbounded;
  std::vector<double> gaps;
  if (auto ok = complete(table_, &unbounded, &gaps); !ok) return std::unexpected(ok.error());
  const std::size_t n = table_.x_.size();
  const std::size_t budget = options_.max_intervals > n ? options_.max_intervals - n : 0;

  const bool bounded = unbounded.empty();
  if (++rounds_ > kMaxRefinementRounds) {
    if (bounded) return std::vector<double>{};
    return std::unexpected(SetupError::not_t_concave(table_.x_[std::min(unbounded.front(), n - 1)]));
  }
  std::vector<std::size_t> chosen;
  std::vector<double> next;
  if (!try_reserve(chosen, n + 1) || !try_reserve(next, n + 1)) return std::unexpected(SetupError::out_of_memory());
  if (!bounded) {
    // Without a bounded hat there is nothing to sample: these intervals are
    // split whether or not refinement was asked for.
    if (budget == 0) {
      const std::size_t k = unbounded.front();
      return std::unexpected(SetupError::not_t_concave(table_.x_[k < n ? k : n - 1]));
    }
    chosen = std::move(unbounded);
  } else {
    if (!options_.use_dars || budget == 0 || refined_enough()) return std::vector<double>{};
    // Derandomized adaptive rejection: split every interval whose gap between
    // hat and squeeze is above the mean, the largest first.
    double mean = 0.0;
    for (const double g : gaps) mean += g;
    mean /= static_cast<double>(gaps.size());
    for (std::size_t k = 0; k < gaps.size(); ++k) {
      if (gaps[k] > mean) chosen.push_back(k);
    }
    if (chosen.empty()) chosen.push_back(static_cast<std::size_t>(std::max_element(gaps.begin(), gaps.end()) - gaps.begin()));
    std::sort(chosen.begin(), chosen.end(), [&](std::size_t p, std::size_t q) { return gaps[p] > gaps[q]; });
  }
  if (chosen.size() > budget) chosen.resize(budget);
  for (const std::size_t k : chosen) {
    const double x = split_point(k);
    if (x > lo_ && x < hi_) next.push_back(x);
  }
  std::sort(next.begin(), next.end());
  if (next.empty() && !bounded) {
    return std::unexpected(SetupError::not_t_concave(table_.x_.front()));
  }
  return next;
}

}  // namespace varlix
