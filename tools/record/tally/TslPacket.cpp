#include "tools/record/tally/TslPacket.h"

namespace sorvo::tools {
namespace {

constexpr uint8_t kDle = 0xFE;
constexpr uint8_t kStx = 0x02;
constexpr uint16_t kFullBrightness = 3;
// INDEX, CONTROL, LENGTH.
constexpr size_t kMessageBytes = 6;
// Display texts are short by nature; a longer name is cut.
constexpr size_t kMaxText = 64;

void Put16(std::string* out, uint16_t value) {
  out->push_back(static_cast<char>(value & 0xFF));
  out->push_back(static_cast<char>(value >> 8));
}

std::string AsciiText(const std::string& text) {
  std::string ascii;
  for (char c : text.substr(0, kMaxText)) {
    const unsigned char byte = static_cast<unsigned char>(c);
    ascii.push_back(byte >= 0x20 && byte < 0x7F ? c : '?');
  }
  return ascii;
}

}  // namespace

std::string TslPacket(uint16_t screen, const std::vector<TslDisplay>& displays, size_t* used) {
  std::string packet;
  Put16(&packet, 0);    // PBC, known at the end
  packet.push_back(0);  // VER: 5.0
  packet.push_back(0);  // FLAGS: ASCII, display messages
  Put16(&packet, screen);
  *used = 0;
  for (const TslDisplay& display : displays) {
    const std::string text = AsciiText(display.text);
    if (packet.size() + kMessageBytes + text.size() > kTslMaxPacket)
      break;
    const uint16_t lamp = static_cast<uint16_t>(display.colour);
    Put16(&packet, display.index);
    Put16(&packet, static_cast<uint16_t>(lamp | lamp << 2 | lamp << 4 | kFullBrightness << 6));
    Put16(&packet, static_cast<uint16_t>(text.size()));
    packet += text;
    ++*used;
  }
  const uint16_t following = static_cast<uint16_t>(packet.size() - 2);
  packet[0] = static_cast<char>(following & 0xFF);
  packet[1] = static_cast<char>(following >> 8);
  return packet;
}

std::string TslStreamFrame(const std::string& packet) {
  std::string framed = {static_cast<char>(kDle), static_cast<char>(kStx)};
  for (char c : packet) {
    framed.push_back(c);
    if (static_cast<uint8_t>(c) == kDle)
      framed.push_back(c);
  }
  return framed;
}

}  // namespace sorvo::tools
