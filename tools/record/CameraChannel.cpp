#include "tools/record/CameraChannel.h"

#include "tools/record/FolderSnapshot.h"
#include "tools/record/sources/SorvoStreamCamera.h"
#include "tools/record/sources/SourceFactory.h"

namespace sorvo::tools {

void CameraChannel::SinkRelease::operator()(ISorvoSink* sink) const {
  sink->Close();
  sink->Release();
}

std::unique_ptr<CameraChannel> CameraChannel::Open(int number,
                                                   const std::string& text,
                                                   const RecordOptions& options,
                                                   std::string* error) {
  CameraSpec spec;
  std::string why;
  if (!CameraSpec::Parse(text, &spec, &why)) {
    *error = "camera " + std::to_string(number) + ": " + why;
    return nullptr;
  }
  CameraSettings settings;
  settings.number = number;
  settings.name = spec.name.empty() ? "camera" + std::to_string(number) : spec.name;
  settings.fps = options.fps;
  settings.width = options.directorWidth;
  settings.height = options.directorHeight;
  settings.holdOnLoss = options.holdOnLoss;
  if (SorvoStreamCamera::Names(spec.source))
    settings.passage = std::make_shared<PacketPassage>();
  std::unique_ptr<MediaSource> source = OpenCamera(spec.source, settings, &why);
  if (!source) {
    *error = "camera " + std::to_string(number) + " (" + text + "): " + why;
    return nullptr;
  }
  return std::unique_ptr<CameraChannel>(new CameraChannel(
      number, std::move(spec), options.CameraPort(number), std::move(source), settings.passage));
}

CameraChannel::CameraChannel(int number,
                             CameraSpec spec,
                             int port,
                             std::unique_ptr<MediaSource> source,
                             std::shared_ptr<PacketPassage> passage)
    : m_number(number),
      m_spec(std::move(spec)),
      m_name("camera" + std::to_string(number)),
      m_port(port),
      m_passage(std::move(passage)),
      m_feed(std::move(source)) {}

bool CameraChannel::Create(const std::string& path,
                           int bitrate,
                           bool preview,
                           const FileMetadata& metadata,
                           std::string* error) {
  m_path = path;
  const MediaSource& source = m_feed.source();
  VideoInfo info;
  info.width = source.width();
  info.height = source.height();
  info.pixelFormat = source.pixelFormat();
  info.imageSize = SorvoPictureSize(info.pixelFormat, info.width, info.height);
  info.frameRate = source.frameRate();
  ISorvoSink* sink = nullptr;
  if (CreateSorvo(m_name.c_str(), m_path.c_str(), info, bitrate, m_port, &sink, m_number,
                  preview ? 1 : 0) != 1) {
    *error = "the library could not start the recording sink of " + m_name + " (" +
             source.Describe() + ")";
    return false;
  }
  m_sink.reset(sink);
  m_stall = WorkerStall::FromEnvironment(m_number, &m_counter);
  m_sink->SetEncodeDataOutputCB(m_stall ? static_cast<ISorvoData*>(m_stall.get()) : &m_counter);
  // The stream's headers must reach the sink before its file takes them.
  if (m_passage)
    m_passage->Attach(m_sink.get());
  metadata.Describe(SorvoGetRecordFile(m_sink.get()), title());
  if (m_sink->StartRecord() != 1) {
    *error = "cannot create " + m_path;
    return false;
  }
  return true;
}

bool CameraChannel::StartPrivateStream(const std::string& folder,
                                       std::vector<OutputFile>* files,
                                       std::string* error) {
  // Sinks of one picture size started in the same second get files of their own (the
  // library adds a suffix rather than reuse a name), so the camera's file is the one that
  // appeared while its sink started.
  const FolderSnapshot before(folder);
  if (m_sink->StartPrivateStream() != 1) {
    *error = "cannot create the private stream file of " + m_name + " in " + folder;
    return false;
  }
  for (const std::string& path : before.Added())
    files->push_back({OutputFile::Kind::kPrivateStream, path, m_name});
  return true;
}

void CameraChannel::StopStreamFiles() {
  if (m_sink) {
    m_sink->StopPrivateStream();
    SorvoStopRawStream(m_sink.get());
  }
}

void CameraChannel::Start(const SessionClock& clock, Console* console, Feeder::Backlog backlog) {
  m_lender.emplace(m_sink.get());
  PictureInput input(m_sink.get(), &*m_lender);
  if (console != nullptr)
    input = console->CameraInput(m_number, input);
  if (m_passage)
    m_passage->Start(clock);
  m_feed.Start(input, m_number, /*dropLate=*/true, clock, std::move(backlog));
}

void CameraChannel::EndAt(double end) {
  if (m_passage)
    m_passage->EndAt(end);
  m_feed.EndAt(end);
}

void CameraChannel::Close() {
  if (m_final)
    return;
  // The connection's thread may still be reading: it passes nothing from here on.
  if (m_passage)
    m_passage->Detach();
  if (m_sink) {
    m_sink->Close();
    m_sink->StopPrivateStream();
    m_editFile.camera = m_number;
    m_editFile.name = title();
    m_editFile.path = m_path;
    if (FFWriteFile* file = SorvoGetRecordFile(m_sink.get()))
      m_editFile.started = file->GetFileOrigin(&m_editFile.origin);
    if (const auto* encoder = dynamic_cast<const FFEncoder*>(m_sink.get()))
      m_encoderOrigin = encoder->GetTimeOrigin();
  }
  m_final = LiveStatus();
  m_final->final = true;
}

SinkStatus CameraChannel::Status() const {
  return m_final ? *m_final : LiveStatus();
}

SinkStatus CameraChannel::LiveStatus() const {
  SinkStatus status;
  status.name = m_name;
  status.camera = m_number;
  status.title = m_spec.name;
  status.port = m_port;
  status.inMultiStream = m_number < RecordOptions::kMultiStreamCameras;
  m_feed.Describe(&status);
  if (m_sink) {
    StreamInfo info;
    m_sink->GetStreamInfo(&info);
    status.buffersIn = info.framesIn;
    status.bytes = info.encodedBytes;
    status.clients = info.clients;
    // A network camera's picture that came right after a no-signal picture shows an
    // instant already recorded.
    if (const auto* encoder = dynamic_cast<const FFEncoder*>(m_sink.get())) {
      status.leftOut = encoder->GetLeftOutPictures();
      status.repeated = encoder->GetRepeatedPictures();
    }
  }
  status.packets = m_counter.packets();
  return status;
}

long long CameraChannel::PacketsFrom(double origin) const {
  // A picture captured this little before a file began still begins its stream there.
  constexpr double kOriginSlack = 0.0005;
  return m_counter.PacketsFromKeyAt(origin - kOriginSlack - m_encoderOrigin);
}

void CameraChannel::AddNotes(std::vector<SessionNote>* notes) const {
  m_feed.AddNotes(shown() + " (" + m_spec.source + ")", shown() + " stopped delivering: ", notes);
  if (m_passage && !m_passage->note().empty())
    notes->push_back(shown() + " (" + m_spec.source + "): " + m_passage->note());
}

}  // namespace sorvo::tools
