#include "tools/recover/Mp3FrameHeader.h"

namespace sorvo::tools {

bool Mp3FrameHeader::SameStream(const Mp3FrameHeader& other) const {
  return version == other.version && sampleRate == other.sampleRate && channels == other.channels;
}

bool ParseMp3FrameHeader(const uint8_t* data, size_t size, Mp3FrameHeader* header) {
  if (size < 4 || data[0] != 0xFF || (data[1] & 0xE0) != 0xE0)
    return false;
  const int versionBits = (data[1] >> 3) & 3;  // 0: 2.5, 1: reserved, 2: 2, 3: 1
  const int layerBits = (data[1] >> 1) & 3;    // 1: Layer III
  const int bitRateIndex = data[2] >> 4;
  const int rateIndex = (data[2] >> 2) & 3;
  const int padding = (data[2] >> 1) & 1;
  const int mode = data[3] >> 6;
  const int emphasis = data[3] & 3;
  if (versionBits == 1 || layerBits != 1 || bitRateIndex == 0 || bitRateIndex == 15 ||
      rateIndex == 3 || emphasis == 2)
    return false;
  static constexpr int kMpeg1Rates[] = {0,   32,  40,  48,  56,  64,  80, 96,
                                        112, 128, 160, 192, 224, 256, 320};
  static constexpr int kMpeg2Rates[] = {0,  8,  16, 24,  32,  40,  48, 56,
                                        64, 80, 96, 112, 128, 144, 160};
  static constexpr int kSampleRates[] = {44100, 48000, 32000};
  const bool mpeg1 = versionBits == 3;
  const int kilobits = mpeg1 ? kMpeg1Rates[bitRateIndex] : kMpeg2Rates[bitRateIndex];
  Mp3FrameHeader result;
  result.version = mpeg1 ? 1 : versionBits == 2 ? 2 : 25;
  result.sampleRate = kSampleRates[rateIndex] >> (mpeg1 ? 0 : versionBits == 2 ? 1 : 2);
  result.channels = mode == 3 ? 1 : 2;
  result.samples = mpeg1 ? 1152 : 576;
  result.length =
      static_cast<size_t>((mpeg1 ? 144000 : 72000) * kilobits / result.sampleRate + padding);
  *header = result;
  return true;
}

}  // namespace sorvo::tools
