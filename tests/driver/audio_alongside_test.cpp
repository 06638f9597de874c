#include "driver/audio_alongside.h"

#include <gtest/gtest.h>

#include <thread>

#include "source/memory_source.h"
#include "source/range_view_source.h"
#include "tests/support/byte_by_byte_source.h"
#include "tests/support/recording_reporter.h"
#include "tests/support/temp_dir.h"

TEST(AudioAlongside, FindsAndWritesWhatTheRescuerAloneDoes) {
  // 60 Video CD frames (Layer II, 224 kbit/s, 44.1 kHz: 731 bytes), frame k
  // filled with 1 + k, in packets of 2281 bytes stamped with the time of
  // their first frame; then two frames' bytes lost.
  constexpr uint8_t kHeader[4] = {0xFF, 0xFD, 0xB0, 0x04};
  Bytes bytes;
  TimeStampList stamps;
  for (int k = 0; k < 60; ++k) {
    bytes.insert(bytes.end(), kHeader, kHeader + 4);
    bytes.resize(bytes.size() + 727, static_cast<uint8_t>(1 + k));
  }
  for (uint32_t at = 0; at < bytes.size(); at += 2281) {
    const uint64_t first = (at + 730) / 731;
    stamps.append({at, std::min<uint32_t>(2281, bytes.size() - at), 90000 + (first * 1152 * 90000 + 22050) / 44100, 0});
  }
  bytes.erase(bytes.begin() + 731 * 10 + 100, bytes.begin() + 731 * 12 + 100);
  TempDir dir;
  const PresentationSpan recording = {0, 90000 * 3, true};

  MemorySource memory(bytes.data(), bytes.size());
  RecordingReporter alone;
  AudioRescuer rescuer(memory, stamps, ProgressCallback(), &alone);
  rescuer.analyze();
  ASSERT_TRUE(rescuer.write(dir.file("alone"), recording));
  ASSERT_TRUE(rescuer.span().known);
  ASSERT_GT(rescuer.silentFrames(), 2u);

  // In place on a thread where there are processors to spare; byte by
  // byte, on the caller's thread.
  RangeList pieces;
  for (uint32_t at = 0; at < memory.size(); at += 1000) pieces.append(at, std::min(at + 1000, memory.size()));
  RangeViewSource inPieces(memory, pieces);
  ByteByByteSource byteByByte(bytes);
  const bool threads = std::thread::hardware_concurrency() > 1;
  const struct {
    ByteSource* source;
    bool alongside;
  } cases[] = {{&memory, threads}, {&inPieces, threads}, {&byteByByte, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    RecordingReporter log;
    AudioAlongside analysis(*c.source, stamps, ProgressCallback(), &log);
    EXPECT_EQ(analysis.alongside(), c.alongside);
    AudioRescuer& analysed = analysis.analyzed();
    EXPECT_EQ(&analysis.analyzed(), &analysed);
    EXPECT_EQ(analysed.span().start, rescuer.span().start);
    EXPECT_EQ(analysed.span().end, rescuer.span().end);
    ASSERT_TRUE(analysed.write(dir.file("alongside"), recording));
    EXPECT_EQ(dir.read("alongside.mp2"), dir.read("alone.mp2"));
    EXPECT_EQ(log.repairs.size(), alone.repairs.size());
  }
  { AudioAlongside unasked(memory, stamps, ProgressCallback(), nullptr); }  // waited for as it goes
}
