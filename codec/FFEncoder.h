// MPEG-4 Part 2 video encoder: one packet per picture, in picture order, handed to the
// OnEncode hook the moment it is produced.
//
// Each picture is placed on the frame-rate grid by its capture time (CaptureTimeline.h):
// the packet says where, so that a file written from the packets keeps the capture clock.
// A picture of an instant already encoded is left out; times the grid cannot follow are
// counted instead, and the log says so once per Open. Slots that pictures never reached
// (pictures lost on the way, a camera that paused) are each given a picture that repeats
// the one before (RepeatPicture.h), handed to OnEncode ahead of the picture after them, so
// that every file, client and decoder downstream sees a constant rate whose pictures still
// keep the capture clock. A stream that lost nothing is exactly what it was without this.
//
// Threads: Open, Close and the size, format and label getters run on the owner's control
// thread, Encode on its encoding thread; IsOpen, GetCodecContext and ShareCodecContext may
// be called from any thread.
// m_lock serialises Encode, Open and Close on one encoder (OnEncode runs under it, so
// whatever the hook locks comes after it); the process-wide video-encoder mutex serialises
// codec open and close across all encoders. Lock order: m_lock, then the mutex.
// IsOpen and the context getters take no lock: a capture thread asks IsOpen while holding
// its sink's lock, and a container writer asks for the context under its own lock, both of
// which an encoding thread takes after m_lock. They read m_bOpen and m_pCodecContext
// through atomic operations instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/FFDeleters.h"
#include "host/CCriticalSectionEx.h"
#include "host/PixelFormat.h"
#include "host/SorvoExport.h"

namespace sorvo {
class BandedConversion;
class CaptureTimeline;
class RepeatPicture;
}  // namespace sorvo

struct AVCodec;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

class SORVO_EXPORT FFEncoder {
 public:
  // Every encoded picture is written into an output buffer of this size.
  static constexpr int kOutputCapacity = 0x200000;

  FFEncoder();
  virtual ~FFEncoder();
  FFEncoder(const FFEncoder&) = delete;
  FFEncoder& operator=(const FFEncoder&) = delete;

  // Encodes one picture of the size and format given to Open, captured at `time` (seconds
  // on the host's capture clock, which all streams of one session share). `id` is not
  // used; `length` must cover the whole picture, or nothing is read. 1 when a packet went
  // to OnEncode, else 0 (also for a picture of an instant already encoded, which is left
  // out and counted in GetLeftOutPictures).
  virtual int Encode(int id, double time, unsigned char* data, long length);
  // Always 1; closing a closed encoder does nothing. The codec context stays alive for
  // as long as a container writer shares it (ShareCodecContext).
  virtual int Close();
  // Input formats 0 (YUV 4:2:0), 8 (grey, handed in as YUV 4:2:0), 2, 3 and 27 to 30
  // (packed RGB, converted). Any other non-negative format opens, logs a warning and
  // encodes nothing. Opening an open encoder closes it first. 1 opened, 0 failed.
  // Pictures larger than one core can convert and encode in time are converted and coded
  // on several threads, in slices (EncodeThreads.h says when, and how SettingVideo.ini
  // decides it instead); the stream declares the lowest Simple Profile level that holds
  // its size, rate and bit rate (Mpeg4Level.h).
  virtual int Open(int width,
                   int height,
                   PixelFormat format,
                   int frameRate,
                   int bitRate,
                   const char* label);
  virtual int IsOpen();
  // The codec context; null while closed.
  virtual AVCodecContext* GetCodecContext();
  // The packet: data in the output buffer, stream index 0, key flag on key frames; pts and
  // dts the picture's slot on the grid, duration 1 and time_base 1/frame rate, so that
  // pts / frame rate seconds after GetTimeOrigin() is its capture time. Valid only during
  // the call. Runs on the encoding thread with m_lock held.
  virtual void OnEncode(AVPacket* packet);

  // The codec context with shared ownership, for a container writer that keeps using it
  // after this encoder's Close; null while closed. Its extradata holds the decoder
  // configuration; its flags never carry the global-header flag, so every key frame
  // keeps its in-band headers.
  sorvo::SharedCodecContext ShareCodecContext();
  // Makes the next picture a key frame, so that a file or client that starts now begins
  // with a picture it can decode. Any thread.
  void RequestKeyFrame() { m_bKeyFrameRequested.store(true); }
  // Packets encoded elsewhere recorded in place of this encoder's own (a camera passed on
  // from another recorder without a second encoding). BeginPassing takes the stream's
  // headers (Mpeg4KeyFrameCheck.h checks them) as the decoder configuration of the files
  // made from then on; Encode goes on taking pictures until a key frame is passed, and
  // takes none from then on, until EndPassing goes back to encoding, from a key frame. So
  // a stream begun again (a connection made again) leaves no hole until its key frame. 1,
  // or 0 while closed or for empty headers. The headers must be given before a container
  // writer shares the context (before StartRecord, or a controller's file), so that the
  // files agree with the packets.
  int BeginPassing(const std::vector<uint8_t>& headers);
  void EndPassing();
  // Whether packets are being passed (a key frame was passed since BeginPassing).
  bool IsPassing() const { return m_ePassing.load() == Passing::kPassing; }
  // Hands one packet encoded elsewhere to OnEncode as if this encoder had made it: placed
  // on the grid by its capture time as Encode places a picture, except that it is never
  // left out, since the packets after it are coded against it. 1 passed; 0 while closed,
  // not begun, before the first key frame, or for a packet that is empty or larger than
  // kOutputCapacity. The caller's thread runs OnEncode, with m_lock held.
  int Pass(double time, const unsigned char* data, long length, bool key);
  // The capture time of the packets' pts 0 since the last Open, on the clock of the times
  // given to Encode; it moves only where times could not be followed. Any thread; a
  // writer reads it for a packet from inside that packet's OnEncode.
  double GetTimeOrigin() const;
  // Pictures left out since Open because their instant was already encoded. Any thread.
  int64_t GetLeftOutPictures() const { return m_nLeftOut.load(); }
  // Slots since Open given a repeat of the picture before, for want of one. Any thread.
  int64_t GetRepeatedPictures() const { return m_nRepeated.load(); }
  int GetEncoderWidth() const { return m_nWidth; }
  int GetEncoderHeight() const { return m_nHeight; }
  PixelFormat GetInputFormat() const { return m_eInputFormat; }
  std::string GetLabel() const { return m_strLabel; }

 private:
  int PictureBytes() const;  // bytes Encode reads from the caller for one picture
  // Gives the open context the decoder configuration that an MP4 sample entry needs,
  // without the global-header flag that would strip the in-band headers.
  bool AttachExtradata(const AVCodec* codec,
                       AVCodecContext* context,
                       int frameRate,
                       bool gray,
                       int threads);
  AVFrame* PreparePictureLocked(unsigned char* data);
  // The slot of the picture captured at `time`, or -1 to leave it out. m_lock held.
  int64_t PlacePictureLocked(double time);
  // Hands out a repeat of the last picture for each slot before `slot` left empty; true
  // when the picture of `slot` must then be a key frame. m_lock held.
  bool RepeatUpToLocked(int64_t slot);
  // Hands `size` bytes at `data` to OnEncode as the packet of `slot`. m_lock held.
  void HandOutLocked(uint8_t* data, int size, int64_t slot, bool key);
  void ReleaseLocked();

  // Written by Open and Close under m_lock; read by Encode under m_lock. m_pCodecContext
  // and m_bOpen are also read without the lock, through atomic operations.
  const AVCodec* m_pAVCodec = nullptr;
  sorvo::SharedCodecContext m_pCodecContext;
  std::atomic<bool> m_bOpen{false};
  std::atomic<bool> m_bKeyFrameRequested{false};
  enum class Passing { kNo, kAwaitingKey, kPassing };
  std::atomic<Passing> m_ePassing{Passing::kNo};  // written under m_lock
  sorvo::FramePtr m_pConvertPicture;              // owns its buffer: converted packed pictures
  // Converts a packed picture on several threads; null where one thread converts.
  std::unique_ptr<sorvo::BandedConversion> m_pConversion;
  sorvo::FramePtr m_pDirectPicture;  // laid over the caller's YUV data
  sorvo::PacketPtr m_pCodedPacket;   // what the codec returns
  sorvo::PacketPtr m_pOutPacket;     // what OnEncode receives
  sorvo::MallocPtr m_pOutBuffer;
  int m_nOutCapacity = 0;
  std::unique_ptr<sorvo::CaptureTimeline> m_pTimeline;  // reset by Open
  std::unique_ptr<sorvo::RepeatPicture> m_pRepeat;      // reset by Open
  int64_t m_nLastSlot = -1;   // the slot of the last packet handed out; -1 before the first
  int64_t m_nCodedSlot = -1;  // the slot of the last picture the codec coded
  std::atomic<int64_t> m_nLeftOut{0};
  std::atomic<int64_t> m_nRepeated{0};
  bool m_bToldCounted = false;   // the log has said that times were counted
  bool m_bToldLeftOut = false;   // the log has said that pictures were left out
  bool m_bToldRepeated = false;  // the log has said that slots were filled
  int m_nWidth = 0;
  int m_nHeight = 0;
  PixelFormat m_eInputFormat = PIX_FMT_NONE;
  std::string m_strLabel;
  CCriticalSectionEx m_lock;
};
