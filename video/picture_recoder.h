#ifndef ORVANTE_VIDEO_PICTURE_RECODER_H_
#define ORVANTE_VIDEO_PICTURE_RECODER_H_

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "source/byte_source.h"
#include "video/concealment_planner.h"
#include "video/dc_step_finder.h"
#include "video/dead_ends.h"
#include "video/lost_macroblock_locator.h"
#include "video/macroblock_codes.h"
#include "video/slice_walker.h"

// PictureRecoder writes the slices of a damaged picture: every macroblock
// of it that parses is kept, the holes are concealed as the
// ConcealmentPlanner decides, and an I picture that has a reference to
// conceal from may go out as a P picture, its macroblocks intra as they
// were.
//
// Each slice of the picture is walked in detail. A slice that parses is kept
// whole; one that breaks keeps its macroblocks up to `margin` before the one
// it broke in (a fault shows some bits after the damage), none when the
// fault shows only where the slice should end (it was read out of step
// somewhere before), all when only a bit or two of its padding is wrong;
// and none from where a range known damaged begins. In an I or P picture,
// a slice that breaks in its syntax is also resumed after the damage, where
// walks from bits past it fall into step and run clean to the slice's end
// (walks from past what it keeps and from where it broke must agree: those
// that cross the damage can be led out of step alike): that end tells
// where their macroblocks lie. In a P picture they are kept
// from the first that starts the vectors' predictions again (and sets the
// quantiser, in a slice where macroblocks set it), as nothing before it
// tells what it was predicted from; in an I picture, whose DC predictions
// run on through the slice, their DC values are levelled with the
// macroblocks kept above and before them. Where those differences are too
// few or spread too far to tell the level well, the DC values of the I
// picture before tell it, if their differences agree (on a lossy numbered
// set, a walk taken up after 2048 bytes lost had nothing kept above it:
// concealed, its group showed at 19 dB, levelled so at 35.6 dB); where
// they do not either, the walk is kept only in a picture that keeps its
// type, and one going out as P conceals it from its reference instead.
// Macroblocks the broken walk kept
// past where the resumed one shows the data stands were read out of step,
// and so were as many before them: they are dropped. Slices that parse claim their macroblocks first; a broken
// one fills only what none claimed, up to the first macroblock claimed.
// Kept slices whose macroblocks all stay, in a
// picture that keeps its type, are copied as they stand, unless they run on
// into another row and end inside it (decoders that share a picture's rows
// among threads lose count there); the rest is coded again (SliceCoder), one
// slice per row, or per stretch of a row between slices copied.
//
// In an I picture, a slice that parses but ends short of where it must
// lost macroblocks to a code misread unseen: where the I picture before
// tells where the data stands in step again (LostMacroblockLocator), the
// macroblocks read after that are moved on to where they belong and
// levelled, and those read out of step before it are concealed.
//
// In an I picture, a run of DC values that a bit flipped in a differential
// left off by one amount, though the slice parses (DcStepFinder), is
// levelled back, and its slice coded again; unless the I picture before
// shows the run as it was read, and tells that well: then the step is an
// edge of the picture's own on the block grid.
//
// What is written is walked again before it goes out; should it not parse
// or cover the picture once (which would be a fault of this program), the
// picture is written as a repeat of its reference instead, every macroblock
// counted as concealed.
//
// The recoder holds the picture size and buffers it reuses; it does not
// keep the source.
class PictureRecoder {
 public:
  // A slice found in the picture: from its start code to the next start
  // code, in the stream.
  struct Slice {
    uint32_t start;
    uint32_t end;
  };

  struct Picture {
    // The picture's header.
    uint32_t codingType = 0;  // 1 I, 2 P, 3 B
    uint32_t forwardFCode = 0;
    uint32_t backwardFCode = 0;
    bool fullPel[2] = {false, false};
    // The type it goes out as: its own, or for an I picture 2 (P): its
    // holes predicted from the forward reference.
    uint32_t writeAs = 0;
    // What concealment may borrow.
    ConcealmentPlanner::Anchors anchors;
    // Ranges of the stream known to be damaged (increasing, not
    // overlapping), or null.
    const std::vector<uint32_t>* damaged = nullptr;  // start, end pairs
    // The picture's head was lost (HeadlessPictureFinder): its first
    // slice holds another picture's data up to damage, and only walks
    // taken up after the damage tell of it, whatever fault the walk from
    // the slice's start meets.
    bool headless = false;
    // Headless: the quantiser its lost slice header is taken to have set.
    uint32_t headlessQuantiser = 0;
  };

  struct Result {
    // The forward f_code the header must give: the input's, or for an I
    // picture written as P, one that every vector fits.
    uint32_t forwardFCode = 0;
    uint32_t kept = 0;       // macroblocks of the input kept
    uint32_t concealed = 0;  // macroblocks concealed
    uint32_t levelled = 0;   // macroblocks kept whose DC values were levelled
    bool repeated = false;   // written as a repeat of the reference: see above
    // The forward motion of the picture written, over `distance` periods
    // (anchors only).
    MotionField motion;
  };

  // The DC values of an I picture's macroblocks as a decoder takes them,
  // by address; known where a macroblock was kept.
  struct DcField {
    std::vector<std::array<int16_t, kBlocksPerMacroblock>> dc;
    std::vector<uint8_t> known;
  };
  // Gives the DC values of the I picture shown before the one re-coded, or
  // null where there is none; asked only when needed.
  using DcFieldSource = std::function<const DcField*()>;

  // REQUIRES: width and height at least 1, height reachable by slice codes.
  PictureRecoder(uint32_t width, uint32_t height, uint32_t margin);

  // Appends the picture's slices to `out` (its header is the caller's) and
  // fills `result`. `slices`: every slice found in the picture, in stream
  // order. `intraBefore`, for an I picture: what levels the walks taken up
  // that nothing kept around them levels well, and tells a flipped DC bit
  // from an edge of the picture (see above); called on the caller's
  // thread. REQUIRES: picture.writeAs is picture.codingType, or 2
  // for an I picture.
  void recode(ByteSource& video, const std::vector<Slice>& slices, const Picture& picture,
              std::vector<uint8_t>* out, Result* result, const DcFieldSource& intraBefore = {});
  // REQUIRES: picture.codingType is 1. The DC values of the I picture of
  // `slices` as recode() keeps them, before levelling by any picture before
  // it; with `asItStands`, of the picture copied as it stands. Where it
  // is not known which went out (a run a flipped bit left, a walk levelled
  // roughly), unknown.
  void dcOf(ByteSource& video, const std::vector<Slice>& slices, const Picture& picture, bool asItStands,
            DcField* field);

  // The forward motion of a picture taken as it stands: its slices walked
  // from `from` to `to` in the stream, over `distance` periods.
  void motionOf(ByteSource& video, uint32_t from, uint32_t to, const Picture& picture, MotionField* field);

  // Whether recode() would level DC values in the I picture whose slices
  // lie from `from` to `to` in the stream, all of which parse; `slices`
  // receives them, for recode().
  bool levelsDc(ByteSource& video, uint32_t from, uint32_t to, const Picture& picture, std::vector<Slice>* slices,
                const DcFieldSource& intraBefore = {});

  // Walking ahead. The walk that the calls above make of a picture's slices
  // may be made beforehand by another recoder of the same size, on another
  // thread, and handed over: the recoder then uses it for its next call,
  // if that is on the same slices of a picture of the same type, f_codes
  // and damage, rather than walk them itself; any other call walks anew.
  // read() reads the slices from the stream; walkRead() walks them, touching
  // nothing but this recoder; handWalkTo() swaps the walk with other's.
  // REQUIRES (walkRead): read() called, and walkRead() not since.
  // REQUIRES (handWalkTo): walkRead() since read(); other's next call reads
  // the stream this walk was read from.
  void read(ByteSource& video, const std::vector<Slice>& slices, const Picture& picture);
  void walkRead();
  void handWalkTo(PictureRecoder& other);

  // The slices from `from` to `to` in the stream, from start code to start
  // code.
  static void slicesBetween(ByteSource& video, uint32_t from, uint32_t to, std::vector<Slice>* slices);

 private:
  // Reads and walks the slices, unless a walk of them was handed over;
  // fills kept_, keptSlice_ and the slices' records.
  void walkSlices(ByteSource& video, const std::vector<Slice>& slices, const Picture& picture);
  // Whether the walk held is one of `slices` of such a picture.
  bool walkOf(const std::vector<Slice>& slices, const Picture& picture) const;
  struct Walked;
  // How many of a broken slice's macroblocks read whole are kept.
  size_t keptOfBroken(SliceFault fault, const Walked& w) const;
  // The last macroblock walk k may cover: the one before the next slice
  // that parses, or the picture's last.
  int64_t mustEndAt(size_t k) const;
  // Walk k of an I or P picture broke: where a walk resumed after the damage
  // runs clean to the slice's end, what it keeps is added as a walk of its
  // own (see above).
  void resumeAfterLoss(const SliceWalker& walker, size_t k, const std::vector<uint32_t>* damaged);
  // Levels the DC values of walks resumed in an I picture with what was
  // kept around them; leaves a hole where nothing was.
  void levelResumedIntra();
  // Levels the walks resumed in an I picture that nothing kept around them
  // levels well by the DC values `intraBefore` gives, where those agree.
  void levelFromIntraBefore(const DcFieldSource& intraBefore);
  // In an I picture going out as P: makes holes of the walks levelled
  // roughly, which the reference conceals better.
  void dropRoughlyLevelled();
  // Levels the runs of DC values that DcStepFinder finds, marking them in
  // levelledAt_.
  void levelDcSteps();
  // Puts back the runs levelled whose DC values as read the I picture
  // before `intraBefore` gives shows, and tells well: edges of the
  // picture's own. Forgets the steps, so that the walk is judged once.
  void keepStepsTheIntraBeforeBacks(const DcFieldSource& intraBefore);
  // Levels the run of `step`, marking it in levelledAt_; putBack() undoes
  // it.
  void level(const DcStepFinder::Step& step);
  // Puts the run of `step` back as it was read.
  void putBack(const DcStepFinder::Step& step);
  // How many macroblocks walk k, which parses and keeps all it read, ends
  // before mustEndAt(k); 0 where it ends there, or is no such walk.
  uint32_t shortfallOf(size_t k) const;
  // Moves on the macroblocks read after a loss in the walks of an I
  // picture that parse but end short, as LostMacroblockLocator places them
  // by the picture before `intraBefore` gives (see above).
  void moveOnAfterLoss(const DcFieldSource& intraBefore);
  // Gives the macroblocks walk k moves as `placement` says the quantiser in
  // effect before its loss, dropping those a quantiser read out of step
  // scales; false where none is left to move.
  bool quantiseMoved(size_t k, LostMacroblockLocator::Placement* placement);
  // Macroblocks levelled by the walk, and kept.
  uint32_t levelledCount() const;
  SliceContext contextOf(const Picture& picture, uint32_t codingType) const;
  // Whether what was written walks clean and covers the picture once.
  bool walksClean(const std::vector<uint8_t>& bytes, size_t from, const SliceContext& context) const;

  const uint32_t width_;
  const uint32_t height_;
  const uint32_t margin_;
  const ConcealmentPlanner planner_;
  const DcStepFinder dcSteps_;
  const LostMacroblockLocator lostMacroblocks_;

  // Per walk: the slices' bytes, their records, what each keeps.
  struct Walked {
    uint32_t code;          // the slice start code's value
    size_t dataOffset;      // its data in bytes_
    size_t dataLength;
    uint32_t streamOffset;  // of its data in the stream
    size_t firstRecord;     // its records in records_
    size_t recordCount;
    size_t keptCount;       // of them, those kept
    bool parsed;            // walked clean
    bool resumed;           // a walk resumed after the damage of another
    bool levelled;          // DC values of it were levelled
    bool roughlyLevelled;   // resumed, by differences too few or spread to trust
    bool unlevelled;        // resumed, too little kept around it to level it by: a hole
    SliceFault fault;       // how its walk ended
  };
  std::vector<uint8_t> bytes_;
  std::vector<MacroblockRecord> records_;
  std::vector<Walked> walked_;
  std::vector<const MacroblockRecord*> kept_;
  std::vector<int32_t> keptSlice_;  // per macroblock: the walk it was kept from, or -1
  std::vector<ConcealmentPlanner::Macroblock> plan_;
  std::vector<DcStepFinder::Step> steps_;
  std::vector<uint8_t> levelledAt_;  // by address: DC values levelled there
  DeadEnds deadEnds_;      // of the slice resumeAfterLoss() searches
  // What the walk above is of: the slices read, the picture's fields that
  // the walk reads.
  std::vector<Slice> walkedSlices_;
  Picture walkedPicture_;
  bool walkRead_ = false;    // read, not yet walked
  bool walkHanded_ = false;  // walked by another recoder, not used yet
};

#endif  // ORVANTE_VIDEO_PICTURE_RECODER_H_
