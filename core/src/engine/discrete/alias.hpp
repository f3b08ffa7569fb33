// Walker's alias method for a finite discrete distribution (Walker 1977,
// "An efficient method for generating discrete random variables with general
// distributions", ACM TOMS 3; table built by Vose's two-list algorithm, Vose
// 1991, IEEE TSE 17).
//
// The right tool for many draws from one probability vector: every draw costs
// one uniform and one comparison whatever the length of the vector. The urn
// may hold more slots than there are values (urn_factor > 1); the extra slots
// have no mass of their own and always give their alias.
//
// API
//   build_alias(pv, options) -> AliasTable or SetupError
//     pv: non-negative finite masses, not necessarily normalized, at least one
//         positive. A negative, NaN or infinite entry k gives
//         bad_value(k, pv[k]); all zero (or empty) gives no_mass().
//     options.urn_factor >= 1: urn slots per value (smaller or NaN acts as 1,
//       above 64 acts as 64: a larger urn gains nothing but memory).
//     options.domain_lo: the value of pv[0]; draws are domain_lo + index.
//       Stored tables hold it as a double: |domain_lo| <= 2^53 (checked by
//       the caller) for a table to load again.
//   table.draw(src) -> one value; table.sample(src, out) -> out.size() values,
//     each from one uniform, in order (a batch equals the same draws one by one).
//   table.to_words() / AliasTable::from_words(words): flat storage for pickling;
//     from_words refuses (bad_table) anything sampling could read out of bounds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "setup_error.hpp"
#include "uniform_source.hpp"

namespace varlix {

struct AliasOptions {
  double urn_factor = 1.0;
  std::int64_t domain_lo = 0;
};

class AliasTable {
 public:
  [[nodiscard]] static std::expected<AliasTable, SetupError> from_words(std::span<const double> words);
  [[nodiscard]] std::vector<double> to_words() const;

  template <UniformSource S>
  [[nodiscard]] std::int64_t draw(S& src) const {
    return domain_lo_ + static_cast<std::int64_t>(draw_index(src.next_double()));
  }

  template <UniformSource S>
  void sample(S& src, std::span<std::int64_t> out) const {
    for (std::int64_t& value : out) value = draw(src);
  }

  // Number of values (length of the probability vector) and of urn slots.
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] std::size_t urn_size() const { return accept_.size(); }
  [[nodiscard]] std::int64_t domain_lo() const { return domain_lo_; }

  // Normalized mass of value index k as the urn holds it (for tests).
  [[nodiscard]] double mass(std::size_t k) const;

  friend std::expected<AliasTable, SetupError> build_alias(std::span<const double> pv,
                                                          const AliasOptions& options);

 private:
  AliasTable() = default;

  // One uniform picks the slot with its integer part and decides between the
  // slot and its alias with its fraction.
  [[nodiscard]] std::size_t draw_index(double u) const {
    const double scaled = u * static_cast<double>(accept_.size());
    std::size_t slot = static_cast<std::size_t>(scaled);
    // u < 1, but u * size can round up to size.
    slot = std::min(slot, accept_.size() - 1);
    const double fraction = scaled - static_cast<double>(slot);
    // Both candidates loaded, then a select without a branch: the comparison
    // is a coin flip the processor cannot predict.
    const std::size_t other = alias_[slot];
    const std::size_t keep = std::size_t{0} - static_cast<std::size_t>(fraction < accept_[slot]);
    return (slot & keep) | (other & ~keep);
  }

  std::size_t size_ = 0;
  std::int64_t domain_lo_ = 0;
  std::vector<double> accept_;      // per slot: probability of keeping the slot's own value
  std::vector<std::size_t> alias_;  // per slot: the value given otherwise (always < size_)
};

[[nodiscard]] std::expected<AliasTable, SetupError> build_alias(std::span<const double> pv,
                                                               const AliasOptions& options = {});

}  // namespace varlix
