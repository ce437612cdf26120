// A live source that loses its signal and gets it back: a network camera, another
// recorder's stream, network sound, and a local camera (a capture device that is unplugged,
// a file that ends and cannot be played again). A reader thread of its own reads the
// source's buffers as they come; a file's, which come as fast as they are read, at the pace
// of their own times from the session's start (or, opened again, from its first buffer). When the
// source fails (it ends, breaks off, or sends nothing for kSilentSourceSeconds) it is connected
// again every kQuickRetrySeconds (a listener, which waits for its sender anyway, every
// kListenerRetrySeconds) for kQuickRetryPeriod, then after twice as long each time, up to every
// kLongestRetrySeconds. A listener (UDP, an SRT or TCP listener) that merely falls silent keeps its
// connection and goes on listening. So a source that comes back records again within a second of
// sending. The feeder meanwhile always gets buffers: the source's own as they arrive, and while
// there is no signal, stand-ins (StandIn.h) at the source's rate. So the session's files keep their
// length, and the source's own buffers resume in them when it is back.
//
// A buffer of the source's own is stamped with the time it arrived, smoothed by the
// source's own clock: its time in the stream plus the least delay seen on this connection
// (which may creep up by kDriftAllowance, so that a sender's clock slower than this
// machine's is followed). Pictures that a network hands over in bursts so keep the
// spacing they were made with, and never get a time after they arrived. A stream whose
// clock goes back, or that paused for kSilentSourceSeconds, starts the reckoning again; a
// stream whose times only count its pictures is stamped as its pictures arrive. So the
// times handed to the feeder never go back, and a buffer that comes out of a connection
// after stand-ins took its time (the half picture a camera sent before it fell silent, the
// pictures a decoder gives up when its stream ends) is passed over: it is no return of the
// signal, and no picture of its instant is recorded twice.
//
// The signal counts as lost from the moment a connection fails, or when no buffer has come
// for kSilentSourceSeconds while connected (a stream whose packets do not decode); it is
// back with the first buffer of the source's own.
//
// Decoded pictures wait in the queue as the decoder gave them and are converted to the
// source's size on the feeder's thread once due (WritePicture), straight into the sink's
// buffer: one conversion, no copy.
//
// FinishOpening makes the first connection (sources may make theirs side by side) and
// fixes the format for good: the source's own, or, when it cannot be reached or its
// pictures are not a size the recorder takes, the fallback. Later connections are asked
// for pictures of that size.
//
// Threads: FinishOpening once, on any one thread, before the first Next (Next does it when
// it was not done); Next on the feeder's; the reader thread is started by FinishOpening
// and ended by the destructor; Stop, Notes and signal() from any. m_lock guards the queue,
// the spare buffers, the signal state and the time last delivered, which the reader and
// the feeder share; the stand-in, the converter, the current and the last buffer belong
// to the feeder. Lock order:
// m_lock, then the SignalLog's own or the notes'.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tools/record/sources/MediaSource.h"
#include "tools/record/sources/PictureConverter.h"
#include "tools/record/sources/SignalLog.h"
#include "tools/record/sources/StandIn.h"

namespace sorvo::tools {

class ReconnectingSource : public MediaSource {
 public:
  using Clock = std::chrono::steady_clock;
  // Opens one connection as `wanted`; null with `why` set. Must return soon once `stop` is
  // requested.
  using Connect = std::function<
      std::unique_ptr<MediaSource>(const Wanted& wanted, const StopToken& stop, std::string* why)>;
  // Makes what stands in for the source, once its format is fixed.
  using MakeStandIn = std::function<std::unique_ptr<StandIn>(const MediaSource& format)>;

  static constexpr double kQuickRetrySeconds = 0.5;
  static constexpr double kListenerRetrySeconds = 0.1;
  static constexpr double kQuickRetryPeriod = 60.0;
  static constexpr double kLongestRetrySeconds = 5.0;
  // Seconds per second the least delay may rise by.
  static constexpr double kDriftAllowance = 0.005;
  // A delay this much above the least one cannot be the network's (the source would have
  // been lost first): the stream's clock went back.
  static constexpr double kClockJumpSeconds = 3.0;
  // Buffers after a silence are the source's return once they arrive at least this share
  // of their stream's pace.
  static constexpr double kPacedShare = 0.5;
  // Pictures that came together (HLS hands over a whole segment at once) are handed to the
  // feeder at least this share of a period apart: the recording sink takes each as it
  // comes, and its few buffers would lose most of a burst handed over in an instant.
  static constexpr double kBurstShare = 0.5;

  struct Setup {
    std::string name;  // as the user wrote it
    Connect connect;
    MakeStandIn standIn;
    // Pictures: the size must be one the recorder takes. Buffers wait for the feeder in a
    // queue of `depth`; a buffer that finds it full waits up to a period for room, then the
    // oldest gives way to it.
    bool pictures = true;
    size_t depth = 3;
    // The source listens for its sender rather than calling it.
    bool listener = false;
    // The format when the first connection fails. For sound only the rate counts.
    int width = 0;
    int height = 0;
    PixelFormat pixelFormat = PIX_FMT_NONE;
    int frameRate = 25;
    // Seconds between stand-ins.
    double period = 0.04;
  };

  explicit ReconnectingSource(Setup setup);
  ~ReconnectingSource() override;

  void FinishOpening() override;
  bool Next(std::vector<uint8_t>* data, double* due) override;
  bool NextPicture(double* due) override;
  long pictureLength() const override;
  bool WritePicture(uint8_t* into) override;
  bool live() const override { return true; }
  bool timedOnSteadyClock() const override { return true; }
  std::string Describe() const override;
  const SignalLog* signal() const override { return &m_signal; }

 protected:
  void OnStop() override;

 private:
  // A buffer: bytes, or a picture as decoded (then `data` is empty).
  struct Item {
    std::vector<uint8_t> data;
    FramePtr frame;
    Clock::time_point at;
  };

  // A buffer the reader got from a connection.
  struct Read {
    std::vector<uint8_t> data;
    FramePtr frame;
    Clock::time_point at;  // as stamped
    double streamTime;
    double arrival;  // seconds on the steady clock
  };

  // The reader's reckoning of a connection's times.
  struct Reckoning {
    bool started = false;
    double delay = 0;        // the least seen, arrival minus the stream's time, seconds
    double lastArrival = 0;  // seconds on the steady clock
    double lastStreamTime = 0;
    // The capture time of a buffer at `streamTime` that arrived at `arrival`.
    double Stamp(double streamTime, double arrival);
  };

  void Run(std::unique_ptr<MediaSource> link);
  // Reads a connection to its end. What comes after it fell silent for
  // kSilentSourceSeconds is held until the stream shows whether it is back (buffers come at
  // its pace again) or was only giving up what it still had (the connection ends, or its
  // clock starts afresh): the half picture a camera sent before it fell silent, the last
  // pictures a decoder held until the sender started again. Those are passed over.
  void ReadLink(MediaSource& link);
  // Waits until a file's buffer at `streamTime` is due: `origin` is where the file's time
  // 0 stands, set by its first buffer once the session began. False when stopped.
  bool AwaitPace(double streamTime, std::optional<Clock::time_point>* origin);
  // Tells once that buffers of the source's own came too late to be recorded.
  void NoteLate();
  // Hands a buffer of the source's own to the feeder; `read` gets a spare one back.
  void Post(Read* read);
  // The next buffer, as Next, into m_current.
  bool Take(double* due);
  // m_current's decoded picture into the source's 4:2:0 picture at `into`.
  bool Convert(const AVFrame* frame, uint8_t* into);
  // The last buffer of the source's own, for the stand-in.
  const std::vector<uint8_t>& Last();
  void MarkLostLocked(Clock::time_point at, const std::string& why);
  // Seconds between buffers: the stand-ins' period, else the source's frame period.
  double Period() const;
  // How long to wait before connecting again, `lostFor` seconds into a loss, after waiting
  // `previous` the last time.
  double RetryDelay(double lostFor, double previous) const;
  void TakeNotes(const MediaSource& link);

  const Setup m_setup;
  std::string m_description;
  bool m_opened = false;
  std::thread m_reader;
  SignalLog m_signal;

  std::mutex m_lock;
  std::condition_variable m_wake;  // a buffer came, the signal changed, or stop
  std::condition_variable m_room;  // the feeder took a buffer from the queue, or stop
  std::deque<Item> m_queue;
  std::vector<std::vector<uint8_t>> m_spare;
  bool m_began = false;             // the feeder asked for its first buffer
  Clock::time_point m_firstCall;    // when
  Clock::time_point m_lastArrival;  // of a buffer of the source's own, or a connection
  Clock::time_point m_lostAt;       // while there is no signal
  bool m_linked = false;            // a connection is open
  bool m_paced = false;             // the first connection is a file, paced by the reader
  Clock::time_point m_lastDue;      // of the last buffer delivered

  // The feeder's own.
  std::unique_ptr<StandIn> m_standIn;
  std::optional<PictureConverter> m_converter;  // from FinishOpening, for pictures
  Item m_current;                               // the buffer Take took
  std::vector<uint8_t> m_last;                  // the last buffer of the source's own, when wanted
  FramePtr m_lastFrame;  // or that picture as decoded, until Last converts it
  bool m_standingIn = false;
  Clock::time_point m_nextStandIn;
  Clock::time_point m_nextHandOut;  // the earliest the next picture of its own goes
};

}  // namespace sorvo::tools
