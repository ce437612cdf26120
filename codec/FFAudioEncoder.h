// MP3 audio encoder: interleaved PCM in, one MP3 packet per codec frame out, each handed to
// the OnEncode hook the moment it is produced. The codec takes signed 16-bit samples; PCM of
// another sample layout (OpenForInput) is narrowed to them as each frame is encoded.
//
// Encode gathers PCM across calls in a buffer of one codec frame, so a caller may deliver
// buffers of any length, even ones that end inside a sample; a buffer of exactly one frame
// on an empty gather buffer is encoded straight from the caller's memory.
//
// Threads: Open, Drain and Close run on the owner's control thread, Encode on the thread
// that delivers the PCM; IsOpen, GetCodecContext and ShareCodecContext may be called from
// any thread. m_lock serialises Encode, Open, Drain and Close on one encoder (OnEncode runs
// under it, so whatever the hook locks comes after it); the process-wide audio-encoder mutex
// serialises codec open and close across all audio encoders. Lock order: m_lock, then the
// mutex. IsOpen and the context getters take no lock (a container writer asks for the
// context under its own lock, which a hook takes after m_lock); they read m_bOpen and
// m_pCodecContext through atomic operations.
#pragma once

#include <atomic>
#include <cstdint>

#include "codec/FFDeleters.h"
#include "host/CCriticalSectionEx.h"
#include "host/SorvoExport.h"

struct AVCodec;
struct AVCodecContext;
struct AVPacket;

class SORVO_EXPORT FFAudioEncoder {
 public:
  // Every encoded packet is copied into an output buffer of this size.
  static constexpr int kOutputCapacity = 65536;

  // Interleaved little-endian sample layouts Encode takes. Integers wider than 16 bits keep
  // their top 16 bits, and floating point is full scale at +-1.0 with louder samples
  // clipped, as libswresample narrows them; NaN is silence.
  enum class SampleLayout {
    kU8,   // unsigned 8-bit, silence at 128
    kS16,  // signed 16-bit
    kS24,  // signed 24-bit in 3 bytes
    kS32,  // signed 32-bit
    kF32,  // IEEE float
    kF64,  // IEEE double
  };
  // Bytes one sample of `layout` takes.
  static int BytesPerSample(SampleLayout layout);

  FFAudioEncoder();
  virtual ~FFAudioEncoder();
  FFAudioEncoder(const FFAudioEncoder&) = delete;
  FFAudioEncoder& operator=(const FFAudioEncoder&) = delete;

  // Takes `length` bytes of interleaved PCM in the sample layout and channel count given
  // to Open and encodes every codec frame that they complete. The int and double are not
  // used. 1 when at least one packet went to OnEncode, else 0 (also while the codec is
  // still filling its look-ahead).
  virtual int Encode(int id, double time, unsigned char* pcm, long length);
  // Always 1; closing a closed encoder does nothing. PCM still gathered is dropped. The
  // codec context stays alive for as long as a container writer shares it.
  virtual int Close();
  // Opens for signed 16-bit input. 1 opened; 0 bad argument, no MP3 encoder, or an empty
  // codec frame; -1 the codec refused the settings. Opening an open encoder closes it first.
  virtual int Open(int channels, int sampleRate, int bitRate);
  // As Open, for input PCM in `input`. The bit rate is the MP3's, whatever the input.
  int OpenForInput(int channels, int sampleRate, int bitRate, SampleLayout input);
  virtual int IsOpen();
  // The codec context; null while closed.
  virtual AVCodecContext* GetCodecContext();
  // The packet: data in the output buffer, key flag set, no timestamps, stream index 0;
  // valid only during the call. Runs on the encoding thread with m_lock held.
  virtual void OnEncode(AVPacket* packet);

  // Ends the stream: encodes the PCM still gathered as a last, shorter frame and takes
  // from the codec the packets its look-ahead still holds, handing each to OnEncode, so
  // that a recording keeps its last moments. The encoder then takes no more PCM (Encode
  // returns 0) until it is opened again; Close is what follows. Returns the number of
  // packets handed out.
  int Drain();

  // The codec context with shared ownership, for a container writer that keeps using it
  // after this encoder's Close; null while closed.
  sorvo::SharedCodecContext ShareCodecContext();
  // Input PCM bytes of one codec frame (frame size x channels x bytes per sample); 0 while
  // closed.
  int GetFrameBytes() const { return m_nFrameBytes; }

 private:
  // Encodes one whole frame of interleaved PCM and hands out what the codec returns.
  // Returns the number of packets handed to OnEncode.
  int EncodeFrameLocked(const unsigned char* pcm);
  // Hands every packet the codec has ready to OnEncode; returns how many.
  int HandOutPacketsLocked();
  void ReleaseLocked();

  // Written by Open, Drain and Close under m_lock; read by Encode under m_lock.
  // m_pCodecContext and m_bOpen are also read without the lock, through atomic operations.
  sorvo::MallocPtr m_pFrameBuffer;  // gathers PCM until a codec frame is complete
  int m_nFrameFill = 0;             // bytes gathered in m_pFrameBuffer
  int m_nFrameBytes = 0;
  SampleLayout m_input = SampleLayout::kS16;
  int m_nBlockBytes = 0;  // one sample of every channel
  sorvo::MallocPtr m_pOutBuffer;
  int m_nOutCapacity = kOutputCapacity;
  const AVCodec* m_pAVCodec = nullptr;
  sorvo::SharedCodecContext m_pCodecContext;
  std::atomic<bool> m_bOpen{false};
  sorvo::FramePtr m_pPlanarFrame;  // the codec takes one plane per channel
  sorvo::PacketPtr m_pCodedPacket;
  sorvo::PacketPtr m_pOutPacket;
  int64_t m_nSamplesIn = 0;
  bool m_bDrained = false;  // the codec has been told the stream ended
  CCriticalSectionEx m_lock;
};
