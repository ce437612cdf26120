// The recording sink: one camera stream in, one MPEG-4 Part 2 encoder, and the outputs fed
// from it: the MP4 file, the raw stream file, the private stream file, the transfer
// server's clients, the local preview and the encoded-data target.
//
// Threads: the host's capture thread calls OnBuffer, LendBuffer and ReturnBuffer; a host
// passing packets encoded elsewhere calls OnPacket on a thread of its own, which then runs
// OnEncode as the worker does (under the encoder's lock, so the two never overlap); the
// host's control thread calls
// Create, Close, the file operations, the setters and the getters; the frame pool's worker
// calls EncodeFrame and, through the encoder, OnEncode; the transfer server's I/O thread
// calls OnAccept.
// Locks: m_fileLock guards the output files (MP4 writer, raw stream file, private stream file
// and its buffers); m_lock the frame pool's set-up and buffers and what OnBuffer checks a
// picture against. The two are never held together, so that a capture thread never waits
// for a disk the worker writes to. Order on the worker: the encoder's lock, then
// m_fileLock, then the writer's lock. On the capture thread: m_lock, then the pool's lock.
// The grabber target has a lock of its own, never held while a forward runs: unsetting it
// waits for the forwards under way. OnBuffer copies each picture into the pool under m_lock, so
// Close frees the pool's buffers under m_lock too; it stops the worker first, without a
// lock, because the worker takes m_fileLock while Close waits for it. OnBuffer and Close may
// thus run on different threads in any interleaving, and Create may follow Close. A lent
// buffer is written without m_lock: the pool keeps it alive through Close (imqueue).
// The StreamInfo counters are relaxed atomics, each with one writing thread; readers
// (GetStreamInfo, OnAccept) take a snapshot without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "codec/FFEncoder.h"
#include "codec/FFWriteFile.h"
#include "host/CCriticalSectionEx.h"
#include "host/CFile.h"
#include "host/ITransferAccepterCB.h"
#include "host/WaitedTarget.h"
#include "sink/FramePool.h"
#include "sink/FramePoolLite.h"
#include "sink/ISorvoSink.h"
#include "sink/PacketHeader.h"
#include "sink/StreamInfo.h"
#include "support/CIUnknownImpl.h"

class CDecodePreview;
class ITransferServer;

class CSorvoSinkFF : public ISorvoSink,
                     public CIUnknownImpl,
                     public FFEncoder,
                     public ITransferAccepterCB {
 public:
  // Size of each of the two private-stream buffers.
  static constexpr size_t kFramingBufferSize = 8 * 1024 * 1024;

  CSorvoSinkFF();
  ~CSorvoSinkFF() override;

  // IUnknown, answered by CIUnknownImpl.
  long QueryInterface(const GUID& iid, void** object) override;
  long AddRef() override;
  long Release() override;

  // ISorvoSink
  int Create(const char* name, const char* path, int width, int height, PixelFormat pixelFormat,
             int frameRate, int bitRate, int id, int port, int preview) override;
  int Close() override;  // serves ISorvoSink and FFEncoder
  int StartRecord() override;
  int StopRecord() override;
  int OpenRawFile() override;
  int CloseRawFile() override;
  int StartPrivateStream() override;
  int StopPrivateStream() override;
  int GetId() override;
  int GetWidth() override;
  int GetHeight() override;
  PixelFormat GetPixelFormat() override;
  int SetGrabberCallBack(IGrabberCallBack* callback) override;
  int SetEncodeDataOutputCB(ISorvoData* callback) override;
  std::string GetFilePath() override;
  std::string GetName() override;
  void SetFlipVertical(int flip) override;
  int GetStreamInfo(void* info) override;
  void StopTransfer() override;

  // IGrabberCallBack
  int OnBuffer(int id, double time, unsigned char* data, long length, int width, int height,
               PixelFormat pixelFormat) override;
  unsigned char* LendBuffer(long* capacity) override;
  int ReturnBuffer(unsigned char* buffer,
                   int id,
                   double time,
                   long length,
                   int width,
                   int height,
                   PixelFormat pixelFormat) override;
  int BeginPacketStream(const unsigned char* keyFrame, long length) override;
  int OnPacket(int id, double time, const unsigned char* data, long length, int key) override;
  void EndPacketStream() override;
  // ISorvoData: an audio packet (tag 200) goes to the MP4 file through AddAudioPacket,
  // which keeps it only when the host gave the file an audio stream; anything else is
  // not the sink's. Returns 1.
  int OnEncodeData(int id, AVPacket* packet) override;

  // ITransferAccepterCB
  int OnAccept(ITransferConnection* connection, int flag) override;
  int OnNotify(int code, void* data) override;

  // The frame pool's worker lands here; always 1.
  int EncodeFrame(int id, double time, unsigned char* data, long length, int width, int height,
                  PixelFormat pixelFormat);
  // Hands an audio packet to the MP4 writer when it is open; always 1. The writer keeps
  // it only when an audio encoder was attached to it (RecordFile) before StartRecord.
  int AddAudioPacket(AVPacket* packet);
  // The writer of the sink's MP4 file, for the host's steps on it before StartRecord
  // (attaching an audio encoder, naming the file and its track, a timecode clock) and
  // while it records (chapters). It lives as long as the sink; its own lock guards it.
  FFWriteFile& RecordFile() { return m_mp4File; }
  // Closes the raw stream file while the sink goes on recording its other outputs (a host
  // short of disk space keeps the MP4 and gives up the copy); any thread. 1 if it was open.
  int StopRawStream();

  // The name the raw stream file gets for this sink at the given time stamp.
  std::string RawStreamPath(const std::string& stamp) const;
  // The name the private stream file gets at the given time stamp.
  std::string PrivateStreamPath(const std::string& stamp) const;

 protected:
  // FFEncoder hook: one encoded packet, on the worker with the encoder's lock held.
  void OnEncode(AVPacket* packet) override;
  // The last reference may go while the worker encodes, from ReturnBuffer right after a
  // picture was queued: the sink is closed before its destructors begin.
  void OnLastRelease() override;

 private:
  // Counters of StreamInfo; the format fields are written by Create only.
  struct Counters {
    std::atomic<int64_t> encodedBytes{0};
    std::atomic<int64_t> framesIn{0};
    std::atomic<int64_t> bytesIn{0};
    std::atomic<int64_t> bytesSent{0};
    std::atomic<int64_t> packetsSent{0};
    std::atomic<int32_t> clients{0};
  };

  // What the log says about the first picture of a length the sink does not record.
  struct Refusal {
    bool log = false;
    std::string name;
    StreamInfo expected;
    long expectedLength = 0;
  };

  StreamInfo SnapshotStreamInfo() const;
  void CountPicture(int width, int height, PixelFormat pixelFormat);
  // Flips and queues one picture for the worker; a picture of a length the sink cannot
  // encode is refused, and the first such refusal is logged.
  void QueuePicture(double time,
                    unsigned char* data,
                    long length,
                    int width,
                    int height,
                    PixelFormat pixelFormat);
  // Whether a picture of `length` bytes is one the pool takes: a picture shorter than the
  // size the sink encodes would be encoded from stale bytes, and a longer one does not fit
  // the pool's buffers. The first refusal fills `refusal`. m_lock held, pool initialised.
  bool AcceptsLocked(const unsigned char* data, long length, Refusal* refusal);
  static void LogRefusal(const Refusal& refusal,
                         const unsigned char* data,
                         long length,
                         int width,
                         int height,
                         PixelFormat pixelFormat);
  // Writes to one of the stream files; on failure closes it and logs why. m_fileLock held.
  void WriteStreamFileLocked(CFile& file, const char* what, const void* data, size_t size);
  void WritePrivateRecordLocked(const AVPacket* packet, const PacketHeader& header);
  void ReleaseServer();

  std::atomic<int> m_nId{0};  // written by Create, read by the capture thread and the worker
  sorvo::WaitedTarget<IGrabberCallBack*> m_grabberTarget;  // its own lock
  std::atomic<ISorvoData*> m_pDataCallBack{nullptr};
  CFile m_rawFile;                   // control thread only
  std::string m_strPath;             // written by Create only
  std::string m_strName;             // written by Create only
  CFile m_privateFile;               // m_fileLock
  std::shared_ptr<uint8_t[]> m_frameBuffer;   // m_fileLock
  std::shared_ptr<uint8_t[]> m_packetBuffer;  // m_fileLock
  std::atomic<int> m_bFlipVertical{0};
  // Set by Create and cleared by Close on the control thread while no worker runs;
  // read by the worker and the control thread.
  ITransferServer* m_pServer = nullptr;
  CDecodePreview* m_pPreview = nullptr;
  CCriticalSectionEx m_lock;
  CCriticalSectionEx m_fileLock;
  FramePool<CSorvoSinkFF, FramePoolLite> m_pool;
  // Bytes of one picture as OnBuffer queues it (a grey camera's luma only); 0 while the
  // pool has no buffers. m_lock.
  long m_nQueuedLength = 0;
  bool m_bLengthWarned = false;      // a refused picture has been logged; m_lock
  FFWriteFile m_mp4File;             // m_fileLock (and its own lock)
  StreamInfo m_format;               // format fields only; written by Create under m_lock
  Counters m_counters;
  CFile m_rawStreamFile;             // m_fileLock
  // The MP4 file is to begin with a key frame: set by StartRecord, cleared by the first
  // packet written. m_fileLock.
  bool m_bFileAwaitsKey = false;
  std::atomic<bool> m_bPacketsRefusedSaid{false};  // the log said so once
};
