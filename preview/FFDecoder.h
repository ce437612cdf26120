// MPEG-4 Part 2 video decoder: packets in, each picture laid out as one contiguous YUV 4:2:0
// buffer and handed to the OnDecodedFrame hook.
//
// Threads: Open and Close run on the owner's control thread; DecodePacket (and with it
// OnDecodedFrame and the picture getters) on one decoding thread at a time, never while Open
// or Close runs: the owner keeps them apart (the decode preview closes only after its worker
// has stopped), so DecodePacket takes no lock. m_lock serialises Open with Close; the
// process-wide video-decoder mutex serialises codec open and close across all decoders.
// Lock order: m_lock, then the mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "codec/FFDeleters.h"
#include "host/CCriticalSectionEx.h"
#include "host/PixelFormat.h"

struct AVCodec;
struct AVPacket;

class FFDecoder {
 public:
  // Packets of this size or more are ignored.
  static constexpr int kPacketSizeLimit = 25000000;

  FFDecoder();
  virtual ~FFDecoder();
  FFDecoder(const FFDecoder&) = delete;
  FFDecoder& operator=(const FFDecoder&) = delete;

  // One decoded picture: `picture` is the picture buffer (GetWidth() x GetHeight() pixels,
  // GetOutputFormat(), `size` bytes), valid until the next picture or Close.
  virtual void OnDecodedFrame(unsigned char* picture, int size);

  // 1 open (also when it already was; nothing is reset then), 0 failed.
  int Open();
  // Decodes every picture in the packet; only its data and size are read, and the packet may
  // end anywhere after a picture. A packet that is not decoded is dropped with a message on
  // standard error; the next one is decoded normally.
  void DecodePacket(AVPacket* packet);
  // Always 1; closing a closed decoder does nothing.
  int Close();

  int GetWidth() const { return m_nWidth; }
  int GetHeight() const { return m_nHeight; }
  PixelFormat GetOutputFormat() const { return m_eOutputFormat; }

 private:
  // Sends one picture's bytes to the codec and delivers what comes out; false (after the
  // error message) when the codec refuses them.
  bool DecodeUnit(const uint8_t* data, int size, int* delivered);
  // Lays the codec's picture out in the picture buffer and calls the hook; false when the
  // picture cannot be laid out.
  bool DeliverPicture();
  void CountPicture();

  int m_bFirstPicture = 0;
  std::unique_ptr<unsigned char[]> m_pPictureBuffer;  // width x height x 4 bytes
  int m_nWidth = 0;
  int m_nHeight = 0;
  int m_nPictureSize = 0;
  int m_nBufferWidth = 0;
  int m_nBufferHeight = 0;
  CCriticalSectionEx m_lock;
  uint32_t m_nDecodedCount = 0;
  uint32_t m_nCountAtLastReport = 0;
  uint32_t m_nLastReportTime = 0;  // GetTickCount() of the last rate line
  uint32_t m_nLastPeriodPictures = 0;
  std::string m_strLabel;  // names the stream in the log lines; nothing sets it yet
  const AVCodec* m_pAVCodec = nullptr;
  sorvo::CodecContextPtr m_pCodecContext;
  sorvo::FramePtr m_pPicture;  // what the codec decodes into
  sorvo::PacketPtr m_pUnit;    // one picture's bytes on their way to the codec
  PixelFormat m_eOutputFormat = PIX_FMT_YUV420P;
};
