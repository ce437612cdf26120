#include "tools/record/SoundChannel.h"

#include <cmath>
#include <filesystem>

#include "tools/common/TextTable.h"
#include "tools/record/sources/SoundFormat.h"
#include "tools/record/sources/SourceFactory.h"

namespace sorvo::tools {
namespace {

// A drift this large is told: the files are kept right, but the source is worth a look.
constexpr double kToldDrift = 0.0001;

}  // namespace

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

EditFile SoundChannel::editFile() const {
  EditFile file;
  file.name = kName;
  file.path = m_path;
  file.channels = SoundWaveFormat().nChannels;
  // A WAV file the sink could not make was left out, and the sound with it.
  std::error_code missing;
  const OriginTap* origin = m_originMade.load(std::memory_order_acquire);
  file.started = origin != nullptr && origin->GetOrigin(&file.origin) &&
                 std::filesystem::is_regular_file(m_path, missing);
  return file;
}

void SoundChannel::Start(const SessionClock& clock, IGrabberCallBack* publisher, Console* console) {
  IGrabberCallBack* receiver = publisher != nullptr ? publisher : m_sink.get();
  if (console != nullptr) {
    receiver = console->SoundInput(receiver, kSoundChannels);
    // The console plays the encoded sound to its listeners once the files have it.
    m_counter.SetNext(console->SoundPackets(m_counter.next()));
  }
  // The origin is taken after the keeper, from what the sink's WAV file really takes.
  m_origin = std::make_unique<OriginTap>(receiver);
  m_originMade.store(m_origin.get(), std::memory_order_release);
  m_keeper = std::make_unique<SoundClockKeeper>(m_origin.get(), clock, kSoundRate, kSoundChannels,
                                                m_feed.source().timedOnSteadyClock());
  m_feed.Start(m_keeper.get(), 0, /*dropLate=*/false, clock);
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
  if (m_keeper) {
    status.clockDrift = m_keeper->drift();
    status.samplesAdjusted = m_keeper->adjusted();
  }
  status.packets = m_counter.packets();
  status.bytes = m_counter.bytes();
  if (m_sink)
    status.clients = m_sink->clients();
  return status;
}

void SoundChannel::AddNotes(std::vector<SessionNote>* notes) const {
  if (!m_closeProblem.empty())
    notes->push_back(m_closeProblem);
  m_feed.AddNotes("sound (" + m_text + ")", "the sound stopped: ", notes);
  const SinkStatus status = Status();
  if (std::abs(status.clockDrift) >= kToldDrift)
    notes->push_back("sound (" + m_text + "): its clock ran " +
                     FormatFixed(std::abs(status.clockDrift) * 100, 2) + " % " +
                     (status.clockDrift > 0 ? "slow" : "fast") + " against this machine's; " +
                     FormatCount(std::abs(status.samplesAdjusted)) + " samples were " +
                     (status.samplesAdjusted > 0 ? "added" : "left out") +
                     " to keep it with the pictures");
}

}  // namespace sorvo::tools
