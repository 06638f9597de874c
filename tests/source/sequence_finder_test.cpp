#include "source/sequence_finder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Every place where `pattern` begins in `data`, looked at byte by byte.
std::vector<uint32_t> placesOf(const std::string& data, const std::string& pattern, uint32_t start) {
  std::vector<uint32_t> places;
  for (size_t i = 0; i + pattern.size() <= data.size(); ++i) {
    if (data.compare(i, pattern.size(), pattern) == 0) places.push_back(start + static_cast<uint32_t>(i));
  }
  return places;
}

}  // namespace

// Patterns of each length, overlapping themselves, at the ends of the data
// and nowhere; the bytes stand for offsets from a start not 0. Asked from
// every offset in turn, next() gives the first place at or after it, and
// end() past the last.
TEST(SequenceFinder, GivesEachPlaceFromWhereverItIsAsked) {
  const std::string noise(300, 'x');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {std::string("\x00\xFF\xFF\xFF", 4) + noise + std::string("\x00\xFF\xFF\xFF\xFF\x00\xFF\xFF\xFF", 9),
       std::string("\x00\xFF\xFF\xFF", 4)},
      {"aaaa" + noise + "aaa", "aa"},
      {noise + "abc" + noise + "ab", "abc"},
      {"z" + noise + "z", "z"},
      {noise, "q"},
      {"abcd", "abcd"},
      {std::string(100, 'y') + "yyyy", "yyyy"},
  };
  for (const auto& [data, pattern] : cases) {
    SCOPED_TRACE(pattern.size());
    const uint32_t start = 1000;
    const std::vector<uint32_t> places = placesOf(data, pattern, start);
    SequenceFinder finder(reinterpret_cast<const uint8_t*>(data.data()), start, static_cast<uint32_t>(data.size()),
                          reinterpret_cast<const uint8_t*>(pattern.data()), static_cast<uint32_t>(pattern.size()));
    ASSERT_EQ(finder.start(), start);
    ASSERT_EQ(finder.end(), start + data.size() - (pattern.size() - 1));
    size_t k = 0;
    for (uint32_t from = finder.start(); from <= finder.end(); ++from) {
      while (k < places.size() && places[k] < from) ++k;
      const uint32_t expected = k < places.size() ? places[k] : finder.end();
      ASSERT_EQ(finder.next(from), expected) << from;
      ASSERT_EQ(finder.next(from), expected) << "asked again at " << from;
    }
  }
}
