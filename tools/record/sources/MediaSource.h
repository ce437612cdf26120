// A source of raw pictures or PCM that a feeder delivers to one of the library's frame
// receivers: a synthetic camera, a tone, a media file, a capture device or a network
// stream.
//
// One thread at a time: the feeder's, once it has started. Stop(), Notes() and signal()
// may come from any thread; Stop() breaks a source out of a blocking read.
#pragma once

#include <sorvo/sorvo.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "codec/FFDeleters.h"
#include "tools/record/sources/StopToken.h"

namespace sorvo::tools {

class SignalLog;

// What a connection to a network source is asked for: pictures of `width` x `height` (0 x 0:
// the source's own size), and, once an earlier connection has found the stream's format,
// its frame rate, so that a connection made again looks at the stream only briefly.
struct Wanted {
  int width = 0;
  int height = 0;
  int knownRate = 0;
};

class MediaSource {
 public:
  virtual ~MediaSource() = default;

  // Fills `data` with the next buffer and `due` with the time it is due, in seconds since
  // the source began; false at the end or on a failure (error() says which).
  virtual bool Next(std::vector<uint8_t>* data, double* due) = 0;

  // Pictures, for a feeder that has memory for them only once they are due (a buffer the
  // sink lends): NextPicture is Next without the picture, which WritePicture then writes,
  // pictureLength() bytes, into `into`; it may write the same picture again, and still
  // after a NextPicture that failed. False when the picture cannot be made (said in the
  // notes). A source that makes its pictures as it reads them has them copied.
  virtual bool NextPicture(double* due);
  virtual long pictureLength() const { return static_cast<long>(m_made.size()); }
  virtual bool WritePicture(uint8_t* into);

  // A decoder's source hands its pictures on as they came out of the decoder, any size and
  // format, for whoever reads it to convert them once they are due (ReconnectingSource).
  // `frame` gets the next one; false as Next. Only where decodes() says so.
  virtual bool decodes() const { return false; }
  virtual bool NextDecoded(FramePtr* /*frame*/, double* /*due*/) { return false; }
  // A source whose buffers come at its own pace (a capture device, a network stream):
  // delivered as soon as read, its times moved onto the session's clock where the first
  // buffer arrives.
  virtual bool live() const { return false; }
  // A live source whose times are seconds on the steady clock (since its epoch), which the
  // feeder puts on the session's clock as they are, instead of where the first buffer
  // arrives.
  virtual bool timedOnSteadyClock() const { return false; }
  // A source whose times only count its buffers at the rate it claims (a stream that
  // carries no times of its own): they say nothing of when a buffer was made.
  virtual bool timesCounted() const { return false; }
  // What the user named and what it turned out to be, for the messages and the summary.
  virtual std::string Describe() const = 0;
  const std::string& error() const { return m_error; }
  // For a source that loses its signal and gets it back; null for the others.
  virtual const SignalLog* signal() const { return nullptr; }
  // A source that connects in the background waits here for its first answer, and takes
  // the picture format it will keep. Before the first Next.
  virtual void FinishOpening() {}

  // Buffers carry these to the receiver. Sound has no picture format.
  int width() const { return m_width; }
  int height() const { return m_height; }
  PixelFormat pixelFormat() const { return m_pixelFormat; }
  // Bytes of one picture of the source's size and format.
  long pictureSize() const;
  // Pictures (or, for sound, buffers) per second, as the sink is told.
  int frameRate() const { return m_frameRate; }

  // The library records pictures of 100 to 5000 pixels each way: why another size cannot
  // be recorded, or empty.
  static std::string SizeProblem(int width, int height);

  void Stop() {
    m_stop.Request();
    OnStop();
  }
  // A thing the user should know that does not stop the source, with the notes like it
  // (see AlikeNotes) folded in.
  struct Note {
    std::string text;  // as first said
    std::string last;  // the last like it; empty while said once
    long long count = 1;
    std::chrono::steady_clock::time_point firstAt;
    std::chrono::steady_clock::time_point lastAt;
  };
  // Things the user should know that do not stop the source: each said once, those like
  // an earlier one counted in it.
  std::vector<Note> Notes() const;

 protected:
  bool StopRequested() const { return m_stop.requested(); }
  // For inputs that poll it while they block.
  const std::atomic<bool>* stopFlag() const { return m_stop.flag(); }
  const StopToken& stopToken() const { return m_stop; }
  // Called by Stop, on the thread that stops, after the flag is set.
  virtual void OnStop() {}
  // Adds a note unless it was said already (as the first or the last of its kind); one like
  // an earlier note counts in that one.
  void AddNote(const std::string& note);

  int m_width = 0;
  int m_height = 0;
  PixelFormat m_pixelFormat = PIX_FMT_NONE;
  int m_frameRate = 0;
  std::string m_error;

 private:
  StopToken m_stop;
  // For a source that makes its pictures in Next: NextPicture's picture, and the buffer
  // the next one is read into.
  std::vector<uint8_t> m_made;
  std::vector<uint8_t> m_reading;
  mutable std::mutex m_notesLock;  // guards m_notes
  std::vector<Note> m_notes;
};

}  // namespace sorvo::tools
