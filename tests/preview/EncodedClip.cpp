#include "EncodedClip.h"

#include <cstdlib>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFEncoder.h"

namespace sorvo::test {

namespace {

class PacketCollector : public FFEncoder {
 public:
  std::vector<Bytes> packets;

 protected:
  void OnEncode(AVPacket* packet) override {
    packets.emplace_back(packet->data, packet->data + packet->size);
  }
};

}  // namespace

Bytes GradientYuvPicture(int width, int height, int index) {
  const int chromaWidth = (width + 1) / 2;
  const int chromaHeight = (height + 1) / 2;
  Bytes picture(static_cast<size_t>(width) * height + 2 * chromaWidth * chromaHeight);
  unsigned char* luma = picture.data();
  unsigned char* blue = luma + width * height;
  unsigned char* red = blue + chromaWidth * chromaHeight;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      luma[y * width + x] = static_cast<unsigned char>(32 + (x * 160 / width + index * 7) % 192);
  for (int y = 0; y < chromaHeight; ++y) {
    for (int x = 0; x < chromaWidth; ++x) {
      blue[y * chromaWidth + x] = static_cast<unsigned char>(60 + y * 40 / chromaHeight);
      red[y * chromaWidth + x] = static_cast<unsigned char>(190 - x * 40 / chromaWidth);
    }
  }
  return picture;
}

Bytes SolidBgrPicture(int width, int height, uint8_t red, uint8_t green, uint8_t blue) {
  Bytes picture(static_cast<size_t>(width) * height * 3);
  for (size_t i = 0; i < picture.size(); i += 3) {
    picture[i] = blue;
    picture[i + 1] = green;
    picture[i + 2] = red;
  }
  return picture;
}

std::vector<Bytes> EncodePictures(int width,
                                  int height,
                                  PixelFormat format,
                                  const std::vector<Bytes>& pictures,
                                  int bitRate) {
  PacketCollector encoder;
  if (!encoder.Open(width, height, format, 25, bitRate, "clip"))
    return {};
  for (const Bytes& picture : pictures) {
    Bytes copy(picture);  // Encode takes a non-const buffer
    encoder.Encode(0, 0, copy.data(), static_cast<long>(copy.size()));
  }
  encoder.Close();
  return std::move(encoder.packets);
}

Clip EncodeGradientClip(int width, int height, int count, int firstIndex) {
  Clip clip;
  for (int i = 0; i < count; ++i)
    clip.pictures.push_back(GradientYuvPicture(width, height, firstIndex + i));
  clip.packets = EncodePictures(width, height, PIX_FMT_YUV420P, clip.pictures);
  return clip;
}

double MeanAbsDiff(const unsigned char* a, const unsigned char* b, size_t count) {
  if (count == 0)
    return 0;
  double sum = 0;
  for (size_t i = 0; i < count; ++i)
    sum += std::abs(static_cast<int>(a[i]) - b[i]);
  return sum / count;
}

}  // namespace sorvo::test
