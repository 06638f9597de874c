#include "video/picture_sequence_checker.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

namespace {

// Plays a script on a fresh checker. Each word is one report and the answer
// expected for it: "I0+" an I picture with reference 0, accepted; "B4-" a B
// picture with reference 4, rejected; "s3+" a slice at row 3; "S+" a sequence
// header; "G-" a group-of-pictures header. "R" and "C" call reset() and
// clear(), which answer nothing.
void play(const std::string& script) {
  PictureSequenceChecker checker;
  std::istringstream words(script);
  std::string word;
  int index = 0;
  while (words >> word) {
    SCOPED_TRACE(script + "  (word " + std::to_string(++index) + ": " + word + ")");
    const char item = word[0];
    if (item == 'R' || item == 'C') {
      ASSERT_EQ(word.size(), 1u);
      item == 'R' ? checker.reset() : checker.clear();
      continue;
    }
    const char answer = word.back();
    ASSERT_TRUE(answer == '+' || answer == '-');
    const uint32_t value = static_cast<uint32_t>(std::atoi(word.substr(1, word.size() - 2).c_str()));
    bool accepted = false;
    switch (item) {
      case 'I':
      case 'P':
      case 'B':
        accepted = checker.picture(item, value);
        break;
      case 's':
        accepted = checker.slice(value);
        break;
      case 'S':
        accepted = checker.sequenceHeader();
        break;
      case 'G':
        accepted = checker.gopHeader();
        break;
      default:
        FAIL() << "unknown word";
    }
    EXPECT_EQ(accepted, answer == '+');
  }
}

void playAll(std::initializer_list<const char*> scripts) {
  for (const char* script : scripts) play(script);
}

}  // namespace

TEST(PictureSequenceChecker, AcceptsPicturesInDecodingOrder) {
  playAll({
      "I0+ P3+ B1+ B2+ P6+ B4+ B5+",
      "R I0+ P3+ B1+ B2+ P6+ B4+ B5+",
      "S+ G+ I2+ B0+ B1+ P5+ B3+ B4+",
      "I5+ I2+ B0+ B1+",            // an I picture may start a new count
      "I0+ P3+ I2+ P4+ P5+",        // ... also with two anchors
      "I0+ I0+ I0+",                // and repeat its reference
      "I5+ B3+ B4+ P9+ B6+ I10+",
  });
}

TEST(PictureSequenceChecker, WaitsForAnIPictureAfterEveryRestart) {
  playAll({
      "P0- B0- I0+",
      "R B1- P1- I1+",
      "I0+ P1+ C P2- B0- I3+",
      "I0+ P3+ S+ P4- B1- I1+",
      "I0+ P3+ G- B1- P4- I5+",
      "S+ P0- G- B0- I0+",
  });
}

TEST(PictureSequenceChecker, RejectsPicturesOutOfOrderAndThenWaitsForAnI) {
  playAll({
      "I0+ P3+ B1+ B1- P6- I7+",    // a repeated B picture
      "I0+ P3+ P2-",                // an anchor going back
      "I5+ P5- B4- I6+",
      "I0+ P3+ B4-",                // a B picture after the newer anchor
      "I0+ P3+ P6+ B2-",            // ... or before the older one
      "I0+ P3+ B1+ B2+ P6+ B5+ B4-",
      "I5+ B3+ B4+ B2-",            // B pictures before the only anchor must rise
      "I5+ B5-",
      "I0+ P3+ I2+ B1-",            // an I picture that restarts the count
      "I0+ P5+ I3+ B4- I6+",        // allows no B picture until the next anchor
  });
}

TEST(PictureSequenceChecker, AcceptsSlicesOfAnAcceptedPictureInNonDecreasingRows) {
  playAll({
      "I0+ s1+ s1+ s2+ s5+ s3- s4+",  // a rejected slice still sets the row
      "I0+ s7+ P1+ s1+ s2+",          // a new picture starts at the top again
      "S+ G+ I0+ s175+",
  });
}

TEST(PictureSequenceChecker, RefusesSlicesWithoutAnAcceptedPictureJustBefore) {
  playAll({
      "s1-",
      "R s1-",
      "I0+ P3+ P2- s1- s2-",
      "I0+ P0- s1- I1+ s1+",
      "I0+ s1+ S+ s2-",
      "I0+ S+ s1-",
      "I0+ s1+ G- s2-",
      "I0+ s1+ C s2-",
  });
}

TEST(PictureSequenceChecker, AcceptsAGroupHeaderOnlyRightAfterASequenceHeader) {
  playAll({
      "S+ G+ G-",
      "G-",
      "R G-",
      "S+ I0+ G-",
      "S+ G+ I0+ s1+ G-",
      "S+ S+ G+",
      "S+ C G-",
  });
}
