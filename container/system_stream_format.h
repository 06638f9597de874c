#ifndef ORVANTE_CONTAINER_SYSTEM_STREAM_FORMAT_H_
#define ORVANTE_CONTAINER_SYSTEM_STREAM_FORMAT_H_

#include <cstdint>

// MPEG-1 system stream layer (ISO/IEC 11172-1): the start codes 00 00 01 xx
// that it adds above the video elementary stream's, and its packet header.

// Codes up to this one belong to the video elementary stream (pictures,
// slices, sequence and group headers, sequence end) or are the end code.
constexpr uint32_t kLastVideoLevelCode = 0xB9;  // end code
constexpr uint32_t kPackStartCode = 0xBA;
constexpr uint32_t kSystemHeaderCode = 0xBB;
// 0xBC..0xFF start packets of the stream with that id.
constexpr uint32_t kAudioStreamId = 0xC0;  // first MPEG audio stream
constexpr uint32_t kVideoStreamId = 0xE0;  // first MPEG video stream

// Packet: start code (4), packet length (2), then header fields and payload.
constexpr uint32_t kPacketLengthSize = 2;
constexpr uint32_t kPacketPrefixSize = 4 + kPacketLengthSize;  // start code and length

// Header fields, in the order they may occur after the packet length.
constexpr int kStuffingByte = 0xFF;
constexpr int kBufferFieldTag = 0x1;        // top two bits 01: a 2-byte buffer field
constexpr uint32_t kBufferFieldSize = 2;
constexpr int kPtsTag = 0x2;                // top four bits 0010: presentation time stamp
constexpr uint32_t kPtsFieldSize = 5;
constexpr int kPtsDtsTag = 0x3;             // top four bits 0011: presentation and decoding
constexpr uint32_t kPtsDtsFieldSize = 10;
constexpr int kNoTimeStampByte = 0x0F;      // neither time stamp

#endif  // ORVANTE_CONTAINER_SYSTEM_STREAM_FORMAT_H_
