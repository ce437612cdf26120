#include "tools/common/Mpeg4Headers.h"

namespace sorvo::tools {
namespace {

constexpr uint8_t kGroupStartCode = 0xB3;
constexpr uint8_t kPictureStartCode = 0xB6;
constexpr int64_t kSecondsPerDay = 24 * 60 * 60;

// Reads bits most significant first; past the end it reads zeros and remembers that it
// overran, so a caller checks once at the end.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) : m_data(data), m_bits(size * 8) {}

  uint32_t Read(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      uint32_t bit = 0;
      if (m_at < m_bits)
        bit = (m_data[m_at >> 3] >> (7 - (m_at & 7))) & 1;
      else
        m_overran = true;
      ++m_at;
      value = (value << 1) | bit;
    }
    return value;
  }
  bool Flag() { return Read(1) != 0; }
  bool overran() const { return m_overran; }

 private:
  const uint8_t* m_data;
  size_t m_bits;
  size_t m_at = 0;
  bool m_overran = false;
};

// Offset just past the first 00 00 01 xx with `first` <= xx <= `last`, or `size`.
size_t AfterStartCode(const uint8_t* data, size_t size, uint8_t first, uint8_t last) {
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] >= first &&
        data[i + 3] <= last)
      return i + 4;
  }
  return size;
}

int BitsFor(int resolution) {
  int bits = 1;
  while ((1 << bits) < resolution)
    ++bits;
  return bits;
}

}  // namespace

double Mpeg4Vol::DeclaredRate() const {
  if (timeResolution <= 0)
    return 0;
  return fixedIncrement > 0 ? static_cast<double>(timeResolution) / fixedIncrement : timeResolution;
}

bool ParseMpeg4Vol(const uint8_t* data, size_t size, Mpeg4Vol* vol) {
  const size_t at = AfterStartCode(data, size, 0x20, 0x2F);
  if (at >= size)
    return false;
  BitReader bits(data + at, size - at);
  bits.Read(1);  // random_accessible_vol
  bits.Read(8);  // video_object_type_indication
  if (bits.Flag())
    bits.Read(4 + 3);  // is_object_layer_identifier: verid, priority
  if (bits.Read(4) == 15)
    bits.Read(16);    // aspect ratio: extended pixel aspect ratio
  if (bits.Flag()) {  // vol_control_parameters
    bits.Read(2);     // chroma_format
    bits.Read(1);     // low_delay
    if (bits.Flag())
      bits.Read(15 + 1 + 15 + 1 + 15 + 1 + 3 + 11 + 1 + 15 + 1);  // vbv
  }
  const uint32_t shape = bits.Read(2);
  if (shape != 0)
    return false;  // only rectangular layers carry their size here
  if (!bits.Flag())
    return false;  // marker
  const int resolution = static_cast<int>(bits.Read(16));
  if (!bits.Flag() || resolution == 0)
    return false;
  const int incrementBits = BitsFor(resolution);
  int fixedIncrement = 0;
  if (bits.Flag())
    fixedIncrement = static_cast<int>(bits.Read(incrementBits));
  if (!bits.Flag())
    return false;
  const int width = static_cast<int>(bits.Read(13));
  if (!bits.Flag())
    return false;
  const int height = static_cast<int>(bits.Read(13));
  if (!bits.Flag() || bits.overran() || width == 0 || height == 0)
    return false;
  vol->width = width;
  vol->height = height;
  vol->timeResolution = resolution;
  vol->fixedIncrement = fixedIncrement;
  vol->incrementBits = incrementBits;
  return true;
}

bool ParseMpeg4PictureTime(const uint8_t* data,
                           size_t size,
                           const Mpeg4Vol& vol,
                           Mpeg4PictureTime* time) {
  if (vol.incrementBits <= 0)
    return false;
  const size_t picture = AfterStartCode(data, size, kPictureStartCode, kPictureStartCode);
  if (picture >= size)
    return false;
  Mpeg4PictureTime result;
  const size_t group = AfterStartCode(data, picture, kGroupStartCode, kGroupStartCode);
  if (group < picture) {
    BitReader bits(data + group, picture - group);
    const int hours = static_cast<int>(bits.Read(5));
    const int minutes = static_cast<int>(bits.Read(6));
    bits.Read(1);  // marker
    const int seconds = static_cast<int>(bits.Read(6));
    if (bits.overran() || hours > 23 || minutes > 59 || seconds > 59)
      return false;
    result.groupSeconds = (hours * 60 + minutes) * 60 + seconds;
  }
  BitReader bits(data + picture, size - picture);
  switch (bits.Read(2)) {
    case 0:
      result.type = Mpeg4PictureType::kIntra;
      break;
    case 1:
      result.type = Mpeg4PictureType::kPredicted;
      break;
    case 2:
      result.type = Mpeg4PictureType::kBidirectional;
      break;
    default:
      result.type = Mpeg4PictureType::kSprite;
      break;
  }
  // A run of ones counts whole seconds; more than a day's worth is not a picture header.
  while (bits.Flag()) {
    if (++result.moduloSeconds > kSecondsPerDay || bits.overran())
      return false;
  }
  if (!bits.Flag())
    return false;  // marker
  result.increment = static_cast<int>(bits.Read(vol.incrementBits));
  if (!bits.Flag() || bits.overran() || result.increment >= vol.timeResolution)
    return false;
  *time = result;
  return true;
}

int64_t Mpeg4Clock::SecondsOf(const Mpeg4PictureTime& picture) const {
  int64_t base = m_seconds;
  if (picture.groupSeconds >= 0) {
    // The time code is the time of day: take the day of the latest picture, and the next
    // day when that would put the group more than half a day back.
    base = m_seconds - m_seconds % kSecondsPerDay + picture.groupSeconds;
    if (base < m_seconds - kSecondsPerDay / 2)
      base += kSecondsPerDay;
  }
  return base + picture.moduloSeconds;
}

int64_t Mpeg4Clock::TimeOf(const Mpeg4PictureTime& picture) const {
  return SecondsOf(picture) * m_resolution + picture.increment;
}

void Mpeg4Clock::Take(const Mpeg4PictureTime& picture) {
  // Bidirectional pictures do not move the seconds on.
  if (picture.type != Mpeg4PictureType::kBidirectional)
    m_seconds = SecondsOf(picture);
}

void Mpeg4Clock::TakeAt(int64_t time) {
  m_seconds = time / m_resolution;
}

}  // namespace sorvo::tools
