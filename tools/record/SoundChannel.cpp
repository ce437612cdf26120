#include "tools/record/SoundChannel.h"

#include "tools/record/sources/SoundFormat.h"
#include "tools/record/sources/SourceFactory.h"

namespace sorvo::tools {

std::unique_ptr<SoundChannel> SoundChannel::Open(const std::string& text,
                                                 int port,
                                                 std::string* error) {
  std::string why;
  std::unique_ptr<MediaSource> source = OpenSound(text, &why);
  if (!source) {
    *error = "sound (" + text + "): " + why;
    return nullptr;
  }
  return std::unique_ptr<SoundChannel>(new SoundChannel(text, port, std::move(source)));
}

SoundChannel::SoundChannel(std::string text, int port, std::unique_ptr<MediaSource> source)
    : m_text(std::move(text)), m_port(port), m_feed(std::move(source)) {}

bool SoundChannel::Create(const std::string& path, std::string* error) {
  m_path = path;
  m_sink = std::make_unique<ServedAudioSink>();
  m_sink->SetEncodeDataOutputCB(kAudioDataTag, &m_counter);
  try {
    if (m_sink->Create(kName, m_path.c_str(), SoundWaveFormat(), m_port) != 1) {
      *error = "the library could not start the audio sink (MP3 encoder)";
      return false;
    }
  } catch (const CMMIOException& failure) {
    *error = "cannot write the WAV header of " + m_path + " (error " +
             std::to_string(failure.GetErrorCode()) + ")";
    return false;
  }
  return true;
}

void SoundChannel::Start(const SessionClock& clock, IGrabberCallBack* publisher, Console* console) {
  IGrabberCallBack* receiver = publisher != nullptr ? publisher : m_sink.get();
  if (console != nullptr) {
    receiver = console->SoundInput(receiver, kSoundChannels);
    // The console plays the encoded sound to its listeners once the files have it.
    m_counter.SetNext(console->SoundPackets(m_counter.next()));
  }
  m_feed.Start(receiver, 0, /*dropLate=*/false, clock);
}

void SoundChannel::Close() {
  if (m_final)
    return;
  if (m_sink) {
    try {
      m_sink->Close();
    } catch (const CMMIOException& failure) {
      m_closeProblem = "the end of " + m_path + " could not be written (error " +
                       std::to_string(failure.GetErrorCode()) + ")";
    }
  }
  m_final = LiveStatus();
  m_final->final = true;
}

SinkStatus SoundChannel::Status() const {
  return m_final ? *m_final : LiveStatus();
}

SinkStatus SoundChannel::LiveStatus() const {
  SinkStatus status;
  status.name = kName;
  status.port = m_port;
  status.video = false;
  status.buffersIn = m_feed.delivered();
  m_feed.Describe(&status);
  status.packets = m_counter.packets();
  status.bytes = m_counter.bytes();
  if (m_sink)
    status.clients = m_sink->clients();
  return status;
}

void SoundChannel::AddNotes(std::vector<std::string>* notes) const {
  if (!m_closeProblem.empty())
    notes->push_back(m_closeProblem);
  m_feed.AddNotes("sound (" + m_text + ")", "the sound stopped: ", notes);
}

}  // namespace sorvo::tools
