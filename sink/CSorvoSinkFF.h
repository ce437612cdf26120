// The recording sink: one camera stream in, one MPEG-4 Part 2 encoder, and the outputs
// fed from it.
//
// Threads: the host's capture thread calls OnBuffer; the control thread calls Create,
// Close and the other control operations; the encoding worker calls EncodeFrame and
// OnEncode; the transfer server's thread calls OnAccept.
// Locks: m_lock guards the output files, the frame pool set-up and the grabber target.
// Order on the worker: the encoder's lock, then m_lock, then the writer's lock.
// m_streamInfo's counters each have one writing thread and are read without a lock.
#pragma once

#include <atomic>
#include <string>

#include "codec/FFEncoder.h"
#include "host/CCriticalSectionEx.h"
#include "sink/ISorvoSink.h"
#include "host/ITransferAccepterCB.h"
#include "sink/StreamInfo.h"
#include "support/CIUnknownImpl.h"

class CSorvoSinkFF : public ISorvoSink,
                     public CIUnknownImpl,
                     public FFEncoder,
                     public ITransferAccepterCB {
 public:
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
  // ISorvoData: a sink receives no encoded data of its own; returns 1.
  int OnEncodeData(int id, AVPacket* packet) override;

  // ITransferAccepterCB
  int OnAccept(ITransferConnection* connection, int flag) override;
  int OnNotify(int code, void* data) override;

  // The frame pool's worker lands here; always 1.
  int EncodeFrame(int id, double time, unsigned char* data, long length, int width, int height,
                  PixelFormat pixelFormat);
  // Hands an audio packet to the MP4 writer when it is open; always 1.
  int AddAudioPacket(AVPacket* packet);

 protected:
  // FFEncoder hook: one encoded packet, on the worker thread with the encoder's lock held.
  void OnEncode(AVPacket* packet) override;

 private:
  int m_nId = 0;
  std::atomic<IGrabberCallBack*> m_pGrabberCallBack{nullptr};  // set under m_lock
  std::atomic<ISorvoData*> m_pDataCallBack{nullptr};
  std::string m_strPath;
  std::string m_strName;
  std::atomic<int> m_bFlipVertical{0};
  CCriticalSectionEx m_lock;
  StreamInfo m_streamInfo;
};
