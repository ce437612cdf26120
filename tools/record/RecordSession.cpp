#include "tools/record/RecordSession.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>
#include <utility>

#include "tools/record/FolderSnapshot.h"
#include "tools/record/OutputFolder.h"
#include "tools/record/PortCheck.h"
#include "tools/record/PreviewScreen.h"
#include "tools/record/SessionSetting.h"
#include "tools/record/sources/SignalLog.h"
#include "tools/record/sources/SoundFormat.h"
#include "tools/record/sources/SourceFactory.h"
#include "tools/record/edit/ChapterTitles.h"
#include "tools/record/edit/EdlWriter.h"
#include "tools/record/edit/OtioWriter.h"

namespace sorvo::tools {
namespace {

std::string AppDirectory() {
  char path[4096];
  SorvoGetAppDirectory(path, sizeof(path));
  return path;
}

// The director's sink, and with it its preview window, has this name.
constexpr char kDirectorName[] = "director";
constexpr char kSoundName[] = "sound";

// The wall clock's now as the session's timecode at `rate` and as an ISO 8601 UTC time.
Timecode TimeOfDayNow(int rate, std::string* creationTime) {
  const auto now = std::chrono::system_clock::now();
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  const int fraction = static_cast<int>(micros % 1000000);
  std::tm local{};
  std::tm utc{};
  localtime_r(&seconds, &local);
  gmtime_r(&seconds, &utc);
  char text[64];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  char micro[16];
  std::snprintf(micro, sizeof(micro), ".%06dZ", fraction);
  *creationTime = std::string(text) + micro;
  return Timecode(local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + fraction / 1e6,
                  rate);
}

// The name of the folder, without the path to it.
std::string FolderName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/')
    trimmed.pop_back();
  const size_t slash = trimmed.find_last_of('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// `path` with its extension replaced by `extension`.
std::string WithExtension(const std::string& path, const char* extension) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  const bool has = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has ? path.substr(0, dot) : path) + extension;
}

}  // namespace

void RecordSession::SinkRelease::operator()(ISorvoSink* sink) const {
  sink->Close();
  sink->Release();
}

RecordSession::RecordSession(const RecordOptions& options)
    : m_options(options), m_appDir(AppDirectory()) {}

RecordSession::~RecordSession() { Stop(); }

std::string RecordSession::AppDirectoryProblem() const {
  // The library keeps its stream folders in the application directory, and reads the
  // settings the recorder changes for the session from there.
  std::string why;
  if ((m_options.privateStream || m_options.saveStream || m_options.fragmentedMp4) &&
      !FolderTakesFiles(m_appDir, &why))
    return "the application directory " + m_appDir + " cannot be written (" + why + ")";
  const std::vector<std::pair<bool, const char*>> folders = {
      {m_options.privateStream, "PrivateRawStream"}, {m_options.saveStream, "RawStream"}};
  for (const auto& [wanted, name] : folders)
    if (wanted && !FolderCanHoldFiles(m_appDir + "/" + name, &why))
      return "the library's folder " + m_appDir + "/" + name + " cannot take files (" + why + ")";
  return "";
}

bool RecordSession::OpenSources(std::string* error) {
  m_appDirProblem = AppDirectoryProblem();
  std::string why;
  const std::vector<std::string> sources = m_options.CameraSources();
  for (size_t i = 0; i < sources.size(); ++i) {
    auto camera = std::make_unique<Camera>();
    camera->number = static_cast<int>(i);
    camera->name = "camera" + std::to_string(i);
    camera->port = m_options.CameraPort(camera->number);
    if (!CameraSpec::Parse(sources[i], &camera->spec, &why)) {
      *error = "camera " + std::to_string(i) + ": " + why;
      return false;
    }
    CameraSettings settings;
    settings.number = camera->number;
    settings.name = TitleOf(*camera);
    settings.fps = m_options.fps;
    settings.width = m_options.directorWidth;
    settings.height = m_options.directorHeight;
    settings.holdOnLoss = m_options.holdOnLoss;
    camera->source = OpenCamera(camera->spec.source, settings, &why);
    if (!camera->source) {
      *error = "camera " + std::to_string(i) + " (" + sources[i] + "): " + why;
      return false;
    }
    m_cameras.push_back(std::move(camera));
  }
  if (m_options.audio != "none") {
    m_sound = std::make_unique<Sound>();
    m_sound->port = m_options.SoundPort();
    m_sound->source = OpenSound(m_options.audio, &why);
    if (!m_sound->source) {
      *error = "sound (" + m_options.audio + "): " + why;
      return false;
    }
    if (!PortIsFree(m_sound->port)) {
      *error = "port " + std::to_string(m_sound->port) +
               " for the sound is in use (another recorder?); choose other ports with --ports BASE";
      return false;
    }
  }
  for (const auto& camera : m_cameras) {
    if (!PortIsFree(camera->port)) {
      *error = "port " + std::to_string(camera->port) + " for " + camera->name +
               " is in use (another recorder?); choose other ports with --ports BASE";
      return false;
    }
  }
  // Network sources make their first connections side by side; one that cannot be reached
  // starts without signal.
  std::vector<MediaSource*> opening;
  for (const auto& camera : m_cameras)
    opening.push_back(camera->source.get());
  if (m_sound)
    opening.push_back(m_sound->source.get());
  FinishOpening(opening);
  if (m_options.preview) PlacePreviews();
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
  std::vector<std::string> names = {kDirectorName};
  for (const auto& camera : m_cameras) names.push_back(camera->name);
  const std::vector<ScreenArea> tiles =
      TileScreen(screen.usable, static_cast<int>(names.size()));
  for (size_t i = 0; i < names.size(); ++i)
    SorvoSetPreviewPlacement(names[i].c_str(), tiles[i].x, tiles[i].y, tiles[i].width,
                             tiles[i].height);
}

bool RecordSession::CreateCamera(Camera& camera, std::string* error) {
  const MediaSource& source = *camera.source;
  VideoInfo info;
  info.width = source.width();
  info.height = source.height();
  info.pixelFormat = source.pixelFormat();
  info.imageSize = SorvoPictureSize(info.pixelFormat, info.width, info.height);
  info.frameRate = source.frameRate();
  ISorvoSink* sink = nullptr;
  if (CreateSorvo(camera.name.c_str(), camera.path.c_str(), info, m_options.bitrate, camera.port,
                  &sink, camera.number, m_preview ? 1 : 0) != 1) {
    *error = "the library could not start the recording sink of " + camera.name + " (" +
             source.Describe() + ")";
    return false;
  }
  camera.sink.reset(sink);
  camera.stall = WorkerStall::FromEnvironment(camera.number, &camera.counter);
  camera.sink->SetEncodeDataOutputCB(camera.stall ? static_cast<ISorvoData*>(camera.stall.get())
                                                  : &camera.counter);
  DescribeFile(SorvoGetRecordFile(camera.sink.get()), TitleOf(camera));
  if (camera.sink->StartRecord() != 1) {
    *error = "cannot create " + camera.path;
    return false;
  }
  m_files.push_back({OutputFile::Kind::kCameraMp4, camera.path, camera.name});
  return true;
}

bool RecordSession::CreateDirector(std::string* error) {
  m_muxer = std::make_unique<SorvoMuxer>();
  // The library gives the director this port, whatever the others are.
  m_directorServed = PortIsFree(SorvoMuxer::kDirectorPort);
  if (!m_directorServed)
    m_notes.push_back("port " + std::to_string(SorvoMuxer::kDirectorPort) +
                      " is in use (another recorder?): the director's cut is recorded but not "
                      "served");
  const std::string& path = m_directorPath;
  // 0x00BBGGRR, red in the low byte.
  const uint32_t border = ((m_options.borderRgb & 0xFF) << 16) | (m_options.borderRgb & 0xFF00) |
                          ((m_options.borderRgb >> 16) & 0xFF);
  if (m_muxer->CreateSingleMux(kDirectorName, path.c_str(), m_options.directorWidth,
                               m_options.directorHeight, PIX_FMT_YUV420P, m_options.fps,
                               m_options.bitrate, m_preview ? 1 : 0,
                               m_options.zoomFit ? ZOOM_LETTERBOX : ZOOM_STRETCH, border) != 1) {
    *error = "the library could not start the director's sink";
    return false;
  }
  CComPtr<ISorvoSink> director = m_muxer->GetDirector();
  director->SetEncodeDataOutputCB(&m_directorCounter);
  m_muxer->SetSwitchObserver(&m_switchRecorder);
  FFWriteFile* file = SorvoGetRecordFile(director);
  DescribeFile(file, kDirectorName);
  // The program's sound: the audio sink's packets reach the director through the
  // controller, and its file takes them once it has an audio stream.
  const bool withSound = m_sound != nullptr && m_options.programSound;
  if (withSound && (file == nullptr || file->AttachAudioEncoder(0, m_sound->sink.get()) != 1)) {
    *error = "the library could not give the director's file the sound";
    return false;
  }
  for (const auto& camera : m_cameras) {
    // The controller takes cameras 0 to 8; the others only record their own files.
    if (camera->number >= multiStreamCameraCount())
      break;
    m_muxer->SetSink(camera->number, camera->sink.get());
    if (m_muxer->AddSingleMux(camera->sink.get()) != 1) {
      *error = "the director could not take " + camera->name;
      return false;
    }
    camera->counter.SetNext(m_muxer.get());
  }
  if (director->StartRecord() != 1) {
    *error = "cannot create " + path;
    return false;
  }
  m_files.push_back({OutputFile::Kind::kDirectorMp4, path, kDirectorName, withSound});
  SelectCamera(0);
  return true;
}

bool RecordSession::StartMultiStream(std::string* error) {
  if (m_sound) {
    m_sound->counter.SetNext(m_muxer.get());
    m_muxer->GetMultiFile().AttachAudioEncoder(0, m_sound->sink.get());
  }
  FFWriteFile& file = m_muxer->GetMultiFile();
  DescribeFile(&file, kDirectorName);
  // One video stream per camera, in their order.
  for (const auto& camera : m_cameras)
    file.SetTrackName(camera->number, TitleOf(*camera).c_str());
  if (m_muxer->StartMultMux() != 1) {
    *error = "cannot create the multi-stream file in " + m_outDir;
    return false;
  }
  m_files.push_back(
      {OutputFile::Kind::kMultiStreamMp4, m_outDir + "/导播多流.mp4", kDirectorName});
  return true;
}

int RecordSession::directorCameraCount() const {
  return std::min(cameraCount(), RecordOptions::kDirectorCameras);
}

int RecordSession::multiStreamCameraCount() const {
  return std::min(cameraCount(), RecordOptions::kMultiStreamCameras);
}

bool RecordSession::SelectCamera(int number) {
  if (!m_muxer || number < 0 || number >= directorCameraCount())
    return false;
  if (m_muxer->SetCurSingleMux(static_cast<EnumCameraType>(number)) != 1) return false;
  m_selected = number;
  return true;
}

void RecordSession::SelectNextCamera() {
  if (!m_cameras.empty())
    SelectCamera((m_selected + 1) % directorCameraCount());
}

SinkStatus RecordSession::DirectorStatus(ISorvoSink* director) const {
  SinkStatus status;
  status.name = kDirectorName;
  status.port = m_directorServed ? SorvoMuxer::kDirectorPort : 0;
  status.source = std::string(m_options.zoomFit ? "fitted" : "stretched") + " to " +
                  std::to_string(m_options.directorWidth) + "x" +
                  std::to_string(m_options.directorHeight);
  StreamInfo info;
  director->GetStreamInfo(&info);
  status.buffersIn = info.framesIn;
  status.bytes = info.encodedBytes;
  status.clients = info.clients;
  status.packets = m_directorCounter.packets();
  if (const auto* encoder = dynamic_cast<const FFEncoder*>(director))
    status.leftOut = encoder->GetLeftOutPictures();
  return status;
}

bool RecordSession::CreateSound(std::string* error) {
  Sound& sound = *m_sound;
  sound.path = m_outDir + "/" + m_options.FileName(FolderName(m_outDir), kSoundName);
  sound.sink = std::make_unique<ServedAudioSink>();
  sound.sink->SetEncodeDataOutputCB(kAudioDataTag, &sound.counter);
  try {
    if (sound.sink->Create("sound", sound.path.c_str(), SoundWaveFormat(), sound.port) != 1) {
      *error = "the library could not start the audio sink (MP3 encoder)";
      return false;
    }
  } catch (const CMMIOException& failure) {
    *error = "cannot write the WAV header of " + sound.path + " (error " +
             std::to_string(failure.GetErrorCode()) + ")";
    return false;
  }
  m_files.push_back({OutputFile::Kind::kWav, sound.path, "sound"});
  return true;
}

void RecordSession::CloseSound() {
  if (!m_sound || !m_sound->sink) return;
  try {
    m_sound->sink->Close();
  } catch (const CMMIOException& failure) {
    m_notes.push_back("the end of " + m_sound->path + " could not be written (error " +
                      std::to_string(failure.GetErrorCode()) + ")");
  }
}

SinkStatus RecordSession::SoundStatus() const {
  SinkStatus status;
  status.name = "sound";
  status.port = m_sound->port;
  status.video = false;
  if (m_sound->feeder)
    status.buffersIn = m_sound->feeder->delivered();
  const MediaSource* source = m_sound->feeder ? &m_sound->feeder->source() : m_sound->source.get();
  if (source) {
    status.source = source->Describe();
    AddSignal(*source, &status);
  }
  status.packets = m_sound->counter.packets();
  status.bytes = m_sound->counter.bytes();
  if (m_sound->sink) status.clients = m_sound->sink->clients();
  return status;
}

bool RecordSession::StartPrivateStreams(std::string* error) {
  const std::string folder = m_appDir + "/PrivateRawStream";
  // Sinks of one picture size started in the same second get files of their own (the
  // library adds a suffix rather than reuse a name), so each camera's file is the one that
  // appeared while its sink started.
  for (const auto& camera : m_cameras) {
    const FolderSnapshot before(folder);
    if (camera->sink->StartPrivateStream() != 1) {
      *error = "cannot create the private stream file of " + camera->name + " in " + folder;
      return false;
    }
    for (const std::string& path : before.Added())
      m_files.push_back({OutputFile::Kind::kPrivateStream, path, camera->name});
  }
  return true;
}

bool RecordSession::Create(const std::string& outDir, std::string* error) {
  m_outDir = outDir;
  const std::string session = FolderName(m_outDir);
  for (const auto& camera : m_cameras)
    camera->path = m_outDir + "/" + m_options.FileName(session, TitleOf(*camera));
  m_directorPath = m_outDir + "/" + m_options.FileName(session, kDirectorName);
  // Until Start fixes the session's start, the files are dated now.
  m_timecode = TimeOfDayNow(m_options.fps, &m_creationTime);
  InitSorvo();
  // An application directory the user cannot write (a program installed for every user)
  // gives way to the session folder, for this process only; the user's settings there are
  // carried over.
  std::string userSettings;
  if (!m_appDirProblem.empty()) {
    userSettings = m_appDir + "/SettingVideo.ini";
    SorvoSetAppDirectory(m_outDir.c_str());
    m_appDir = m_outDir;
    m_notes.push_back(m_appDirProblem +
                      ": the library's stream folders and the session's settings are kept in "
                      "the session folder " + m_outDir + " instead");
  }
  const std::string rawFolder = m_appDir + "/RawStream";
  const FolderSnapshot rawBefore(rawFolder);
  // The library reads SaveStream as it makes each sink and FragmentedMP4 as it makes each
  // MP4 (the cameras', the director's and the multi-stream file), and only then.
  std::vector<std::string> keys;
  if (m_options.saveStream) keys.push_back("SaveStream");
  if (m_options.fragmentedMp4) keys.push_back("FragmentedMP4");
  const SessionSetting setting(m_appDir, keys, userSettings);
  if (!setting.ok()) {
    *error = setting.error();
    return false;
  }
  for (const auto& camera : m_cameras)
    if (!CreateCamera(*camera, error)) return false;
  // The director's file takes the sound's encoder, which must be open by then.
  if (m_sound && !CreateSound(error))
    return false;
  if (!CreateDirector(error)) return false;
  // The library names them Sorvo_<sink name>_<time>_mp4.raw.
  for (const std::string& path : rawBefore.Added()) {
    const std::string name = path.substr(rawFolder.size() + 1);
    std::string owner = kDirectorName;
    for (const auto& camera : m_cameras)
      if (name.rfind("Sorvo_" + camera->name + "_", 0) == 0) owner = camera->name;
    m_files.push_back({OutputFile::Kind::kRawStream, path, owner});
  }
  if (!StartMultiStream(error)) return false;
  if (m_options.privateStream && !StartPrivateStreams(error)) return false;
  if (!m_options.publish.empty() && !StartPublishing(error)) return false;
  // The director sink hands its fitted pictures to one grabber target: the publisher's feed,
  // then the console's tap see them, chained.
  IGrabberCallBack* program = m_publishedPictures.get();
  if (m_console) program = m_console->ProgramInput(program);
  if (program != nullptr) m_muxer->GetDirector()->SetGrabberCallBack(program);
  return true;
}

bool RecordSession::StartPublishing(std::string* error) {
  std::vector<PublishTarget> targets;
  for (const std::string& url : m_options.publish) {
    PublishTarget target;
    std::string why;
    ParsePublishTarget(url, &target, &why);  // checked with the options
    targets.push_back(target);
  }
  PublishSettings settings;
  settings.width = m_options.directorWidth;
  settings.height = m_options.directorHeight;
  settings.fps = m_options.fps;
  settings.videoBitrate = m_options.publishBitrate;
  settings.soundRate = kSoundRate;
  settings.soundChannels = m_sound ? kSoundChannels : 0;
  m_publisher = std::make_unique<Publisher>(std::move(targets), settings);
  std::string why;
  if (!m_publisher->Start(&why)) {
    *error = "--publish: " + why;
    return false;
  }
  m_publishedPictures = GrabberFeed::Pictures(*m_publisher, nullptr);
  // The sound reaches the publisher after the audio sink has taken it.
  if (m_sound)
    m_publishedSound = GrabberFeed::Sound(*m_publisher, kSoundChannels, m_sound->sink.get());
  return true;
}

PublishStatus RecordSession::Publishing() const {
  return m_publisher ? m_publisher->Status() : PublishStatus();
}

std::vector<std::string> RecordSession::TakePublishMessages() {
  return m_publisher ? m_publisher->TakeMessages() : std::vector<std::string>();
}

void RecordSession::Start() {
  // One clock for every camera and the sound, started before any of them; every file is
  // dated by its start.
  m_clock = std::make_unique<SessionClock>();
  m_timecode = TimeOfDayNow(m_options.fps, &m_creationTime);
  DateFiles();
  for (const auto& camera : m_cameras) {
    IGrabberCallBack* receiver = camera->sink.get();
    if (m_console) receiver = m_console->CameraInput(camera->number, receiver);
    camera->feeder = std::make_unique<Feeder>(std::move(camera->source), receiver,
                                              camera->number, /*dropLate=*/true, *m_clock);
    camera->feeder->Start();
  }
  if (m_sound) {
    // The audio sink first, then the publisher's feed and the console's meter.
    IGrabberCallBack* receiver = m_sound->sink.get();
    if (m_publishedSound) receiver = m_publishedSound.get();
    if (m_console) receiver = m_console->SoundInput(receiver, kSoundChannels);
    m_sound->feeder = std::make_unique<Feeder>(std::move(m_sound->source), receiver, 0,
                                               /*dropLate=*/false, *m_clock);
    m_sound->feeder->Start();
  }
  m_started = true;
}

SinkStatus RecordSession::CameraStatus(const Camera& camera) const {
  SinkStatus status;
  status.name = camera.name;
  status.camera = camera.number;
  status.port = camera.port;
  status.inMultiStream = camera.number < multiStreamCameraCount();
  if (camera.feeder)
    status.late = camera.feeder->late();
  const MediaSource* source = camera.feeder ? &camera.feeder->source() : camera.source.get();
  if (source) {
    status.source = source->Describe();
    AddSignal(*source, &status);
  }
  if (camera.sink) {
    StreamInfo info;
    camera.sink->GetStreamInfo(&info);
    status.buffersIn = info.framesIn;
    status.bytes = info.encodedBytes;
    status.clients = info.clients;
    // A network camera's picture that came right after a no-signal picture shows an
    // instant already recorded.
    if (const auto* encoder = dynamic_cast<const FFEncoder*>(camera.sink.get()))
      status.leftOut = encoder->GetLeftOutPictures();
  }
  status.packets = camera.counter.packets();
  return status;
}

void RecordSession::AddSignal(const MediaSource& source, SinkStatus* status) const {
  const SignalLog* log = source.signal();
  if (log == nullptr)
    return;
  // A source lost before the session began was lost at its start.
  auto seconds = [this](SignalLog::Clock::time_point at) {
    return m_clock ? std::max(0.0, m_clock->SecondsAt(at)) : 0.0;
  };
  status->noSignal = !log->hasSignal();
  status->standIns = log->standIns();
  status->late += log->passedOver();
  for (const SignalLog::Loss& loss : log->Losses())
    status->losses.push_back(
        {seconds(loss.lostAt), loss.backAt ? seconds(*loss.backAt) : -1.0, loss.why});
}

std::vector<SinkStatus> RecordSession::Status() const {
  std::vector<SinkStatus> all;
  for (const auto& camera : m_cameras)
    all.push_back(m_stopped ? camera->final : CameraStatus(*camera));
  if (m_stopped) {
    if (!m_directorFinal.name.empty()) all.push_back(m_directorFinal);
  } else if (m_muxer) {
    if (CComPtr<ISorvoSink> director = m_muxer->GetDirector())
      all.push_back(DirectorStatus(director));
  }
  if (m_sound) all.push_back(m_stopped ? m_sound->final : SoundStatus());
  return all;
}

SessionReport RecordSession::Report() const {
  SessionReport report;
  report.seconds = !m_clock ? 0 : m_stopped ? m_end : m_clock->Now();
  report.outDir = m_outDir;
  report.sinks = Status();
  report.files = m_files;
  report.notes = Notes();
  report.switches = m_cut.Shots();
  report.marks = m_cut.Marks();
  report.publish = Publishing();
  return report;
}

std::vector<std::string> RecordSession::Notes() const {
  std::vector<std::string> notes = m_notes;
  for (const auto& camera : m_cameras) {
    const MediaSource* source = camera->feeder ? &camera->feeder->source() : camera->source.get();
    if (source)
      for (const std::string& note : source->Notes())
        notes.push_back(camera->name + " (" + camera->spec.source + "): " + note);
    if (!camera->feeder) continue;
    const std::string reason = camera->feeder->endReason();
    if (!reason.empty()) notes.push_back(camera->name + " stopped delivering: " + reason);
  }
  if (m_sound) {
    const MediaSource* source =
        m_sound->feeder ? &m_sound->feeder->source() : m_sound->source.get();
    if (source)
      for (const std::string& note : source->Notes())
        notes.push_back("sound (" + m_options.audio + "): " + note);
  }
  if (m_sound && m_sound->feeder && !m_sound->feeder->endReason().empty())
    notes.push_back("the sound stopped: " + m_sound->feeder->endReason());
  return notes;
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
      if (status.video) waiting += status.buffersIn - status.packets - status.leftOut;
    if (waiting <= 0) return;
    if (waiting != last) {
      last = waiting;
      lastChange = Clock::now();
    } else if (Clock::now() - lastChange > std::chrono::milliseconds(300)) {
      return;  // what is left was dropped by a full queue and will not come
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void RecordSession::Stop() {
  if (m_stopped) return;
  if (m_clock) {
    m_end = m_clock->Now();
    for (const auto& camera : m_cameras)
      if (camera->feeder)
        camera->feeder->EndAt(m_end);
    if (m_sound && m_sound->feeder)
      m_sound->feeder->EndAt(m_end);
  }
  for (const auto& camera : m_cameras)
    if (camera->feeder) camera->feeder->Stop();
  if (m_sound && m_sound->feeder) m_sound->feeder->Stop();
  if (m_started) WaitForEncoders();
  // The sound's last packets still reach the multi-stream file, which closes after it.
  CloseSound();
  if (m_sound) {
    m_sound->final = SoundStatus();
    m_sound->final.final = true;
  }
  for (const auto& camera : m_cameras) {
    if (camera->sink) {
      camera->sink->Close();
      camera->sink->StopPrivateStream();
      camera->file.camera = camera->number;
      camera->file.name = TitleOf(*camera);
      camera->file.path = camera->path;
      if (FFWriteFile* file = SorvoGetRecordFile(camera->sink.get()))
        camera->file.started = file->GetFileOrigin(&camera->file.origin);
    }
    camera->final = CameraStatus(*camera);
    camera->final.final = true;
  }
  // The cameras' last packets are in the multi-stream file: the controller closes it with
  // the director, whose counters are read once it is closed.
  if (m_muxer) {
    CComPtr<ISorvoSink> director = m_muxer->GetDirector();
    if (director != nullptr) director->SetGrabberCallBack(nullptr);
    m_muxer->SetSwitchObserver(nullptr);
    if (director != nullptr)
      PutChapters();
    m_muxer->StopAllMux();
    if (director != nullptr) {
      m_directorFinal = DirectorStatus(director);
      m_directorFinal.final = true;
    }
  }
  for (const auto& camera : m_cameras) camera->sink.reset();
  // Nothing feeds the publisher any more: it sends what it holds (for a few seconds at
  // most) and closes every destination.
  if (m_publisher) m_publisher->Stop();
  if (m_started)
    WriteEditLists();
  m_stopped = true;
}

void RecordSession::DescribeFile(FFWriteFile* file, const std::string& video) const {
  if (file == nullptr)
    return;
  file->SetFileMetadata("creation_time", m_creationTime.c_str());
  file->SetTrackName(0, video.c_str());
  file->SetTrackName(FFWriteFile::kAudioTrack, kSoundName);
  // Session time is the capture clock the library sees.
  file->SetTimecodeClock(0, m_timecode.startOfDay());
}

std::vector<FFWriteFile*> RecordSession::Writers() const {
  std::vector<FFWriteFile*> writers;
  for (const auto& camera : m_cameras)
    if (FFWriteFile* file = SorvoGetRecordFile(camera->sink.get()))
      writers.push_back(file);
  if (m_muxer) {
    if (FFWriteFile* file = SorvoGetRecordFile(m_muxer->GetDirector()))
      writers.push_back(file);
    writers.push_back(&m_muxer->GetMultiFile());
  }
  return writers;
}

void RecordSession::DateFiles() {
  // No file has its first packet yet: each takes its header, timecode and creation time
  // with it.
  for (FFWriteFile* file : Writers()) {
    file->SetFileMetadata("creation_time", m_creationTime.c_str());
    file->SetTimecodeClock(0, m_timecode.startOfDay());
  }
}

void RecordSession::PutChapters() {
  CComPtr<ISorvoSink> director = m_muxer->GetDirector();
  FFWriteFile* file = SorvoGetRecordFile(director);
  if (file == nullptr)
    return;
  std::vector<std::string> names;
  for (const auto& camera : m_cameras)
    names.push_back(TitleOf(*camera));
  for (const Chapter& chapter : ChapterTitles(m_cut.Shots(), m_cut.Marks(), names, m_timecode))
    file->AddChapter(chapter.time, chapter.title.c_str());
  m_program.camera = -1;
  m_program.name = kDirectorName;
  m_program.path = m_directorPath;
  m_program.started = file->GetFileOrigin(&m_program.origin);
  // Its pictures end where its last one does, on its encoder's clock.
  if (const auto* encoder = dynamic_cast<const FFEncoder*>(director.get()))
    m_program.end = encoder->GetTimeOrigin() + m_directorCounter.end();
}

void RecordSession::WriteEditLists() {
  std::vector<EditFile> sources;
  for (const auto& camera : m_cameras)
    sources.push_back(camera->file);
  const EditPlan plan = PlanEdit(m_cut.Shots(), m_cut.Marks(), m_timecode, m_program, sources);
  const std::string title =
      FolderName(m_outDir) + " " + FolderName(WithExtension(m_directorPath, ""));
  const std::string edl = WithExtension(m_directorPath, ".edl");
  const std::string otio = WithExtension(m_directorPath, ".otio");
  std::string error;
  if (WriteEdl(plan, title, edl, &error))
    m_files.push_back({OutputFile::Kind::kEditList, edl, kDirectorName});
  else
    m_notes.push_back("the edit decision list could not be written: " + error);
  if (WriteOtio(plan, title, otio, &error))
    m_files.push_back({OutputFile::Kind::kEditList, otio, kDirectorName});
  else
    m_notes.push_back("the OpenTimelineIO document could not be written: " + error);
}

}  // namespace sorvo::tools
