// Makes a camera's sink give pictures up, for the tests of a loaded session: with
// SORVO_RECORD_TEST_STALL=CAMERA:PACKET:MILLISECONDS in the environment, the encoding
// thread of camera CAMERA is held for MILLISECONDS once its packet number PACKET (from 0)
// has been handed out, as on a machine too busy to encode, while its pictures keep coming
// and its queue drops the oldest. Not for users: it only makes recordings worse.
//
// Sits between the sink and the next receiver of its packets. Threads: OnEncodeData on
// the sink's worker; made on the control thread before packets flow.
#pragma once

#include <sorvo/sorvo.h>

#include <memory>

namespace sorvo::tools {

class WorkerStall : public ISorvoData {
 public:
  // The stall the environment asks for camera `number`, passing packets on to `next`;
  // null when it asks for none.
  static std::unique_ptr<WorkerStall> FromEnvironment(int number, ISorvoData* next);

  int OnEncodeData(int id, AVPacket* packet) override;

 private:
  WorkerStall(ISorvoData* next, long long packet, int milliseconds)
      : m_next(next), m_stallAfter(packet), m_milliseconds(milliseconds) {}

  ISorvoData* const m_next;
  const long long m_stallAfter;
  const int m_milliseconds;
  long long m_packets = 0;  // the worker's own
};

}  // namespace sorvo::tools
