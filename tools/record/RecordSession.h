// One recording session, driven through the library's exported interface only, as a thin
// owner of its channels: a CameraChannel per camera (source, feeder, recording sink), the
// DirectorChannel (the director's cut, the multi-stream file and the cut itself), the
// SoundChannel (source, feeder, audio sink) and the SessionOutputs (what every file says
// about itself, live publishing, the edit lists). The session opens, makes, starts and
// stops them in the order their ties need, and merges their status into its report.
//
// Order of use, all on the control (main) thread: OpenSources, Create, Start, then the
// live controls, Status and Report as often as wanted, Stop (also done by the destructor).
// Status reads counters that the feeders and the sinks' workers update. cutList() may be
// used from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/record/CameraChannel.h"
#include "tools/record/DirectorChannel.h"
#include "tools/record/LibraryFolders.h"
#include "tools/record/RecordOptions.h"
#include "tools/record/SessionClock.h"
#include "tools/record/SessionOutputs.h"
#include "tools/record/SessionReport.h"
#include "tools/record/SoundChannel.h"
#include "tools/record/console/Console.h"
#include "tools/record/disk/DiskWatch.h"

namespace sorvo::tools {

class RecordSession {
 public:
  explicit RecordSession(const RecordOptions& options);
  ~RecordSession();
  RecordSession(const RecordSession&) = delete;
  RecordSession& operator=(const RecordSession&) = delete;

  // Opens every source and checks every port, and where --preview asks for windows, finds
  // the screen and gives each sink's window a tile of it (or says, in a note, why no window
  // can open); nothing is written yet. False with `error`.
  bool OpenSources(std::string* error);
  // Shows the session in `console` (before Start): its taps go where pictures and sound
  // pass. The console outlives the session.
  void AttachConsole(Console* console) { m_console = console; }
  // Creates the sinks and opens their files in `outDir`. False with `error`; what was made
  // is closed by Stop.
  bool Create(const std::string& outDir, std::string* error);
  // Where the library's stream files go for a session in `outDir` (after OpenSources).
  std::string StreamFolder(const std::string& outDir) const {
    return m_folders.StreamFolder(outDir);
  }
  // Watches the free space of the file systems of `needs` from Start on (CheckDisk).
  void WatchDisk(const std::vector<DiskNeed>& needs);
  // Starts the session's clock and every feeder.
  void Start();
  // Stops the sources, lets the sinks encode what they hold and closes every file.
  void Stop();

  // Shows camera `number` in the director's cut from its next picture on; false when there
  // is no such camera or it is not one the director shows (0 to 4).
  bool SelectCamera(int number) { return m_director.Select(number); }
  // The next camera, round the cameras the director shows in turn.
  void SelectNextCamera() { m_director.SelectNext(); }
  int selectedCamera() const { return m_director.selected(); }
  int cameraCount() const { return static_cast<int>(m_cameras.size()); }
  // Camera `number` as a person reads it ("camera2 (stage)"); there must be one.
  std::string CameraShown(int number) const { return m_cameras[number]->shown(); }
  // Each camera's display text for tally: its own name, or its sink's name.
  std::vector<std::string> CameraTitles() const;
  // The cameras the director can show, and those in the multi-stream file: the first ones.
  int directorCameraCount() const;
  int multiStreamCameraCount() const;
  bool hasSound() const { return m_sound != nullptr; }

  std::vector<SinkStatus> Status() const;
  // The session as it stands: its clock (its whole length once stopped), sinks, files (all
  // of them once Stop has returned), cut, publishing and notes.
  SessionReport Report() const;
  // The same without the cut, for a reader that follows the cut as it changes.
  SessionReport Counters() const;
  // Things the user should know that did not stop the session.
  std::vector<SessionNote> Notes() const;
  // Reads the free space (about once a second while recording): warns when it runs low and,
  // when a file system is nearly full, gives up the outputs that copy others, one step at
  // a time: first the multi-stream file, then the stream files, so that each camera's MP4,
  // the director's and the sound go on. Each warning and step becomes a note.
  void CheckDisk();
  // The time left on the file system that runs out first, for the progress line; empty
  // while no disk is watched or none is filling.
  std::string DiskText() const;
  // The publisher's state; not active without --publish. Kept after Stop.
  PublishStatus Publishing() const { return m_outputs.Publishing(); }
  // What the publisher has to say since the last call (connected, lost, back).
  std::vector<std::string> TakePublishMessages() { return m_outputs.TakePublishMessages(); }

  // The cut as it is made: switches come in from the library as they take effect in the
  // director's file, marks from whoever makes them, timed on the session's clock (from
  // start()). Thread-safe.
  CutList& cutList() { return m_director.cut(); }
  // The session's clock, whose 0 is the files' time 0; made by Start. Shared with those
  // that may outlive the session (the console).
  std::shared_ptr<const SessionClock> clock() const { return m_clock; }

 private:
  void PlacePreviews();
  std::vector<CameraChannel*> Cameras() const;
  // The path of the file named after `name` in the session folder.
  std::string PathOf(const std::string& name) const;
  // The raw stream files the library made in `folder` (`made`), each with its sink.
  void AddRawStreams(const std::vector<std::string>& made, const std::string& folder);
  void WaitForEncoders();
  // Gives up the next output that copies others on disk `disk`, saying so; false when none
  // is left there.
  bool GiveUpOutput(int disk, double now);
  // Marks the files of `kinds` as stopped at `now` for `why`.
  void MarkStopped(const std::vector<OutputFile::Kind>& kinds, double now, const std::string& why);
  // The most pictures any video sink holds not yet encoded; any thread while the feeders run.
  long long EncoderBacklog() const;

  const RecordOptions m_options;
  LibraryFolders m_folders;
  Console* m_console = nullptr;
  std::string m_outDir;
  bool m_preview = false;                       // --preview, and a window can open
  std::shared_ptr<const SessionClock> m_clock;  // made by Start; goes after the channels
  // Members are destroyed bottom up: the director's controller lets go of the camera sinks
  // and the sound's encoder before they go, and the publisher's feeds go before the sinks
  // they hand on to.
  std::vector<std::unique_ptr<CameraChannel>> m_cameras;
  std::unique_ptr<SoundChannel> m_sound;  // null with --audio none
  DirectorChannel m_director;
  SessionOutputs m_outputs;
  std::vector<OutputFile> m_files;
  std::vector<SessionNote> m_notes;
  bool m_started = false;
  bool m_stopped = false;
  double m_end = 0;  // the session's length, fixed by Stop
  std::unique_ptr<DiskWatch> m_diskWatch;  // null when no disk is watched
  int m_outDisk = -1;                      // the session folder's disk in m_diskWatch
  int m_streamDisk = -1;                   // the stream files' disk; -1 without them
  bool m_multiStreamStopped = false;
  bool m_streamFilesStopped = false;
  std::vector<bool> m_toldFull;  // per disk: said that nothing is left to give up
};

}  // namespace sorvo::tools
