#include "tools/record/console/SoundStream.h"

namespace sorvo::tools {
namespace {

// MP3 frames of 1152 samples at 44.1 kHz: about four seconds.
constexpr size_t kBacklogFrames = 150;

}  // namespace

void SoundStream::SendFrame(Message frame) {
  if (!m_open)
    return;
  m_frames.push_back(std::move(frame));
  if (m_frames.size() > kBacklogFrames)
    m_frames.pop_front();
  Pump();
}

void SoundStream::Pump() {
  if (!m_open || busy() || m_frames.empty())
    return;
  m_writing.clear();
  for (const Message& frame : m_frames)
    m_writing += *frame;
  m_frames.clear();
  Write(boost::asio::buffer(m_writing));
}

}  // namespace sorvo::tools
