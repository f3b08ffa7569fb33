#include "discrete/guide_table.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "memory.hpp"
#include "table_words.hpp"

namespace varlix {
namespace {

// Tag and layout version of the stored table ("GUID" in ASCII).
constexpr double kGuideTag = 0x47554944;
constexpr double kGuideVersion = 1;

// Guide entries per value beyond this only cost memory; it also bounds what a
// stored table may ask to allocate.
constexpr double kMaxGuideFactor = 64.0;

// A uniform u lands in guide cell j when u * size rounds to at least j, which
// holds for some u a hair below j / size. Each entry is therefore computed for
// a threshold lowered by this relative margin (a few rounding errors), so it
// never points past the answer of any u in its cell.
constexpr double kGuideMargin = 1e-15;

// With this many entries per value, about one cell in sixteen holds the end
// of a value's mass: a draw nearly always finds its value at the entry, the
// search loop's exit is predicted, and consecutive draws overlap. Only the
// speed depends on the guide's size.
constexpr std::size_t kSearchEntriesPerValue = 16;
// ... up to this many entries (a quarter megabyte): a vector too long for
// the bound gets the guide it asked for.
constexpr std::size_t kMaxSearchEntries = std::size_t{1} << 15;

[[nodiscard]] bool usable_mass(double mass) { return std::isfinite(mass) && mass >= 0.0; }

}  // namespace

std::expected<GuideTable, SetupError> build_guide_table(std::span<const double> pv,
                                                       const GuideTableOptions& options) {
  double total = 0.0;
  std::size_t last_positive = 0;
  for (std::size_t k = 0; k < pv.size(); ++k) {
    if (!usable_mass(pv[k])) return std::unexpected(SetupError::bad_value(static_cast<double>(k), pv[k]));
    total += pv[k];
    if (pv[k] > 0.0) last_positive = k;
  }
  if (!(total > 0.0)) return std::unexpected(SetupError::no_mass());
  if (!std::isfinite(total)) return std::unexpected(SetupError::bad_value(0.0, total));

  GuideTable table;
  table.domain_lo_ = options.domain_lo;
  if (!try_resize(table.cumulative_, pv.size())) return std::unexpected(SetupError::out_of_memory());
  double running = 0.0;
  for (std::size_t k = 0; k < pv.size(); ++k) {
    running += pv[k];
    table.cumulative_[k] = std::fmin(running / total, 1.0);
  }
  // The last value with mass ends the table exactly, whatever the rounding of
  // the running sum: a uniform below 1 always finds it.
  std::fill(table.cumulative_.begin() + static_cast<std::ptrdiff_t>(last_positive), table.cumulative_.end(), 1.0);

  const double factor =
      options.guide_factor >= 0.0 ? std::fmin(options.guide_factor, kMaxGuideFactor) : 1.0;
  const double entries = std::fmax(1.0, std::ceil(factor * static_cast<double>(pv.size())));
  if (auto ok = table.build_guide(static_cast<std::size_t>(entries)); !ok) return std::unexpected(ok.error());
  return table;
}

std::expected<void, SetupError> GuideTable::build_guide(std::size_t requested) {
  // A small vector gets more entries than asked for: see kSearchEntriesPerValue.
  const std::size_t guide_size =
      std::max(requested, std::min(cumulative_.size() * kSearchEntriesPerValue, kMaxSearchEntries));
  if (!try_resize(guide_, guide_size)) return std::unexpected(SetupError::out_of_memory());
  std::size_t k = 0;
  const double cells = static_cast<double>(guide_size);
  for (std::size_t j = 0; j < guide_size; ++j) {
    const double threshold = static_cast<double>(j) / cells * (1.0 - kGuideMargin);
    // threshold < 1 and the table ends at 1, so k stays in range.
    while (cumulative_[k] <= threshold) ++k;
    guide_[j] = k;
  }
  return {};
}

double GuideTable::ppf(double u) const {
  if (!(u >= 0.0 && u <= 1.0)) return std::numeric_limits<double>::quiet_NaN();
  const double lo = static_cast<double>(domain_lo_);
  // The conventions at the ends: CDF(lo - 1) = 0 and the vector's last value
  // closes the support.
  if (u == 0.0) return lo - 1.0;
  if (u == 1.0) return lo + static_cast<double>(cumulative_.size() - 1);
  const auto it = std::lower_bound(cumulative_.begin(), cumulative_.end(), u);
  return lo + static_cast<double>(it - cumulative_.begin());
}

std::vector<double> GuideTable::to_words() const {
  std::vector<double> words;
  words.reserve(5 + cumulative_.size());
  words.push_back(kGuideTag);
  words.push_back(kGuideVersion);
  words.push_back(static_cast<double>(cumulative_.size()));
  words.push_back(static_cast<double>(guide_.size()));
  words.push_back(static_cast<double>(domain_lo_));
  words.insert(words.end(), cumulative_.begin(), cumulative_.end());
  return words;
}

std::expected<GuideTable, SetupError> GuideTable::from_words(std::span<const double> words) {
  WordReader in(words);
  const auto bad = std::unexpected(SetupError::bad_table());
  if (in.value() != kGuideTag || in.value() != kGuideVersion) return bad;
  const auto n = in.count(in.remaining());
  const auto guide_size = in.count(std::numeric_limits<std::size_t>::max());
  const auto lo = in.integer();
  if (!n || !guide_size || !lo || *n == 0 || *guide_size == 0 ||
      static_cast<double>(*guide_size) > kMaxGuideFactor * static_cast<double>(*n) + 1.0) {
    return bad;
  }
  const auto cumulative = in.array(*n);
  if (!cumulative || !in.at_end()) return bad;
  double previous = 0.0;
  for (const double c : *cumulative) {
    if (!(c >= previous && c <= 1.0)) return bad;
    previous = c;
  }
  if (previous != 1.0) return bad;

  GuideTable table;
  table.domain_lo_ = *lo;
  if (!try_reserve(table.cumulative_, *n)) return std::unexpected(SetupError::out_of_memory());
  table.cumulative_.assign(cumulative->begin(), cumulative->end());
  if (auto ok = table.build_guide(*guide_size); !ok) return std::unexpected(ok.error());
  return table;
}

}  // namespace varlix
