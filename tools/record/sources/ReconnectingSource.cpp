#include "tools/record/sources/ReconnectingSource.h"

#include <algorithm>
#include <cstring>
#include <optional>

extern "C" {
#include <libavutil/frame.h>
}

#include "tools/common/CommandLine.h"
#include "tools/record/sources/NetworkInput.h"

namespace sorvo::tools {
namespace {

using Clock = ReconnectingSource::Clock;

Clock::duration Duration(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

double Seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

ReconnectingSource::ReconnectingSource(Setup setup) : m_setup(std::move(setup)) {
  m_width = m_setup.width;
  m_height = m_setup.height;
  m_pixelFormat = m_setup.pixelFormat;
  m_frameRate = m_setup.frameRate;
}

ReconnectingSource::~ReconnectingSource() {
  Stop();
  if (m_reader.joinable())
    m_reader.join();
}

void ReconnectingSource::OnStop() {
  std::lock_guard<std::mutex> hold(m_lock);
  m_wake.notify_all();
  m_room.notify_all();
}

double ReconnectingSource::Period() const {
  return m_setup.period > 0 ? m_setup.period : 1.0 / m_frameRate;
}

std::string ReconnectingSource::Describe() const {
  return m_description.empty() ? m_setup.name : m_description;
}

void ReconnectingSource::FinishOpening() {
  if (m_opened)
    return;
  m_opened = true;
  std::string why;
  std::unique_ptr<MediaSource> link = m_setup.connect(Wanted(), stopToken(), &why);
  if (link && m_setup.pictures) {
    const std::string problem = SizeProblem(link->width(), link->height());
    if (!problem.empty()) {
      // Pictures of a size the library does not take are asked for at the fallback size.
      AddNote(problem + ": they are scaled to " + std::to_string(m_setup.width) + "x" +
              std::to_string(m_setup.height));
      const Wanted wanted{m_setup.width, m_setup.height, link->frameRate()};
      // A listener's port is let go of before it is listened on again.
      link.reset();
      link = m_setup.connect(wanted, stopToken(), &why);
    }
  }
  const Clock::time_point now = Clock::now();
  if (link) {
    m_width = link->width();
    m_height = link->height();
    m_pixelFormat = link->pixelFormat();
    m_frameRate = link->frameRate();
    m_description = link->Describe();
    TakeNotes(*link);
  } else {
    std::string format = "silence";
    if (m_setup.pictures) {
      format = "\"no signal\" at " + std::to_string(m_width) + "x" + std::to_string(m_height) +
               ", " + std::to_string(m_frameRate) + "/s";
      m_description = m_setup.name + " (" + std::to_string(m_width) + "x" +
                      std::to_string(m_height) + ", " + std::to_string(m_frameRate) +
                      "/s; not reached at the start)";
    } else {
      m_description = m_setup.name + " (not reached at the start)";
    }
    AddNote("no signal at the start (" + why + "): recorded as " + format + " until it answers");
  }
  m_standIn = m_setup.standIn(*this);
  if (m_setup.pictures)
    m_converter.emplace(m_width, m_height);
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_linked = link != nullptr;
    m_paced = link && !link->live();
    m_lastArrival = now;
    if (!link)
      MarkLostLocked(now, why);
  }
  m_reader = std::thread(&ReconnectingSource::Run, this, std::move(link));
}

void ReconnectingSource::TakeNotes(const MediaSource& link) {
  for (const Note& note : link.Notes()) {
    AddNote(note.text);
    if (!note.last.empty())
      AddNote(note.last);
  }
}

void ReconnectingSource::MarkLostLocked(Clock::time_point at, const std::string& why) {
  if (!m_signal.hasSignal())
    return;
  m_signal.Lost(at, why);
  m_lostAt = at;
  m_wake.notify_all();
}

double ReconnectingSource::RetryDelay(double lostFor, double previous) const {
  if (lostFor < kQuickRetryPeriod)
    return m_setup.listener ? kListenerRetrySeconds : kQuickRetrySeconds;
  return std::clamp(previous * 2, kQuickRetrySeconds, kLongestRetrySeconds);
}

double ReconnectingSource::Reckoning::Stamp(double streamTime, double arrival) {
  const double seen = arrival - streamTime;
  if (!started || streamTime < lastStreamTime || arrival - lastArrival > kSilentSourceSeconds ||
      seen > delay + kClockJumpSeconds) {
    started = true;
    delay = seen;
  } else {
    delay = std::min(delay + kDriftAllowance * (arrival - lastArrival), seen);
  }
  lastArrival = arrival;
  lastStreamTime = streamTime;
  return streamTime + delay;
}

void ReconnectingSource::Post(Read* read) {
  std::unique_lock<std::mutex> hold(m_lock);
  if (m_began && m_queue.size() >= m_setup.depth) {
    // A source that hands over many buffers at once (HLS a whole segment, a network its
    // backlog) waits for the feeder, which takes each in a moment; only a feeder held up
    // for a buffer's time makes the oldest give way.
    m_room.wait_for(hold, Duration(Period()),
                    [this] { return m_queue.size() < m_setup.depth || StopRequested(); });
  }
  if (read->at < m_lastDue) {
    // Made before what the feeder already has: stand-ins took its place.
    m_spare.push_back(std::move(read->data));
    read->data.clear();
    read->frame.reset();
    NoteLate();
    return;
  }
  if (m_queue.size() >= m_setup.depth) {
    m_spare.push_back(std::move(m_queue.front().data));
    m_queue.pop_front();
    if (m_began)
      m_signal.CountPassedOver();
  }
  m_queue.push_back({std::move(read->data), std::move(read->frame), read->at});
  const Clock::time_point now = Clock::now();
  m_lastArrival = now;
  if (!m_signal.hasSignal())
    m_signal.Back(now);
  read->data.clear();
  if (!m_spare.empty()) {
    read->data.swap(m_spare.back());
    m_spare.pop_back();
  }
  m_wake.notify_all();
}

void ReconnectingSource::ReadLink(MediaSource& link) {
  Reckoning reckoning;
  std::deque<Read> held;
  std::vector<uint8_t> buffer;
  FramePtr frame;
  double streamTime = 0;
  double lastArrival = Seconds(Clock::now().time_since_epoch());
  std::optional<Clock::time_point> paceOrigin;
  const bool decoded = m_setup.pictures && link.decodes();
  while (decoded ? link.NextDecoded(&frame, &streamTime) : link.Next(&buffer, &streamTime)) {
    TakeNotes(link);
    if (!link.live() && !AwaitPace(streamTime, &paceOrigin))
      return;
    const double arrival = Seconds(Clock::now().time_since_epoch());
    const double at = link.timesCounted() ? arrival : reckoning.Stamp(streamTime, arrival);
    Read read{std::move(buffer), std::move(frame), Clock::time_point(Duration(at)), streamTime,
              arrival};
    buffer.clear();
    const bool afterSilence = arrival - lastArrival >= kSilentSourceSeconds;
    lastArrival = arrival;
    if (!held.empty()) {
      const Read& first = held.front();
      const double step = streamTime - held.back().streamTime;
      if (step < 0 || step > kSilentSourceSeconds) {
        // The stream starts afresh: what was held is what a decoder or a demuxer still had
        // of it before the silence, made long ago.
        held.clear();
        NoteLate();
      } else if (streamTime > first.streamTime &&
                 arrival - first.arrival >= kPacedShare * (streamTime - first.streamTime)) {
        // Buffers come at the stream's pace again: the source is back.
        for (Read& back : held)
          Post(&back);
        held.clear();
      } else {
        held.push_back(std::move(read));
        if (held.size() > m_setup.depth)
          held.pop_front();
        continue;
      }
    } else if (afterSilence) {
      held.push_back(std::move(read));
      continue;
    }
    Post(&read);
    buffer.swap(read.data);
  }
  // What the connection gave up as it ended.
  if (!held.empty() && !StopRequested())
    NoteLate();
}

bool ReconnectingSource::AwaitPace(double streamTime, std::optional<Clock::time_point>* origin) {
  std::unique_lock<std::mutex> lock(m_lock);
  m_wake.wait(lock, [this] { return m_began || StopRequested(); });
  if (!*origin)
    *origin = std::max(Clock::now(), m_firstCall) - Duration(streamTime);
  m_wake.wait_until(lock, **origin + Duration(streamTime), [this] { return StopRequested(); });
  return !StopRequested();
}

void ReconnectingSource::NoteLate() {
  AddNote(std::string(m_setup.pictures ? "pictures" : "sound") +
          " made before it fell silent came only after the stand-ins had taken their time, "
          "and were left out");
}

void ReconnectingSource::Run(std::unique_ptr<MediaSource> link) {
  double retry = 0;
  // Why the last connection failed or could not be made; each new reason is told once.
  std::string lastWhy;
  if (!link) {
    const std::vector<SignalLog::Loss> losses = m_signal.Losses();
    lastWhy = losses.empty() ? "" : losses.back().why;
  }
  for (;;) {
    if (!link) {
      {
        std::unique_lock<std::mutex> lock(m_lock);
        retry = RetryDelay(Seconds(Clock::now() - m_lostAt), retry);
        if (m_wake.wait_for(lock, Duration(retry), [this] { return StopRequested(); }))
          return;
      }
      std::string why;
      link = m_setup.connect(Wanted{m_width, m_height, m_frameRate}, stopToken(), &why);
      if (!link) {
        if (StopRequested())
          return;
        if (why != lastWhy)
          AddNote("connecting again failed: " + why);
        lastWhy = why;
        continue;
      }
      retry = 0;
      std::lock_guard<std::mutex> hold(m_lock);
      m_linked = true;
      m_lastArrival = Clock::now();
    }
    ReadLink(*link);
    TakeNotes(*link);
    if (StopRequested())
      return;
    lastWhy = link->error();
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_linked = false;
      MarkLostLocked(Clock::now(), lastWhy);
    }
    link.reset();
  }
}

bool ReconnectingSource::Next(std::vector<uint8_t>* data, double* due) {
  if (!Take(due))
    return false;
  if (!m_current.frame) {
    data->swap(m_current.data);
    return true;
  }
  data->resize(static_cast<size_t>(pictureSize()));
  return Convert(m_current.frame.get(), data->data());
}

bool ReconnectingSource::NextPicture(double* due) {
  return Take(due);
}

long ReconnectingSource::pictureLength() const {
  return m_current.frame ? pictureSize() : static_cast<long>(m_current.data.size());
}

bool ReconnectingSource::WritePicture(uint8_t* into) {
  if (m_current.frame)
    return Convert(m_current.frame.get(), into);
  std::memcpy(into, m_current.data.data(), m_current.data.size());
  return true;
}

bool ReconnectingSource::Convert(const AVFrame* frame, uint8_t* into) {
  if (!m_converter->Convert(frame, into)) {
    AddNote("pictures of format " + std::to_string(frame->format) +
            " cannot be converted and were left out");
    return false;
  }
  if (!m_converter->note().empty())
    AddNote(m_converter->note());
  return true;
}

const std::vector<uint8_t>& ReconnectingSource::Last() {
  if (m_lastFrame) {
    m_last.resize(static_cast<size_t>(pictureSize()));
    if (!Convert(m_lastFrame.get(), m_last.data()))
      m_last.clear();
    m_lastFrame.reset();
  }
  return m_last;
}

bool ReconnectingSource::Take(double* due) {
  FinishOpening();
  const double period = Period();
  std::unique_lock<std::mutex> lock(m_lock);
  if (!m_began) {
    m_began = true;
    m_firstCall = Clock::now();
    // What came before the session began is not the session's.
    for (Item& item : m_queue)
      m_spare.push_back(std::move(item.data));
    m_queue.clear();
    // A file waited for this moment to begin.
    if (m_paced)
      m_lastArrival = m_firstCall;
    m_wake.notify_all();
  }
  Clock::time_point at;
  for (;;) {
    if (StopRequested()) {
      m_error = "stopped";
      return false;
    }
    const Clock::time_point now = Clock::now();
    if (!m_queue.empty() && m_setup.pictures && now < m_nextHandOut) {
      m_wake.wait_until(lock, m_nextHandOut);
      continue;
    }
    if (!m_queue.empty()) {
      m_nextHandOut = now + Duration(kBurstShare * period);
      at = std::max(m_queue.front().at, m_firstCall);
      m_lastDue = at;
      m_spare.push_back(std::move(m_current.data));
      m_current = std::move(m_queue.front());
      m_queue.pop_front();
      m_room.notify_one();
      m_standingIn = false;
      lock.unlock();
      if (m_standIn->wantsLast()) {
        // A decoded picture is kept by reference, and converted only if a stand-in shows it.
        if (m_current.frame) {
          m_lastFrame.reset(av_frame_clone(m_current.frame.get()));
        } else {
          m_lastFrame.reset();
          m_last = m_current.data;
        }
      }
      break;
    }
    const Clock::duration silent = Duration(kSilentSourceSeconds);
    if (m_linked && now - m_lastArrival > silent)
      MarkLostLocked(m_lastArrival,
                     std::string("nothing came for ") + FormatNumber(kSilentSourceSeconds) + " s");
    if (m_signal.hasSignal()) {
      m_standingIn = false;
      m_wake.wait_until(lock, m_lastArrival + silent);
      continue;
    }
    if (!m_standingIn) {
      m_standingIn = true;
      m_nextStandIn = std::max({m_lostAt, m_firstCall, m_lastDue + Duration(period)});
    }
    if (now < m_nextStandIn) {
      m_wake.wait_until(lock, m_nextStandIn);
      continue;
    }
    // A feeder held up leaves stand-ins out rather than catch up in a burst.
    at = now - m_nextStandIn > Duration(period) ? now : m_nextStandIn;
    m_lastDue = at;
    m_nextStandIn = at + Duration(period);
    const double lostFor = Seconds(at - m_lostAt);
    lock.unlock();
    m_current.frame.reset();
    m_standIn->Fill(lostFor, Last(), &m_current.data);
    m_signal.CountStandIn();
    break;
  }
  *due = Seconds(at.time_since_epoch());
  return true;
}

}  // namespace sorvo::tools
