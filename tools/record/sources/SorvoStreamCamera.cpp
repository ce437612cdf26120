#include "tools/record/sources/SorvoStreamCamera.h"

#include <chrono>
#include <cstdio>

#include "tools/common/CommandLine.h"
#include "tools/record/sources/NetworkInput.h"

namespace sorvo::tools {
namespace {

std::chrono::milliseconds Milliseconds(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

}  // namespace

SorvoStreamCamera::SorvoStreamCamera()
    : m_reader([this](void* buffer, size_t size) {
        size_t got = 0;
        m_lastRead = m_connection.Read(buffer, size, &got, false);
        return got;
      }) {}

bool SorvoStreamCamera::ParseAddress(const std::string& name,
                                     ServerAddress* address,
                                     std::string* error) {
  std::string why = "it does not begin with " + std::string(kScheme);
  if (Names(name) && ServerAddress::Parse(name.substr(std::string(kScheme).size()), address, &why))
    return true;
  *error = "write it sorvo://HOST:PORT: " + why;
  return false;
}

SorvoStreamCamera::~SorvoStreamCamera() {
  if (m_passage)
    m_passage->Lost(m_passageNumber);
}

std::unique_ptr<SorvoStreamCamera> SorvoStreamCamera::Open(const std::string& name,
                                                           std::string* error,
                                                           const Wanted& wanted,
                                                           const StopToken* stop,
                                                           std::shared_ptr<PacketPassage> passage) {
  std::unique_ptr<SorvoStreamCamera> camera(new SorvoStreamCamera());
  camera->m_name = name;
  camera->m_wanted = wanted;
  ServerAddress address;
  if (!ParseAddress(name, &address, error) || !camera->m_decoder.Open(error))
    return nullptr;
  StreamConnection& connection = camera->m_connection;
  connection.SetStopFd((stop ? stop : &camera->stopToken())->fd());
  connection.SetIdleLimit(Milliseconds(kConnectSeconds));
  if (!connection.Connect(address, error))
    return nullptr;
  StreamInfo greeting{};
  switch (camera->m_reader.ReadGreeting(&greeting)) {
    case VideoStreamReader::Result::kOk:
      break;
    case VideoStreamReader::Result::kNotSinkGreeting:
      *error =
          "it does not send a Sorvo sink's stream: " + VideoStreamReader::GreetingFault(greeting);
      return nullptr;
    default:
      *error = "no greeting: " + camera->ReadEndText();
      return nullptr;
  }
  camera->m_pixelFormat = PIX_FMT_YUV420P;
  camera->m_frameRate = greeting.frameRate;
  if (passage) {
    camera->m_passageNumber = passage->Connected();
    camera->m_passage = std::move(passage);
  }
  connection.SetDeadline(StreamConnection::Clock::now() + Milliseconds(kConnectSeconds));
  if (!camera->ReadPicture(&camera->m_first)) {
    *error = "no picture: " + camera->m_error;
    return nullptr;
  }
  connection.SetDeadline(StreamConnection::Clock::time_point::max());
  connection.SetIdleLimit(Milliseconds(kSilentSourceSeconds));
  if (wanted.width == 0 &&
      (camera->m_width != greeting.width || camera->m_height != greeting.height))
    camera->AddNote("its greeting says " + std::to_string(greeting.width) + "x" +
                    std::to_string(greeting.height) + ", its pictures are " +
                    std::to_string(camera->m_width) + "x" + std::to_string(camera->m_height) +
                    ": recorded as its pictures are");
  return camera;
}

std::string SorvoStreamCamera::Describe() const {
  char text[96];
  std::snprintf(text, sizeof(text), " (Sorvo stream, %dx%d, %d/s)", m_width, m_height, m_frameRate);
  return m_name + text;
}

std::string SorvoStreamCamera::ReadEndText() const {
  switch (m_lastRead) {
    case StreamConnection::ReadResult::kClosed:
      return "the server closed the connection";
    case StreamConnection::ReadResult::kIdle:
      return "nothing came for " +
             std::to_string(
                 std::chrono::duration_cast<std::chrono::seconds>(m_connection.idleLimit())
                     .count()) +
             " s";
    case StreamConnection::ReadResult::kStopped:
      return "stopped";
    case StreamConnection::ReadResult::kDeadline:
      return "no picture came within " + FormatNumber(kConnectSeconds) + " s";
    case StreamConnection::ReadResult::kFailed:
      return "the connection failed: " + m_connection.error();
    default:
      return "the connection ended";
  }
}

bool SorvoStreamCamera::ReadPicture(FramePtr* picture) {
  for (;;) {
    switch (m_reader.ReadPacket(&m_header, &m_packet)) {
      case VideoStreamReader::Result::kOk:
        break;
      case VideoStreamReader::Result::kLostFraming:
        m_error = "a packet header gives " + std::to_string(m_header.size) +
                  " bytes: the stream lost its framing";
        return false;
      case VideoStreamReader::Result::kEnded:
        m_error = ReadEndText();
        return false;
      default:
        m_error = ReadEndText() + " inside a packet";
        return false;
    }
    // A picture between key frames needs the pictures before it.
    m_keySeen = m_keySeen || m_header.key != 0;
    if (!m_keySeen)
      continue;
    if (m_passage)
      m_passage->Take(m_packet, m_header.key != 0);
    bool got = false;
    const bool decoded =
        m_decoder.Decode(m_packet.data(), m_packet.size(), [&](const AVFrame* frame) {
          if (m_width == 0) {
            m_width = m_wanted.width > 0 ? m_wanted.width : frame->width;
            m_height = m_wanted.height > 0 ? m_wanted.height : frame->height;
          }
          if (!*picture)
            picture->reset(av_frame_alloc());
          av_frame_unref(picture->get());
          got = av_frame_ref(picture->get(), frame) == 0;
        });
    if (!decoded)
      AddNote("a packet did not decode; its picture is missing");
    if (got)
      return true;
  }
}

bool SorvoStreamCamera::NextDecoded(FramePtr* frame, double* due) {
  if (m_first)
    frame->swap(m_first);
  else if (!ReadPicture(frame)) {
    // The pictures that stand in from now on are the sink's to encode.
    if (m_passage)
      m_passage->Lost(m_passageNumber);
    return false;
  }
  m_first.reset();
  // The packets are pictures at the stream's rate; a live reader stamps them as they come.
  *due = static_cast<double>(m_pictures++) / m_frameRate;
  return true;
}

}  // namespace sorvo::tools
