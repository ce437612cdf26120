// Audio decoder: encoded packets in, interleaved signed 16-bit PCM out, one OnDecode call
// per decoded codec frame. It learns the PCM format from the first decoded frame.
//
// A packet may hold several frames: the codec's parser splits them, so each frame reaches
// OnDecode on its own, in stream order. Each packet is decoded on its own: bytes at its end
// that form no whole frame go to the codec as they are (which refuses them or, for a frame
// cut short, may decode what there is), never into the next packet.
//
// Threads: Open and Close run on the owner's control thread and take m_lock, then the
// process-wide audio-decoder mutex (that order). Decode and DecodePacket take no lock: the
// owner calls them from one thread at a time and never while Open or Close may run.
// OnDecode runs on the decoding thread. IsOpen may be called from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "codec/FFDeleters.h"
#include "host/CCriticalSectionEx.h"
#include "host/SorvoExport.h"
#include "host/Win32Types.h"

struct AVCodec;
struct AVCodecContext;
struct AVPacket;
namespace sorvo {
class S16Interleaver;
}

class SORVO_EXPORT FFAudioDecoder {
 public:
  // Bytes of PCM one decoded frame may fill: twice the largest audio frame of the codec
  // library generation this interface was drawn for.
  static constexpr int kSampleCapacity = 384000;

  FFAudioDecoder();
  virtual ~FFAudioDecoder();
  FFAudioDecoder(const FFAudioDecoder&) = delete;
  FFAudioDecoder& operator=(const FFAudioDecoder&) = delete;

  // Decodes `size` bytes at `data` as one packet; the result is DecodePacket's.
  virtual int Decode(const unsigned char* data, int size);
  // Decodes every frame in the packet, advancing its data and shrinking its size as it
  // goes. 1 when the whole packet was decoded (size 0 after); 0 on a decode error, with
  // the packet at the failing frame, or when the decoder is not open.
  virtual int DecodePacket(AVPacket* packet);
  // Always 1. Frees a context that Open allocated; closes a caller's context and leaves
  // it to the caller.
  virtual int Close();
  // `context`: an unopened audio codec context to use, or null to make one. `codecId`:
  // FFmpeg's codec id (MP3 is 0x15001). 1 opened, 0 failed. Opening an open decoder
  // closes it first.
  virtual int Open(AVCodecContext* context, int codecId);
  virtual int IsOpen();
  // 1 and the 18-byte PCM format copied to `format`, or 0 before the first decoded frame.
  virtual int GetWaveFormat(WAVEFORMATEX* format);
  // One decoded frame: the input packet's timestamps, stream index and flags, data in the
  // sample area, size in bytes. Valid only during the call. The base returns 1.
  virtual int OnDecode(AVPacket* pcm);

 private:
  // Sends one whole frame (or, for a codec without a parser, one whole packet) to the
  // codec and hands every frame that comes back to OnDecode. False on a decode error or
  // when the hook closed the decoder.
  bool DecodeUnit(const unsigned char* data, int size, const AVPacket* source);
  // Decodes what the parser still holds at the end of a packet; false on a decode error.
  bool FlushParser(const AVPacket* source);
  int AbandonPacket();  // after a decode error: a fresh parser, result 0
  void ResetParser();
  void LearnFormat(int channels, int sampleRate);
  void ReleaseLocked();

  // Written by Open and Close under m_lock; used by the decoding thread between them.
  const AVCodec* m_pAVCodec = nullptr;
  AVCodecContext* m_pCodecContext = nullptr;  // in use; owned through m_pOwnedContext or not
  sorvo::CodecContextPtr m_pOwnedContext;
  sorvo::FramePtr m_pPicture;
  // The parser writes what it learns into a context of its own, never into the open
  // codec's. The decoding thread replaces the parser after a packet that ended badly.
  sorvo::ParserPtr m_pParser;
  sorvo::CodecContextPtr m_pParserContext;
  sorvo::PacketPtr m_pInputPacket;  // Decode's packet over the caller's bytes
  sorvo::PacketPtr m_pUnitPacket;   // one frame on its way to the codec
  sorvo::PacketPtr m_pPcmPacket;    // what OnDecode receives
  std::unique_ptr<sorvo::S16Interleaver> m_pInterleaver;
  std::atomic<bool> m_bOpen{false};
  CCriticalSectionEx m_lock;
  // Decoding thread only (the format is forgotten by Close).
  int m_bFormatKnown = 0;
  WAVEFORMATEX m_waveFormat{};
  std::vector<uint8_t> m_padded;  // the packet being parsed, with padding behind it
  alignas(16) unsigned char m_samples[kSampleCapacity] = {};
};
