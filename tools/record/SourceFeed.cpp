#include "tools/record/SourceFeed.h"

#include <algorithm>

#include "tools/record/sources/SignalLog.h"

namespace sorvo::tools {

void SourceFeed::Start(PictureInput input,
                       int id,
                       bool dropLate,
                       const SessionClock& clock,
                       Feeder::Backlog backlog) {
  m_clock = &clock;
  m_feeder = std::make_unique<Feeder>(std::move(m_source), input, id, dropLate, clock,
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

double SourceFeed::SessionSeconds(std::chrono::steady_clock::time_point at) const {
  return m_clock != nullptr ? std::max(0.0, m_clock->SecondsAt(at)) : 0.0;
}

void SourceFeed::Describe(SinkStatus* status) const {
  const MediaSource& feed = source();
  status->source = feed.Describe();
  if (m_feeder)
    status->late += m_feeder->late();
  const SignalLog* log = feed.signal();
  if (log == nullptr)
    return;
  auto seconds = [this](SignalLog::Clock::time_point at) { return SessionSeconds(at); };
  status->noSignal = !log->hasSignal();
  status->standIns = log->standIns();
  status->late += log->passedOver();
  for (const SignalLog::Loss& loss : log->Losses())
    status->losses.push_back(
        {seconds(loss.lostAt), loss.backAt ? seconds(*loss.backAt) : -1.0, loss.why});
  const SignalLog::Tally tally = log->tally(SignalLog::Clock::now());
  if (tally.count > 0)
    status->lossTally = {tally.count, seconds(tally.firstLostAt), seconds(tally.lastLostAt),
                         std::chrono::duration<double>(tally.lost).count()};
}

void SourceFeed::AddNotes(const std::string& label,
                          const std::string& stopped,
                          std::vector<SessionNote>* notes) const {
  for (const MediaSource::Note& note : source().Notes()) {
    SessionNote said(label + ": " + note.text);
    if (note.count > 1) {
      said.last = label + ": " + note.last;
      said.count = note.count;
      said.firstAt = SessionSeconds(note.firstAt);
      said.lastAt = SessionSeconds(note.lastAt);
    }
    notes->push_back(std::move(said));
  }
  const std::string reason = m_feeder ? m_feeder->endReason() : std::string();
  if (!reason.empty())
    notes->push_back(stopped + reason);
}

}  // namespace sorvo::tools
