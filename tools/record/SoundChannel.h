// The sound of a session: its source and the feeder that delivers it, and the audio sink
// that writes the WAV file, encodes MP3 for its server and hands its packets to the
// director's and the multi-stream files; the publisher's feed and the console's meter sit
// between the feeder and the sink, behind a tap that notes where the WAV file begins. The channel
// opens its source, makes its sink, starts and stops its feeder, closes its sink and reports its
// own status and notes.
//
// Threads: every operation on the control thread. Status reads counters that the feeder
// and the sink's audio thread update. Members are destroyed bottom up: the feeder stops
// before its first receiver (the origin tap) and the sink go, and the sink before the
// counter that is its data target.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/record/OriginTap.h"
#include "tools/record/PacketCounter.h"
#include "tools/record/ServedAudioSink.h"
#include "tools/record/SinkStatus.h"
#include "tools/record/SoundClockKeeper.h"
#include "tools/record/SourceFeed.h"
#include "tools/record/console/Console.h"
#include "tools/record/edit/EditPlan.h"

namespace sorvo::tools {

class SoundChannel {
 public:
  static constexpr char kName[] = "sound";

  // Opens the sound as --audio gives it, to be served on `port`. Null with `error`.
  static std::unique_ptr<SoundChannel> Open(const std::string& text, int port, std::string* error);
  SoundChannel(const SoundChannel&) = delete;
  SoundChannel& operator=(const SoundChannel&) = delete;

  int port() const { return m_port; }
  // Its source while it opens (before Start).
  MediaSource* opening() { return m_feed.opening(); }
  // The sink whose encoder the director's and the multi-stream files take.
  ServedAudioSink* sink() const { return m_sink.get(); }
  // Its packets go on to `next` (the muxing controller) once the counter has seen them.
  void SendPacketsTo(ISorvoData* next) { m_counter.SetNext(next); }

  // Makes the audio sink, writing the WAV file `path`. False with `error`.
  bool Create(const std::string& path, std::string* error);
  OutputFile file() const { return {OutputFile::Kind::kWav, m_path, kName}; }
  // The WAV file as an edit lays it on the session's time: started, with the session time
  // of its first sample, once the sink took a buffer. Its camera number means nothing.
  EditFile editFile() const;

  // Delivers the sound on `clock`, its samples kept to that clock: to the audio sink,
  // through `publisher` (the publisher's feed, which hands it on to the sink) when given,
  // and the console's meter when there is a console, which also hears the encoded packets
  // after the muxing controller.
  void Start(const SessionClock& clock, IGrabberCallBack* publisher, Console* console);
  void EndAt(double end) {
    m_feed.EndAt(end);
    if (m_keeper)
      m_keeper->EndAt(end);
  }
  // The feeder stops, and the sound it held back goes on, cut at the end.
  void StopFeeding() {
    m_feed.Stop();
    if (m_keeper)
      m_keeper->Flush();
  }
  // Closes the audio sink, which hands out its last packets, and takes the final status. A
  // WAV file that cannot be finished becomes a note.
  void Close();

  // Final once closed; the clients only while the sink is open.
  SinkStatus Status() const;
  void AddNotes(std::vector<SessionNote>* notes) const;

 private:
  SoundChannel(std::string text, int port, std::unique_ptr<MediaSource> source);
  SinkStatus LiveStatus() const;

  const std::string m_text;  // as the user gave it
  const int m_port;
  std::string m_path;
  PacketCounter m_counter;
  std::unique_ptr<ServedAudioSink> m_sink;
  // Second in the feeder's chain, after the clock keeper, so it sees the first buffer the
  // sink's WAV file takes.
  std::unique_ptr<OriginTap> m_origin;
  // m_origin once made: the cut's journal thread asks editFile for the origin while Start
  // may still be making it.
  std::atomic<const OriginTap*> m_originMade{nullptr};
  std::unique_ptr<SoundClockKeeper> m_keeper;  // from Start, between the feeder and the rest
  SourceFeed m_feed;
  std::optional<SinkStatus> m_final;  // taken at Close
  std::string m_closeProblem;
};

}  // namespace sorvo::tools
