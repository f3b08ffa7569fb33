// Flat storage of generator tables as a sequence of doubles.
//
// A table is written as a tag word naming its kind, a version word, then its
// sizes and arrays. Reading never trusts a word: counts must be whole numbers
// within a stated bound and arrays must fit in what is left, so a truncated or
// altered sequence is refused instead of read out of bounds. What the words
// mean (monotone arrays, indices in range) is checked by each table.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace varlix {

// Integers up to 2^53 are exact in a double; larger counts are refused.
inline constexpr double kMaxWordInteger = 9007199254740992.0;

class WordReader {
 public:
  explicit WordReader(std::span<const double> words) : words_(words) {}

  // The next word, if there is one.
  [[nodiscard]] std::optional<double> value() {
    if (pos_ >= words_.size()) return std::nullopt;
    return words_[pos_++];
  }

  // The next word as a whole number in [0, limit].
  [[nodiscard]] std::optional<std::size_t> count(std::size_t limit) {
    const std::optional<double> w = value();
    if (!w || !(*w >= 0.0) || *w > static_cast<double>(limit) || *w > kMaxWordInteger ||
        std::trunc(*w) != *w) {
      return std::nullopt;
    }
    return static_cast<std::size_t>(*w);
  }

  // The next word as a whole number of magnitude at most 2^53.
  [[nodiscard]] std::optional<std::int64_t> integer() {
    const std::optional<double> w = value();
    if (!w || !(std::fabs(*w) <= kMaxWordInteger) || std::trunc(*w) != *w) return std::nullopt;
    return static_cast<std::int64_t>(*w);
  }

  // The next n words, if that many remain.
  [[nodiscard]] std::optional<std::span<const double>> array(std::size_t n) {
    if (n > words_.size() - pos_) return std::nullopt;
    const std::span<const double> out = words_.subspan(pos_, n);
    pos_ += n;
    return out;
  }

  [[nodiscard]] bool at_end() const { return pos_ == words_.size(); }
  [[nodiscard]] std::size_t remaining() const { return words_.size() - pos_; }

 private:
  std::span<const double> words_;
  std::size_t pos_ = 0;
};

}  // namespace varlix
