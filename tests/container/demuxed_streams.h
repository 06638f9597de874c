#ifndef ORVANTE_TESTS_CONTAINER_DEMUXED_STREAMS_H_
#define ORVANTE_TESTS_CONTAINER_DEMUXED_STREAMS_H_

#include <string>
#include <vector>

#include "container/stream_demuxer.h"
#include "container/time_stamp_reader.h"
#include "source/memory_source.h"
#include "source/range_view_source.h"
#include "tests/support/temp_dir.h"

// The recordings of tests/data as the unit tests read them, and the streams
// the demultiplexer finds in them.

// The bytes of tests/data/<name>.
inline Bytes testRecording(const std::string& name) {
  return readFile(std::string(ORVANTE_SOURCE_DIR) + "/tests/data/" + name);
}

// The first video and audio streams of a system stream, joined from their
// packets, with the stamps those packets carry.
struct DemuxedStreams {
  Bytes video, audio;
  std::vector<TimeStamp> videoStamps, audioStamps;
};

// What one demultiplexing pass over `source` finds.
inline DemuxedStreams demuxStreams(ByteSource& source) {
  TimeStampReader reader(source);
  StreamDemuxer demuxer(source, ProgressCallback(), &reader);
  demuxer.demultiplex();
  DemuxedStreams found;
  for (size_t k = 0; k < reader.videoStamps().count(); ++k) found.videoStamps.push_back(reader.videoStamps()[k]);
  for (size_t k = 0; k < reader.audioStamps().count(); ++k) found.audioStamps.push_back(reader.audioStamps()[k]);
  const auto join = [&source](const RangeList& ranges, Bytes* into) {
    RangeViewSource view(source, ranges);
    view.readRuns(view.size(), [into](const uint8_t* bytes, uint32_t length) {
      into->insert(into->end(), bytes, bytes + length);
    });
  };
  join(demuxer.videoRanges(), &found.video);
  join(demuxer.audioRanges(), &found.audio);
  return found;
}

// The same for the bytes of a system stream.
inline DemuxedStreams demuxStreams(const Bytes& stream) {
  MemorySource source(stream.data(), stream.size());
  return demuxStreams(source);
}

#endif  // ORVANTE_TESTS_CONTAINER_DEMUXED_STREAMS_H_
