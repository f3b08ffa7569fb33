#include "discrete/alias.hpp"

#include <cmath>
#include <utility>

#include "memory.hpp"
#include "table_words.hpp"

namespace varlix {
namespace {

// Tag and layout version of the stored table ("ALIA" in ASCII).
constexpr double kAliasTag = 0x414C4941;
constexpr double kAliasVersion = 1;

// Urns beyond this many slots are refused as out of memory before any
// allocation: the product urn_factor * n must stay an exact integer.
constexpr double kMaxUrnSlots = 1ULL << 48;
// Slots per value beyond this only cost memory: the draw is one comparison
// either way. It also bounds what a stored table may ask to allocate.
constexpr double kMaxUrnFactor = 64.0;

[[nodiscard]] bool usable_mass(double mass) { return std::isfinite(mass) && mass >= 0.0; }

}  // namespace

std::expected<AliasTable, SetupError> build_alias(std::span<const double> pv, const AliasOptions& options) {
  double total = 0.0;
  for (std::size_t k = 0; k < pv.size(); ++k) {
    if (!usable_mass(pv[k])) return std::unexpected(SetupError::bad_value(static_cast<double>(k), pv[k]));
    total += pv[k];
  }
  if (!(total > 0.0)) return std::unexpected(SetupError::no_mass());
  // A sum of finite masses can still overflow.
  if (!std::isfinite(total)) return std::unexpected(SetupError::bad_value(0.0, total));

  const std::size_t n = pv.size();
  const double factor = options.urn_factor >= 1.0 ? std::fmin(options.urn_factor, kMaxUrnFactor) : 1.0;
  const double slots = std::ceil(factor * static_cast<double>(n));
  if (!(slots <= kMaxUrnSlots)) return std::unexpected(SetupError::out_of_memory());
  const std::size_t m = static_cast<std::size_t>(slots);

  AliasTable table;
  table.size_ = n;
  table.domain_lo_ = options.domain_lo;
  // scaled[k]: mass of slot k in units of one slot (the mean is 1); the extra
  // slots start empty. The worklists hold slot indices below and above 1.
  std::vector<double> scaled;
  std::vector<std::size_t> small;
  std::vector<std::size_t> large;
  if (!try_resize(table.accept_, m) || !try_resize(table.alias_, m) || !try_resize(scaled, m) ||
      !try_reserve(small, m) || !try_reserve(large, m)) {
    return std::unexpected(SetupError::out_of_memory());
  }
  std::size_t heaviest = 0;
  for (std::size_t k = 0; k < m; ++k) {
    scaled[k] = k < n ? pv[k] / total * static_cast<double>(m) : 0.0;
    if (k < n && pv[k] > pv[heaviest]) heaviest = k;
    (scaled[k] < 1.0 ? small : large).push_back(k);
  }
  // Vose: each light slot is topped up by one heavy value, which keeps the
  // rest of its mass. (scaled[l] + scaled[s]) - 1 loses less than
  // scaled[l] - (1 - scaled[s]) when scaled[l] is near 1.
  while (!small.empty() && !large.empty()) {
    const std::size_t s = small.back();
    small.pop_back();
    const std::size_t l = large.back();
    table.accept_[s] = scaled[s];
    table.alias_[s] = l;
    scaled[l] = (scaled[l] + scaled[s]) - 1.0;
    if (scaled[l] < 1.0) {
      large.pop_back();
      small.push_back(l);
    }
  }
  // What is left holds mass 1 up to rounding. A value of zero mass can only be
  // left over through gross rounding; it then gives the heaviest value, so
  // that no draw ever returns a value of zero mass.
  for (const std::size_t k : large) {
    table.accept_[k] = 1.0;
    table.alias_[k] = k;
  }
  for (const std::size_t k : small) {
    const bool has_mass = k < n && pv[k] > 0.0;
    table.accept_[k] = has_mass ? 1.0 : 0.0;
    table.alias_[k] = has_mass ? k : heaviest;
  }
  return table;
}

double AliasTable::mass(std::size_t k) const {
  double total = 0.0;
  for (std::size_t slot = 0; slot < accept_.size(); ++slot) {
    if (slot == k) total += accept_[slot];
    if (alias_[slot] == k) total += 1.0 - accept_[slot];
  }
  return total / static_cast<double>(accept_.size());
}

std::vector<double> AliasTable::to_words() const {
  std::vector<double> words;
  words.reserve(5 + 2 * accept_.size());
  words.push_back(kAliasTag);
  words.push_back(kAliasVersion);
  words.push_back(static_cast<double>(size_));
  words.push_back(static_cast<double>(accept_.size()));
  words.push_back(static_cast<double>(domain_lo_));
  words.insert(words.end(), accept_.begin(), accept_.end());
  for (const std::size_t a : alias_) words.push_back(static_cast<double>(a));
  return words;
}

std::expected<AliasTable, SetupError> AliasTable::from_words(std::span<const double> words) {
  WordReader in(words);
  const auto bad = std::unexpected(SetupError::bad_table());
  if (in.value() != kAliasTag || in.value() != kAliasVersion) return bad;
  const auto n = in.count(in.remaining());
  const auto m = in.count(in.remaining());
  const auto lo = in.integer();
  if (!n || !m || !lo || *n == 0 || *m < *n || static_cast<double>(*m) > kMaxUrnFactor * static_cast<double>(*n) + 1.0) {
    return bad;
  }
  const auto accept = in.array(*m);
  const auto alias = in.array(*m);
  if (!accept || !alias || !in.at_end()) return bad;

  AliasTable table;
  table.size_ = *n;
  table.domain_lo_ = *lo;
  if (!try_reserve(table.accept_, *m) || !try_reserve(table.alias_, *m)) {
    return std::unexpected(SetupError::out_of_memory());
  }
  for (std::size_t slot = 0; slot < *m; ++slot) {
    const double keep = (*accept)[slot];
    const double other = (*alias)[slot];
    // A slot past the values never keeps itself; every alias names a value.
    const bool keep_ok = keep >= 0.0 && keep <= 1.0 && (slot < *n || keep == 0.0);
    const bool alias_ok = other >= 0.0 && other < static_cast<double>(*n) && std::trunc(other) == other;
    if (!keep_ok || !alias_ok) return bad;
    table.accept_.push_back(keep);
    table.alias_.push_back(static_cast<std::size_t>(other));
  }
  return table;
}

}  // namespace varlix
