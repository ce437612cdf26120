// The 80-byte stream description returned by GetStreamInfo and sent to every new transfer
// client ahead of its first packet. Little-endian, no gaps; stored and sent as it is.
#pragma once

#include <cstddef>
#include <cstdint>

struct StreamInfo {
  int64_t encodedBytes = 0;  // sum of the sizes of all encoded video packets
  int64_t framesIn = 0;      // raw frames received by OnBuffer
  int64_t bytesIn = 0;       // sum of the picture sizes of those frames
  int64_t bytesSent = 0;     // sum over broadcasts of packet size x clients reached
  int64_t packetsSent = 0;   // broadcasts to the transfer server
  int32_t clients = 0;       // clients reached by the last broadcast
  int32_t gray = 0;          // 1 when Create was given 8-bit grey
  int32_t width = 0;
  int32_t height = 0;
  int32_t pixelFormat = -1;  // as given to Create; -1 before
  int32_t pictureSize = 0;   // bytes of one picture of that format and size
  int32_t frameRate = 0;
  int32_t bitRate = 0;
  int32_t codecId = 0;       // 13 (MPEG-4 Part 2 in the old numbering) once created
  int32_t reserved = 0;      // never written
};

static_assert(sizeof(StreamInfo) == 80, "StreamInfo is 80 bytes on the wire");
static_assert(offsetof(StreamInfo, encodedBytes) == 0, "StreamInfo layout");
static_assert(offsetof(StreamInfo, framesIn) == 8, "StreamInfo layout");
static_assert(offsetof(StreamInfo, bytesIn) == 16, "StreamInfo layout");
static_assert(offsetof(StreamInfo, bytesSent) == 24, "StreamInfo layout");
static_assert(offsetof(StreamInfo, packetsSent) == 32, "StreamInfo layout");
static_assert(offsetof(StreamInfo, clients) == 40, "StreamInfo layout");
static_assert(offsetof(StreamInfo, gray) == 44, "StreamInfo layout");
static_assert(offsetof(StreamInfo, width) == 48, "StreamInfo layout");
static_assert(offsetof(StreamInfo, height) == 52, "StreamInfo layout");
static_assert(offsetof(StreamInfo, pixelFormat) == 56, "StreamInfo layout");
static_assert(offsetof(StreamInfo, pictureSize) == 60, "StreamInfo layout");
static_assert(offsetof(StreamInfo, frameRate) == 64, "StreamInfo layout");
static_assert(offsetof(StreamInfo, bitRate) == 68, "StreamInfo layout");
static_assert(offsetof(StreamInfo, codecId) == 72, "StreamInfo layout");
static_assert(offsetof(StreamInfo, reserved) == 76, "StreamInfo layout");

// StreamInfo.codecId: MPEG-4 Part 2 in the numbering the wire has always carried.
constexpr int32_t kStreamInfoCodecMpeg4 = 13;
