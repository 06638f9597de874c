#ifndef ORVANTE_VIDEO_CONCEALMENT_PLANNER_H_
#define ORVANTE_VIDEO_CONCEALMENT_PLANNER_H_

#include <cstdint>
#include <vector>

#include "video/slice_walker.h"

// The motion of one picture as the concealment of a later one may borrow
// it: per macroblock, the forward vector it was predicted with, in half
// pixels, over `span` picture periods; unknown for intra macroblocks, and
// where the picture's motion is not known.
struct MotionField {
  int span = 0;
  uint32_t width = 0;  // macroblocks
  std::vector<int16_t> vectors;  // horizontal, vertical, per macroblock
  std::vector<uint8_t> known;

  bool empty() const { return known.empty(); }
  // Sizes the field for `macroblocks`, `width` to a row, nothing known.
  void reset(uint32_t width, uint32_t macroblocks, int periods);
  void set(uint32_t address, int x, int y);
};

// ConcealmentPlanner decides, for each macroblock of a damaged picture,
// what stands there: the macroblock of the input that a walk kept, or, in
// each hole, a guess made of what is known around it:
//   - in a P picture, prediction from the forward reference, not coded,
//     with a vector guessed from the macroblocks above, below and beside it
//     in the same picture and the one in the same place in the reference
//     (the median of the reference's vectors there and around it, carried
//     on over the distance between the pictures): the median of those
//     known, zero where none is;
//   - in a B picture, the prediction of its neighbours when they have one;
//     else, where the backward anchor's motion is known there, both
//     references along that motion, split by the B picture's place between
//     them; else the nearer reference, unmoved;
//   - in a picture that has no reference, intra macroblocks whose DC values
//     blend those of the nearest kept macroblocks around, by distance.
// Every vector keeps the prediction inside the reference picture.
//
// The planner holds only the picture's size.
class ConcealmentPlanner {
 public:
  enum class Fill : uint8_t {
    kKept,     // the input's macroblock
    kPredict,  // motion compensated, not coded
    kIntra,    // DC values alone
  };
  struct Macroblock {
    Fill fill = Fill::kKept;
    uint8_t directions = 0;          // kPredict: MacroblockFlags motion bits
    int16_t forward[2] = {0, 0};     // kPredict: half pixels
    int16_t backward[2] = {0, 0};
    int16_t dc[6] = {0, 0, 0, 0, 0, 0};  // kIntra
  };

  // What a plan is made from. `kept[a]` is the macroblock kept at address a
  // or null; the vectors of kept macroblocks count whole pixels where
  // `fullPel` says so (forward, backward).
  // What concealment may borrow from the anchors around the picture.
  struct Anchors {
    // P: the forward reference's motion, when known, and the periods from
    // the reference to this picture.
    const MotionField* reference = nullptr;
    int distance = 1;
    // B: the backward anchor's motion, when known, and this picture's
    // periods after the forward anchor and between the two anchors.
    const MotionField* backwardAnchor = nullptr;
    int afterForward = 1;
    int betweenAnchors = 2;
    // B: false where there is no forward reference (the leading pictures of
    // a closed group): every guess then looks backward.
    bool forwardUsable = true;
  };
  struct Picture {
    const std::vector<const MacroblockRecord*>* kept = nullptr;
    uint32_t codingType = 0;  // of the picture written: 1 (no reference), 2 or 3
    bool fullPel[2] = {false, false};
    Anchors anchors;
  };

  // REQUIRES: width and height at least 1.
  ConcealmentPlanner(uint32_t width, uint32_t height);

  // Fills `plan` with one entry per macroblock.
  // REQUIRES: picture.kept holds width * height entries.
  void plan(const Picture& picture, std::vector<Macroblock>* plan) const;

 private:
  // The median of the vectors known in `field` around and at `address`
  // (its 3 by 3 macroblocks); false where none is.
  bool smoothed(const MotionField& field, uint32_t address, int* x, int* y) const;
  void predicted(const Picture& picture, uint32_t address, Macroblock* out) const;
  void bidirectional(const Picture& picture, uint32_t address, Macroblock* out) const;
  void intraFill(const Picture& picture, uint32_t address, Macroblock* out) const;
  // Keeps a vector of macroblock `address` pointing inside the picture.
  void clamp(uint32_t address, int16_t vector[2]) const;

  const uint32_t width_;
  const uint32_t height_;
};

#endif  // ORVANTE_VIDEO_CONCEALMENT_PLANNER_H_
