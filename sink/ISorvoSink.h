// The recording sink as the host, the muxing controller and other sinks see it. Every sink
// is also a frame receiver and an encoded-data receiver.
//
// Threads: OnBuffer, LendBuffer and ReturnBuffer on the host's capture thread; the control
// operations on the host's control thread; packets reach the encoded-data target on the
// sink's worker thread.
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

  // Recording packets encoded elsewhere as they are, without a second encoding: a camera
  // passed on from another recorder. BeginPacketStream hands the sink a key frame of the
  // stream; the sink checks that it is MPEG-4 Part 2 with its headers, of the sink's size
  // and rate, and takes its headers as those of the files it makes from then on (so it is
  // to come before StartRecord and before a controller takes the sink). 1 taken: from the
  // stream's first key frame given to OnPacket on, its packets go wherever the sink's own
  // go (its files, its clients, its encoded-data target), and pictures given to OnBuffer
  // are counted and forwarded but not encoded; until that key frame pictures are encoded
  // as before, so that a stream begun again (a connection made again) leaves no hole. 0
  // refused, with the reason in the log: the host goes on handing in pictures.
  virtual int BeginPacketStream(const unsigned char* /*keyFrame*/, long /*length*/) { return 0; }
  // One packet of the stream, captured at `time` (seconds, the clock of OnBuffer's times),
  // with its key-frame flag. Placed on the frame grid by its time as a picture is, but never
  // left out. 1 recorded; 0 before the stream's first key frame, without a stream begun, or
  // once closed. Any one thread at a time, after Create has returned and before Close.
  virtual int OnPacket(int /*id*/,
                       double /*time*/,
                       const unsigned char* /*data*/,
                       long /*length*/,
                       int /*key*/) {
    return 0;
  }
  // Ends the stream (its source is lost): the pictures given to OnBuffer are encoded again,
  // from a key frame.
  virtual void EndPacketStream() {}

  // Filling a picture in place, for a host that makes its pictures itself (a decoder, a
  // converter, a file read): LendBuffer lends one of the sink's queue buffers, the host
  // writes the picture into it and hands it back with ReturnBuffer, and the sink takes it
  // as OnBuffer would take the same picture, without copying it. Hosts that do not lend
  // keep calling OnBuffer.
  //
  // LendBuffer never waits: it takes a free buffer, or else the oldest waiting picture's
  // (that picture is given up, as OnBuffer would give it up). It returns the buffer and
  // sets `capacity` to its size in bytes, the size of one picture of the created format
  // (a grey sink's buffers hold a whole YUV 4:2:0 picture, whose colour planes are
  // already neutral); null (capacity 0) before Create, after Close, and when every buffer
  // is lent or being encoded: the host then hands its picture to OnBuffer.
  //
  // A lent buffer stays valid until it is returned, whatever happens meanwhile: Close
  // frees it only once it comes back, and the sink keeps a reference of its own on
  // itself while any buffer is lent, so even a Release does not free it. Every lent buffer
  // must be returned, exactly once, by any thread.
  virtual unsigned char* LendBuffer(long* capacity) {
    if (capacity != nullptr)
      *capacity = 0;
    return nullptr;
  }
  // Returns a buffer from LendBuffer holding one picture of `length` bytes: counted,
  // turned upside down when asked (SetFlipVertical), forwarded to the raw-frame target
  // and queued for encoding, as OnBuffer does with the same arguments. The lengths
  // OnBuffer takes are taken here (a grey sink's width x height, or the whole buffer).
  // `length` 0 hands the buffer back unused: nothing is counted or forwarded. 1 queued;
  // else 0: unused, a length the sink does not record (logged once, forwarded only when
  // it fits the buffer), a sink closed while the buffer was lent (counted and forwarded
  // as OnBuffer after Close would be), or a buffer this sink did not lend or that came
  // back already (nothing happens). The buffer is the sink's again once this returns.
  virtual int ReturnBuffer(unsigned char* /*buffer*/,
                           int /*id*/,
                           double /*time*/,
                           long /*length*/,
                           int /*width*/,
                           int /*height*/,
                           PixelFormat /*pixelFormat*/) {
    return 0;
  }
};
