// A source of raw pictures or PCM that a feeder delivers to one of the library's frame
// receivers: a synthetic camera, a tone, a media file or a capture device.
//
// One thread at a time: the feeder's, once it has started. Stop() alone may come from any
// thread, to break a source out of a blocking read.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <sorvo/sorvo.h>

namespace sorvo::tools {

class MediaSource {
 public:
  virtual ~MediaSource() = default;

  // Fills `data` with the next buffer and `due` with the time it is due, in seconds since
  // the source began; false at the end or on a failure (error() says which).
  virtual bool Next(std::vector<uint8_t>* data, double* due) = 0;
  // A capture device, whose buffers come at its own pace: delivered as soon as read.
  virtual bool live() const { return false; }
  // What the user named and what it turned out to be, for the messages and the summary.
  virtual std::string Describe() const = 0;
  const std::string& error() const { return m_error; }

  // Buffers carry these to the receiver. Sound has no picture format.
  int width() const { return m_width; }
  int height() const { return m_height; }
  PixelFormat pixelFormat() const { return m_pixelFormat; }
  // Pictures (or, for sound, buffers) per second, as the sink is told.
  int frameRate() const { return m_frameRate; }

  void Stop() { m_stopRequested.store(true); }

 protected:
  bool StopRequested() const { return m_stopRequested.load(); }
  // For inputs that poll it while they block.
  const std::atomic<bool>* stopFlag() const { return &m_stopRequested; }

  int m_width = 0;
  int m_height = 0;
  PixelFormat m_pixelFormat = PIX_FMT_NONE;
  int m_frameRate = 0;
  std::string m_error;

 private:
  std::atomic<bool> m_stopRequested{false};
};

}  // namespace sorvo::tools
