#include "continuous/srou.hpp"

#include "table_words.hpp"

namespace varlix {
namespace {

// Tag and layout version of the stored sampler ("SROU" in ASCII).
constexpr double kSrouTag = 0x53524F55;
constexpr double kSrouVersion = 1;

}  // namespace

std::vector<double> SrouSampler::to_words() const {
  return {kSrouTag, kSrouVersion, mode_, lo_, hi_, umax_, vmin_, vmax_, squeeze_ ? 1.0 : 0.0};
}

std::expected<SrouSampler, SetupError> SrouSampler::from_words(std::span<const double> words) {
  if (words.size() != 9 || words[0] != kSrouTag || words[1] != kSrouVersion) {
    return std::unexpected(SetupError::bad_table());
  }
  SrouSampler s;
  s.mode_ = words[2];
  s.lo_ = words[3];
  s.hi_ = words[4];
  s.umax_ = words[5];
  s.vmin_ = words[6];
  s.vmax_ = words[7];
  const double squeeze = words[8];
  const bool ok = std::isfinite(s.mode_) && s.mode_ >= s.lo_ && s.mode_ <= s.hi_ && s.umax_ > 0.0 &&
                  std::isfinite(s.umax_) && s.vmin_ <= 0.0 && s.vmax_ >= 0.0 && s.vmin_ < s.vmax_ &&
                  std::isfinite(s.vmin_) && std::isfinite(s.vmax_) && (squeeze == 0.0 || squeeze == 1.0);
  if (!ok) return std::unexpected(SetupError::bad_table());
  s.squeeze_ = squeeze == 1.0;
  return s;
}

}  // namespace varlix
