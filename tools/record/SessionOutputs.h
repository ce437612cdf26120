// What a session makes besides each sink's own recording: what every file says about
// itself (FileMetadata); the program published live (the Publisher, fed by taps on the
// director's fitted pictures and on the sound); and the cut handed to editors, as
// director.edl, director.otio and director.mlt beside the director's file once every file is
// closed.
//
// Threads: every operation on the control thread. The feeds are called on the threads that
// deliver pictures and sound, and the publisher runs threads of its own; the feeds are made
// after the publisher and go before it (members are destroyed bottom up), and
// StopPublishing comes once nothing calls the feeds any more.
#pragma once

#include <sorvo/sorvo.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/record/FileMetadata.h"
#include "tools/record/RecordOptions.h"
#include "tools/record/SinkStatus.h"
#include "tools/record/edit/CutList.h"
#include "tools/record/edit/EditPlan.h"
#include "tools/record/publish/GrabberFeed.h"
#include "tools/record/publish/PublishStatus.h"
#include "tools/record/publish/Publisher.h"

namespace sorvo::tools {

class SessionOutputs {
 public:
  explicit SessionOutputs(const RecordOptions& options)
      : m_options(options), m_metadata(options.fps) {}
  SessionOutputs(const SessionOutputs&) = delete;
  SessionOutputs& operator=(const SessionOutputs&) = delete;

  FileMetadata& metadata() { return m_metadata; }
  const FileMetadata& metadata() const { return m_metadata; }

  // Starts publishing what --publish asks for: the program, and the sound when
  // `soundSink` (the audio sink, which the sound's feed hands it on to) is given. True
  // without --publish. False with `error`.
  bool StartPublishing(IGrabberCallBack* soundSink, std::string* error);
  // The receivers of the director's pictures and of the sound for the publisher; null
  // when it does not take them.
  IGrabberCallBack* pictureFeed() const { return m_pictures.get(); }
  IGrabberCallBack* soundFeed() const { return m_sound.get(); }
  // Not active without --publish; kept after StopPublishing.
  PublishStatus Publishing() const;
  // What the publisher has to say since the last call (connected, lost, back).
  std::vector<std::string> TakePublishMessages();
  // Nothing feeds the publisher any more: it sends what it holds (for a few seconds at
  // most) and closes every destination.
  void StopPublishing();

  // The title of the edit lists of the director's file `program` in `outDir`.
  static std::string EditTitle(const std::string& outDir, const std::string& program);
  // Writes the cut, laid against the director's file `program` and the cameras' files
  // `sources`, as director.edl (and the lists after it) and director.otio, and as the MLT
  // project director.mlt with the session's `sound` file (unstarted: none) on its audio
  // track; the files written go into `files`, and a note into `notes` for each that could
  // not be. True when every one was written.
  bool WriteEditLists(const CutList& cut,
                      const EditFile& program,
                      const std::vector<EditFile>& sources,
                      const EditFile& sound,
                      const std::string& outDir,
                      std::vector<OutputFile>* files,
                      std::vector<std::string>* notes) const;

 private:
  const RecordOptions& m_options;
  FileMetadata m_metadata;
  std::unique_ptr<Publisher> m_publisher;
  std::unique_ptr<GrabberFeed> m_pictures;  // the director's fitted pictures
  std::unique_ptr<GrabberFeed> m_sound;     // the sound, on to the audio sink
};

}  // namespace sorvo::tools
