#include "tools/record/DirectorChannel.h"

#include <algorithm>

#include "tools/record/edit/ChapterTitles.h"
#include "tools/record/edit/EditLists.h"

namespace sorvo::tools {

bool DirectorChannel::Create(const std::string& path,
                             bool preview,
                             const std::vector<CameraChannel*>& cameras,
                             SoundChannel* sound,
                             const FileMetadata& metadata,
                             std::string* error) {
  m_path = path;
  m_program.camera = -1;
  m_program.name = kName;
  m_program.path = m_path;
  m_shown = std::min(static_cast<int>(cameras.size()), RecordOptions::kDirectorCameras);
  m_muxer = std::make_unique<SorvoMuxer>();
  // Found free with the cameras' ports before the session began.
  m_muxer->SetDirectorPort(m_options.DirectorPort());
  // 0x00BBGGRR, red in the low byte.
  const unsigned rgb = m_options.borderRgb;
  const uint32_t border = ((rgb & 0xFF) << 16) | (rgb & 0xFF00) | ((rgb >> 16) & 0xFF);
  if (m_muxer->CreateSingleMux(kName, m_path.c_str(), m_options.directorWidth,
                               m_options.directorHeight, PIX_FMT_YUV420P, m_options.fps,
                               m_options.bitrate, preview ? 1 : 0,
                               m_options.zoomFit ? ZOOM_LETTERBOX : ZOOM_STRETCH, border) != 1) {
    *error = "the library could not start the director's sink";
    return false;
  }
  CComPtr<ISorvoSink> director = m_muxer->GetDirector();
  director->SetEncodeDataOutputCB(&m_counter);
  m_muxer->SetSwitchObserver(&m_switchRecorder);
  FFWriteFile* file = SorvoGetRecordFile(director);
  metadata.Describe(file, kName);
  // The program's sound: the audio sink's packets reach the director through the
  // controller, and its file takes them once it has an audio stream.
  m_withSound = sound != nullptr && m_options.programSound;
  if (m_withSound && (file == nullptr || file->AttachAudioEncoder(0, sound->sink()) != 1)) {
    *error = "the library could not give the director's file the sound";
    return false;
  }
  for (CameraChannel* camera : cameras) {
    // The controller takes cameras 0 to 8; the others only record their own files.
    if (camera->number() >= RecordOptions::kMultiStreamCameras)
      break;
    m_muxer->SetSink(camera->number(), camera->sink());
    if (m_muxer->AddSingleMux(camera->sink()) != 1) {
      *error = "the director could not take " + camera->name();
      return false;
    }
    camera->SendPacketsTo(m_muxer.get());
  }
  if (director->StartRecord() != 1) {
    *error = "cannot create " + m_path;
    return false;
  }
  Select(0);
  return true;
}

bool DirectorChannel::StartMultiStream(const std::string& outDir,
                                       const std::vector<CameraChannel*>& cameras,
                                       SoundChannel* sound,
                                       const FileMetadata& metadata,
                                       std::string* error) {
  m_outDir = outDir;
  FFWriteFile& file = m_muxer->GetMultiFile();
  if (sound != nullptr) {
    sound->SendPacketsTo(m_muxer.get());
    file.AttachAudioEncoder(0, sound->sink());
  }
  metadata.Describe(&file, kName);
  // One video stream per camera, in their order.
  for (const CameraChannel* camera : cameras)
    file.SetTrackName(camera->number(), camera->title().c_str());
  if (m_muxer->StartMultMux() != 1) {
    *error = "cannot create the multi-stream file in " + m_outDir;
    return false;
  }
  return true;
}

bool DirectorChannel::StartJournal(const std::string& title,
                                   const Timecode& timecode,
                                   const std::vector<CameraChannel*>& cameras,
                                   const SoundChannel* sound,
                                   std::string* error) {
  std::vector<EditFile> files;
  std::vector<std::pair<int, CutJournal::OriginProbe>> probes;
  auto probe = [](FFWriteFile* file) {
    return [file](double* origin) { return file->GetFileOrigin(origin); };
  };
  for (const CameraChannel* camera : cameras) {
    files.push_back({camera->number(), camera->title(), camera->file().path});
    if (FFWriteFile* file = SorvoGetRecordFile(camera->sink()))
      probes.emplace_back(camera->number(), probe(file));
  }
  if (FFWriteFile* file = SorvoGetRecordFile(m_muxer->GetDirector()))
    probes.emplace_back(CutJournal::kProgram, probe(file));
  EditFile soundFile;
  if (sound != nullptr) {
    soundFile = sound->editFile();
    probes.emplace_back(CutJournal::kSound, [sound](double* origin) {
      const EditFile file = sound->editFile();
      *origin = file.origin;
      return file.started;
    });
  }
  if (!m_journal.Open(JournalPath(m_path), title, timecode, m_program, files, soundFile,
                      std::move(probes), error))
    return false;
  m_cut.SetJournal(&m_journal);
  return true;
}

OutputFile DirectorChannel::file() const {
  return {OutputFile::Kind::kDirectorMp4, m_path, kName, m_withSound};
}

OutputFile DirectorChannel::multiStreamFile() const {
  return {OutputFile::Kind::kMultiStreamMp4, m_outDir + "/导播多流.mp4", kName};
}

bool DirectorChannel::StopMultiStream() {
  if (!m_muxer || m_muxer->GetMultiFile().IsOpen() != 1)
    return false;
  // The cameras' packets still offered to it are refused from now on.
  m_muxer->GetMultiFile().CloseFile();
  return true;
}

void DirectorChannel::StopRawStream() {
  if (m_muxer)
    SorvoStopRawStream(m_muxer->GetDirector());
}

bool DirectorChannel::MultiStreamOrigin(double* origin) const {
  return m_muxer && m_muxer->GetMultiFile().GetFileOrigin(origin);
}

std::vector<FFWriteFile*> DirectorChannel::Writers() const {
  std::vector<FFWriteFile*> writers;
  if (!m_muxer)
    return writers;
  if (FFWriteFile* file = SorvoGetRecordFile(m_muxer->GetDirector()))
    writers.push_back(file);
  writers.push_back(&m_muxer->GetMultiFile());
  return writers;
}

void DirectorChannel::SetProgramTap(IGrabberCallBack* tap) {
  if (tap != nullptr)
    m_muxer->GetDirector()->SetGrabberCallBack(tap);
}

bool DirectorChannel::Select(int number) {
  if (!m_muxer || number < 0 || number >= m_shown)
    return false;
  if (m_muxer->SetCurSingleMux(static_cast<EnumCameraType>(number)) != 1)
    return false;
  m_selected = number;
  return true;
}

void DirectorChannel::SelectNext() {
  if (m_shown > 0)
    Select((m_selected + 1) % m_shown);
}

void DirectorChannel::Close(const std::vector<std::string>& titles, const FileMetadata& metadata) {
  if (m_closed || !m_muxer)
    return;
  m_closed = true;
  CComPtr<ISorvoSink> director = m_muxer->GetDirector();
  if (director != nullptr)
    director->SetGrabberCallBack(nullptr);
  m_muxer->SetSwitchObserver(nullptr);
  // The journal asks the files for their origins: it stops while they are all there.
  m_cut.SetJournal(nullptr);
  m_journal.Close();
  if (!m_journal.error().empty())
    m_note += (m_note.empty() ? "" : "; ") + m_journal.error();
  if (director != nullptr)
    PutChapters(director, titles, metadata);
  m_muxer->StopAllMux();
  if (director != nullptr) {
    m_final = LiveStatus(director);
    m_final->final = true;
  }
}

void DirectorChannel::PutChapters(ISorvoSink* director,
                                  const std::vector<std::string>& titles,
                                  const FileMetadata& metadata) {
  FFWriteFile* file = SorvoGetRecordFile(director);
  if (file == nullptr)
    return;
  m_program.started = file->GetFileOrigin(&m_program.origin);
  for (const Chapter& chapter :
       ChapterTitles(m_cut.Shots(), m_cut.Marks(), titles, metadata.timecode(), m_program.origin))
    file->AddChapter(chapter.time, chapter.title.c_str());
  // Its pictures end where its last one does, on its encoder's clock.
  if (const auto* encoder = dynamic_cast<const FFEncoder*>(director))
    m_program.end = encoder->GetTimeOrigin() + m_counter.end();
}

std::optional<SinkStatus> DirectorChannel::Status() const {
  if (m_closed)
    return m_final;
  if (!m_muxer)
    return std::nullopt;
  CComPtr<ISorvoSink> director = m_muxer->GetDirector();
  if (director == nullptr)
    return std::nullopt;
  return LiveStatus(director);
}

long long DirectorChannel::Unencoded() const {
  CComPtr<ISorvoSink> director = m_muxer && !m_closed ? m_muxer->GetDirector() : nullptr;
  return director ? m_counter.Unencoded(director) : 0;
}

SinkStatus DirectorChannel::LiveStatus(ISorvoSink* director) const {
  SinkStatus status;
  status.name = kName;
  status.port = m_options.DirectorPort();
  status.source = std::string(m_options.zoomFit ? "fitted" : "stretched") + " to " +
                  std::to_string(m_options.directorWidth) + "x" +
                  std::to_string(m_options.directorHeight);
  StreamInfo info;
  director->GetStreamInfo(&info);
  status.buffersIn = info.framesIn;
  status.bytes = info.encodedBytes;
  status.clients = info.clients;
  status.packets = m_counter.packets();
  if (const auto* encoder = dynamic_cast<const FFEncoder*>(director)) {
    status.leftOut = encoder->GetLeftOutPictures();
    status.repeated = encoder->GetRepeatedPictures();
  }
  return status;
}

}  // namespace sorvo::tools
