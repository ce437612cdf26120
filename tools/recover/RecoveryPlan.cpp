#include "tools/recover/RecoveryPlan.h"

namespace sorvo::tools {
namespace {

constexpr size_t kDoubtsShown = 5;

}  // namespace

void Doubts::Add(const std::string& what) {
  ++m_count;
  if (m_first.size() < kDoubtsShown)
    m_first.push_back(what);
}

long long RecoveryPlan::PicturesKept() const {
  long long kept = 0;
  for (const VideoPlan& stream : video)
    kept += static_cast<long long>(stream.packets.size());
  return kept;
}

}  // namespace sorvo::tools
