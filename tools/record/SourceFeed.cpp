#include "tools/record/SourceFeed.h"

#include <algorithm>

#include "tools/record/sources/SignalLog.h"

namespace sorvo::tools {

void SourceFeed::Start(IGrabberCallBack* receiver,
                       int id,
                       bool dropLate,
                       const SessionClock& clock,
                       Feeder::Backlog backlog) {
  m_clock = &clock;
  m_feeder = std::make_unique<Feeder>(std::move(m_source), receiver, id, dropLate, clock,
                                      std::move(backlog));
  m_feeder->Start();
}

void SourceFeed::EndAt(double end) {
  if (m_feeder)
    m_feeder->EndAt(end);
}

void SourceFeed::Stop() {
  if (m_feeder)
    m_feeder->Stop();
}

void SourceFeed::Describe(SinkStatus* status) const {
  const MediaSource& feed = source();
  status->source = feed.Describe();
  if (m_feeder)
    status->late += m_feeder->late();
  const SignalLog* log = feed.signal();
  if (log == nullptr)
    return;
  auto seconds = [this](SignalLog::Clock::time_point at) {
    return m_clock != nullptr ? std::max(0.0, m_clock->SecondsAt(at)) : 0.0;
  };
  status->noSignal = !log->hasSignal();
  status->standIns = log->standIns();
  status->late += log->passedOver();
  for (const SignalLog::Loss& loss : log->Losses())
    status->losses.push_back(
        {seconds(loss.lostAt), loss.backAt ? seconds(*loss.backAt) : -1.0, loss.why});
}

void SourceFeed::AddNotes(const std::string& label,
                          const std::string& stopped,
                          std::vector<std::string>* notes) const {
  for (const std::string& note : source().Notes())
    notes->push_back(label + ": " + note);
  const std::string reason = m_feeder ? m_feeder->endReason() : std::string();
  if (!reason.empty())
    notes->push_back(stopped + reason);
}

}  // namespace sorvo::tools
