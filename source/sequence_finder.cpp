#include "source/sequence_finder.h"

#include <cassert>
#include <system_error>

#include "source/byte_source.h"

SequenceFinder::SequenceFinder(const uint8_t* data, uint32_t start, uint32_t size, const uint8_t* pattern,
                               uint32_t length)
    : data_(data), start_(start), end_(start + (size - (length - 1))), length_(length), lastAsked_(start) {
  assert(length >= 1 && length <= 4 && size >= length && uint64_t{start} + size <= UINT32_MAX);
  for (uint32_t k = 0; k < length; ++k) pattern_[k] = pattern[k];
  try {
    thread_ = std::thread(&SequenceFinder::find, this);
  } catch (const std::system_error&) {
    find();  // no thread to be had: here, then
  }
}

SequenceFinder::~SequenceFinder() {
  if (thread_.joinable()) thread_.join();
}

bool SequenceFinder::worthwhile() { return std::thread::hardware_concurrency() > 1; }

void SequenceFinder::find() {
  const uint32_t places = end_ - start_;
  const size_t size = size_t{places} + (length_ - 1);
  size_t at = 0;
  while (at < places) {
    const size_t found = ByteSource::findInMemory(data_ + at, size - at, pattern_, length_);
    if (found == ByteSource::kNotFound) break;
    places_.push_back(start_ + static_cast<uint32_t>(at + found));
    at += found + 1;
  }
}

uint32_t SequenceFinder::next(uint32_t from) {
  assert(from >= start_ && from <= end_ && from >= lastAsked_);
  lastAsked_ = from;
  if (!joined_) {
    if (thread_.joinable()) thread_.join();
    joined_ = true;
  }
  while (taken_ < places_.size() && places_[taken_] < from) ++taken_;
  return taken_ < places_.size() ? places_[taken_] : end_;
}
