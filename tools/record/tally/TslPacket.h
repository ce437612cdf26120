// TSL UMD protocol 5.0 packets: one display message per camera, with its tally lamps and its
// display text. All 16-bit fields are little-endian. A packet is
//   PBC (bytes that follow it) | VER (0) | FLAGS (0: ASCII text, display messages) | SCREEN
// followed by display messages, each
//   INDEX | CONTROL | LENGTH | TEXT
// where CONTROL holds the right-hand lamp in bits 0-1, the text tally in bits 2-3, the
// left-hand lamp in bits 4-5 and the brightness in bits 6-7 (bit 15 clear: display data
// follows). On a byte stream each packet begins with DLE STX and every DLE within it is
// sent twice. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sorvo::tools {

enum class TallyColour : uint8_t { kOff = 0, kRed = 1, kGreen = 2, kAmber = 3 };

struct TslDisplay {
  uint16_t index = 0;
  TallyColour colour = TallyColour::kOff;  // every lamp and the text tally alike
  std::string text;                        // ASCII; other bytes are sent as '?'
};

// The largest packet the protocol allows.
constexpr size_t kTslMaxPacket = 2048;

// One packet with `displays` (brightness full) on `screen`; displays that would make it
// longer than kTslMaxPacket are left for the next one (`used` says how many went in).
std::string TslPacket(uint16_t screen, const std::vector<TslDisplay>& displays, size_t* used);
// `packet` framed for a byte stream: DLE STX, then the packet with each DLE doubled.
std::string TslStreamFrame(const std::string& packet);

}  // namespace sorvo::tools
