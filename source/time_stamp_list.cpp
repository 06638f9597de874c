#include "source/time_stamp_list.h"

#include <cassert>

void TimeStampList::append(const TimeStamp& stamp) {
  assert(stamps_.empty() || stamp.offset >= stamps_.back().offset);
  stamps_.push_back(stamp);
}
