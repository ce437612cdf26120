#include "tools/record/publish/PublishOutput.h"

#include <algorithm>

#include "tools/common/TextTable.h"
#include "tools/record/publish/PublishConnection.h"

namespace sorvo::tools {
namespace {

std::string Seconds(double seconds) {
  return FormatFixed(seconds, seconds < 10 ? 1 : 0) + " s";
}

}  // namespace

PublishOutput::PublishOutput(const PublishTarget& target,
                             std::shared_ptr<const ProgramStreams> streams,
                             const PublishSettings& settings,
                             PublishEvents& events)
    : m_target(target),
      m_streams(std::move(streams)),
      m_settings(settings),
      m_events(events),
      // Bytes as a second bound, for a stream whose pictures outgrow the bit rate: twice
      // what the queued time holds at the rate, and never under 4 MiB.
      m_queue(settings.queueSeconds,
              std::max<size_t>(
                  4 << 20,
                  static_cast<size_t>(settings.queueSeconds *
                                      (settings.videoBitrate + settings.soundBitrate) / 4))) {
  m_status.shown = target.shown;
  m_status.scheme = target.scheme;
}

PublishOutput::~PublishOutput() {
  Abort();
  Join();
}

void PublishOutput::Start() {
  m_thread = std::thread(&PublishOutput::Run, this);
}

void PublishOutput::Finish() {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_finishing = true;
  }
  m_queue.Close();
  m_wake.notify_all();
}

void PublishOutput::Abort() {
  m_abort.store(true);
  Finish();
}

void PublishOutput::Join() {
  if (m_thread.joinable())
    m_thread.join();
}

bool PublishOutput::WaitEnded(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(m_lock);
  return m_wake.wait_until(hold, deadline, [this] { return m_ended; });
}

PublishOutputStatus PublishOutput::Status() const {
  const GopQueue::Dropped dropped = m_queue.dropped();
  std::lock_guard<std::mutex> hold(m_lock);
  PublishOutputStatus status = m_status;
  status.gopsDropped = dropped.gops;
  status.picturesDropped = dropped.pictures;
  status.secondsDropped = dropped.seconds;
  if (m_down)
    status.secondsDown += std::chrono::duration<double>(Clock::now() - m_downSince).count();
  return status;
}

bool PublishOutput::WaitToRetry(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> hold(m_lock);
  return !m_wake.wait_for(hold, wait, [this] { return m_finishing; });
}

void PublishOutput::Failed(const std::string& why, bool lost, std::chrono::milliseconds retry) {
  std::string message;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_finishing) {
      // A connection cut at the end says so; an attempt cut short at the end says nothing
      // the failures before it did not.
      if (lost || m_status.lastError.empty())
        m_status.lastError = why;
      return;
    }
    if (lost) {
      ++m_status.losses;
    } else {
      ++m_status.failedConnects;
    }
    if (!m_down) {
      m_down = true;
      m_downSince = Clock::now();
    }
    // A destination that keeps failing for the same reason is reported once; the progress
    // line shows that it is still retrying.
    const bool news = lost || why != m_status.lastError;
    m_status.lastError = why;
    m_status.state = PublishOutputStatus::State::kRetrying;
    if (news)
      message = "publish " + m_target.shown + ": " + why + "; trying again in " +
                Seconds(retry.count() / 1000.0) +
                (m_status.everLive ? "" : " (the recording goes on)");
  }
  if (!message.empty())
    m_events.Add(message);
}

void PublishOutput::Connected() {
  std::string message;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_status.connects;
    m_status.state = PublishOutputStatus::State::kLive;
    if (m_down) {
      const double gap = std::chrono::duration<double>(Clock::now() - m_downSince).count();
      m_status.secondsDown += gap;
      m_down = false;
      message =
          "publish " + m_target.shown + ": " +
          (m_status.everLive ? "publishing again after " + Seconds(gap) + " without a connection"
                             : "connected after " + Seconds(gap) + "; publishing");
    } else {
      message = "publish " + m_target.shown + ": publishing";
    }
    m_status.everLive = true;
  }
  m_events.Add(message);
}

void PublishOutput::Run() {
  std::chrono::milliseconds retry = m_settings.firstRetry;
  std::unique_ptr<PublishConnection> connection;
  long long keysSent = 0;
  // The connection has delivered (for HLS: a first segment is on the disk); said once.
  bool delivered = false;
  for (;;) {
    if (!connection) {
      {
        std::lock_guard<std::mutex> hold(m_lock);
        // At the end, a destination that is not connected is not tried again.
        if (m_finishing)
          break;
        if (m_status.state != PublishOutputStatus::State::kRetrying)
          m_status.state = PublishOutputStatus::State::kConnecting;
      }
      auto attempt = std::make_unique<PublishConnection>(m_target, m_streams, m_settings, m_abort);
      std::string why;
      bool again = false;
      {
        std::lock_guard<std::mutex> hold(m_lock);
        again = m_status.everLive;
      }
      if (!attempt->Open(again, &why)) {
        attempt.reset();
        Failed(why, false, retry);
        if (!WaitToRetry(retry))
          break;
        retry = std::min(retry * 2, m_settings.longestRetry);
        continue;
      }
      connection = std::move(attempt);
      keysSent = 0;
      m_queue.StartAtKey();
      delivered = connection->Delivered();
      if (delivered)
        Connected();
    }
    const SharedPacket packet = m_queue.Pop(std::chrono::milliseconds(200));
    if (!packet) {
      if (m_queue.closedAndEmpty())
        break;
      continue;
    }
    std::string why;
    if (!connection->Write(*packet, &why)) {
      connection.reset();
      // A connection that never delivered was an attempt that failed, not one lost.
      Failed(why, delivered, retry);
      if (!WaitToRetry(retry))
        break;
      retry = std::min(retry * 2, m_settings.longestRetry);
      continue;
    }
    {
      std::lock_guard<std::mutex> hold(m_lock);
      ++m_status.packetsSent;
      m_status.bytesSent += packet->packet->size;
    }
    if (!delivered && connection->Delivered()) {
      delivered = true;
      Connected();
    }
    // A connection that has carried a whole GOP counts as good: the next failure waits
    // the shortest time again.
    if (packet->key && ++keysSent >= 2)
      retry = m_settings.firstRetry;
  }
  bool closed = false;
  std::string why;
  if (connection)
    closed = connection->Finish(&why);
  connection.reset();
  // Cut off at the end, or never connected: what is still queued is lost too.
  m_queue.DropAll();
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_down) {
      m_status.secondsDown += std::chrono::duration<double>(Clock::now() - m_downSince).count();
      m_down = false;
    }
    if (!why.empty())
      m_status.lastError = why;
    // A connection that had not delivered when the end came never was publishing.
    m_status.endedLive = closed && delivered;
    m_status.state = PublishOutputStatus::State::kEnded;
    m_ended = true;
  }
  m_wake.notify_all();
}

}  // namespace sorvo::tools
