// One recording session, driven through the library's exported interface only: a
// recording sink per camera fed by its own feeder thread, each recording its MP4 file and
// serving its stream, with the optional private and raw stream files; a muxing controller
// that makes the director's cut of one camera at a time (its own sink, MP4 and server) and
// writes every camera and the sound into the multi-stream MP4; and an audio sink fed with
// the sound, writing the WAV file and serving the MP3 stream. With --publish, a publisher
// takes the director's fitted pictures and the sound (each through a ForwardingTap, chained
// with the console's) and publishes them live.
//
// When the application directory cannot hold the stream files or settings the options ask
// for, the session folder takes its place for the process (Create says so in a note).
//
// Every file says what it is and when: the session's start as its creation time, a
// timecode track from the session's time of day, and its tracks named after the cameras.
// The director's file holds the program's sound too (unless --program-sound off). The cut
// (every switch as it takes effect, and the marks) is kept as it is made and handed over
// at Stop: as chapters of the director's file, and as director.edl and director.otio beside
// it, which rebuild the program from the camera files.
//
// Order of use, all on the control (main) thread: OpenSources, Create, Start, then the
// live controls and Status as often as wanted, Stop (also done by the destructor). Status
// reads counters that the feeders and the sinks' workers update. cutList() may be used from
// any thread.
#pragma once

#include <sorvo/sorvo.h>

#include <memory>
#include <string>
#include <vector>

#include "codec/Timecode.h"
#include "tools/record/Feeder.h"
#include "tools/record/PacketCounter.h"
#include "tools/record/RecordOptions.h"
#include "tools/record/ServedAudioSink.h"
#include "tools/record/SessionClock.h"
#include "tools/record/SessionReport.h"
#include "tools/record/SinkStatus.h"
#include "tools/record/WorkerStall.h"
#include "tools/record/console/Console.h"
#include "tools/record/edit/CutList.h"
#include "tools/record/edit/EditPlan.h"
#include "tools/record/publish/GrabberFeed.h"
#include "tools/record/publish/PublishStatus.h"
#include "tools/record/publish/Publisher.h"
#include "tools/record/sources/CameraSpec.h"

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
  // Creates the sinks and opens their files in `outDir`. False with `error`; what was made
  // is closed by Stop.
  bool Create(const std::string& outDir, std::string* error);
  // Shows the session in `console` (before Create): its taps go where pictures and sound
  // pass. The console outlives the session.
  void AttachConsole(Console* console) { m_console = console; }
  // Starts delivering pictures.
  void Start();
  // Stops the sources, lets the sinks encode what they hold and closes every file.
  void Stop();

  // Shows camera `number` in the director's cut from its next picture on; false when there
  // is no such camera or it is not one the director shows (0 to 4).
  bool SelectCamera(int number);
  // The next camera, round the cameras the director shows in turn.
  void SelectNextCamera();
  int selectedCamera() const { return m_selected; }

  std::vector<SinkStatus> Status() const;
  // The session as it stands: its clock (its whole length once stopped), sinks, files, cut,
  // publishing and notes.
  SessionReport Report() const;
  // The files made, known once Stop has returned.
  const std::vector<OutputFile>& Files() const { return m_files; }
  // Things the user should know that did not stop the session.
  std::vector<std::string> Notes() const;
  int cameraCount() const { return static_cast<int>(m_cameras.size()); }
  // The cameras the director can show, and those in the multi-stream file: the first ones.
  int directorCameraCount() const;
  int multiStreamCameraCount() const;
  bool hasSound() const { return m_sound != nullptr; }
  // The publisher's state; not active without --publish. Kept after Stop.
  PublishStatus Publishing() const;
  // What the publisher has to say since the last call (connected, lost, back).
  std::vector<std::string> TakePublishMessages();

  // The cut as it is made: switches come in from the library as they take effect in the
  // director's file, marks from whoever makes them, timed on the session's clock (from
  // start()). Thread-safe.
  CutList& cutList() { return m_cut; }
  // The session clock's 0, the files' time 0; set by Start.
  SessionClock::Clock::time_point start() const { return m_clock->At(0); }

 private:
  struct SinkRelease {
    void operator()(ISorvoSink* sink) const;
  };
  using SinkOwner = std::unique_ptr<ISorvoSink, SinkRelease>;

  // Members are destroyed bottom up: the feeder stops before its sink is released, and the
  // sink before the counter that is its data target.
  struct Camera {
    int number = 0;
    CameraSpec spec;   // as the user gave it: the source and the name, if any
    std::string name;  // its sink's: "camera0" ...
    std::string path;
    int port = 0;
    std::unique_ptr<MediaSource> source;  // until the feeder takes it
    PacketCounter counter;
    std::unique_ptr<WorkerStall> stall;  // tests only: between the sink and the counter
    SinkOwner sink;
    std::unique_ptr<Feeder> feeder;
    SinkStatus final;  // taken at Stop
    EditFile file;     // its MP4 as the edit lists refer to it, taken at Stop
  };

  struct Sound {
    std::string path;  // the WAV file
    int port = 0;
    std::unique_ptr<MediaSource> source;  // until the feeder takes it
    PacketCounter counter;
    std::unique_ptr<ServedAudioSink> sink;
    std::unique_ptr<Feeder> feeder;
    SinkStatus final;  // taken at Stop
  };

  // Why the library cannot keep this session's stream files or settings in the
  // application directory; empty when it can or need not.
  std::string AppDirectoryProblem() const;
  void PlacePreviews();
  // Tells the cut list where each switch takes effect.
  class SwitchRecorder : public ISorvoSwitchObserver {
   public:
    explicit SwitchRecorder(CutList* cut) : m_cut(cut) {}
    void OnCameraSwitch(int camera, double time) override { m_cut->AddSwitch(time, camera); }

   private:
    CutList* m_cut;
  };

  static const std::string& TitleOf(const Camera& camera) {
    return camera.spec.name.empty() ? camera.name : camera.spec.name;
  }
  // Gives a file to be made its metadata, track names and timecode; `video` names its
  // first video track, and its sound track is the sound's.
  void DescribeFile(FFWriteFile* file, const std::string& video) const;
  // The session's start as every file says it, once Start has fixed it.
  void DateFiles();
  std::vector<FFWriteFile*> Writers() const;
  // Hands the cut over to the director's file as chapters; before the director closes.
  void PutChapters();
  // Writes director.edl and director.otio, once every file is closed.
  void WriteEditLists();
  bool CreateCamera(Camera& camera, std::string* error);
  bool CreateSound(std::string* error);
  bool CreateDirector(std::string* error);
  bool StartMultiStream(std::string* error);
  SinkStatus DirectorStatus(ISorvoSink* director) const;
  SinkStatus SoundStatus() const;  // the clients only while the sink is open
  // Closes the audio sink, which hands out its last packets; a WAV file that cannot be
  // finished becomes a note.
  void CloseSound();
  bool StartPrivateStreams(std::string* error);
  SinkStatus CameraStatus(const Camera& camera) const;
  // What became of a live source's signal, on the session's clock.
  void AddSignal(const MediaSource& source, SinkStatus* status) const;
  void WaitForEncoders();
  // Starts the publisher and taps the director's pictures and the sound for it.
  bool StartPublishing(std::string* error);

  RecordOptions m_options;
  Console* m_console = nullptr;
  std::string m_outDir;
  std::string m_appDir;         // the library's; the session folder once moved there
  std::string m_appDirProblem;  // why it must move; empty when it stays
  bool m_preview = false;       // --preview, and a window can open
  std::unique_ptr<SessionClock> m_clock;  // made by Start; goes after the feeders
  std::vector<std::unique_ptr<Camera>> m_cameras;
  std::unique_ptr<Sound> m_sound;  // null with --audio none
  // The director's sink belongs to the controller; the counter is its data target. The
  // controller goes first and with it its references to the camera sinks.
  PacketCounter m_directorCounter;
  std::string m_directorPath;
  EditFile m_program;  // the director's file, as the edit lists refer to it
  CutList m_cut;
  SwitchRecorder m_switchRecorder{&m_cut};
  Timecode m_timecode;
  std::string m_creationTime;  // ISO 8601, UTC
  SinkStatus m_directorFinal;  // taken at Stop
  std::unique_ptr<SorvoMuxer> m_muxer;
  // The publisher and the taps that feed it: made after the sinks, they go before them
  // (members are destroyed bottom up); Stop has stopped the publisher by then.
  std::unique_ptr<Publisher> m_publisher;
  std::unique_ptr<GrabberFeed> m_publishedPictures;  // the director's fitted pictures
  std::unique_ptr<GrabberFeed> m_publishedSound;     // the sound, on to the audio sink
  int m_selected = -1;
  bool m_directorServed = false;
  std::vector<OutputFile> m_files;
  std::vector<std::string> m_notes;
  bool m_started = false;
  bool m_stopped = false;
  double m_end = 0;  // the session's length, fixed by Stop
};

}  // namespace sorvo::tools
