// Pictures, tones, recording encoders and a reference decoder for the codec tests.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/FFAudioDecoder.h"
#include "codec/FFAudioEncoder.h"
#include "codec/FFEncoder.h"
#include "host/PixelFormat.h"

class FFWriteFile;

namespace sorvo::test {

// A YUV 4:2:0 picture (planes packed, alignment 1) whose content moves with `frame`.
std::vector<uint8_t> MovingYuvPicture(int width, int height, int frame);
// A packed picture of one colour in format 2 (RGB24), 3 (BGR24) or 27 to 30 (32-bit RGB).
std::vector<uint8_t> SolidPackedPicture(PixelFormat format,
                                        int width,
                                        int height,
                                        uint8_t red,
                                        uint8_t green,
                                        uint8_t blue);

// Everything of a packet that a consumer may look at, copied out of the hook.
struct SeenPacket {
  std::vector<uint8_t> data;
  int flags = 0;
  int64_t pts = 0;
  int64_t dts = 0;
  int64_t duration = 0;
  int64_t pos = 0;
  int streamIndex = 0;
  int timeBaseNum = 0;  // the packet's time_base
  int timeBaseDen = 1;
  bool key() const { return (flags & 1) != 0; }
};
SeenPacket CopyPacket(const struct AVPacket* packet);

// Keeps a copy of every packet and, like a recording sink, hands it to a writer.
class RecordingEncoder : public FFEncoder {
 public:
  std::vector<SeenPacket> packets;
  FFWriteFile* writer = nullptr;
  int writerIndex = 0;
  int writerResults = 0;  // sum of AddVideoFrame results

 protected:
  void OnEncode(AVPacket* packet) override;
};

class RecordingAudioEncoder : public FFAudioEncoder {
 public:
  std::vector<SeenPacket> packets;
  FFWriteFile* writer = nullptr;

 protected:
  void OnEncode(AVPacket* packet) override;
};

// Keeps every decoded frame of PCM it is handed.
class RecordingAudioDecoder : public FFAudioDecoder {
 public:
  std::vector<std::vector<uint8_t>> frames;
  std::vector<int64_t> pts;
  std::vector<uint8_t> pcm;  // everything, back to back

 protected:
  int OnDecode(struct AVPacket* packet) override;
};

// One decoded picture.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y, u, v;  // packed planes
};
// A copy of a decoded YUV 4:2:0 picture.
Picture PictureFromFrame(const struct AVFrame* frame);

// Decodes MPEG-4 Part 2 packets one by one, as a client that joins the stream would.
// `strict` also counts as an error every picture the decoder had to conceal damage in.
class Mpeg4Decoder {
 public:
  explicit Mpeg4Decoder(bool strict = false);
  ~Mpeg4Decoder();
  // The pictures this packet gave; empty on a decode error or a held-back picture.
  std::vector<Picture> Decode(const std::vector<uint8_t>& packet);
  int errors = 0;

 private:
  struct AVCodecContext* m_context = nullptr;
  struct AVFrame* m_frame = nullptr;
  struct AVPacket* m_packet = nullptr;
};

// Interleaved 16-bit PCM of a sine tone, `samples` per channel, starting at sample `first`.
std::vector<uint8_t> Tone(double frequency,
                          int sampleRate,
                          int channels,
                          int first,
                          int samples,
                          double amplitude = 8000);
// The frequency, to `stepHz`, with the most energy in [lowHz, highHz] of a mono signal.
double StrongestFrequency(const std::vector<int16_t>& samples,
                          int sampleRate,
                          double lowHz,
                          double highHz,
                          double stepHz);
// The first channel of interleaved 16-bit PCM.
std::vector<int16_t> FirstChannel(const std::vector<uint8_t>& pcm, int channels);

}  // namespace sorvo::test
