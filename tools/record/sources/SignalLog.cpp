#include "tools/record/sources/SignalLog.h"

namespace sorvo::tools {

void SignalLog::Lost(Clock::time_point at, const std::string& why) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_losses.empty() || m_losses.back().backAt)
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
