// Encodes the program once for every destination: the pictures as H.264 with libx264 (a
// live preset and tune, constant bit rate, a key frame every keySeconds of capture time,
// no scene-cut key frames so that HLS segments keep their length) and the sound as AAC
// with FFmpeg's encoder.
//
// Pictures are placed on the frame grid by capture time: picture n of the stream is the
// one captured at n / fps seconds on the session's clock. A picture whose place is taken
// already (the director repeats an instant at a switch) is left out.
//
// One thread at a time: the publisher's encoding thread (Open too, so that libx264's own
// threads inherit its priority).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "codec/FFDeleters.h"
#include "tools/record/publish/EncodedPacket.h"
#include "tools/record/publish/PublishSettings.h"
#include "tools/record/publish/SoundFrames.h"

namespace sorvo::tools {

class ProgramEncoder {
 public:
  using PacketOut = std::function<void(SharedPacket)>;

  explicit ProgramEncoder(const PublishSettings& settings) : m_settings(settings) {}

  // Opens the encoders; false with `error`.
  bool Open(std::string* error);
  std::shared_ptr<const ProgramStreams> streams() const { return m_streams; }
  // The size pictures are encoded at (the program's, made even).
  int width() const { return m_settings.width & ~1; }
  int height() const { return m_settings.height & ~1; }

  // `picture` is a YUV 4:2:0 frame of width() x height(); the encoder takes a reference.
  // False when it was left out (its place on the frame grid is taken already).
  bool EncodePicture(double time, AVFrame* picture, const PacketOut& out);
  void EncodeSound(double time, const int16_t* samples, int frames, const PacketOut& out);
  // Hands out what the encoders still hold.
  void Flush(const PacketOut& out);

  // Why the last encoding step failed; empty when none did.
  const std::string& error() const { return m_error; }
  double soundSecondsEncoded() const { return m_soundSeconds; }
  double soundReplacedSeconds() const { return m_sound.replacedSeconds(); }

 private:
  bool OpenVideo(std::string* error);
  bool OpenAudio(std::string* error);
  void Drain(AVCodecContext* codec, bool video, const PacketOut& out);
  void Send(AVCodecContext* codec, const AVFrame* frame, bool video, const PacketOut& out);

  const PublishSettings m_settings;
  CodecContextPtr m_video;
  CodecContextPtr m_audio;  // null without sound
  SoundFrames m_sound;
  std::shared_ptr<ProgramStreams> m_streams;
  int64_t m_lastPts = INT64_MIN;
  int64_t m_nextKeyPts = INT64_MIN;
  long long m_gops = 0;  // key frames encoded
  double m_soundSeconds = 0;
  std::string m_error;
};

}  // namespace sorvo::tools
