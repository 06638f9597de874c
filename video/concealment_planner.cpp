#include "video/concealment_planner.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "video/macroblock_codes.h"
#include "video/video_format.h"

namespace {

constexpr uint8_t kForward = kMacroblockMotionForward;
constexpr uint8_t kBackward = kMacroblockMotionBackward;

// The median of up to nine values; the mean of the middle two of an even
// number, rounded toward zero.
int median(int* values, size_t count) {
  assert(count > 0);
  std::sort(values, values + count);
  if (count % 2 == 1) return values[count / 2];
  return (values[count / 2 - 1] + values[count / 2]) / 2;
}

// A vector of `vector` half pixels over `from` periods, carried on over `to`.
int scaled(int vector, int from, int to) {
  if (from <= 0 || from == to) return vector;
  return static_cast<int>(std::lround(static_cast<double>(vector) * to / from));
}

}  // namespace

void MotionField::reset(uint32_t across, uint32_t macroblocks, int periods) {
  span = periods;
  width = across;
  vectors.assign(2 * size_t{macroblocks}, 0);
  known.assign(macroblocks, 0);
}

void MotionField::set(uint32_t address, int x, int y) {
  vectors[2 * size_t{address}] = static_cast<int16_t>(x);
  vectors[2 * size_t{address} + 1] = static_cast<int16_t>(y);
  known[address] = 1;
}

ConcealmentPlanner::ConcealmentPlanner(uint32_t width, uint32_t height) : width_(width), height_(height) {
  assert(width > 0 && height > 0);
}

void ConcealmentPlanner::plan(const Picture& picture, std::vector<Macroblock>* plan) const {
  const uint32_t count = width_ * height_;
  assert(picture.kept != nullptr && picture.kept->size() == count);
  plan->assign(count, Macroblock());
  for (uint32_t address = 0; address < count; ++address) {
    if ((*picture.kept)[address] != nullptr) continue;
    Macroblock& out = (*plan)[address];
    if (picture.codingType == kPredictiveCoded) {
      predicted(picture, address, &out);
    } else if (picture.codingType == kBidirectionallyCoded) {
      bidirectional(picture, address, &out);
    } else {
      intraFill(picture, address, &out);
    }
  }
}

void ConcealmentPlanner::clamp(uint32_t address, int16_t vector[2]) const {
  // The block of 16 by 16 pixels it predicts from, half pixels and the one
  // beyond them included, lies inside the picture.
  const int column = static_cast<int>(address % width_);
  const int row = static_cast<int>(address / width_);
  const int limits[2][2] = {{-32 * column, 32 * (static_cast<int>(width_) - 1 - column)},
                            {-32 * row, 32 * (static_cast<int>(height_) - 1 - row)}};
  for (int k = 0; k < 2; ++k) vector[k] = static_cast<int16_t>(std::clamp<int>(vector[k], limits[k][0], limits[k][1]));
}

bool ConcealmentPlanner::smoothed(const MotionField& field, uint32_t address, int* x, int* y) const {
  int xs[9];
  int ys[9];
  size_t n = 0;
  const int column = static_cast<int>(address % width_);
  const int row = static_cast<int>(address / width_);
  for (int dy = -1; dy <= 1; ++dy) {
    for (int dx = -1; dx <= 1; ++dx) {
      const int c = column + dx, r = row + dy;
      if (c < 0 || r < 0 || c >= static_cast<int>(width_) || r >= static_cast<int>(height_)) continue;
      const size_t at = static_cast<size_t>(r) * width_ + static_cast<size_t>(c);
      if (!field.known[at]) continue;
      xs[n] = field.vectors[2 * at];
      ys[n] = field.vectors[2 * at + 1];
      ++n;
    }
  }
  if (n == 0) return false;
  *x = median(xs, n);
  *y = median(ys, n);
  return true;
}

void ConcealmentPlanner::predicted(const Picture& picture, uint32_t address, Macroblock* out) const {
  const std::vector<const MacroblockRecord*>& kept = *picture.kept;
  int xs[5];
  int ys[5];
  size_t n = 0;
  const uint32_t column = address % width_;
  const auto neighbour = [&](bool exists, uint32_t at) {
    if (!exists) return;
    const MacroblockRecord* mb = kept[at];
    if (mb == nullptr || (mb->flags & kMacroblockIntra) || !(mb->flags & kForward)) return;
    const int shift = picture.fullPel[0] ? 1 : 0;
    xs[n] = mb->forward[0] * (1 << shift);
    ys[n] = mb->forward[1] * (1 << shift);
    ++n;
  };
  neighbour(address >= width_, address - width_);
  neighbour(address + width_ < width_ * height_, address + width_);
  neighbour(column > 0, address - 1);
  neighbour(column + 1 < width_, address + 1);
  const MotionField* reference = picture.anchors.reference;
  // The reference's vectors, smoothed: one macroblock's alone may be any
  // that predicted it well, not how the picture moves there.
  int rx = 0, ry = 0;
  if (reference != nullptr && !reference->empty() && reference->known[address] && smoothed(*reference, address, &rx, &ry)) {
    xs[n] = scaled(rx, reference->span, picture.anchors.distance);
    ys[n] = scaled(ry, reference->span, picture.anchors.distance);
    ++n;
  }
  out->fill = Fill::kPredict;
  out->directions = kForward;
  if (n > 0) {
    out->forward[0] = static_cast<int16_t>(median(xs, n));
    out->forward[1] = static_cast<int16_t>(median(ys, n));
  }
  clamp(address, out->forward);
}

void ConcealmentPlanner::bidirectional(const Picture& picture, uint32_t address, Macroblock* out) const {
  const std::vector<const MacroblockRecord*>& kept = *picture.kept;
  out->fill = Fill::kPredict;
  // The neighbours' predictions: the direction most of them take, and the
  // median of their vectors for it.
  const MacroblockRecord* around[4] = {nullptr, nullptr, nullptr, nullptr};
  const uint32_t column = address % width_;
  if (address >= width_) around[0] = kept[address - width_];
  if (address + width_ < width_ * height_) around[1] = kept[address + width_];
  if (column > 0) around[2] = kept[address - 1];
  if (column + 1 < width_) around[3] = kept[address + 1];
  uint32_t votes[8] = {0, 0, 0, 0, 0, 0, 0, 0};  // by directions
  for (const MacroblockRecord* mb : around) {
    if (mb == nullptr || (mb->flags & kMacroblockIntra)) continue;
    if (!picture.anchors.forwardUsable && (mb->flags & kForward)) continue;
    ++votes[mb->flags & (kForward | kBackward)];
  }
  uint8_t directions = 0;
  for (uint8_t d : {uint8_t{kForward | kBackward}, kForward, kBackward}) {
    if (votes[d] > votes[directions]) directions = d;
  }
  if (directions != 0) {
    out->directions = directions;
    for (int way = 0; way < 2; ++way) {
      if (!(directions & (way == 0 ? kForward : kBackward))) continue;
      const int shift = picture.fullPel[way] ? 1 : 0;
      int xs[4];
      int ys[4];
      size_t n = 0;
      for (const MacroblockRecord* mb : around) {
        if (mb == nullptr || (mb->flags & kMacroblockIntra) || (mb->flags & (kForward | kBackward)) != directions) continue;
        const int16_t* v = way == 0 ? mb->forward : mb->backward;
        xs[n] = v[0] * (1 << shift);
        ys[n] = v[1] * (1 << shift);
        ++n;
      }
      int16_t* vector = way == 0 ? out->forward : out->backward;
      vector[0] = static_cast<int16_t>(median(xs, n));
      vector[1] = static_cast<int16_t>(median(ys, n));
      clamp(address, vector);
    }
    return;
  }
  const MotionField* anchor = picture.anchors.backwardAnchor;
  const int t = picture.anchors.afterForward;
  const int between = picture.anchors.betweenAnchors;
  if (!picture.anchors.forwardUsable) {
    out->directions = kBackward;
    return;
  }
  if (anchor != nullptr && !anchor->empty() && anchor->known[address] && between > 0) {
    // Along the motion that takes the forward anchor to the backward one.
    const int x = scaled(anchor->vectors[2 * size_t{address}], anchor->span, between);
    const int y = scaled(anchor->vectors[2 * size_t{address} + 1], anchor->span, between);
    out->directions = kForward | kBackward;
    out->forward[0] = static_cast<int16_t>(scaled(x, between, t));
    out->forward[1] = static_cast<int16_t>(scaled(y, between, t));
    out->backward[0] = static_cast<int16_t>(-scaled(x, between, between - t));
    out->backward[1] = static_cast<int16_t>(-scaled(y, between, between - t));
    clamp(address, out->forward);
    clamp(address, out->backward);
    return;
  }
  out->directions = 2 * t <= between ? kForward : kBackward;
}

void ConcealmentPlanner::intraFill(const Picture& picture, uint32_t address, Macroblock* out) const {
  const std::vector<const MacroblockRecord*>& kept = *picture.kept;
  out->fill = Fill::kIntra;
  // The nearest kept intra macroblock up, down, left and right.
  const int column = static_cast<int>(address % width_);
  const int row = static_cast<int>(address / width_);
  const int steps[4][2] = {{0, -1}, {0, 1}, {-1, 0}, {1, 0}};
  double weight = 0;
  double sums[3] = {0, 0, 0};  // luminance, Cb, Cr
  for (const auto& step : steps) {
    for (int distance = 1;; ++distance) {
      const int x = column + step[0] * distance;
      const int y = row + step[1] * distance;
      if (x < 0 || y < 0 || x >= static_cast<int>(width_) || y >= static_cast<int>(height_)) break;
      const MacroblockRecord* mb = kept[static_cast<uint32_t>(y) * width_ + static_cast<uint32_t>(x)];
      if (mb == nullptr || !(mb->flags & kMacroblockIntra)) continue;
      const double w = 1.0 / distance;
      weight += w;
      sums[0] += w * (mb->dc[0] + mb->dc[1] + mb->dc[2] + mb->dc[3]) / 4.0;
      sums[1] += w * mb->dc[4];
      sums[2] += w * mb->dc[5];
      break;
    }
  }
  for (uint32_t block = 0; block < kBlocksPerMacroblock; ++block) {
    const uint32_t component = block < kLuminanceBlocks ? 0 : block - kLuminanceBlocks + 1;
    const double value = weight > 0 ? sums[component] / weight : 128.0;
    out->dc[block] = static_cast<int16_t>(std::clamp<long>(std::lround(value), 0, 255));
  }
}
