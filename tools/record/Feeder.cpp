#include "tools/record/Feeder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

namespace sorvo::tools {

Feeder::Feeder(std::unique_ptr<MediaSource> source,
               PictureInput input,
               int id,
               bool dropLate,
               const SessionClock& clock,
               Backlog backlog)
    : m_source(std::move(source)),
      m_receiver(input.receiver),
      m_lender(input.lender),
      m_id(id),
      m_dropLate(dropLate),
      m_clock(clock),
      m_backlog(std::move(backlog)) {}

Feeder::~Feeder() {
  Stop();
}

void Feeder::Start() {
  // A simulated clock waits for this feeder's first buffer from the start: a thread slow
  // to begin would otherwise find its first pictures late.
  if (!m_source->live())
    m_clock.Pace(this, 0, Period());
  m_thread = std::thread(&Feeder::Run, this);
}

void Feeder::EndAt(double end) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_end = std::min(m_end, end);
}

void Feeder::Stop() {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_stopping = true;
  }
  m_source->Stop();
  m_wake.notify_all();
  if (m_thread.joinable())
    m_thread.join();
}

std::string Feeder::endReason() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_endReason;
}

void Feeder::Run() {
  Feed();
  m_clock.EndPacing(this);
}

void Feeder::Feed() {
  using Clock = SessionClock::Clock;
  const double period = Period();
  // Whether the first buffer went out, and where a capture device's own times stand on the
  // session's clock.
  bool placed = false;
  double deviceOffset = 0;
  std::vector<uint8_t> buffer;
  double lastDue = -std::numeric_limits<double>::infinity();
  for (;;) {
    double due = 0;
    if (!Next(&buffer, &due)) {
      {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_stopping) {
          m_endReason = m_source->error();
          return;
        }
      }
      HoldToEnd(&buffer, lastDue, period);
      return;
    }
    if (!m_source->live()) {
      m_clock.Pace(this, due, period);
      std::unique_lock<std::mutex> hold(m_lock);
      // A simulated clock held back by a slower feeder reaches `due` later than it said.
      bool stopped = m_stopping;
      while (!stopped && m_clock.Now() < due)
        stopped = m_wake.wait_until(hold, m_clock.At(due), [this] { return m_stopping; });
      // A buffer due before the end still goes out when the stop comes as it is due.
      if (due >= m_end || (stopped && !std::isfinite(m_end))) {
        hold.unlock();
        HoldToEnd(&buffer, lastDue, period);
        return;
      }
      if (!stopped && m_dropLate && m_clock.Now() - due > 2 * period) {
        ++m_late;
        continue;
      }
      if (m_backlog) {
        hold.unlock();
        WaitForEncoders();
      }
    } else {
      if (m_source->timedOnSteadyClock()) {
        // Its first buffer, whenever it came, opens its timeline with the session's, so that
        // its files are as long as the others and begin with them.
        due = !placed
                  ? 0
                  : m_clock.SecondsAt(Clock::time_point(std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(due))));
        placed = true;
      } else {
        if (!placed) {
          placed = true;
          deviceOffset = m_clock.Now() - due;
        }
        due += deviceOffset;
      }
      std::unique_lock<std::mutex> hold(m_lock);
      if (m_stopping || due >= m_end) {
        hold.unlock();
        HoldToEnd(&buffer, lastDue, period);
        return;
      }
    }
    if (Deliver(&buffer, due)) {
      ++m_delivered;
      lastDue = due;
    }
  }
}

bool Feeder::Next(std::vector<uint8_t>* buffer, double* due) {
  return m_dropLate ? m_source->NextPicture(due) : m_source->Next(buffer, due);
}

bool Feeder::Deliver(std::vector<uint8_t>* buffer, double due) {
  const int width = m_source->width();
  const int height = m_source->height();
  const PixelFormat format = m_source->pixelFormat();
  if (!m_dropLate) {
    m_receiver->OnBuffer(m_id, due, buffer->data(), static_cast<long>(buffer->size()), width,
                         height, format);
    return true;
  }
  const long length = m_source->pictureLength();
  long capacity = 0;
  unsigned char* lent = m_lender != nullptr ? m_lender->LendBuffer(&capacity) : nullptr;
  if (lent != nullptr) {
    const bool fits = capacity >= length;
    const bool written = fits && m_source->WritePicture(lent);
    m_lender->ReturnBuffer(lent, m_id, due, written ? length : 0, width, height, format);
    if (fits)
      return written;
  }
  buffer->resize(static_cast<size_t>(length));
  if (!m_source->WritePicture(buffer->data()))
    return false;
  m_receiver->OnBuffer(m_id, due, buffer->data(), length, width, height, format);
  return true;
}

double Feeder::Period() const {
  return 1.0 / (m_source->frameRate() > 0 ? m_source->frameRate() : 25);
}

void Feeder::WaitForEncoders() {
  using Clock = std::chrono::steady_clock;
  long long least = m_backlog();
  Clock::time_point fell = Clock::now();
  for (long long backlog = least; backlog >= m_mostBacklog; backlog = m_backlog()) {
    if (backlog < least) {
      least = backlog;
      fell = Clock::now();
    } else if (Clock::now() - fell > kBacklogPatience) {
      m_mostBacklog = backlog + 1;
      return;
    }
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_wake.wait_for(hold, std::chrono::milliseconds(1), [this] { return m_stopping; }))
      return;
  }
}

void Feeder::HoldToEnd(std::vector<uint8_t>* last, double lastDue, double period) {
  double end = 0;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_stopping || !std::isfinite(m_end))
      return;
    end = m_end;
  }
  // A live camera's last pictures are still on their way when the session ends (and a
  // file's may miss their moment on a busy machine): its last picture stands until the
  // end, so that its files last the session.
  if (!m_dropLate || !std::isfinite(lastDue) || lastDue >= end - 1.5 * period)
    return;
  // The source writes its picture again: the one delivered last, or, for a source stopped
  // while its next picture waited to be due, that one.
  if (Deliver(last, end - period))
    ++m_delivered;
}

}  // namespace sorvo::tools
