// One destination, kept up on a thread of its own: it connects, sends the program's packets
// from its GopQueue, and when a connection fails or is lost, tries again after a wait that
// doubles from the settings' first to their longest retry. A connection counts (and is
// announced) once it delivers: at once for a network destination, with its first segment
// whole on the disk for HLS; one that fails before is a failed attempt, not a loss. Meanwhile its
// queue drops whole GOPs, so the encoder and the recording never wait for it. Each connection
// starts at a key frame. Messages go to `events`.
//
// Threads: Start, Finish, Abort and Join on the publisher's control thread; Push on the
// encoding thread; Status and WaitEnded on any. m_lock guards m_status, m_down,
// m_downSince, m_finishing and m_ended; the queue has
// its own lock, taken after m_lock where both are held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/record/publish/GopQueue.h"
#include "tools/record/publish/PublishEvents.h"
#include "tools/record/publish/PublishSettings.h"
#include "tools/record/publish/PublishStatus.h"
#include "tools/record/publish/PublishTarget.h"

namespace sorvo::tools {

class PublishConnection;

class PublishOutput {
 public:
  PublishOutput(const PublishTarget& target,
                std::shared_ptr<const ProgramStreams> streams,
                const PublishSettings& settings,
                PublishEvents& events);
  // Aborts and joins.
  ~PublishOutput();
  PublishOutput(const PublishOutput&) = delete;
  PublishOutput& operator=(const PublishOutput&) = delete;

  void Start();
  void Push(SharedPacket packet) { m_queue.Push(std::move(packet)); }
  // No more packets: what is queued still goes out (unless the destination is not
  // connected), then the stream gets its end.
  void Finish();
  // Every blocking call fails at once, and no connection is tried again.
  void Abort();
  void Join();
  // Waits until the thread has done its work (sent what was queued and closed), at most
  // until `deadline`; false when it has not.
  bool WaitEnded(std::chrono::steady_clock::time_point deadline);

  PublishOutputStatus Status() const;

 private:
  using Clock = std::chrono::steady_clock;

  void Run();
  // Waits `wait`, or less when the end comes; false when it came.
  bool WaitToRetry(std::chrono::milliseconds wait);
  void Failed(const std::string& why, bool lost, std::chrono::milliseconds retry);
  void Connected();

  const PublishTarget m_target;
  const std::shared_ptr<const ProgramStreams> m_streams;
  const PublishSettings m_settings;
  PublishEvents& m_events;
  GopQueue m_queue;
  std::atomic<bool> m_abort{false};
  std::thread m_thread;

  mutable std::mutex m_lock;
  std::condition_variable m_wake;  // Finish and Abort end a wait to retry; the end of Run
  bool m_finishing = false;
  bool m_ended = false;
  PublishOutputStatus m_status;
  bool m_down = false;
  Clock::time_point m_downSince;
};

}  // namespace sorvo::tools
