#include "tools/record/WorkerStall.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace sorvo::tools {

std::unique_ptr<WorkerStall> WorkerStall::FromEnvironment(int number, ISorvoData* next) {
  const char* asked = std::getenv("SORVO_RECORD_TEST_STALL");
  int camera = -1, milliseconds = 0;
  long long packet = 0;
  if (asked == nullptr || std::sscanf(asked, "%d:%lld:%d", &camera, &packet, &milliseconds) != 3 ||
      camera != number || packet < 0 || milliseconds <= 0)
    return nullptr;
  return std::unique_ptr<WorkerStall>(new WorkerStall(next, packet, milliseconds));
}

int WorkerStall::OnEncodeData(int id, AVPacket* packet) {
  const int result = m_next->OnEncodeData(id, packet);
  if (m_packets++ == m_stallAfter)
    std::this_thread::sleep_for(std::chrono::milliseconds(m_milliseconds));
  return result;
}

}  // namespace sorvo::tools
