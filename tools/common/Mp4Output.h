// Writes MPEG-4 Part 2 video streams and an MP3 stream into one MP4 file from packets that
// carry no times of their own: the caller gives each packet a tick, counted in its stream's
// frame durations (one picture at the stream's frame rate, or one MP3 frame), and a gap in
// the ticks stays a gap in time.
//
// Streams are added first, then Open() writes the header, then packets follow; a video
// stream's decoder configuration (its in-band headers) goes into the MP4's 'esds' box.
// Packets are written as they come (no interleaving by the muxer): a caller with several
// streams hands them over in time order.
//
// One thread at a time. The destructor finishes an open file (writes its trailer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "codec/FFDeleters.h"

namespace sorvo::tools {

class Mp4Output {
 public:
  explicit Mp4Output(std::string path);
  ~Mp4Output();
  Mp4Output(const Mp4Output&) = delete;
  Mp4Output& operator=(const Mp4Output&) = delete;

  // Before Open(); each returns the new stream's index. `frameRate` <= 0 means 25.
  int AddVideo(int width, int height, int frameRate, std::vector<uint8_t> config);
  int AddMp3(int sampleRate, int channels, int frameSamples);

  // Creates the file and writes the header; false (see error()) when that failed.
  bool Open();
  // Writes one packet at `tick`; a tick not above the stream's last one is moved just
  // after it. False once writing has failed; nothing more is taken then.
  bool Write(int stream, const uint8_t* data, size_t size, bool key, int64_t tick);
  // Writes the trailer and closes the file; false (see error()) when that failed.
  bool Finish();

  bool opened() const { return static_cast<bool>(m_output); }
  long long packets(int stream) const;
  const std::string& error() const { return m_error; }

 private:
  struct Stream {
    bool video = true;
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int channels = 0;
    AVRational tickLength{1, 25};  // seconds per tick
    std::vector<uint8_t> config;
    int64_t lastTick = -1;
    long long packets = 0;
  };

  bool Fail(const std::string& what, int code);
  bool AddToContext(AVFormatContext* context, const Stream& stream);

  std::string m_path;
  std::vector<Stream> m_streams;
  OutputContextPtr m_output;
  PacketPtr m_packet;
  bool m_failed = false;
  std::string m_error;
};

}  // namespace sorvo::tools
