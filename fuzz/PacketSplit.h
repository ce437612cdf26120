// How the decoder targets cut one input into packets: each packet is a control byte, a
// 16-bit little-endian length and that many bytes (the rest of the input when fewer are
// left). The control byte's meaning belongs to the target. A fixed layout lets the fuzzer
// keep the packet boundaries of the seeds while it mutates what is inside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sorvo::fuzz {

struct FuzzPacket {
  uint8_t control = 0;
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// At most `limit` packets, which keeps every run short.
std::vector<FuzzPacket> SplitPackets(const uint8_t* data, size_t size, size_t limit);
// The inverse, for making seeds: appends one packet to `input`.
void AppendPacket(std::vector<uint8_t>* input, uint8_t control, const uint8_t* data, size_t size);

}  // namespace sorvo::fuzz
