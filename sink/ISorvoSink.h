// The recording sink as the host, the muxing controller and other sinks see it. Every sink
// is also a frame receiver and an encoded-data receiver.
//
// Threads: OnBuffer on the host's capture thread; the control operations on the host's
// control thread; packets reach the encoded-data target on the sink's worker thread.
#pragma once

#include <string>

#include "host/IUnknown.h"
#include "host/PixelFormat.h"
#include "host/SorvoExport.h"
#include "sink/IGrabberCallBack.h"
#include "sink/ISorvoData.h"
#include "sink/StreamInfo.h"

class SORVO_EXPORT ISorvoSink : public IUnknown, public IGrabberCallBack, public ISorvoData {
 public:
  // Configures and starts the sink; 1 or 0.
  virtual int Create(const char* name, const char* path, int width, int height,
                     PixelFormat pixelFormat, int frameRate, int bitRate, int id, int port,
                     int preview) = 0;
  // Stops and closes everything but the private stream file; always 1; may be repeated.
  virtual int Close() = 0;
  // Opens the MP4 file at the sink's path; 1 or 0.
  virtual int StartRecord() = 0;
  // Closes the MP4 file if open; always 0.
  virtual int StopRecord() = 0;
  virtual int OpenRawFile() = 0;
  // 1 if the raw file was open, else 0.
  virtual int CloseRawFile() = 0;
  virtual int StartPrivateStream() = 0;
  // 1 if the private stream file was open, else 0.
  virtual int StopPrivateStream() = 0;
  virtual int GetId() = 0;
  virtual int GetWidth() = 0;
  virtual int GetHeight() = 0;
  virtual PixelFormat GetPixelFormat() = 0;
  // Raw-frame forward target; null clears. Not reference counted. Always 1.
  virtual int SetGrabberCallBack(IGrabberCallBack* callback) = 0;
  // Encoded-packet target; null clears. Not reference counted. Always 1.
  virtual int SetEncodeDataOutputCB(ISorvoData* callback) = 0;
  virtual std::string GetFilePath() = 0;
  virtual std::string GetName() = 0;
  virtual void SetFlipVertical(int flip) = 0;
  // Copies the 80-byte StreamInfo to `info`; always 1.
  virtual int GetStreamInfo(void* info) = 0;
  // Stops the transfer server, if there is one; the server object stays.
  virtual void StopTransfer() = 0;
};
