// Publishes the program live to every destination given: takes the program's pictures and
// the session's sound (ProgramInput), encodes them once on a thread of its own
// (ProgramEncoder) and hands each packet to every destination (PublishOutput), each of
// which sends on its own thread, drops whole GOPs when it falls behind, and reconnects.
//
// Never slows its callers: OnPicture and OnSound copy into one of a few free slots and
// return; when none is free (the encoder is behind, the machine short of CPU) the picture
// or sound is skipped and counted. The encoding thread runs at a lower priority (the
// settings' nice value), so that under load the recording's threads come first.
//
// Threads: Start, Stop and the destructor on the control thread; OnPicture and OnSound on
// the capture threads, from before Start to after Stop (taken only in between); Status and
// TakeMessages on any. m_inputLock guards the slots, the waiting sound and m_closed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/FFDeleters.h"
#include "tools/record/publish/EncodedPacket.h"
#include "tools/record/publish/ProgramInput.h"
#include "tools/record/publish/PublishEvents.h"
#include "tools/record/publish/PublishSettings.h"
#include "tools/record/publish/PublishStatus.h"
#include "tools/record/publish/PublishTarget.h"

namespace sorvo::tools {

class ProgramEncoder;
class PublishOutput;

class Publisher : public ProgramInput {
 public:
  // Pictures waiting for the encoder, at most: a third of a second at 25 a second for
  // pictures up to 1920 x 1080, fewer (at least two) of larger ones, within 32 MiB.
  static int PictureSlots(int width, int height);
  // Sound waiting for the encoder, at most, in seconds.
  static constexpr double kSoundWaiting = 1.0;

  Publisher(std::vector<PublishTarget> targets, const PublishSettings& settings);
  ~Publisher() override;
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // Opens the encoders and starts every destination's thread; each connects in its own
  // time, and one that cannot is tried again. False with `error` when the encoders cannot
  // be opened: nothing is published then.
  bool Start(std::string* error);
  // Encodes what has come, lets every destination send what it holds within the settings'
  // drainAtStop, then cuts whatever is still connected. Safe to repeat.
  void Stop();

  void OnPicture(double time, const uint8_t* data, size_t length, int width, int height) override;
  void OnSound(double time, const int16_t* samples, int frames) override;

  PublishStatus Status() const;
  int pictureSlots() const { return m_pictureSlots; }
  // What happened since the last call, for the user.
  std::vector<std::string> TakeMessages() { return m_events.Take(); }

 private:
  struct Picture {
    double time = 0;
    FramePtr frame;
  };
  struct Sound {
    double time = 0;
    std::vector<int16_t> samples;
  };

  void RunEncoder();
  // Copies a packed YUV 4:2:0 picture into `frame` (the encoder's size, which may be a
  // column or row smaller).
  void CopyPicture(const uint8_t* data, int width, int height, AVFrame* frame) const;
  void HandOut(const SharedPacket& packet);

  const std::vector<PublishTarget> m_targets;
  const PublishSettings m_settings;
  PublishEvents m_events;
  std::unique_ptr<ProgramEncoder> m_encoder;              // the encoding thread's
  std::vector<std::unique_ptr<PublishOutput>> m_outputs;  // made by Start, then fixed
  const int m_pictureSlots;

  mutable std::mutex m_inputLock;
  std::condition_variable m_inputReady;
  std::vector<FramePtr> m_freeSlots;
  std::deque<Picture> m_pictures;
  std::deque<Sound> m_sound;
  long long m_soundWaitingFrames = 0;
  bool m_taking = false;  // between Start and Stop
  bool m_closed = false;  // Stop has begun: the encoder drains and ends
  bool m_opened = false;  // the encoders are open (or failed: m_openError)
  bool m_outputsReady = false;
  std::string m_openError;

  std::thread m_thread;
  bool m_started = false;
  bool m_stopped = false;

  std::atomic<long long> m_picturesIn{0};
  std::atomic<long long> m_picturesEncoded{0};
  std::atomic<long long> m_picturesSkipped{0};
  std::atomic<long long> m_picturesLeftOut{0};
  std::atomic<long long> m_soundSkippedFrames{0};
  std::atomic<double> m_soundSeconds{0};
  mutable std::mutex m_errorLock;
  std::string m_encoderError;  // m_errorLock
};

}  // namespace sorvo::tools
