#include "sink/CSorvoSinkFF.h"

#include <cerrno>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/Mpeg4KeyFrameCheck.h"
#include "host/AppDirectory.h"
#include "host/BackupFile.h"
#include "host/ITransferServer.h"
#include "host/MemoryInfo.h"
#include "host/PathUtil.h"
#include "host/Setting.h"
#include "host/TimeStamp.h"
#include "preview/CDecodePreview.h"
#include "sink/FrameBufferDepth.h"
#include "sink/FrameFlip.h"
#include "sink/PrivateStreamFrame.h"
#include "support/LogF.h"

namespace {

constexpr std::memory_order kRelaxed = std::memory_order_relaxed;
// The value of a colour sample without colour.
constexpr unsigned char kNeutralChroma = 128;

std::string RawStreamDirectory() { return sorvo::AppDirectory() + "/RawStream/"; }
std::string PrivateStreamDirectory() { return sorvo::AppDirectory() + "/PrivateRawStream/"; }

}  // namespace

CSorvoSinkFF::CSorvoSinkFF() : m_pool(this, &CSorvoSinkFF::EncodeFrame) {}

CSorvoSinkFF::~CSorvoSinkFF() {
  Close();
  ReleaseServer();
  CSingleLock hold(m_fileLock);
  m_privateFile.Close();
}

long CSorvoSinkFF::QueryInterface(const GUID& iid, void** object) {
  return CIUnknownImpl::QueryInterface(iid, object);
}
long CSorvoSinkFF::AddRef() { return CIUnknownImpl::AddRef(); }
long CSorvoSinkFF::Release() { return CIUnknownImpl::Release(); }
void CSorvoSinkFF::OnLastRelease() { Close(); }

std::string CSorvoSinkFF::RawStreamPath(const std::string& stamp) const {
  return RawStreamDirectory() + "Sorvo_" + m_strName + stamp + "_mp4.raw";
}

std::string CSorvoSinkFF::PrivateStreamPath(const std::string& stamp) const {
  return PrivateStreamDirectory() + "Sorvo_" + std::to_string(GetEncoderWidth()) + "_" +
         std::to_string(GetEncoderHeight()) + "_c0c0" + stamp + ".mp4";
}

int CSorvoSinkFF::Create(const char* name, const char* path, int width, int height,
                         PixelFormat pixelFormat, int frameRate, int bitRate, int id, int port,
                         int preview) {
  if (name == nullptr || path == nullptr) return 0;

  {
    // A capture thread may be in OnBuffer, which reads these under the lock.
    CSingleLock hold(m_lock);
    m_format.width = width;
    m_format.height = height;
    m_format.pixelFormat = pixelFormat;
    m_format.frameRate = frameRate;
    m_format.bitRate = bitRate;
    m_format.pictureSize = sorvo::PictureSize(pixelFormat, width, height);
    m_format.codecId = kStreamInfoCodecMpeg4;
    // Every field a client's greeting shows is written here, before the server exists: a
    // client may connect the moment it listens, and OnAccept reads them without the lock.
    m_format.gray = pixelFormat == PIX_FMT_GRAY8 ? 1 : 0;
    m_nId.store(id);
    m_strPath = path;
    m_strName = name;
  }

  const CSetting setting("SettingVideo.ini");
  if (setting.GetInt("Sorvo", "SaveStream", 0, 1) != 0) {
    CreateDirectoryA(RawStreamDirectory().c_str(), nullptr);
    const std::string rawStream = RawStreamPath(sorvo::FileTimeStamp());
    CSingleLock hold(m_fileLock);
    // Two sinks of one name created in the same second would name the same file: the
    // second gets a file of its own rather than truncating the first.
    if (sorvo::OpenNewFile(m_rawStreamFile, rawStream).empty())
      LogWarnF("sink %s: cannot open the raw stream file %s: %s", name, rawStream.c_str(),
               std::strerror(errno));
  }

  if (!FFEncoder::Open(width, height, pixelFormat, frameRate, bitRate, name)) return 0;

  // A grey picture is encoded as YUV 4:2:0 with neutral colour.
  const bool gray = pixelFormat == PIX_FMT_GRAY8;
  const int itemSize = sorvo::PictureSize(gray ? PIX_FMT_YUV420P : pixelFormat, width, height);

  if (preview != 0) {
    m_pPreview = new CDecodePreview();
    m_pPreview->StartPreview(name, itemSize);
  }

  const int askedBuffers =
      setting.GetInt("Sorvo", "FrameBuffers", imqueue<FrameItem2>::kItemCount, 1);
  const sorvo::FrameBufferDepth depth = sorvo::ChooseFrameBufferDepth(
      askedBuffers, itemSize,
      askedBuffers > imqueue<FrameItem2>::kItemCount ? sorvo::AvailableMemoryBytes() : -1);
  if (!depth.note.empty())
    LogWarnF("sink %s: %s", name, depth.note.c_str());

  const unsigned short serverPort = static_cast<unsigned short>(port & 0xFFFF);
  if (serverPort != 0) {
    CreateServer(serverPort, &m_pServer, nullptr);
    if (m_pServer != nullptr) m_pServer->RegisterAcceptCallback(this, 0);
  }

  CSingleLock hold(m_lock);
  if (itemSize > 0 && m_pool.Init(itemSize, depth.count)) {
    // The grey encoder reads only the luma plane, so a grey camera hands in width x height
    // bytes; the colour planes behind them are neutral once and for all.
    m_nQueuedLength = itemSize;
    if (gray && m_pool.SetFixedTail(width * height, kNeutralChroma))
      m_nQueuedLength = width * height;
    m_pool.StartWorker(std::string("Pool_") + name);
  } else {
    LogWarnF("sink %s: pictures of format %d and %dx%d have no size; nothing is recorded", name,
             static_cast<int>(pixelFormat), width, height);
  }
  return 1;
}

int CSorvoSinkFF::StartRecord() {
  CSingleLock hold(m_fileLock);
  if (m_strPath.empty()) return 0;
  // An earlier recording at this path is moved aside, never overwritten; one that cannot
  // be moved stays as it is and nothing is recorded over it.
  if (PathFileExistsA(m_strPath.c_str()) && !BackupFile(m_strPath.c_str(), 1)) {
    LogWarnF(
        "sink %s: %s already exists and cannot be moved aside (%s); it is kept and the "
        "recording is not started",
        m_strName.c_str(), m_strPath.c_str(), std::strerror(errno));
    return 0;
  }
  if (PathFileExistsA(m_strPath.c_str())) return 0;
  if (!m_mp4File.AttachVideoEncoder(0, this)) return 0;
  if (!m_mp4File.CreateFileA(m_strPath.c_str(), "mp4", 1)) return 0;
  m_bFileAwaitsKey = true;
  // The file is to begin with a picture that decodes on its own, not mid-way into a GOP.
  RequestKeyFrame();
  return 1;
}

int CSorvoSinkFF::StopRecord() {
  CSingleLock hold(m_fileLock);
  if (m_mp4File.IsOpen()) m_mp4File.CloseFile();
  return 0;
}

int CSorvoSinkFF::OpenRawFile() {
  // A second call replaces the file: the open one is closed by CFile::Open.
  std::string base = m_strPath;
  base.resize(std::strlen(PathFindExtensionA(base.c_str())) == 0
                  ? base.size()
                  : static_cast<size_t>(PathFindExtensionA(base.c_str()) - base.c_str()));
  const std::string raw = base + "_" + std::to_string(GetEncoderWidth()) + "_" +
                          std::to_string(GetEncoderHeight()) + ".raw";
  return m_rawFile.Open(raw.c_str(), CFile::modeCreate | CFile::modeWrite) ? 1 : 0;
}

int CSorvoSinkFF::CloseRawFile() {
  if (!m_rawFile.IsOpen()) return 0;
  m_rawFile.Close();
  return 1;
}

int CSorvoSinkFF::StartPrivateStream() {
  CSingleLock hold(m_fileLock);
  if (m_privateFile.IsOpen()) return 1;
  CreateDirectoryA(PrivateStreamDirectory().c_str(), nullptr);
  const std::string path = PrivateStreamPath(sorvo::FileTimeStamp());
  m_frameBuffer.reset(new uint8_t[kFramingBufferSize]);
  m_packetBuffer.reset(new uint8_t[kFramingBufferSize]);
  // The name says only the size and the second: sinks of one size that start in the same
  // second get files of their own rather than truncating each other's.
  if (sorvo::OpenNewFile(m_privateFile, path).empty()) {
    LogWarnF("sink %s: cannot open the private stream file %s: %s", m_strName.c_str(),
             path.c_str(), std::strerror(errno));
    return 0;
  }
  return 1;
}

int CSorvoSinkFF::StopPrivateStream() {
  CSingleLock hold(m_fileLock);
  if (!m_privateFile.IsOpen()) return 0;
  m_privateFile.Close();
  return 1;
}

int CSorvoSinkFF::StopRawStream() {
  CSingleLock hold(m_fileLock);
  if (!m_rawStreamFile.IsOpen())
    return 0;
  m_rawStreamFile.Close();
  return 1;
}

int CSorvoSinkFF::Close() {
  if (m_pool.HasBuffers()) m_pool.PostStop();
  // The worker takes m_fileLock for every packet, so it is waited for without a lock; the
  // buffers go under m_lock, which a capture thread holds while it copies into one. The
  // server stops after it, so that its clients get the packets of the last pictures too.
  m_pool.StopWorker();
  // A host passing packets in may be in OnEncode on a thread of its own: closing the
  // encoder waits for it and refuses later packets, before the outputs go.
  FFEncoder::Close();
  if (m_pServer != nullptr) m_pServer->Stop();
  {
    CSingleLock hold(m_lock);
    m_nQueuedLength = 0;
    m_pool.ClearAll();
  }
  ReleaseServer();
  delete m_pPreview;
  m_pPreview = nullptr;
  StopRecord();
  CloseRawFile();
  CSingleLock hold(m_fileLock);
  m_rawStreamFile.Close();
  return 1;
}

void CSorvoSinkFF::ReleaseServer() {
  if (ITransferServer* server = m_pServer) {
    m_pServer = nullptr;
    server->Release();
  }
}

int CSorvoSinkFF::GetId() { return m_nId; }
int CSorvoSinkFF::GetWidth() { return GetEncoderWidth(); }
int CSorvoSinkFF::GetHeight() { return GetEncoderHeight(); }
PixelFormat CSorvoSinkFF::GetPixelFormat() { return GetInputFormat(); }

int CSorvoSinkFF::SetGrabberCallBack(IGrabberCallBack* callback) {
  // Waits for the forwards to the old target under way, so that the host may free it once
  // this returns; without m_lock, which a target may take through the sink.
  if (callback != nullptr)
    m_grabberTarget.Install(callback);
  else
    m_grabberTarget.Clear();
  return 1;
}

int CSorvoSinkFF::SetEncodeDataOutputCB(ISorvoData* callback) {
  m_pDataCallBack.store(callback);
  return 1;
}

std::string CSorvoSinkFF::GetFilePath() { return m_strPath; }
std::string CSorvoSinkFF::GetName() { return m_strName; }
void CSorvoSinkFF::SetFlipVertical(int flip) { m_bFlipVertical.store(flip); }

StreamInfo CSorvoSinkFF::SnapshotStreamInfo() const {
  StreamInfo info = m_format;
  info.encodedBytes = m_counters.encodedBytes.load(kRelaxed);
  info.framesIn = m_counters.framesIn.load(kRelaxed);
  info.bytesIn = m_counters.bytesIn.load(kRelaxed);
  info.bytesSent = m_counters.bytesSent.load(kRelaxed);
  info.packetsSent = m_counters.packetsSent.load(kRelaxed);
  info.clients = m_counters.clients.load(kRelaxed);
  return info;
}

int CSorvoSinkFF::GetStreamInfo(void* info) {
  if (info != nullptr) {
    const StreamInfo snapshot = SnapshotStreamInfo();
    std::memcpy(info, &snapshot, sizeof(snapshot));
  }
  return 1;
}

void CSorvoSinkFF::StopTransfer() {
  if (m_pServer != nullptr) m_pServer->Stop();
}

void CSorvoSinkFF::CountPicture(int width, int height, PixelFormat pixelFormat) {
  m_counters.framesIn.fetch_add(1, kRelaxed);
  m_counters.bytesIn.fetch_add(sorvo::PictureSize(pixelFormat, width, height), kRelaxed);
}

int CSorvoSinkFF::OnBuffer(int /*id*/,
                           double time,
                           unsigned char* data,
                           long length,
                           int width,
                           int height,
                           PixelFormat pixelFormat) {
  CountPicture(width, height, pixelFormat);

  // While packets encoded elsewhere are recorded, pictures are only forwarded.
  if (IsOpen() && !IsPassing())
    QueuePicture(time, data, length, width, height, pixelFormat);

  m_grabberTarget.Call([&](IGrabberCallBack* target) {
    target->OnBuffer(m_nId.load(), time, data, length, width, height, pixelFormat);
  });
  return 1;
}

bool CSorvoSinkFF::AcceptsLocked(const unsigned char* data, long length, Refusal* refusal) {
  // A grey camera may hand in whole YUV 4:2:0 pictures as well; only their luma is used.
  if (data != nullptr && (length == m_nQueuedLength || length == m_pool.GetItemSize()))
    return true;
  if (!m_bLengthWarned) {
    m_bLengthWarned = true;
    refusal->log = true;
    refusal->expected = m_format;
    refusal->expectedLength = m_nQueuedLength;
    refusal->name = m_strName;
  }
  return false;
}

void CSorvoSinkFF::LogRefusal(const Refusal& refusal,
                              const unsigned char* data,
                              long length,
                              int width,
                              int height,
                              PixelFormat pixelFormat) {
  if (!refusal.log)
    return;
  // Without a word a host would only see an empty recording.
  LogWarnF(
      "sink %s: a picture of %ld bytes (%dx%d, format %d) is not recorded: this sink records "
      "%dx%d pictures of format %d, %ld bytes each (said once per sink)",
      refusal.name.c_str(), data != nullptr ? length : 0L, width, height,
      static_cast<int>(pixelFormat), refusal.expected.width, refusal.expected.height,
      refusal.expected.pixelFormat, refusal.expectedLength);
}

void CSorvoSinkFF::QueuePicture(double time,
                                unsigned char* data,
                                long length,
                                int width,
                                int height,
                                PixelFormat pixelFormat) {
  Refusal refusal;
  {
    CSingleLock hold(m_lock);
    if (m_nQueuedLength == 0)
      return;  // no pool: Create is under way, or Close has run
    if (m_bFlipVertical.load() != 0)
      sorvo::FlipRows(data, length, height, sorvo::BytesPerPixel(pixelFormat), width);
    if (AcceptsLocked(data, length, &refusal)) {
      m_pool.Push(m_nId.load(), data, width, height, pixelFormat, time, m_nQueuedLength);
      return;
    }
  }
  LogRefusal(refusal, data, length, width, height, pixelFormat);
}

unsigned char* CSorvoSinkFF::LendBuffer(long* capacity) {
  unsigned char* data = nullptr;
  long size = 0;
  {
    CSingleLock hold(m_lock);
    if (m_nQueuedLength != 0) {
      if (FrameItem2* item = m_pool.Lend()) {
        data = item->data;
        size = m_pool.GetItemSize();
        // Released by ReturnBuffer: the buffer, the pool and this sink outlive the loan.
        AddRef();
      }
    }
  }
  if (capacity != nullptr)
    *capacity = size;
  return data;
}

int CSorvoSinkFF::ReturnBuffer(unsigned char* buffer,
                               int /*id*/,
                               double time,
                               long length,
                               int width,
                               int height,
                               PixelFormat pixelFormat) {
  const FramePoolLite::Returned lent = m_pool.TakeBack(buffer);
  if (lent.item == nullptr)
    return 0;
  long queued = 0;  // the length handed to the pool; 0 hands the buffer back unused
  if (length > 0) {
    CountPicture(width, height, pixelFormat);
    // Bytes beyond the buffer were never the sink's: nobody is given them to read.
    const bool fits = length <= lent.capacity;
    Refusal refusal;
    {
      CSingleLock hold(m_lock);
      if (fits && m_bFlipVertical.load() != 0)
        sorvo::FlipRows(buffer, length, height, sorvo::BytesPerPixel(pixelFormat), width);
      if (m_nQueuedLength != 0 && AcceptsLocked(fits ? buffer : nullptr, length, &refusal))
        queued = length;
    }
    LogRefusal(refusal, buffer, length, width, height, pixelFormat);
    // Forwarded before it is queued: once queued, the buffer may be encoded, given up and
    // reused, or freed by Close, while the target still reads it.
    if (fits)
      m_grabberTarget.Call([&](IGrabberCallBack* target) {
        target->OnBuffer(m_nId.load(), time, buffer, length, width, height, pixelFormat);
      });
  }
  const int result =
      m_pool.ReturnLent(lent, m_nId.load(), width, height, pixelFormat, time, queued);
  Release();  // the loan's reference, which may have been the last
  return result;
}

int CSorvoSinkFF::OnEncodeData(int id, AVPacket* packet) {
  if (id == kAudioDataTag && packet != nullptr)
    AddAudioPacket(packet);
  return 1;
}

int CSorvoSinkFF::BeginPacketStream(const unsigned char* keyFrame, long length) {
  if (!IsOpen())
    return 0;
  std::vector<uint8_t> headers;
  const std::string why =
      sorvo::CheckMpeg4KeyFrame(keyFrame, length > 0 ? static_cast<size_t>(length) : 0,
                                m_format.width, m_format.height, m_format.frameRate, &headers);
  if (!why.empty()) {
    LogWarnF(
        "sink %s: the packets handed in are not recorded as they are: %s; pictures are "
        "encoded instead",
        m_strName.c_str(), why.c_str());
    EndPacketStream();
    return 0;
  }
  return FFEncoder::BeginPassing(headers);
}

int CSorvoSinkFF::OnPacket(int /*id*/,
                           double time,
                           const unsigned char* data,
                           long length,
                           int key) {
  const int passed = FFEncoder::Pass(time, data, length, key != 0);
  // A key frame refused by an open encoder: no stream was begun (or it was refused).
  if (passed == 0 && key != 0 && IsOpen() && !m_bPacketsRefusedSaid.exchange(true))
    LogWarnF(
        "sink %s: packets handed in without a stream begun (BeginPacketStream) are not "
        "recorded (said once)",
        m_strName.c_str());
  return passed;
}

void CSorvoSinkFF::EndPacketStream() {
  FFEncoder::EndPassing();
}

int CSorvoSinkFF::OnAccept(ITransferConnection* connection, int /*flag*/) {
  if (connection == nullptr) return 1;
  connection->Setup(0, 0);
  const StreamInfo snapshot = SnapshotStreamInfo();
  connection->Send(&snapshot, sizeof(snapshot));
  return 1;
}

int CSorvoSinkFF::OnNotify(int /*code*/, void* /*data*/) { return 1; }

int CSorvoSinkFF::EncodeFrame(int id, double time, unsigned char* data, long length,
                              int /*width*/, int /*height*/, PixelFormat /*pixelFormat*/) {
  FFEncoder::Encode(id, time, data, length);
  return 1;
}

int CSorvoSinkFF::AddAudioPacket(AVPacket* packet) {
  if (m_mp4File.IsOpen()) m_mp4File.AddAudioFrame(packet);
  return 1;
}

void CSorvoSinkFF::WriteStreamFileLocked(CFile& file, const char* what, const void* data,
                                         size_t size) {
  if (file.Write(data, size)) return;
  // A full disk or a file-size limit ends this file only; the recording goes on.
  LogWarnF("sink %s: writing the %s %s failed (%s); the file is closed", m_strName.c_str(), what,
           file.GetFilePath().c_str(), std::strerror(errno));
  file.Close();
}

void CSorvoSinkFF::WritePrivateRecordLocked(const AVPacket* packet, const PacketHeader& header) {
  const size_t payload = static_cast<size_t>(packet->size) + sizeof(header);
  if (sorvo::MaxRecordSize(payload) > kFramingBufferSize) return;
  uint8_t* src = m_packetBuffer.get();
  std::memcpy(src, packet->data, packet->size);
  std::memcpy(src + packet->size, &header, sizeof(header));
  // The record reaches the kernel in one write, so a process killed between packets
  // leaves no record cut in half.
  uint8_t* record = m_frameBuffer.get();
  const size_t recordLength = sorvo::PackRecord(record, src, payload);
  WriteStreamFileLocked(m_privateFile, "private stream file", record, recordLength);
}

void CSorvoSinkFF::OnEncode(AVPacket* packet) {
  m_counters.encodedBytes.fetch_add(packet->size, kRelaxed);
  PacketHeader header;
  header.size = packet->size;
  header.seq = static_cast<int32_t>(m_counters.packetsSent.load(kRelaxed));
  header.key = (packet->flags & AV_PKT_FLAG_KEY) ? 1 : 0;
  header.width = m_format.width;
  header.height = m_format.height;

  {
    // m_fileLock, not m_lock: a capture thread copying its next picture into the pool
    // never waits for a slow disk.
    CSingleLock hold(m_fileLock);
    // A file that began mid-GOP would open with pictures nobody can decode.
    if (m_mp4File.IsOpen() && (header.key != 0 || !m_bFileAwaitsKey) &&
        m_mp4File.AddVideoFrame(packet, 0) == 1)
      m_bFileAwaitsKey = false;
    if (m_rawStreamFile.IsOpen())
      WriteStreamFileLocked(m_rawStreamFile, "raw stream file", packet->data, packet->size);
    if (m_privateFile.IsOpen()) WritePrivateRecordLocked(packet, header);
  }
  if (m_pServer != nullptr) {
    int reached = 0;
    m_pServer->Broadcast(packet->data, packet->size, &header, &reached);
    m_counters.bytesSent.fetch_add(static_cast<int64_t>(reached) * packet->size, kRelaxed);
    m_counters.clients.store(reached, kRelaxed);
    m_counters.packetsSent.fetch_add(1, kRelaxed);
  }
  if (m_pPreview != nullptr)
    m_pPreview->Push(0, packet->data, 0, 0, PIX_FMT_NONE, 0.0, packet->size);
  if (ISorvoData* target = m_pDataCallBack.load()) target->OnEncodeData(m_nId, packet);
}
