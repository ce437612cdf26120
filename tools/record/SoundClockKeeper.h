// Keeps a session's sound on the session's clock. A sound card or a network sound source
// counts its samples on a clock of its own, some parts per million fast or slow against
// this machine's (a sender that is simply wrong, much more); the audio sink places the
// sound where its first buffer was captured and counts samples from there, so without this
// the sound in every file would drift from the pictures by that share of the session.
//
// It sits between the sound's feeder and everything that takes its PCM (the console's
// meter, the publisher, the audio sink with its WAV file and MP3 packets), measures the
// rate at which samples arrive against the session's clock and has libswresample add or
// leave out samples, spread thinly over kWindowSeconds (swr_set_compensation), so that the
// samples handed on count the session's time.
//
// Measuring: a buffer's lateness is the session time it arrived at less the time its first
// sample has on the source's count. The least lateness of each kWindowSeconds of sound is
// the source's clock against the session's, free of the delays of networks and threads
// (which only ever add); how it moved from the first window's to the latest one's, over
// the samples between them, is the source's drift, taken as steady since its first sample.
// A source paced by the session's clock (a file, the test tone) measures none.
//
// Threads: the feeder's thread calls OnBuffer (a bench, Keep), then the thread that stopped
// the feeder Flush; EndAt, drift() and adjusted() from any thread (atomics).
#pragma once

#include <sorvo/sorvo.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <vector>

#include "codec/FFDeleters.h"
#include "tools/record/SessionClock.h"

namespace sorvo::tools {

class SoundClockKeeper : public IGrabberCallBack {
 public:
  static constexpr double kWindowSeconds = 2.0;
  // A source further off than this is held to it: beyond, the pitch would change audibly.
  static constexpr double kMostDrift = 0.02;
  // The most silence put before a source that answered after the session began.
  static constexpr double kLongestSilenceBefore = 60.0;

  // Interleaved signed 16-bit PCM of `channels` at `rate`, handed on to `next`, which
  // outlives this; `clock` is the session's. `padLateStart`: the source's first buffer is
  // placed at the session's start whenever it came (Feeder.h), and the time until it came
  // is silence.
  SoundClockKeeper(IGrabberCallBack* next,
                   const SessionClock& clock,
                   int rate,
                   int channels,
                   bool padLateStart);
  SoundClockKeeper(const SoundClockKeeper&) = delete;
  SoundClockKeeper& operator=(const SoundClockKeeper&) = delete;

  int OnBuffer(int id,
               double time,
               unsigned char* data,
               long length,
               int width,
               int height,
               PixelFormat pixelFormat) override;

  // Hands on no sample due at or after `end` seconds on the session's clock, so that the
  // sound ends with the session's pictures rather than with the source's last buffer
  // (which went out at its start). Any thread. Each buffer is held back until the next
  // comes, so that the last one can still be cut: Flush hands it on, once the feeder has
  // stopped, on the thread that stopped it.
  void EndAt(double end) { m_end.store(end, std::memory_order_relaxed); }
  void Flush();

  // The buffer `pcm` arrived at `arrival` seconds on the session's clock: `out` gets the
  // samples to hand on. False when libswresample fails (the buffer is then handed on as it
  // came).
  bool Keep(const uint8_t* pcm, long length, double arrival, std::vector<uint8_t>* out);

  // The source's measured drift against the session's clock: seconds it gains (positive:
  // it is slow, samples are added) per second.
  double drift() const { return m_drift.load(std::memory_order_relaxed); }
  // Samples added (positive) or left out so far.
  long long adjusted() const { return m_adjusted.load(std::memory_order_relaxed); }

 private:
  // Hands on the buffer held back, and holds m_buffer, which begins at the `before`-th
  // sample handed on. The next receiver's answer for the buffer handed on.
  int Hold(long long before);
  // Hands on the buffer held back, stamped where the samples handed on put it and cut at
  // the end.
  int HandOnHeld();
  // Ends a window of sound: the drift measured anew and the compensation for the next one.
  void EndWindow();

  IGrabberCallBack* const m_next;
  const SessionClock& m_clock;
  const int m_rate;
  const int m_bytesPerSample;  // of all channels
  const bool m_padLateStart;
  ResamplerPtr m_resampler;
  bool m_failed = false;  // libswresample failed: buffers are handed on as they come

  // The feeder thread's own.
  bool m_started = false;
  double m_firstArrival = 0;
  double m_firstTime = 0;  // the first buffer's capture time, where the sound begins
  long long m_in = 0;      // samples taken
  long long m_out = 0;     // samples handed on
  // The least lateness of the window so far and of the first window, with the sample each
  // was measured at.
  double m_windowLeast = 0;
  long long m_windowLeastAt = -1;
  long long m_windowEnd = 0;
  double m_firstLeast = 0;
  long long m_firstLeastAt = -1;
  std::vector<uint8_t> m_buffer;
  std::vector<uint8_t> m_held;
  long long m_heldAt = 0;
  int m_id = 0;

  std::atomic<double> m_end{std::numeric_limits<double>::infinity()};
  std::atomic<double> m_drift{0};
  std::atomic<long long> m_adjusted{0};
};

}  // namespace sorvo::tools
