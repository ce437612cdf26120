// Container file writer: the packets of up to nine attached video encoders and one
// attached audio encoder go into one file (MP4 in practice), one stream per encoder, the
// audio stream after the video streams.
//
// Packets keep the capture clock. A packet that carries a time (pts with a time_base, as
// the module's encoders hand out: pts ticks after the attached encoder's GetTimeOrigin) is
// presented at that time, counted from the file's origin: the time of the first packet
// written to the file, whatever its stream. So a file begins at 0, a gap between packets
// stays a gap (the packet before it lasts longer), and in a file of several streams a
// stream whose first packet was captured later begins later. A stream's first packet
// captured before the origin is refused (video) or, for sound, written with the part
// before the origin cut by the container's edit list, as is an encoder's start-up delay.
// A packet without a time (from another encoder) takes the next place in its stream, the
// n-th packet of a stream at n ticks of its encoder's time base (1/frame rate for video,
// frame size/sample rate for audio), from the file's start. Either way the last packet
// lasts its own duration (one tick when it names none). With regular capture times both
// give the same file, byte for byte. A fragmented MP4 cannot cut the start-up delay: when
// the sound begins first, the whole file is shifted by the delay instead.
// The writer writes a copy of the caller's packet and leaves the caller's packet untouched.
// An MP4 is written in fragments, one per GOP, so that its index does not pile up in memory
// over a long recording and a killed recording stays readable; CloseFile makes it a regular
// MP4 with its index at the end, unless the settings ask for files that stay fragmented
// (MuxerOptions.h).
//
// What a file says about itself is the host's to give, before CreateFileA; by default it
// says nothing: file-level metadata (creation time, title), a name per track (its handler
// name and title), and a timecode track whose first timecode is the time of day of the
// file's origin. Since the origin is known only with the first packet, a file with a
// timecode track gets its header then (or at CloseFile when no packet came). Chapters, in
// capture time, are added while the file is open and written with its index at CloseFile;
// a file that stays fragmented, whose index comes first, cannot take them.
//
// Ownership: the writer owns the format context, its streams and the open file. It
// shares each stream's codec context with its encoder until CloseFile, so an encoder may
// close first. Attached encoders are not owned: they must outlive any CreateFileA that
// uses them; they stay attached across CloseFile.
//
// Threads: packets arrive on encoding threads (from OnEncode hooks, which hold their
// encoder's lock) and on the audio thread; CreateFileA and CloseFile come from a control
// thread. m_lock guards every member except m_bOpen and is taken by every operation except
// IsOpen (CloseFile makes a file regular after letting go of it: the file is no longer
// the writer's by then). Lock order: an encoder's lock, then m_lock. Under m_lock the writer calls
// only the encoders' IsOpen and ShareCodecContext, which take no encoder lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "codec/FFDeleters.h"
#include "codec/PacketStamps.h"
#include "host/CCriticalSectionEx.h"
#include "host/SorvoExport.h"

class FFAudioEncoder;
class FFEncoder;
struct AVCodecContext;
struct AVFormatContext;
struct AVPacket;
struct AVStream;
namespace sorvo {
class PositionedFile;
}
namespace sorvo::mp4 {
struct IndexSkeleton;
}

class SORVO_EXPORT FFWriteFile {
 public:
  static constexpr int kVideoSlots = 10;
  // CreateFileA makes at most this many video streams, from slots 0 to 8.
  static constexpr int kMaxVideoStreams = 9;
  // The longest file name the format context's name field holds; longer ones are refused.
  static constexpr int kMaxFileName = 1023;

  FFWriteFile();
  virtual ~FFWriteFile();
  FFWriteFile(const FFWriteFile&) = delete;
  FFWriteFile& operator=(const FFWriteFile&) = delete;

  // 1 stored (replacing an earlier one); 0 when index is outside 0-9 or encoder is null.
  virtual int AttachVideoEncoder(int index, FFEncoder* encoder);
  // 1 stored; 0 when encoder is null. The int is not used.
  virtual int AttachAudioEncoder(int unused, FFAudioEncoder* encoder);
  // Closes a file still open, then makes fileName with videoCount video streams (slots 0
  // to videoCount-1, each holding an open encoder) and an audio stream when an open audio
  // encoder is attached and the format has audio. formatName is a short format name; when
  // it names none, the extension of fileName decides. 1 file open and header written.
  virtual int CreateFileA(const char* fileName, const char* formatName, int videoCount);
  // Writes a packet of video stream `index`. 1 written; 0 refused (closed, no such stream,
  // empty packet, the stream's first packet captured before the file's origin) or failed.
  // A failed write (a full disk, a file-size limit) is logged once, naming the file; the
  // file stays open but takes no more packets, and CloseFile still tries to finish it.
  virtual int AddVideoFrame(AVPacket* packet, int index);
  // Writes a packet of the audio stream, key-flagged. 1 written; 0 refused or failed.
  virtual int AddAudioFrame(AVPacket* packet);
  // Writes the trailer and closes the file; does nothing when closed. A trailer that cannot
  // be written is logged: the file is then incomplete. A file written as fragments is then
  // made regular, which reads its fragments' index back (about a second for a day of one
  // camera); when that fails it is logged and the file stays fragmented, playable as it is.
  virtual void CloseFile();
  // 1 open, 0 closed.
  virtual int IsOpen();

  // The track SetTrackName names for the audio stream.
  static constexpr int kAudioTrack = -1;
  // A file-level metadata entry of the files made from now on, e.g. "creation_time"
  // (ISO 8601, UTC) or "title", and of an open file still waiting for its header (one with
  // a timecode track before its first packet); a null or empty value removes the key from
  // the files made from now on. 1 stored; 0 for a null or empty key.
  int SetFileMetadata(const char* key, const char* value);
  // Names video stream `index` (0-9) or the audio stream (kAudioTrack) of the files made
  // from now on: the track's handler name and title. A null or empty name removes it.
  // 1 stored; 0 for an index out of range.
  int SetTrackName(int index, const char* name);
  // Gives the files made from now on a timecode track on their first video stream:
  // capture time `captureTime` (the clock of the packets' times) is `secondsOfDay` seconds
  // after midnight, and a file's first timecode is the time of day of its origin, in whole
  // pictures of that stream's frame rate (1 to 255 a second; non-drop; the day wraps at
  // midnight). A clock set again before an open file's first packet counts for that file,
  // so a host may make its files before its session's clock starts. 1 stored; 0 for a
  // time that is not finite.
  int SetTimecodeClock(double captureTime, double secondsOfDay);
  // A chapter of the open file from capture time `time` on (before the origin: from the
  // file's start), titled `title`, until the next chapter or the file's end. Written with
  // the file's index at CloseFile; a fragmented MP4 takes none. 1 taken; 0 when the file
  // is closed, the title empty or the time not finite.
  int AddChapter(double time, const char* title);
  // The capture time of the file's time 0: that of its first packet. Of the open file, or
  // of the last one closed; false when that file received no packet.
  bool GetFileOrigin(double* origin);
  // The first timecode the open (or last closed) file was given, "HH:MM:SS:FF"; empty
  // without a timecode track or before the file's header was written.
  std::string GetFileTimecode();

 protected:
  // New streams, with the encoder's codec parameters; null when none can be made. The
  // codec id is not used: each stream takes the codec of its encoder.
  AVStream* add_video_stream(AVFormatContext* context,
                             int codecId,
                             AVCodecContext* encoderContext,
                             int index);
  AVStream* add_audio_stream(AVFormatContext* context, int codecId, AVCodecContext* audioContext);

 private:
  // One stream of the open file and what stamps its packets.
  struct Track {
    AVStream* stream = nullptr;
    sorvo::SharedCodecContext context;  // shared with the encoder until CloseFile
    FFEncoder* video = nullptr;         // the encoder whose packets come, for their origin
    FFAudioEncoder* audio = nullptr;
    int64_t ticksPerPacket = 1;  // in the encoder's time base
    int64_t packets = 0;         // written so far, failed writes included
    // Set by the first packet written: whether the stream follows the packets' times, and
    // its first pts (encoder time base) with the stream time it was written at.
    bool started = false;
    bool timed = false;
    int64_t firstPts = 0;
    int64_t firstTicks = 0;
    int64_t lastPts = 0;  // the last pts taken, failed writes included
    // What the muxer took, for the index of a file made regular at the end.
    sorvo::mp4::StreamStamps written;
  };

  // The presentation time of the packet in the stream's time base, and its duration;
  // false when the packet comes before the stream may begin. m_lock held.
  bool StampLocked(const AVPacket* packet, Track* track, int64_t* ticks, int64_t* duration);
  // Places the stream's first timed packet against the file's origin; false when it comes
  // before it. m_lock held.
  bool StartTimedLocked(const AVPacket* packet, Track* track);
  int WriteLocked(const AVPacket* packet, Track* track, int flags);
  // Writes the header of a file that waited for its origin, with its first timecode.
  // False (logged) when the container refuses it. m_lock held.
  bool WriteHeaderLocked();
  // Hands the chapters to `context`, each ending where the next begins.
  void PutChaptersLocked(AVFormatContext* context);
  // Makes the index of the open file, written as fragments, and the number of samples of
  // each of its streams, for RegularMp4Finish; false (logged) when it cannot be made.
  bool MakeIndexLocked(sorvo::mp4::IndexSkeleton* skeleton, std::vector<int64_t>* samples);
  // Makes the closed file, written as `path`, regular with that index; a failure is
  // logged.
  static void FinishRegular(const sorvo::mp4::IndexSkeleton& skeleton,
                            const std::vector<int64_t>& samples,
                            sorvo::PositionedFile* file,
                            const std::string& path);
  // Closes the open file. A file to be made regular is finished by `finish` when the
  // caller gives one (to run once it has let go of m_lock), else at once.
  void CloseLocked(std::function<void()>* finish = nullptr);
  void ReportWriteFailureLocked(int error);

  sorvo::OutputContextPtr m_pFormatContext;
  FFEncoder* m_pVideoEncoders[kVideoSlots] = {};
  FFAudioEncoder* m_pAudioEncoder = nullptr;
  Track m_videoTracks[kVideoSlots];
  Track m_audioTrack;
  int m_nVideoCount = 0;            // video streams of the open file
  sorvo::PacketPtr m_pWritePacket;  // the copy handed to the container library
  bool m_bWriteFailed = false;      // the open file refused a packet: it takes no more
  bool m_bFinishRegular = false;    // the open file is made regular when it closes
  bool m_bOriginSet = false;        // m_dOrigin holds the time of the file's first packet
  double m_dOrigin = 0;             // capture clock, seconds
  // What the files say about themselves, for the next CreateFileA.
  std::vector<std::pair<std::string, std::string>> m_fileMetadata;
  std::string m_trackNames[kVideoSlots];
  std::string m_audioTrackName;
  bool m_bTimecode = false;
  double m_dTimecodeCapture = 0;  // capture time that is m_dTimecodeDay after midnight
  double m_dTimecodeDay = 0;
  // The open file's: a header still to write (it waits for the origin), the timecode it
  // got, its chapters in capture time and the end of its latest packet in file seconds.
  bool m_bHeaderPending = false;
  int m_nTimecodeRate = 0;
  std::string m_strTimecode;
  std::vector<std::pair<double, std::string>> m_chapters;
  double m_dFileEnd = 0;
  std::atomic<int> m_bOpen{0};
  CCriticalSectionEx m_lock;
};
