// The 20-byte header that precedes every encoded video packet on the network and inside
// each private stream record. Five little-endian signed 32-bit integers.
#pragma once

#include <cstddef>
#include <cstdint>

struct PacketHeader {
  int32_t size = 0;    // bytes in the packet
  int32_t seq = 0;     // low 32 bits of the sink's broadcast count before this packet
  int32_t key = 0;     // 1 on key frames
  int32_t width = 0;
  int32_t height = 0;
};

static_assert(sizeof(PacketHeader) == 20, "PacketHeader is 20 bytes on the wire");
static_assert(offsetof(PacketHeader, seq) == 4 && offsetof(PacketHeader, key) == 8 &&
                  offsetof(PacketHeader, width) == 12 && offsetof(PacketHeader, height) == 16,
              "PacketHeader layout");
