#include "tools/record/sources/SignalLog.h"

#include <algorithm>

namespace sorvo::tools {

void SignalLog::Lost(Clock::time_point at, const std::string& why) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (!m_losses.empty() && !m_losses.back().backAt)
    return;
  if (m_lossCount++ == 0)
    m_firstLostAt = at;
  if (m_losses.size() == kKeptLosses) {
    m_lostBefore += *m_losses.front().backAt - m_losses.front().lostAt;
    m_losses.erase(m_losses.begin());
  }
  m_losses.push_back({at, std::nullopt, why});
}

void SignalLog::Back(Clock::time_point at) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (!m_losses.empty() && !m_losses.back().backAt)
    m_losses.back().backAt = at;
}

bool SignalLog::hasSignal() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_losses.empty() || m_losses.back().backAt.has_value();
}

std::vector<SignalLog::Loss> SignalLog::Losses() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_losses;
}

SignalLog::Tally SignalLog::tally(Clock::time_point now) const {
  std::lock_guard<std::mutex> hold(m_lock);
  Tally tally;
  tally.count = m_lossCount;
  tally.firstLostAt = m_firstLostAt;
  tally.lost = m_lostBefore;
  for (const Loss& loss : m_losses)
    tally.lost += std::max(loss.backAt.value_or(now), loss.lostAt) - loss.lostAt;
  if (!m_losses.empty())
    tally.lastLostAt = m_losses.back().lostAt;
  return tally;
}

void SignalLog::CountStandIn() {
  std::lock_guard<std::mutex> hold(m_lock);
  ++m_standIns;
}

long long SignalLog::standIns() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_standIns;
}

void SignalLog::CountPassedOver() {
  std::lock_guard<std::mutex> hold(m_lock);
  ++m_passedOver;
}

long long SignalLog::passedOver() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_passedOver;
}

}  // namespace sorvo::tools
