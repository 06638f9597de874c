#include "video/steady_motion.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "video/medians.h"

namespace {

// A picture moves as one where most of its macroblocks have a vector and,
// of those that move, three in four move alike, within a half pixel of
// their median, the way most of them move. Those that stand still count
// neither way: a flat stretch of a moving picture is predicted as well from
// where it stands. But where they are many, the ones that move must be
// spread over the picture, or they are a thing moving in front of a still
// one. A picture of which few macroblocks move stands still this period.
constexpr double kKnownShare = 0.5;
constexpr double kLeastMovingShare = 0.25;  // of the vectors known
constexpr double kAlikeShare = 0.75;        // of those that move
constexpr double kMostStillShare = 0.25;    // of the vectors known, unless spread
constexpr double kSpreadShare = 0.75;       // of the rows and of the columns
constexpr int kNear = 1;                    // half pixels
// The rate is read over up to a second of anchors: long enough to tell a
// rate that moves one pixel in several periods, short enough to follow a
// pan that changes speed.
constexpr int kMostPeriods = 25;
// Slower than this, in half pixels per period, the picture stands still
// for the run's sake: moved repeats then follow each macroblock instead.
constexpr double kLeastRate = 0.25;

// How the macroblocks that move, `moving` of them, move one way, told by
// the components that way of those whose component is not zero.
enum class Way { kStill, kAlike, kSpread };
Way wayOf(const std::vector<int>& values, size_t moving, double* mean) {
  if (values.size() < kLeastMovingShare * moving) return Way::kStill;
  const int centre = median(values);
  double total = 0;
  size_t alike = 0;
  for (int v : values) {
    if (std::abs(v - centre) > kNear) continue;
    total += v;
    ++alike;
  }
  if (alike < kAlikeShare * values.size()) return Way::kSpread;
  *mean = total / static_cast<double>(alike);
  return Way::kAlike;
}

}  // namespace

bool SteadyMotion::movesAsOne(const MotionField& field, double sums[2], int spans[2]) {
  if (field.span <= 0 || field.width == 0) return false;
  size_t known = 0, moving = 0;
  std::vector<int> values[2];  // the components not zero, each way
  uint32_t columns[2] = {field.width, 0}, rows[2] = {UINT32_MAX, 0};
  for (uint32_t a = 0; a < field.known.size(); ++a) {
    if (!field.known[a]) continue;
    ++known;
    const int x = field.vectors[2 * size_t{a}], y = field.vectors[2 * size_t{a} + 1];
    if (x == 0 && y == 0) continue;
    ++moving;
    if (x != 0) values[0].push_back(x);
    if (y != 0) values[1].push_back(y);
    const uint32_t column = a % field.width, row = a / field.width;
    columns[0] = std::min(columns[0], column);
    columns[1] = std::max(columns[1], column);
    rows[0] = std::min(rows[0], row);
    rows[1] = std::max(rows[1], row);
  }
  if (known == 0 || known < kKnownShare * field.known.size()) return false;
  if (moving < kLeastMovingShare * known) {
    // Standing still, both ways (or moving by less than a pixel, this
    // period).
    spans[0] += field.span;
    spans[1] += field.span;
    return true;
  }
  if (known - moving > kMostStillShare * known) {
    const uint32_t height = static_cast<uint32_t>(field.known.size()) / field.width;
    if (columns[1] - columns[0] + 1 < kSpreadShare * field.width || rows[1] - rows[0] + 1 < kSpreadShare * height) {
      return false;
    }
  }
  // Each way on its own: along an edge that runs one way, a picture shows
  // no motion that way, and its macroblocks read none. The way most of
  // them move must move alike; the other tells only where it does too.
  double means[2] = {0, 0};
  const Way ways[2] = {wayOf(values[0], moving, &means[0]), wayOf(values[1], moving, &means[1])};
  const int major = values[0].size() >= values[1].size() ? 0 : 1;
  if (ways[major] != Way::kAlike) return false;
  for (int way = 0; way < 2; ++way) {
    if (ways[way] == Way::kSpread) continue;
    sums[way] += means[way];
    spans[way] += field.span;
  }
  return true;
}

void SteadyMotion::begin(int64_t origin) {
  steady_ = ended_ = false;
  origin_ = origin;
  sums_[0] = sums_[1] = 0;
  spans_[0] = spans_[1] = 0;
}

bool SteadyMotion::take(const MotionField* field) {
  if (ended_) return false;
  if (field == nullptr || field->empty()) return true;
  if (!movesAsOne(*field, sums_, spans_)) {
    ended_ = true;
    return false;
  }
  if (spans_[0] > 0 && spans_[1] > 0) {
    rate_[0] = sums_[0] / spans_[0];
    rate_[1] = sums_[1] / spans_[1];
    steady_ = std::max(std::fabs(rate_[0]), std::fabs(rate_[1])) >= kLeastRate;
  }
  ended_ = std::min(spans_[0], spans_[1]) >= kMostPeriods;
  return !ended_;
}

void SteadyMotion::displacement(int64_t slot, int moved[2]) const {
  assert(steady_);
  const double periods = static_cast<double>(slot - origin_);
  for (int k = 0; k < 2; ++k) moved[k] = 2 * static_cast<int>(std::lround(rate_[k] * periods / 2));
}
