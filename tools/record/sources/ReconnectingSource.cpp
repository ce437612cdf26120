#include "tools/record/sources/ReconnectingSource.h"

#include <algorithm>
#include <optional>

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
  for (const std::string& note : link.Notes())
    AddNote(note);
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

void ReconnectingSource::Post(std::vector<uint8_t>* buffer, Clock::time_point at) {
  std::unique_lock<std::mutex> hold(m_lock);
  if (m_began && m_queue.size() >= m_setup.depth) {
    // A source that hands over many buffers at once (HLS a whole segment, a network its
    // backlog) waits for the feeder, which takes each in a moment; only a feeder held up
    // for a buffer's time makes the oldest give way.
    m_room.wait_for(hold, Duration(Period()),
                    [this] { return m_queue.size() < m_setup.depth || StopRequested(); });
  }
  if (at < m_lastDue) {
    // Made before what the feeder already has: stand-ins took its place.
    m_spare.push_back(std::move(*buffer));
    buffer->clear();
    NoteLate();
    return;
  }
  if (m_queue.size() >= m_setup.depth) {
    m_spare.push_back(std::move(m_queue.front().data));
    m_queue.pop_front();
    if (m_began)
      m_signal.CountPassedOver();
  }
  m_queue.push_back({std::move(*buffer), at});
  const Clock::time_point now = Clock::now();
  m_lastArrival = now;
  if (!m_signal.hasSignal())
    m_signal.Back(now);
  buffer->clear();
  if (!m_spare.empty()) {
    buffer->swap(m_spare.back());
    m_spare.pop_back();
  }
  m_wake.notify_all();
}

void ReconnectingSource::ReadLink(MediaSource& link) {
  Reckoning reckoning;
  std::deque<Read> held;
  std::vector<uint8_t> buffer;
  double streamTime = 0;
  double lastArrival = Seconds(Clock::now().time_since_epoch());
  std::optional<Clock::time_point> paceOrigin;
  while (link.Next(&buffer, &streamTime)) {
    TakeNotes(link);
    if (!link.live() && !AwaitPace(streamTime, &paceOrigin))
      return;
    const double arrival = Seconds(Clock::now().time_since_epoch());
    const double at = link.timesCounted() ? arrival : reckoning.Stamp(streamTime, arrival);
    Read read{std::move(buffer), Clock::time_point(Duration(at)), streamTime, arrival};
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
          Post(&back.data, back.at);
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
    Post(&read.data, read.at);
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
      data->swap(m_queue.front().data);
      m_spare.push_back(std::move(m_queue.front().data));
      m_queue.pop_front();
      m_room.notify_one();
      m_standingIn = false;
      lock.unlock();
      if (m_standIn->wantsLast())
        m_last = *data;
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
    m_standIn->Fill(lostFor, m_last, data);
    m_signal.CountStandIn();
    break;
  }
  *due = Seconds(at.time_since_epoch());
  return true;
}

}  // namespace sorvo::tools
