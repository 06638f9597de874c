#include "video/dc_step_finder.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>

#include "video/macroblock_codes.h"
#include "video/medians.h"

namespace {

// The least step worth levelling, in DC levels (a pixel level each): a
// smaller one is hard to tell from the picture's own texture.
constexpr int kLeastStep = 6;
// Of the differences across the boundary, at least this share (in
// hundredths) lie nearer the step than zero.
constexpr int kLeastSupportPercent = 75;
// A stretch of boundary counts with at least this many pairs of blocks; a
// step needs two of them.
constexpr size_t kLeastStretch = 4;
// A run with one stretch in the top row needs it this long.
constexpr size_t kLongStretch = 2 * kLeastStretch;
// Pairs a macroblock row further on must differ by at most this share of
// the step (a divisor).
constexpr int kControlDivisor = 3;
// Of the macroblocks the screening names, this many are looked at block by
// block.
constexpr size_t kScreened = 6;
// Of the runs with one stretch of boundary, this many.
constexpr size_t kScreenedSingles = 2;

// How far the step seen may lie from one a bit flip makes: a share of it (a
// divisor), and at least one level.
constexpr int kFlipToleranceDivisor = 6;

// Whether one bit flipped in a DC differential read as `read` makes a step
// of about `seen` levels; `step` receives the exact one. The differential's
// size code stays (a flip there would have thrown the slice out of step):
// its bits are what is flipped, the first of them telling the sign.
bool bitFlipStep(int read, int seen, int* step) {
  const uint32_t size = dcSize(read);
  if (size == 0) return false;
  const int all = (1 << size) - 1;
  const int bits = read > 0 ? read : read + all;
  const int tolerance = std::max(1, std::abs(seen) / kFlipToleranceDivisor);
  bool found = false;
  for (uint32_t k = 0; k < size; ++k) {
    const int flipped = bits ^ (1 << k);
    const int original = (flipped >> (size - 1)) != 0 ? flipped : flipped - all;
    const int candidate = read - original;
    if (std::abs(candidate - seen) <= tolerance && (!found || std::abs(candidate - seen) < std::abs(*step - seen))) {
      *step = candidate;
      found = true;
    }
  }
  return found;
}

}  // namespace

struct DcStepFinder::Plane {
  static constexpr uint32_t kSide = 2;  // luminance blocks across and down a macroblock
  static constexpr uint32_t kPer = kSide * kSide;
  uint32_t width;   // macroblocks across
  uint32_t height;  // macroblocks down
  std::vector<int> value;       // by chain position: macroblock * kPer + block
  std::vector<int32_t> chain;   // by macroblock: the run it lies in, -1 for none
  // By chain position: the chain positions of the blocks above, below, to
  // the left and to the right, -1 off the picture; and the block's row and
  // column.
  std::vector<int32_t> neighbours;
  std::vector<uint16_t> rows;
  std::vector<uint16_t> columns;

  uint32_t across() const { return width * kSide; }
  uint32_t down() const { return height * kSide; }
  // Block coordinates of chain position `pos`, and back.
  void at(uint32_t pos, uint32_t* x, uint32_t* y) const {
    const uint32_t mb = pos / kPer;
    const uint32_t j = pos % kPer;
    *x = mb % width * kSide + j % kSide;
    *y = mb / width * kSide + j / kSide;
  }
  uint32_t pos(uint32_t x, uint32_t y) const {
    const uint32_t mb = y / kSide * width + x / kSide;
    return mb * kPer + y % kSide * kSide + x % kSide;
  }
  void index() {
    const uint32_t count = width * height * kPer;
    neighbours.assign(size_t{count} * 4, -1);
    rows.resize(count);
    columns.resize(count);
    const int steps[4][2] = {{0, -1}, {0, 1}, {-1, 0}, {1, 0}};
    for (uint32_t p = 0; p < count; ++p) {
      uint32_t x = 0, y = 0;
      at(p, &x, &y);
      rows[p] = static_cast<uint16_t>(y);
      columns[p] = static_cast<uint16_t>(x);
      for (uint32_t d = 0; d < 4; ++d) {
        const int nx = static_cast<int>(x) + steps[d][0];
        const int ny = static_cast<int>(y) + steps[d][1];
        if (nx < 0 || ny < 0 || nx >= static_cast<int>(across()) || ny >= static_cast<int>(down())) continue;
        neighbours[4 * size_t{p} + d] = static_cast<int32_t>(pos(static_cast<uint32_t>(nx), static_cast<uint32_t>(ny)));
      }
    }
  }
};

DcStepFinder::DcStepFinder(uint32_t width, uint32_t height) : width_(width), height_(height) {
  assert(width > 0 && height > 0);
}

void DcStepFinder::crossing(const Plane& plane, uint32_t from, uint32_t last, Boundary* boundary) const {
  std::vector<int>* differences = &boundary->differences;
  std::vector<uint32_t>* stretches = &boundary->stretches;
  std::vector<BlockPair>* pairs = &boundary->pairs;
  differences->clear();
  stretches->clear();
  pairs->clear();
  constexpr uint32_t kPer = Plane::kPer;
  const int32_t run = plane.chain[from / kPer];
  // Only blocks within a row of macroblocks of either end of the run have
  // neighbours outside it.
  const uint32_t reach = plane.across() * Plane::kSide + kPer;
  const auto visit = [&](uint32_t p) {
    for (uint32_t d = 0; d < 4; ++d) {
      const int32_t q = plane.neighbours[4 * size_t{p} + d];
      if (q < 0) continue;
      const uint32_t u = static_cast<uint32_t>(q);
      // Blocks of other slices are left out: a step of their own would show.
      if ((u >= from && u <= last) || plane.chain[u / kPer] != run) continue;
      differences->push_back(plane.value[p] - plane.value[u]);
      pairs->push_back({p, u});
      // A stretch: the direction, and the row (or column) it lies along.
      stretches->push_back(d * 0x10000u + (d < 2 ? plane.rows[p] : plane.columns[p]));
    }
  };
  for (uint32_t p = from; p <= last && p < from + reach; ++p) visit(p);
  // The run's far end, unless it is the picture's.
  if (last + 1 < plane.value.size()) {
    for (uint32_t p = std::max(from + reach, last >= reach ? last - reach : 0); p <= last; ++p) visit(p);
  }
}

bool DcStepFinder::stepIn(const Plane& plane, uint32_t first, uint32_t last, Step* step) const {
  constexpr uint32_t per = Plane::kPer;
  const uint32_t firstMb = first / per;
  const uint32_t lastMb = last / per;
  if (lastMb <= firstMb + 1) return false;
  // Screening by macroblock: where a run from a macroblock on would cross
  // the row above, the difference between the top blocks of each macroblock
  // there and the bottom ones of the macroblock above, less the same
  // difference a row further down (which the picture's own slope shows
  // too).
  const uint32_t count = width_ * height_;
  const auto vertical = [&](uint32_t m, int* v) {
    if (m < width_ || m >= count || plane.chain[m] < 0 || plane.chain[m - width_] != plane.chain[m]) return false;
    int sum = 0;
    for (uint32_t x = 0; x < Plane::kSide; ++x) {
      sum += plane.value[m * per + x] - plane.value[(m - width_) * per + (Plane::kSide - 1) * Plane::kSide + x];
    }
    *v = sum;
    return true;
  };
  // Also the differences alone: a step a row further down leaves the
  // differences less those further down as large as its own.
  std::vector<int64_t> sums(count + 1, 0);
  std::vector<int64_t> plain(count + 1, 0);
  std::vector<int64_t> counts(count + 1, 0);
  for (uint32_t m = 0; m < count; ++m) {
    int v = 0, further = 0;
    const bool known = vertical(m, &v) && vertical(m + width_, &further);
    sums[m + 1] = sums[m] + (known ? v - further : 0);
    plain[m + 1] = plain[m] + (known ? v : 0);
    counts[m + 1] = counts[m] + (known ? 1 : 0);
  }
  // Both stretches must show it: the rest of the row the run begins in, and
  // the start of the row below, up to under where it began.
  std::vector<std::pair<int64_t, uint32_t>> screened;  // the lesser mean in hundredths, macroblock
  const auto mean = [&](uint32_t a, uint32_t b, int64_t* value, int64_t* alone = nullptr) {  // over [a, b]
    const int64_t pairs = counts[b + 1] - counts[a];
    if (pairs < static_cast<int64_t>(kLeastStretch / Plane::kSide)) return false;
    *value = (sums[b + 1] - sums[a]) * 100 / (pairs * Plane::kSide);
    if (alone != nullptr) *alone = (plain[b + 1] - plain[a]) * 100 / (pairs * Plane::kSide);
    return true;
  };
  // In the top row: the largest difference between neighbours across where
  // a run from macroblock m can begin (a column of blocks of m, or the
  // next's first), less the same one a macroblock row down, in hundredths,
  // with the sign of `like`.
  const auto acrossTop = [&](uint32_t m, int64_t like) -> int64_t {
    int64_t largest = 0;
    for (uint32_t y = 0; y < Plane::kSide; ++y) {
      for (uint32_t x = m * Plane::kSide; x <= m * Plane::kSide + Plane::kSide && x < plane.across(); ++x) {
        const uint32_t a = plane.pos(x - 1, y), b = plane.pos(x, y);
        const uint32_t c = plane.pos(x - 1, y + Plane::kSide), d = plane.pos(x, y + Plane::kSide);
        const int32_t run = plane.chain[b / per];
        if (plane.chain[a / per] != run || plane.chain[c / per] != run || plane.chain[d / per] != run) continue;
        const int64_t h = (plane.value[b] - plane.value[a]) - (plane.value[d] - plane.value[c]);
        if ((h > 0) == (like > 0) && std::abs(h) > std::abs(largest)) largest = h;
      }
    }
    return largest * 100;
  };
  // A run from a row's first macroblock, or in the top row, has one of
  // them only: such runs are screened apart, the few best looked at.
  std::vector<std::pair<int64_t, uint32_t>> singles;
  for (uint32_t n = firstMb + 1; n <= lastMb; ++n) {
    const uint32_t rowEnd = n - n % width_ + width_ - 1;
    if (rowEnd + width_ > lastMb) continue;
    int64_t rest = 0, below = 0, restAlone = 0;
    const bool hasRest = mean(n, rowEnd, &rest, &restAlone);
    const bool hasBelow = n % width_ != 0 && mean(rowEnd + 1, n + width_ - 1, &below);
    if (hasRest && hasBelow) {
      const int64_t lesser = std::min(std::abs(rest), std::abs(below));
      if ((rest > 0) == (below > 0) && lesser >= kLeastStep * 100 / 2) screened.push_back({lesser, n});
    } else if ((n % width_ == 0 && hasRest) || (n < width_ && hasBelow)) {
      // In the top row, the macroblocks before n all show the step under
      // them: where it begins shows across from its left neighbour.
      const int64_t value = hasRest ? rest : below;
      const int64_t alone = hasRest ? restAlone : acrossTop(n, below);
      const int64_t lesser = (value > 0) == (alone > 0) ? std::min(std::abs(value), std::abs(alone)) : 0;
      if (lesser >= kLeastStep * 100 / 2) singles.push_back({lesser, n});
    }
  }
  // Of each stretch of neighbours that pass, the best alone: the block by
  // block look covers the macroblocks beside it.
  std::vector<std::pair<int64_t, uint32_t>> peaks;
  for (size_t i = 0; i < screened.size(); ++i) {
    const bool left = i == 0 || screened[i - 1].second + 1 != screened[i].second || screened[i - 1].first <= screened[i].first;
    const bool right = i + 1 == screened.size() || screened[i + 1].second != screened[i].second + 1 ||
                       screened[i + 1].first < screened[i].first;
    if (left && right) peaks.push_back(screened[i]);
  }
  screened.swap(peaks);
  const auto strongest = [](std::vector<std::pair<int64_t, uint32_t>>* list, size_t most) {
    const size_t keep = std::min(most, list->size());
    std::partial_sort(list->begin(), list->begin() + static_cast<std::ptrdiff_t>(keep), list->end(),
                      [](const auto& a, const auto& b) { return a.first > b.first; });
    list->resize(keep);
  };
  strongest(&screened, kScreened);
  strongest(&singles, kScreenedSingles);
  // Block by block around each: the start whose boundary levels best.
  Candidate best;
  Boundary boundary;
  for (const auto& [strength, n] : screened) {
    const uint32_t from = std::max(first + 1, (n >= 2 ? n - 2 : 0) * per);
    const uint32_t to = std::min(last, (n + 1) * per + per - 1);
    for (uint32_t p = from; p <= to; ++p) judge(plane, first, p, last, false, &boundary, &best);
  }
  for (const auto& [strength, n] : singles) {
    // From a row's first macroblock, after its first block; in the top row,
    // from the macroblocks beside it.
    const bool rowStart = n % width_ == 0;
    const uint32_t from = std::max(first + 1, rowStart ? n * per + 1 : (n - 1) * per);
    const uint32_t to = std::min(last, rowStart ? n * per + per - 1 : std::min(n + 2, width_) * per - 1);
    for (uint32_t p = from; p <= to; ++p) judge(plane, first, p, last, true, &boundary, &best);
  }
  if (best.gain == 0) return false;
  *step = best.step;
  return true;
}

void DcStepFinder::judge(const Plane& plane, uint32_t first, uint32_t p, uint32_t last, bool single,
                         Boundary* boundary, Candidate* best) const {
  constexpr uint32_t per = Plane::kPer;
  std::vector<int>& differences = boundary->differences;
  const std::vector<uint32_t>& stretches = boundary->stretches;
  const std::vector<BlockPair>& pairs = boundary->pairs;
  crossing(plane, p, last, boundary);
  if (differences.size() < 2 * kLeastStretch) return;
  const int offset = median(differences);
  if (std::abs(offset) < kLeastStep) return;
  int64_t gain = 0;
  size_t support = 0;
  for (int d : differences) {
    gain += std::abs(d) - std::abs(d - offset);
    if (std::abs(d - offset) < std::abs(d)) ++support;
  }
  if (gain <= best->gain || support * 100 < differences.size() * kLeastSupportPercent) return;
  // Each stretch of the boundary long enough to tell shows the step, and
  // there are two; a run with one only shows it on each pair of the short
  // stretches too, and in the top row its one is long.
  std::vector<std::pair<uint32_t, size_t>> byStretch;  // stretch, index
  for (size_t i = 0; i < differences.size(); ++i) byStretch.push_back({stretches[i], i});
  std::sort(byStretch.begin(), byStretch.end());
  size_t long_ = 0;
  size_t longest = 0;
  size_t shortPairs = 0;
  bool agree = true;
  bool shortAgree = true;
  const int32_t run = plane.chain[p / per];
  for (size_t i = 0; i < byStretch.size();) {
    size_t j = i;
    std::vector<int> values;
    while (j < byStretch.size() && byStretch[j].first == byStretch[i].first) values.push_back(differences[byStretch[j++].second]);
    if (values.size() >= kLeastStretch) {
      ++long_;
      longest = std::max(longest, values.size());
      const int m = median(values);
      agree = agree && (m > 0) == (offset > 0) && 2 * std::abs(m) >= std::abs(offset);
    } else if (single) {
      // Each pair, less the same pair a macroblock row down (inside the
      // run both), as the picture's own texture shows it.
      for (size_t k = i; k < j; ++k) {
        const auto [a, b] = pairs[byStretch[k].second];
        uint32_t ax = 0, ay = 0, bx = 0, by = 0;
        plane.at(a, &ax, &ay);
        plane.at(b, &bx, &by);
        if (std::max(ay, by) + Plane::kSide >= plane.down()) continue;
        const uint32_t a2 = plane.pos(ax, ay + Plane::kSide), b2 = plane.pos(bx, by + Plane::kSide);
        if (a2 < p || b2 < p || a2 > last || b2 > last || plane.chain[a2 / per] != run || plane.chain[b2 / per] != run) continue;
        const int v = differences[byStretch[k].second] - (plane.value[a2] - plane.value[b2]);
        shortAgree = shortAgree && std::abs(v - offset) < std::abs(v);
        ++shortPairs;
      }
    }
    i = j;
  }
  const bool topRow = p / per < width_;
  if (!agree || long_ == 0 || (!single && long_ < 2)) return;
  if (single && (long_ > 1 || !shortAgree || shortPairs == 0 || (topRow && longest < kLongStretch))) return;
  // The same pairs a macroblock row up or down, where both blocks lie on
  // one side of the boundary, show no such step.
  std::vector<int> control;
  const auto inRun = [&](uint32_t q) { return q >= p && q <= last && plane.chain[q / per] == run; };
  for (uint32_t q = p; q <= last && q < p + plane.across() * Plane::kSide + per; ++q) {
    uint32_t x = 0, y = 0;
    plane.at(q, &x, &y);
    if (y < 1) continue;
    const uint32_t above = plane.pos(x, y - 1);
    if (inRun(above)) continue;  // not on the boundary
    if (plane.chain[above / per] != run) continue;
    for (const int shift : {-1, 1}) {
      const int by = static_cast<int>(y) + shift * static_cast<int>(Plane::kSide);
      if (by < 1 || by >= static_cast<int>(plane.down())) continue;
      const uint32_t b = plane.pos(x, static_cast<uint32_t>(by));
      const uint32_t o = plane.pos(x, static_cast<uint32_t>(by - 1));
      if (plane.chain[b / per] != run || plane.chain[o / per] != run || inRun(b) != inRun(o)) continue;
      control.push_back(plane.value[b] - plane.value[o]);
    }
  }
  if (control.size() < 2 * kLeastStretch || kControlDivisor * std::abs(median(control)) > std::abs(offset)) return;
  // Less what the picture's own slope adds across the boundary, the step
  // must be what one bit flipped in this block's differential makes; from
  // a row's first macroblock, any amount (see the header).
  int amount = offset - median(control);
  const bool anyAmount = single && !topRow;
  const int prediction = p > first ? plane.value[p - 1] : kDcPredictionStart;
  if (!anyAmount && !bitFlipStep(plane.value[p] - prediction, amount, &amount)) return;
  best->gain = gain;
  best->step.address = p / per;
  best->step.block = p % per;
  best->step.offset = amount;
}

void DcStepFinder::find(const std::vector<const MacroblockRecord*>& kept, const std::vector<int32_t>& slice,
                        std::vector<Step>* steps) const {
  const uint32_t count = width_ * height_;
  assert(kept.size() == count && slice.size() == count);
  steps->clear();
  // Luminance only (see the header).
  Plane plane;
  plane.width = width_;
  plane.height = height_;
  constexpr uint32_t per = Plane::kPer;
  plane.value.assign(size_t{count} * per, 0);
  plane.chain.assign(count, -1);
  for (uint32_t a = 0; a < count; ++a) {
    const MacroblockRecord* mb = kept[a];
    if (mb == nullptr || !(mb->flags & kMacroblockIntra)) continue;
    plane.chain[a] = slice[a];
    for (uint32_t j = 0; j < per; ++j) plane.value[size_t{a} * per + j] = mb->dc[j];
  }
  plane.index();
  // Each run of macroblocks of one slice, intra all, whose predictions
  // run on from one to the next.
  for (uint32_t a = 0; a < count;) {
    if (plane.chain[a] < 0) {
      ++a;
      continue;
    }
    uint32_t b = a;
    while (b + 1 < count && plane.chain[b + 1] == plane.chain[a]) ++b;
    Step step;
    if (stepIn(plane, a * per, b * per + per - 1, &step)) steps->push_back(step);
    a = b + 1;
  }
  std::sort(steps->begin(), steps->end(), [](const Step& x, const Step& y) {
    return x.address != y.address ? x.address < y.address : x.block < y.block;
  });
}
