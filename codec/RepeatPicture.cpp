#include "codec/RepeatPicture.h"

#include <iterator>

namespace sorvo {
namespace {

constexpr uint8_t kVopStartCode[] = {0x00, 0x00, 0x01, 0xB6};
constexpr int kPredictedVop = 1;  // vop_coding_type of a P-VOP
// The quantiser of a picture whose blocks carry no coefficients is never applied; a low one
// keeps a player's deblocking from softening the repeated picture.
constexpr int kQuantiser = 2;
constexpr int kForwardFCode = 1;  // no motion vectors are sent; 1 is the smallest valid

// Most significant bit first, as the format packs them.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>* out) : m_out(out) {}

  void Put(int bits, uint32_t value) {
    for (int i = bits - 1; i >= 0; --i)
      PutBit((value >> i) & 1);
  }
  void PutBit(uint32_t bit) {
    m_byte = static_cast<uint8_t>((m_byte << 1) | bit);
    if (++m_used == 8)
      Flush();
  }
  // `count` one bits, whole bytes at a time where aligned: a macroblock row is a bit each.
  void PutOnes(int64_t count) {
    for (; count > 0 && m_used != 0; --count)
      PutBit(1);
    for (; count >= 8; count -= 8)
      m_out->push_back(0xFF);
    for (; count > 0; --count)
      PutBit(1);
  }
  // The stuffing that ends a VOP: a zero, then ones up to the byte boundary (a whole byte
  // when already aligned).
  void Stuff() {
    PutBit(0);
    while (m_used != 0)
      PutBit(1);
  }

 private:
  void Flush() {
    m_out->push_back(m_byte);
    m_byte = 0;
    m_used = 0;
  }

  std::vector<uint8_t>* m_out;
  uint8_t m_byte = 0;
  int m_used = 0;
};

}  // namespace

void RepeatPicture::Reset(int width, int height, int frameRate) {
  m_frameRate = frameRate > 0 ? frameRate : 25;
  // The codec's resolution is the frame rate; its increment takes the bits of rate - 1,
  // at least one.
  m_timeBits = 1;
  while ((m_frameRate - 1) >> m_timeBits)
    ++m_timeBits;
  m_macroblocks = static_cast<int64_t>((width + 15) / 16) * ((height + 15) / 16);
  m_bytes.clear();
  m_bytes.reserve(static_cast<size_t>(m_macroblocks / 8 + 16));
}

const std::vector<uint8_t>& RepeatPicture::Build(int64_t slot, int64_t previous) {
  m_bytes.assign(std::begin(kVopStartCode), std::end(kVopStartCode));
  BitWriter bits(&m_bytes);
  bits.Put(2, kPredictedVop);
  // modulo_time_base: a one for each second passed since the picture before.
  bits.PutOnes(Second(slot) - Second(previous));
  bits.PutBit(0);
  bits.PutBit(1);  // marker
  bits.Put(m_timeBits, static_cast<uint32_t>(slot % m_frameRate));
  bits.PutBit(1);  // marker
  bits.PutBit(1);  // vop_coded
  bits.PutBit(0);  // vop_rounding_type: nothing is interpolated
  bits.Put(3, 0);  // intra_dc_vlc_thr
  bits.Put(5, kQuantiser);
  bits.Put(3, kForwardFCode);
  bits.PutOnes(m_macroblocks);  // not_coded, every macroblock
  bits.Stuff();
  return m_bytes;
}

}  // namespace sorvo
