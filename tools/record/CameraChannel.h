// One camera of a session: its source and the feeder that delivers it, its recording sink
// (its MP4 file, its server, its preview window, its private and raw stream files when
// asked for), the console's tap between the two, and the counter of the sink's packets. The
// channel opens its source, makes its sink, starts and stops its feeder, closes its sink
// and reports its own status and notes; the session orders those steps for every channel
// and the director takes the camera's sink and packets.
//
// Threads: every operation on the control thread. Status reads counters that the feeder
// and the sink's worker update (atomics, or guarded by the library). Members are destroyed
// bottom up: the feeder stops before its sink is released, and the sink before the
// counter that is its data target.
#pragma once

#include <sorvo/sorvo.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/record/FileMetadata.h"
#include "tools/record/PacketCounter.h"
#include "tools/record/PictureLender.h"
#include "tools/record/RecordOptions.h"
#include "tools/record/SinkStatus.h"
#include "tools/record/SourceFeed.h"
#include "tools/record/WorkerStall.h"
#include "tools/record/console/Console.h"
#include "tools/record/edit/EditPlan.h"
#include "tools/record/sources/CameraSpec.h"
#include "tools/record/sources/PacketPassage.h"

namespace sorvo::tools {

class CameraChannel {
 public:
  // Opens camera `number` as the user gave it (`text`: SOURCE[,name=NAME]); a network
  // camera finishes opening with FinishOpening. Null with `error`.
  static std::unique_ptr<CameraChannel> Open(int number,
                                             const std::string& text,
                                             const RecordOptions& options,
                                             std::string* error);
  CameraChannel(const CameraChannel&) = delete;
  CameraChannel& operator=(const CameraChannel&) = delete;

  int number() const { return m_number; }
  // Its sink's name, "camera0" ...
  const std::string& name() const { return m_name; }
  // What its file, tracks, chapters and clips are named: the user's name, or name().
  const std::string& title() const { return m_spec.name.empty() ? m_name : m_spec.name; }
  // What a person reads for it: name(), with its own name after it when it has one.
  std::string shown() const {
    return m_spec.name.empty() ? m_name : m_name + " (" + m_spec.name + ")";
  }
  int port() const { return m_port; }
  // Its source while it opens (before Start).
  MediaSource* opening() { return m_feed.opening(); }
  ISorvoSink* sink() const { return m_sink.get(); }
  // Its packets go on to `next` (the muxing controller) once the counter has seen them.
  void SendPacketsTo(ISorvoData* next) { m_counter.SetNext(next); }

  // Makes the sink, recording into `path` (its server on port(), a preview window when
  // `preview`), its file described by `metadata`. False with `error`.
  bool Create(const std::string& path,
              int bitrate,
              bool preview,
              const FileMetadata& metadata,
              std::string* error);
  OutputFile file() const { return {OutputFile::Kind::kCameraMp4, m_path, m_name}; }
  // Starts its private stream file in the library's `folder`; the file it made goes into
  // `files`.
  bool StartPrivateStream(const std::string& folder,
                          std::vector<OutputFile>* files,
                          std::string* error);
  // Stops its private and raw stream files while its MP4 records on.
  void StopStreamFiles();

  // Delivers its pictures on `clock` to the sink, through the console's tap when there is
  // a console.
  void Start(const SessionClock& clock, Console* console, Feeder::Backlog backlog = nullptr);
  void EndAt(double end);
  // The feeder stops; the sink goes on encoding what it holds.
  void StopFeeding() { m_feed.Stop(); }
  // Closes the sink, whose files get their ends, and takes its final status and its file
  // as the edit lists refer to it.
  void Close();
  // Lets go of the sink, once the director has let go of it too.
  void Release() { m_sink.reset(); }

  // Final once closed.
  SinkStatus Status() const;
  // Pictures its sink holds not yet encoded; any thread while it is fed.
  long long Unencoded() const { return m_sink ? m_counter.Unencoded(m_sink.get()) : 0; }
  void AddNotes(std::vector<SessionNote>* notes) const;
  const EditFile& editFile() const { return m_editFile; }
  // Once closed: its packets that a file beginning at capture time `origin` could take,
  // from its first key frame captured then or later (a file refuses a stream's first
  // picture captured before it began, and the controller waits for the next key frame).
  long long PacketsFrom(double origin) const;

 private:
  // Letting go closes the sink first, so that its files are finished whoever lets go last.
  struct SinkRelease {
    void operator()(ISorvoSink* sink) const;
  };
  using SinkOwner = std::unique_ptr<ISorvoSink, SinkRelease>;

  CameraChannel(int number,
                CameraSpec spec,
                int port,
                std::unique_ptr<MediaSource> source,
                std::shared_ptr<PacketPassage> passage);
  SinkStatus LiveStatus() const;

  const int m_number;
  const CameraSpec m_spec;  // as the user gave it: the source and the name, if any
  const std::string m_name;
  const int m_port;
  std::string m_path;
  // A sorvo:// camera's packets on their way to the sink; null for other sources.
  std::shared_ptr<PacketPassage> m_passage;
  PacketCounter m_counter;
  std::unique_ptr<WorkerStall> m_stall;  // tests only: between the sink and the counter
  SinkOwner m_sink;
  std::optional<SinkLender> m_lender;  // the sink's buffers, from Start
  SourceFeed m_feed;
  std::optional<SinkStatus> m_final;  // taken at Close
  EditFile m_editFile;                // taken at Close
  double m_encoderOrigin = 0;         // taken at Close: the capture time of its pts 0
};

}  // namespace sorvo::tools
