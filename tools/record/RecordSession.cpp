#include "tools/record/RecordSession.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "tools/common/TextTable.h"
#include "tools/record/FolderSnapshot.h"
#include "tools/record/OutputFolder.h"
#include "tools/record/PortCheck.h"
#include "tools/record/PreviewScreen.h"
#include "tools/record/edit/EditLists.h"
#include "tools/record/sources/SourceFactory.h"

namespace sorvo::tools {

RecordSession::RecordSession(const RecordOptions& options)
    : m_options(options), m_folders(m_options), m_director(m_options), m_outputs(m_options) {}

RecordSession::~RecordSession() {
  Stop();
}

bool RecordSession::OpenSources(std::string* error) {
  m_folders.Check();
  // Every server the library makes from now on listens there, whatever the user's
  // settings file says: the streams carry no token.
  SorvoSetServerAddress(m_options.serve.c_str());
  if (m_options.ServesNetwork())
    m_notes.push_back("the cameras, the sound and the director are served on " + m_options.serve +
                      " without a token: anyone on that network can take every stream");
  const std::vector<std::string> sources = m_options.CameraSources();
  for (size_t i = 0; i < sources.size(); ++i) {
    auto camera = CameraChannel::Open(static_cast<int>(i), sources[i], m_options, error);
    if (!camera)
      return false;
    m_cameras.push_back(std::move(camera));
  }
  if (m_options.audio != "none") {
    m_sound = SoundChannel::Open(m_options.audio, m_options.SoundPort(), error);
    if (!m_sound)
      return false;
  }
  auto taken = [error](int port, const std::string& what) {
    *error = "port " + std::to_string(port) + " for " + what +
             " is in use (another recorder?); choose other ports with --ports BASE";
    return false;
  };
  const std::string& address = m_options.serve;
  if (!PortIsFree(m_options.DirectorPort(), address))
    return taken(m_options.DirectorPort(), DirectorChannel::kName);
  if (m_sound && !PortIsFree(m_sound->port(), address))
    return taken(m_sound->port(), "the sound");
  for (const auto& camera : m_cameras)
    if (!PortIsFree(camera->port(), address))
      return taken(camera->port(), camera->name());
  // Network sources make their first connections side by side; one that cannot be reached
  // starts without signal.
  std::vector<MediaSource*> opening;
  for (const auto& camera : m_cameras)
    opening.push_back(camera->opening());
  if (m_sound)
    opening.push_back(m_sound->opening());
  FinishOpening(opening);
  if (m_options.preview)
    PlacePreviews();
  return true;
}

void RecordSession::PlacePreviews() {
  const PreviewScreen screen = FindPreviewScreen();
  if (!screen.available) {
    m_notes.push_back("--preview: no preview window can open: " + screen.why +
                      "; recording without previews");
    return;
  }
  m_preview = true;
  // The director's cut first, at the top left, then the cameras.
  std::vector<std::string> names = {DirectorChannel::kName};
  for (const auto& camera : m_cameras)
    names.push_back(camera->name());
  const std::vector<ScreenArea> tiles = TileScreen(screen.usable, static_cast<int>(names.size()));
  for (size_t i = 0; i < names.size(); ++i)
    SorvoSetPreviewPlacement(names[i].c_str(), tiles[i].x, tiles[i].y, tiles[i].width,
                             tiles[i].height);
}

bool RecordSession::Create(const std::string& outDir, std::string* error) {
  m_outDir = outDir;
  InitSorvo();
  std::string moved;
  const std::unique_ptr<SessionSetting> setting = m_folders.Apply(m_outDir, &moved, error);
  if (!moved.empty())
    m_notes.push_back(moved);
  if (!setting)
    return false;
  const FolderSnapshot rawBefore(m_folders.rawFolder());
  // Until Start fixes the session's start, the files are dated now.
  m_outputs.metadata().StartNow();
  const FileMetadata& metadata = m_outputs.metadata();
  for (const auto& camera : m_cameras) {
    if (!camera->Create(PathOf(camera->title()), m_options.bitrate, m_preview, metadata, error))
      return false;
    m_files.push_back(camera->file());
  }
  // The director's file takes the sound's encoder, which must be open by then.
  if (m_sound) {
    if (!m_sound->Create(PathOf(SoundChannel::kName), error))
      return false;
    m_files.push_back(m_sound->file());
  }
  if (!m_director.Create(PathOf(DirectorChannel::kName), m_preview, Cameras(), m_sound.get(),
                         metadata, error))
    return false;
  m_files.push_back(m_director.file());
  AddRawStreams(rawBefore.Added(), m_folders.rawFolder());
  if (!m_director.StartMultiStream(m_outDir, Cameras(), m_sound.get(), metadata, error))
    return false;
  m_files.push_back(m_director.multiStreamFile());
  if (m_options.privateStream)
    for (const auto& camera : m_cameras)
      if (!camera->StartPrivateStream(m_folders.privateFolder(), &m_files, error))
        return false;
  if (!m_outputs.StartPublishing(m_sound ? m_sound->sink() : nullptr, error))
    return false;
  // The director sink hands its fitted pictures to one grabber target: the publisher's
  // feed, then the console's tap see them, chained.
  IGrabberCallBack* program = m_outputs.pictureFeed();
  if (m_console)
    program = m_console->ProgramInput(program);
  m_director.SetProgramTap(program);
  return true;
}

void RecordSession::AddRawStreams(const std::vector<std::string>& made, const std::string& folder) {
  // The library names them Sorvo_<sink name>_<time>_mp4.raw.
  for (const std::string& path : made) {
    const std::string name = path.substr(folder.size() + 1);
    std::string owner = DirectorChannel::kName;
    for (const auto& camera : m_cameras)
      if (name.rfind("Sorvo_" + camera->name() + "_", 0) == 0)
        owner = camera->name();
    m_files.push_back({OutputFile::Kind::kRawStream, path, owner});
  }
}

void RecordSession::WatchDisk(const std::vector<DiskNeed>& needs) {
  m_diskWatch = std::make_unique<DiskWatch>(needs);
  m_toldFull.assign(needs.size(), false);
}

void RecordSession::Start() {
  // One clock for every camera and the sound, started before any of them; every file is
  // dated by its start. No file has its first packet yet: each takes its header, timecode
  // and creation time with it.
  m_clock = std::make_shared<const SessionClock>(m_options.simulateSpeed);
  if (m_options.simulateStart >= 0)
    m_outputs.metadata().StartAtTimeOfDay(m_options.simulateStart);
  else
    m_outputs.metadata().StartNow();
  std::vector<FFWriteFile*> writers = m_director.Writers();
  for (const auto& camera : m_cameras)
    if (FFWriteFile* file = SorvoGetRecordFile(camera->sink()))
      writers.push_back(file);
  for (FFWriteFile* file : writers)
    m_outputs.metadata().Date(file);
  // The cut is journaled from its first switch on; without the journal the session still
  // records, and its cut is written when it ends.
  std::string why;
  if (!m_director.StartJournal(SessionOutputs::EditTitle(m_outDir, m_director.file().path),
                               m_outputs.metadata().timecode(), Cameras(), m_sound.get(), &why))
    m_notes.push_back("the cut is not journaled as it is made: " + why);
  // On simulated time the cameras wait for the encoders rather than overfill their queues.
  Feeder::Backlog backlog;
  if (m_clock->simulated())
    backlog = [this] { return EncoderBacklog(); };
  for (const auto& camera : m_cameras)
    camera->Start(*m_clock, m_console, backlog);
  // The audio sink first, then the publisher's feed and the console's meter.
  if (m_sound)
    m_sound->Start(*m_clock, m_outputs.soundFeed(), m_console);
  m_started = true;
  if (m_diskWatch) {
    m_outDisk = m_diskWatch->DiskOf(m_outDir);
    if (m_options.privateStream || m_options.saveStream)
      m_streamDisk = m_diskWatch->DiskOf(m_folders.StreamFolder(m_outDir));
  }
}

void RecordSession::CheckDisk() {
  if (!m_diskWatch || !m_started || m_stopped)
    return;
  const double now = m_clock->Now();
  for (std::string& warning : m_diskWatch->Sample(now))
    m_notes.push_back(std::move(warning));
  const std::vector<DiskReading>& disks = m_diskWatch->readings();
  for (int disk = 0; disk < static_cast<int>(disks.size()); ++disk) {
    if (!m_diskWatch->NeedsStep(disk))
      continue;
    if (GiveUpOutput(disk, now)) {
      m_diskWatch->Stepped(disk);
    } else if (!m_toldFull[disk]) {
      m_toldFull[disk] = true;
      m_notes.push_back("at " + FormatDuration(now) + " the disk of " + disks[disk].folder +
                        " is nearly full (" + FormatBytes(disks[disk].freeBytes) +
                        " free) and nothing is left to give up: the files written there stop "
                        "when it is full");
    }
  }
}

bool RecordSession::GiveUpOutput(int disk, double now) {
  const DiskReading& reading = m_diskWatch->readings()[disk];
  const std::string full = "at " + FormatDuration(now) + " the disk of " + reading.folder +
                           " is nearly full (" + FormatBytes(reading.freeBytes) + " free, about " +
                           FormatDuration(std::max(0.0, reading.secondsLeft)) + " left): ";
  const std::string keep = ", so that each camera's MP4, the director's" +
                           std::string(m_sound ? " and the sound" : "") + " go on to the end";
  const std::string why = "the disk of " + reading.folder + " was nearly full";
  if (!m_multiStreamStopped && disk == m_outDisk) {
    m_multiStreamStopped = true;
    if (m_director.StopMultiStream()) {
      MarkStopped({OutputFile::Kind::kMultiStreamMp4}, now, why);
      m_notes.push_back(full + "the multi-stream file is stopped (closed, readable up to here)" +
                        keep);
      return true;
    }
  }
  if (!m_streamFilesStopped && disk == m_streamDisk) {
    m_streamFilesStopped = true;
    for (const auto& camera : m_cameras)
      camera->StopStreamFiles();
    m_director.StopRawStream();
    MarkStopped({OutputFile::Kind::kPrivateStream, OutputFile::Kind::kRawStream}, now, why);
    m_notes.push_back(full + "the stream files are stopped" + keep);
    return true;
  }
  return false;
}

void RecordSession::MarkStopped(const std::vector<OutputFile::Kind>& kinds,
                                double now,
                                const std::string& why) {
  for (OutputFile& file : m_files)
    if (std::find(kinds.begin(), kinds.end(), file.kind) != kinds.end()) {
      file.stoppedAt = now;
      file.stoppedWhy = why;
    }
}

std::string RecordSession::DiskText() const {
  if (!m_diskWatch)
    return "";
  const DiskReading* first = nullptr;
  for (const DiskReading& reading : m_diskWatch->readings())
    if (reading.secondsLeft >= 0 && (!first || reading.secondsLeft < first->secondsLeft))
      first = &reading;
  if (first == nullptr)
    return "";
  return std::string(first->nearlyFull ? "DISK NEARLY FULL: "
                     : first->low      ? "DISK LOW: "
                                       : "disk: ") +
         FormatDuration(first->secondsLeft) + " left";
}

void RecordSession::Stop() {
  if (m_stopped)
    return;
  // Every feeder ends at one instant, however long stopping each of them takes.
  if (m_clock) {
    m_end = m_clock->Now();
    for (const auto& camera : m_cameras)
      camera->EndAt(m_end);
    if (m_sound)
      m_sound->EndAt(m_end);
  }
  for (const auto& camera : m_cameras)
    camera->StopFeeding();
  if (m_sound)
    m_sound->StopFeeding();
  if (m_started)
    WaitForEncoders();
  // The sound's last packets still reach the multi-stream file, which closes after it.
  if (m_sound)
    m_sound->Close();
  for (const auto& camera : m_cameras)
    camera->Close();
  // The cameras' last packets are in the multi-stream file: the director closes it with
  // its own file, the cut becoming its chapters.
  m_director.Close(CameraTitles(), m_outputs.metadata());
  for (const auto& camera : m_cameras)
    camera->Release();
  m_outputs.StopPublishing();
  if (m_started) {
    std::vector<EditFile> sources;
    for (const auto& camera : m_cameras)
      sources.push_back(camera->editFile());
    // Once the edit lists are written, the journal they could have been rebuilt from has
    // served.
    std::vector<std::string> problems;
    const bool written = m_outputs.WriteEditLists(m_director.cut(), m_director.program(), sources,
                                                  m_sound ? m_sound->editFile() : EditFile(),
                                                  m_outDir, &m_files, &problems);
    m_notes.insert(m_notes.end(), problems.begin(), problems.end());
    if (written)
      std::remove(JournalPath(m_director.file().path).c_str());
    else
      m_notes.push_back("the cut is kept in " + JournalPath(m_director.file().path) +
                        ": sorvo-recover on the folder writes the edit lists from it");
  }
  m_stopped = true;
}

void RecordSession::WaitForEncoders() {
  // A sink's Close drops the pictures still queued; they are given a moment to be encoded.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
  long long last = -1;
  Clock::time_point lastChange = Clock::now();
  while (Clock::now() < deadline) {
    long long waiting = 0;
    for (const SinkStatus& status : Status())
      if (status.video)
        waiting += status.buffersIn - status.encoded() - status.leftOut;
    if (waiting <= 0)
      return;
    if (waiting != last) {
      last = waiting;
      lastChange = Clock::now();
    } else if (Clock::now() - lastChange > std::chrono::milliseconds(300)) {
      return;  // what is left was dropped by a full queue and will not come
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

long long RecordSession::EncoderBacklog() const {
  long long most = m_director.Unencoded();
  for (const auto& camera : m_cameras)
    most = std::max(most, camera->Unencoded());
  return most;
}

int RecordSession::directorCameraCount() const {
  return std::min(cameraCount(), RecordOptions::kDirectorCameras);
}

int RecordSession::multiStreamCameraCount() const {
  return std::min(cameraCount(), RecordOptions::kMultiStreamCameras);
}

std::vector<SinkStatus> RecordSession::Status() const {
  std::vector<SinkStatus> all;
  double origin = 0;
  const bool multiStream = m_director.MultiStreamOrigin(&origin);
  for (const auto& camera : m_cameras) {
    all.push_back(camera->Status());
    SinkStatus& status = all.back();
    if (status.final && multiStream && status.inMultiStream)
      status.multiStreamPackets = camera->PacketsFrom(origin);
  }
  if (std::optional<SinkStatus> director = m_director.Status())
    all.push_back(*director);
  if (m_sound)
    all.push_back(m_sound->Status());
  return all;
}

SessionReport RecordSession::Report() const {
  SessionReport report = Counters();
  report.switches = m_director.cut().Shots();
  report.marks = m_director.cut().Marks();
  return report;
}

SessionReport RecordSession::Counters() const {
  SessionReport report;
  report.seconds = !m_clock ? 0 : m_stopped ? m_end : m_clock->Now();
  report.outDir = m_outDir;
  report.sinks = Status();
  report.files = m_files;
  report.notes = Notes();
  report.publish = Publishing();
  if (m_diskWatch)
    report.disks = m_diskWatch->readings();
  return report;
}

std::vector<SessionNote> RecordSession::Notes() const {
  std::vector<SessionNote> notes = m_notes;
  for (const auto& camera : m_cameras)
    camera->AddNotes(&notes);
  if (m_sound)
    m_sound->AddNotes(&notes);
  return notes;
}

std::vector<std::string> RecordSession::CameraTitles() const {
  std::vector<std::string> titles;
  for (const auto& camera : m_cameras)
    titles.push_back(camera->title());
  return titles;
}

std::vector<CameraChannel*> RecordSession::Cameras() const {
  std::vector<CameraChannel*> cameras;
  for (const auto& camera : m_cameras)
    cameras.push_back(camera.get());
  return cameras;
}

std::string RecordSession::PathOf(const std::string& name) const {
  return m_outDir + "/" + m_options.FileName(FolderName(m_outDir), name);
}

}  // namespace sorvo::tools
