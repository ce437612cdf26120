#include "muxing/SorvoMuxer.h"

#include <cerrno>
#include <cstring>
#include <limits>

extern "C" {
#include <libavcodec/packet.h>
}

#include "codec/CaptureTimeline.h"
#include "codec/FFEncoder.h"
#include "host/BackupFile.h"
#include "host/CopyFrame.h"
#include "host/PathUtil.h"
#include "host/TickCount.h"
#include "muxing/CameraFit.h"
#include "muxing/MultiStreamName.h"
#include "muxing/PictureGate.h"
#include "muxing/SorvoEntry.h"
#include "sink/CSorvoSinkFF.h"
#include "support/LogF.h"

namespace sorvo {

namespace {
std::atomic<int> g_directorPort{SorvoMuxer::kDirectorPort};
}  // namespace

void SetDirectorPortForTesting(int port) {
  g_directorPort.store(port < 0 ? SorvoMuxer::kDirectorPort : port);
}

}  // namespace sorvo

namespace {

bool IsCamera(int id) {
  return id >= 0 && id < SorvoMuxer::kCameras;
}

}  // namespace

SorvoMuxer::SorvoMuxer()
    : m_pGate(new sorvo::PictureGate()), m_pGrid(new sorvo::CaptureTimeline()) {
  for (auto& fit : m_pFit)
    fit.reset(new sorvo::CameraFit());
  for (int id = 0; id < kCameras; ++id) {
    m_bRegistered[id].store(false);
    m_nStreamIndex[id].store(-1);
    m_bStreamStarted[id].store(false);
  }
}

SorvoMuxer::~SorvoMuxer() {
  CSingleLock hold(m_lock);
  // A camera must not reach a controller that is gone.
  for (int id = 0; id < kCameras; ++id) {
    if (m_pMuxSinks[id] != nullptr) {
      m_bRegistered[id].store(false);
      m_pMuxSinks[id]->SetGrabberCallBack(nullptr);
    }
  }
  // Pictures still on their way in go no further; those inside are waited for.
  m_pGate->Close();
}

ISorvoSink* SorvoMuxer::NewDirectorSink() {
  return new CSorvoSinkFF();
}

unsigned int SorvoMuxer::CreateSingleMux(const char* name,
                                         const char* path,
                                         int width,
                                         int height,
                                         PixelFormat pixelFormat,
                                         int frameRate,
                                         int bitRate,
                                         int preview,
                                         EnumZoomOption zoomOption,
                                         uint32_t fillColour) {
  if (path == nullptr || width < 101 || width > 4999 || height < 101 || height > 4999)
    return 0;
  CSingleLock hold(m_lock);
  // The old director lets go of its port before the new one asks for it.
  DetachDirectorLocked().Release();

  CComPtr<ISorvoSink> director;
  director.Attach(NewDirectorSink());
  if (director == nullptr ||
      !director->Create(name, path, width, height, pixelFormat, frameRate, bitRate, CAMERA_DIRECTOR,
                        m_nDirectorPort >= 0 ? m_nDirectorPort : sorvo::g_directorPort.load(),
                        preview))
    return 0xFFFFFFFF;

  sorvo::PictureGate::Closed closed(*m_pGate);
  m_zoomOption = zoomOption;
  m_clrFill = fillColour;
  {
    std::lock_guard<std::mutex> frame(m_frameMutex);
    m_nDirectorRate = frameRate > 0 ? frameRate : 25;
    m_pGrid->Reset(m_nDirectorRate);
    // The first camera the new director shows is a switch too.
    m_nGridCamera = CAMERA_NONE;
  }
  std::lock_guard<std::mutex> table(m_tableMutex);
  m_pDirector = std::move(director);
  return 1;
}

int SorvoMuxer::SetDirectorPort(int port) {
  if (port < 0 || port > 65535) return 0;
  CSingleLock hold(m_lock);
  m_nDirectorPort = port;
  return 1;
}

void SorvoMuxer::SetSwitchObserver(ISorvoSwitchObserver* observer) {
  std::lock_guard<std::mutex> frame(m_frameMutex);
  m_pSwitchObserver.store(observer);
}

void SorvoMuxer::PlaceOnGridLocked(double time, bool newPicture) {
  const sorvo::CaptureTimeline::Placement placement = m_pGrid->Place(time);
  // A picture left out shows nothing; a repeat shows the camera shown before.
  if (!newPicture || !placement.encode || m_nActiveCamera == m_nGridCamera)
    return;
  const int camera = m_nActiveCamera;
  m_nGridCamera = camera;
  if (ISorvoSwitchObserver* observer = m_pSwitchObserver.load())
    observer->OnCameraSwitch(
        camera, m_pGrid->origin() + static_cast<double>(placement.slot) / m_nDirectorRate);
}

CComPtr<ISorvoSink> SorvoMuxer::DetachDirectorLocked() {
  CComPtr<ISorvoSink> director;
  sorvo::PictureGate::Closed closed(*m_pGate);
  {
    std::lock_guard<std::mutex> table(m_tableMutex);
    director = std::move(m_pDirector);
  }
  for (int id = 0; id < kPictureCameras; ++id) {
    std::lock_guard<std::mutex> fit(m_fitLock[id]);
    m_pFit[id]->Release();
  }
  std::lock_guard<std::mutex> frame(m_frameMutex);
  m_directorInfo = VideoInfo();
  m_dLastTime = 0;
  std::vector<unsigned char>().swap(m_lastFrame);
  std::vector<unsigned char>().swap(m_repeatFrame);
  return director;
}

unsigned int SorvoMuxer::AddSingleMux(CComPtr<ISorvoSink> sink) {
  if (sink == nullptr)
    return 0;
  CSingleLock hold(m_lock);
  if (m_pDirector == nullptr)
    return 0;
  const int id = sink->GetId();
  if (!IsCamera(id))
    return 0;
  CComPtr<ISorvoSink> previous;
  {
    std::lock_guard<std::mutex> table(m_tableMutex);
    if (m_pMuxSinks[id].get() != sink.get()) {
      previous = std::move(m_pMuxSinks[id]);
      m_pMuxSinks[id] = sink;
    }
  }
  // Two sinks feeding one camera slot would fight over its pictures.
  if (previous != nullptr)
    previous->SetGrabberCallBack(nullptr);
  m_bRegistered[id].store(true);
  sink->SetGrabberCallBack(this);
  return 1;
}

int SorvoMuxer::SetCurSingleMux(EnumCameraType id) {
  if (!IsCamera(id) || !m_bRegistered[id].load())
    return 0;
  m_nCurCamera.store(id);
  return 1;
}

int SorvoMuxer::StartMultMux() {
  CSingleLock hold(m_lock);
  // Held until the file is made, so that no camera's encoder goes away meanwhile.
  std::vector<CComPtr<ISorvoSink>> cameras;
  std::vector<FFEncoder*> encoders;
  int streamOf[kCameras];
  bool missing = false;
  for (int id = 0; id < kCameras; ++id) {
    streamOf[id] = -1;
    if (m_pMuxSinks[id] == nullptr)
      continue;
    CComPtr<ISorvoSink> sink = GetSink(id);
    FFEncoder* encoder = dynamic_cast<FFEncoder*>(sink.get());
    streamOf[id] = static_cast<int>(encoders.size());
    // A slot left as it is would still hold the encoder of an earlier file, perhaps of a
    // sink long gone: the file is not made at all instead.
    if (encoder == nullptr || !m_multiFile.AttachVideoEncoder(streamOf[id], encoder))
      missing = true;
    cameras.push_back(std::move(sink));
    encoders.push_back(encoder);
  }
  const int count = static_cast<int>(encoders.size());
  if (count == 0)
    return 0;
  CComPtr<ISorvoSink> director = GetDirector();
  if (director == nullptr)
    return 0;

  const std::string directorPath = director->GetFilePath();
  const std::string name = sorvo::MultiStreamFileName(directorPath);
  if (!sorvo::FitsMultiStreamName(name) || missing) {
    LogErrorF("无法创建多流文件:%s", name.c_str());
    return 0;
  }

  // Packets of the file being replaced stop here; the new streams open at a key frame.
  for (int id = 0; id < kCameras; ++id) {
    m_nStreamIndex[id].store(-1);
    m_bStreamStarted[id].store(false);
  }
  // An earlier file of this name is moved aside, never written over: one that cannot be
  // moved stays as it is and no new file is made.
  if (PathFileExistsA(name.c_str()) && !BackupFile(name.c_str(), 1)) {
    LogErrorF("无法创建多流文件:%s (%s exists and cannot be moved aside: %s)", name.c_str(),
              name.c_str(), std::strerror(errno));
    return 0;
  }
  if (!m_multiFile.CreateFileA(name.c_str(), PathFindExtensionA(name.c_str()), count)) {
    LogErrorF("无法创建多流文件:%s", name.c_str());
    return 0;
  }
  for (int id = 0; id < kCameras; ++id)
    m_nStreamIndex[id].store(streamOf[id]);
  for (FFEncoder* encoder : encoders)
    encoder->RequestKeyFrame();
  LogInfoF("创建多流文件成功:%s", name.c_str());
  return 1;
}

unsigned int SorvoMuxer::StopAllMux() {
  CSingleLock hold(m_lock);
  std::vector<CComPtr<ISorvoSink>> detached;
  for (int id = 0; id < kCameras; ++id) {
    if (m_pMuxSinks[id] == nullptr)
      continue;
    m_bRegistered[id].store(false);
    m_pMuxSinks[id]->SetGrabberCallBack(nullptr);
    std::lock_guard<std::mutex> table(m_tableMutex);
    detached.push_back(std::move(m_pMuxSinks[id]));
  }
  CComPtr<ISorvoSink> director = DetachDirectorLocked();
  if (director != nullptr)
    director->Close();
  director.Release();
  m_multiFile.CloseFile();
  return 1;
}

unsigned int SorvoMuxer::CreateSorvo(const char* name,
                                     const char* path,
                                     const VideoInfo& info,
                                     int bitRate,
                                     int port,
                                     ISorvoSink** sink,
                                     int id,
                                     int preview) {
  return ::CreateSorvo(name, path, info, bitRate, port, sink, id, preview);
}

int SorvoMuxer::SetSink(int id, ISorvoSink* sink) {
  if (!IsCamera(id))
    return 0;
  CSingleLock hold(m_lock);
  CComPtr<ISorvoSink> previous(sink);
  {
    std::lock_guard<std::mutex> table(m_tableMutex);
    std::swap(previous, m_pSinks[id]);
  }
  return 1;
}

CComPtr<ISorvoSink> SorvoMuxer::GetSink(int id) {
  if (!IsCamera(id))
    return CComPtr<ISorvoSink>();
  std::lock_guard<std::mutex> table(m_tableMutex);
  return m_pSinks[id];
}

CComPtr<ISorvoSink> SorvoMuxer::GetDirector() {
  std::lock_guard<std::mutex> table(m_tableMutex);
  return m_pDirector;
}

std::string SorvoMuxer::CameraName(int id) {
  std::lock_guard<std::mutex> table(m_tableMutex);
  return m_pMuxSinks[id] != nullptr ? m_pMuxSinks[id]->GetName() : std::string();
}

int SorvoMuxer::OnBuffer(int id,
                         double time,
                         unsigned char* data,
                         long length,
                         int width,
                         int height,
                         PixelFormat pixelFormat) {
  if (id < 0 || id >= kPictureCameras || !m_bRegistered[id].load())
    return 0;
  sorvo::PictureGate::Pass pass(*m_pGate);
  if (!pass.entered())
    return 1;
  ISorvoSink* director = m_pDirector.get();
  if (director == nullptr)
    return 1;

  bool active;
  {
    std::lock_guard<std::mutex> frame(m_frameMutex);
    // The switch waits for the newly selected camera's own next picture.
    const int selected = m_nCurCamera.load();
    if (selected != m_nActiveCamera && id == selected)
      m_nActiveCamera = id;
    active = id == m_nActiveCamera;
  }
  if (active) {
    if (m_zoomOption != ZOOM_STRETCH && m_zoomOption != ZOOM_LETTERBOX)
      return 0;
    std::lock_guard<std::mutex> fit(m_fitLock[id]);
    VideoInfo fitted;
    unsigned char* picture = nullptr;
    if (m_zoomOption == ZOOM_STRETCH)
      ZoomOri(fitted, picture, id, time, data, length, width, height, pixelFormat);
    else
      ZoomScale(fitted, picture, id, time, data, length, width, height, pixelFormat);
    if (picture == nullptr)
      return 0;
    std::lock_guard<std::mutex> frame(m_frameMutex);
    // Another camera may have taken over while this picture was being fitted.
    if (id == m_nActiveCamera) {
      SendLocked(director, time, fitted, picture);
      return 1;
    }
    RepeatLocked(director, time);
    return 1;
  }
  std::lock_guard<std::mutex> frame(m_frameMutex);
  RepeatLocked(director, time);
  return 1;
}

void SorvoMuxer::SendLocked(ISorvoSink* director,
                            double time,
                            const VideoInfo& info,
                            unsigned char* picture) {
  const size_t size = static_cast<size_t>(info.imageSize);
  // Kept before the director sees the picture, which it may turn upside down in place.
  if (m_lastFrame.size() < size)
    m_lastFrame.resize(size);
  CopyFrame(m_lastFrame.data(), picture, size);
  m_directorInfo = info;
  m_dLastTime = time;
  PlaceOnGridLocked(time, true);
  director->OnBuffer(CAMERA_DIRECTOR, time, picture, info.imageSize, info.width, info.height,
                     static_cast<PixelFormat>(info.pixelFormat));
  m_dwLastTick = GetTickCount();
}

void SorvoMuxer::RepeatLocked(ISorvoSink* director, double time) {
  if (m_nActiveCamera != kRepeatCamera || m_directorInfo.imageSize <= 0)
    return;
  // Where the capture times say that time has passed since camera 4's last picture, the
  // director lets that picture last until the next one: a repeat stamped now would take
  // the place of camera 4's own picture of this instant, still on its way. Repeats fill
  // the time only for a host whose times do not move.
  if (time > m_dLastTime)
    return;
  if (GetTickCount() - m_dwLastTick <= kRepeatIntervalMs)
    return;
  const size_t size = static_cast<size_t>(m_directorInfo.imageSize);
  m_repeatFrame.resize(size);
  CopyFrame(m_repeatFrame.data(), m_lastFrame.data(), size);
  PlaceOnGridLocked(m_dLastTime, false);
  director->OnBuffer(CAMERA_DIRECTOR, m_dLastTime, m_repeatFrame.data(), m_directorInfo.imageSize,
                     m_directorInfo.width, m_directorInfo.height,
                     static_cast<PixelFormat>(m_directorInfo.pixelFormat));
  m_dwLastTick = GetTickCount();
}

void SorvoMuxer::ZoomOri(VideoInfo& info,
                         unsigned char*& picture,
                         int id,
                         double /*time*/,
                         unsigned char* data,
                         long length,
                         int width,
                         int height,
                         PixelFormat pixelFormat) {
  Fit(false, info, picture, id, data, length, width, height, pixelFormat);
}

void SorvoMuxer::ZoomScale(VideoInfo& info,
                           unsigned char*& picture,
                           int id,
                           double /*time*/,
                           unsigned char* data,
                           long length,
                           int width,
                           int height,
                           PixelFormat pixelFormat) {
  Fit(true, info, picture, id, data, length, width, height, pixelFormat);
}

void SorvoMuxer::Fit(bool letterbox,
                     VideoInfo& info,
                     unsigned char*& picture,
                     int id,
                     unsigned char* data,
                     long length,
                     int width,
                     int height,
                     PixelFormat pixelFormat) {
  picture = nullptr;
  ISorvoSink* director = m_pDirector.get();
  if (id < 0 || id >= kPictureCameras || director == nullptr)
    return;
  sorvo::FitTarget target;
  target.width = director->GetWidth();
  target.height = director->GetHeight();
  target.format = director->GetPixelFormat();
  target.fill = m_clrFill;
  const sorvo::FitSource source{data, length, width, height, pixelFormat};
  const sorvo::FitResult result =
      letterbox ? m_pFit[id]->Letterbox(source, target) : m_pFit[id]->Stretch(source, target);
  if (result.setUp)
    LogWarnF("单流导播分辨率与源(%s)分辨率大小不一样,需要resize:单流:%d,%d;源:%d,%d",
             CameraName(id).c_str(), result.fittedWidth, result.fittedHeight, width, height);
  if (result.failed)
    LogErrorF(
        "director: pictures of camera %s (%dx%d, format %d) cannot be fitted to %dx%d, "
        "format %d; they are refused",
        CameraName(id).c_str(), width, height, static_cast<int>(pixelFormat), target.width,
        target.height, static_cast<int>(target.format));
  // A length that a picture description cannot hold is no picture the director can take.
  if (result.data == nullptr || result.length <= 0 ||
      result.length > std::numeric_limits<int32_t>::max())
    return;
  info.width = target.width;
  info.height = target.height;
  info.pixelFormat = target.format;
  info.imageSize = static_cast<int32_t>(result.length);
  picture = result.data;
}

int SorvoMuxer::OnEncodeData(int id, AVPacket* packet) {
  if (id == kAudioDataTag) {
    {
      std::lock_guard<std::mutex> table(m_tableMutex);
      for (const CComPtr<ISorvoSink>& sink : m_pSinks)
        if (sink != nullptr)
          sink->OnEncodeData(kAudioDataTag, packet);
      if (m_pDirector != nullptr)
        m_pDirector->OnEncodeData(kAudioDataTag, packet);
    }
    if (m_multiFile.IsOpen())
      m_multiFile.AddAudioFrame(packet);
    return 1;
  }
  if (!IsCamera(id) || packet == nullptr || !m_multiFile.IsOpen())
    return 1;
  const int stream = m_nStreamIndex[id].load();
  if (stream < 0)
    return 1;
  std::lock_guard<std::mutex> table(m_tableMutex);
  for (const CComPtr<ISorvoSink>& sink : m_pSinks) {
    if (sink == nullptr || sink->GetId() != id)
      continue;
    // A stream begins with a picture that decodes on its own.
    if (m_bStreamStarted[id].load()) {
      m_multiFile.AddVideoFrame(packet, stream);
      continue;
    }
    if ((packet->flags & AV_PKT_FLAG_KEY) == 0)
      return 1;
    // The file refuses a picture captured before it began (another camera's came first);
    // the camera's next key frame opens the stream then.
    if (m_multiFile.AddVideoFrame(packet, stream) == 1)
      m_bStreamStarted[id].store(true);
  }
  return 1;
}
