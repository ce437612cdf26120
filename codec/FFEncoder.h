// MPEG-4 Part 2 video encoder: one packet per picture, in picture order, handed to the
// OnEncode hook the moment it is produced.
//
// Threads: Open, Close and the context getters run on the owner's control thread, Encode
// on its encoding thread, IsOpen on any thread. m_lock serialises Encode with Open and
// Close (OnEncode runs under it, so whatever the hook locks comes after it); the
// process-wide video-encoder mutex serialises codec open and close across all encoders.
// Lock order: m_lock, then the mutex. IsOpen and the getters take no lock: a capture
// thread asks IsOpen while holding its sink's lock, and a writer asks for the context
// under its own lock, both of which a worker takes after m_lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "codec/FFDeleters.h"
#include "host/CCriticalSectionEx.h"
#include "host/PixelFormat.h"
#include "host/SorvoExport.h"

struct AVCodec;
struct AVCodecContext;
struct AVPacket;

class SORVO_EXPORT FFEncoder {
 public:
  // Every encoded picture is written into an output buffer of this size.
  static constexpr int kOutputCapacity = 0x200000;

  FFEncoder();
  virtual ~FFEncoder();
  FFEncoder(const FFEncoder&) = delete;
  FFEncoder& operator=(const FFEncoder&) = delete;

  // Encodes one picture of the size and format given to Open. `id`, `time` do not reach
  // the packet; `length` must cover the picture. 1 when a packet went to OnEncode.
  virtual int Encode(int id, double time, unsigned char* data, long length);
  // Always 1; closing a closed encoder does nothing.
  virtual int Close();
  // Input formats 0 (YUV 4:2:0), 8 (grey, handed in as YUV 4:2:0), 2, 3, 30 (converted).
  // Any other non-negative format opens but encodes nothing. 1 opened, 0 failed.
  virtual int Open(int width, int height, PixelFormat format, int frameRate, int bitRate,
                   const char* label);
  virtual int IsOpen();
  // The codec context; null while closed.
  virtual AVCodecContext* GetCodecContext();
  // The packet: data in the output buffer, no timestamps, key flag on key frames; valid
  // only during the call. Runs on the encoding thread with m_lock held.
  virtual void OnEncode(AVPacket* packet);

  // The codec context with shared ownership, for a container writer that keeps using it
  // after this encoder's Close; null while closed.
  sorvo::SharedCodecContext ShareCodecContext();
  int GetEncoderWidth() const { return m_nWidth; }
  int GetEncoderHeight() const { return m_nHeight; }
  PixelFormat GetInputFormat() const { return m_eInputFormat; }
  std::string GetLabel() const { return m_strLabel; }

 private:
  int PictureBytes() const;  // bytes Encode reads from the caller for one picture
  // Gives the open context the decoder configuration that an MP4 sample entry needs,
  // without the global-header flag that would strip the in-band headers.
  bool AttachExtradata(const AVCodec* codec);
  void ReleaseLocked();

  // Written by Open and Close under m_lock on the control thread; read by Encode under
  // m_lock and by the getters on the control thread.
  const AVCodec* m_pAVCodec = nullptr;
  sorvo::SharedCodecContext m_pCodecContext;
  std::atomic<bool> m_bOpen{false};
  sorvo::FramePtr m_pConvertPicture;            // laid over m_pYuvBuffer
  sorvo::FramePtr m_pDirectPicture;             // laid over the caller's YUV data
  sorvo::PacketPtr m_pCodedPacket;              // what the codec returns
  sorvo::PacketPtr m_pOutPacket;                // what OnEncode receives
  sorvo::MallocPtr m_pOutBuffer;
  int m_nOutCapacity = 0;
  sorvo::MallocPtr m_pYuvBuffer;
  int64_t m_nPictureNumber = 0;
  int m_nWidth = 0;
  int m_nHeight = 0;
  PixelFormat m_eInputFormat = PIX_FMT_NONE;
  std::string m_strLabel;
  CCriticalSectionEx m_lock;
};
