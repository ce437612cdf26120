#include "tools/record/publish/Publisher.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "tools/record/publish/ProgramEncoder.h"
#include "tools/record/publish/PublishOutput.h"

namespace sorvo::tools {

Publisher::Publisher(std::vector<PublishTarget> targets, const PublishSettings& settings)
    : m_targets(std::move(targets)),
      m_settings(settings),
      m_pictureSlots(PictureSlots(settings.width, settings.height)) {}

int Publisher::PictureSlots(int width, int height) {
  const long long bytes = 3LL * std::max(1, width) * std::max(1, height) / 2;
  return static_cast<int>(std::clamp<long long>((32LL << 20) / bytes, 2, 8));
}

Publisher::~Publisher() {
  Stop();
}

bool Publisher::Start(std::string* error) {
  m_encoder = std::make_unique<ProgramEncoder>(m_settings);
  for (int i = 0; i < m_pictureSlots; ++i) {
    FramePtr frame(av_frame_alloc());
    if (!frame) {
      *error = "out of memory for the publisher's pictures";
      return false;
    }
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = m_encoder->width();
    frame->height = m_encoder->height();
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
      *error = "out of memory for the publisher's pictures";
      return false;
    }
    m_freeSlots.push_back(std::move(frame));
  }
  m_thread = std::thread(&Publisher::RunEncoder, this);
  m_started = true;
  std::unique_lock<std::mutex> hold(m_inputLock);
  m_inputReady.wait(hold, [this] { return m_opened; });
  if (!m_openError.empty()) {
    *error = m_openError;
    hold.unlock();
    Stop();
    return false;
  }
  for (const PublishTarget& target : m_targets)
    m_outputs.push_back(
        std::make_unique<PublishOutput>(target, m_encoder->streams(), m_settings, m_events));
  for (const auto& output : m_outputs)
    output->Start();
  m_outputsReady = true;
  m_taking = true;
  hold.unlock();
  m_inputReady.notify_all();
  return true;
}

void Publisher::Stop() {
  if (!m_started || m_stopped)
    return;
  m_stopped = true;
  {
    std::lock_guard<std::mutex> hold(m_inputLock);
    m_taking = false;
    m_closed = true;
  }
  m_inputReady.notify_all();
  m_thread.join();
  const auto deadline = std::chrono::steady_clock::now() + m_settings.drainAtStop;
  for (const auto& output : m_outputs)
    output->Finish();
  for (const auto& output : m_outputs)
    if (!output->WaitEnded(deadline))
      output->Abort();
  for (const auto& output : m_outputs)
    output->Join();
}

void Publisher::CopyPicture(const uint8_t* data, int width, int height, AVFrame* frame) const {
  const int chromaWidth = (width + 1) / 2;
  const int chromaHeight = (height + 1) / 2;
  const uint8_t* planes[3] = {
      data, data + static_cast<size_t>(width) * height,
      data + static_cast<size_t>(width) * height + static_cast<size_t>(chromaWidth) * chromaHeight};
  const int strides[3] = {width, chromaWidth, chromaWidth};
  for (int plane = 0; plane < 3; ++plane) {
    const int shift = plane == 0 ? 0 : 1;
    av_image_copy_plane(frame->data[plane], frame->linesize[plane], planes[plane], strides[plane],
                        frame->width >> shift, frame->height >> shift);
  }
}

void Publisher::OnPicture(double time, const uint8_t* data, size_t length, int width, int height) {
  FramePtr frame;
  {
    std::lock_guard<std::mutex> hold(m_inputLock);
    if (!m_taking)
      return;
    ++m_picturesIn;
    const size_t expected = static_cast<size_t>(width) * height +
                            2 * static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
    if (width != m_settings.width || height != m_settings.height || length < expected ||
        m_freeSlots.empty()) {
      ++m_picturesSkipped;
      return;
    }
    frame = std::move(m_freeSlots.back());
    m_freeSlots.pop_back();
  }
  // The slot is this thread's until it is queued: the copy needs no lock.
  CopyPicture(data, width, height, frame.get());
  {
    std::lock_guard<std::mutex> hold(m_inputLock);
    m_pictures.push_back({time, std::move(frame)});
  }
  m_inputReady.notify_one();
}

void Publisher::OnSound(double time, const int16_t* samples, int frames) {
  if (m_settings.soundChannels <= 0 || frames <= 0)
    return;
  {
    std::lock_guard<std::mutex> hold(m_inputLock);
    if (!m_taking)
      return;
    if (m_soundWaitingFrames + frames > kSoundWaiting * m_settings.soundRate) {
      m_soundSkippedFrames += frames;
      return;
    }
    m_soundWaitingFrames += frames;
    m_sound.push_back(
        {time, std::vector<int16_t>(
                   samples, samples + static_cast<size_t>(frames) * m_settings.soundChannels)});
  }
  m_inputReady.notify_one();
}

void Publisher::HandOut(const SharedPacket& packet) {
  for (const auto& output : m_outputs)
    output->Push(packet);
}

void Publisher::RunEncoder() {
  // Raising this thread's nice value lowers its priority alone; libx264's threads, made
  // as the encoder opens, inherit it.
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), m_settings.encoderNice);
  std::string error;
  const bool opened = m_encoder->Open(&error);
  {
    std::lock_guard<std::mutex> hold(m_inputLock);
    m_opened = true;
    m_openError = opened ? "" : error;
  }
  m_inputReady.notify_all();
  if (!opened)
    return;
  const ProgramEncoder::PacketOut out = [this](SharedPacket packet) { HandOut(packet); };
  std::string reported;
  for (;;) {
    std::deque<Sound> sound;
    Picture picture;
    {
      std::unique_lock<std::mutex> hold(m_inputLock);
      m_inputReady.wait(hold, [this] {
        return (m_outputsReady && (!m_pictures.empty() || !m_sound.empty())) || m_closed;
      });
      if (!m_outputsReady)
        return;  // stopped before it started
      if (m_pictures.empty() && m_sound.empty())
        break;
      sound.swap(m_sound);
      m_soundWaitingFrames = 0;
      if (!m_pictures.empty()) {
        picture = std::move(m_pictures.front());
        m_pictures.pop_front();
      }
    }
    for (const Sound& buffer : sound)
      m_encoder->EncodeSound(buffer.time, buffer.samples.data(),
                             static_cast<int>(buffer.samples.size() / m_settings.soundChannels),
                             out);
    if (picture.frame) {
      if (m_encoder->EncodePicture(picture.time, picture.frame.get(), out))
        ++m_picturesEncoded;
      else
        ++m_picturesLeftOut;
      // The encoder has let go of the picture (libx264 copies it), unless a reference is
      // still held: then the slot gets a buffer of its own rather than write under it.
      av_frame_make_writable(picture.frame.get());
      std::lock_guard<std::mutex> hold(m_inputLock);
      m_freeSlots.push_back(std::move(picture.frame));
    }
    m_soundSeconds.store(m_encoder->soundSecondsEncoded());
    if (!m_encoder->error().empty() && m_encoder->error() != reported) {
      reported = m_encoder->error();
      {
        std::lock_guard<std::mutex> hold(m_errorLock);
        if (m_encoderError.empty())
          m_encoderError = reported;
      }
      m_events.Add("publish: " + reported);
    }
  }
  m_encoder->Flush(out);
  m_soundSeconds.store(m_encoder->soundSecondsEncoded());
}

PublishStatus Publisher::Status() const {
  PublishStatus status;
  status.active = true;
  status.picturesIn = m_picturesIn.load();
  status.picturesEncoded = m_picturesEncoded.load();
  status.picturesSkipped = m_picturesSkipped.load();
  status.picturesLeftOut = m_picturesLeftOut.load();
  status.soundSeconds = m_soundSeconds.load();
  status.soundSkipped =
      m_settings.soundRate > 0
          ? static_cast<double>(m_soundSkippedFrames.load()) / m_settings.soundRate
          : 0;
  {
    std::lock_guard<std::mutex> hold(m_inputLock);
    status.encoderError = m_openError;
  }
  if (status.encoderError.empty()) {
    std::lock_guard<std::mutex> hold(m_errorLock);
    status.encoderError = m_encoderError;
  }
  // m_outputs is fixed once Start has returned; Status is not called during Start.
  for (const auto& output : m_outputs)
    status.outputs.push_back(output->Status());
  return status;
}

}  // namespace sorvo::tools
