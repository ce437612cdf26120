#include "codec/FFWriteFile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "codec/FFAudioEncoder.h"
#include "codec/FFEncoder.h"
#include "codec/FileChapters.h"
#include "codec/FragmentCommitIo.h"
#include "codec/IndexSkeleton.h"
#include "codec/MuxerOptions.h"
#include "codec/RegularMp4Finish.h"
#include "codec/Timecode.h"
#include "host/MediaBase.h"
#include "host/PathUtil.h"
#include "host/PositionedFile.h"
#include "support/LogF.h"

namespace {

// A closed file still to be made regular, with what that takes.
struct FinishWork {
  sorvo::mp4::IndexSkeleton skeleton;
  std::vector<int64_t> samples;
  std::unique_ptr<sorvo::PositionedFile> file;
  std::string path;
};

// The stream id that the audio stream has always carried, after the video slots.
constexpr int kAudioStreamId = 11;
// A video stream's first picture captured this little before the file's origin still
// begins the stream, at the origin: less than a tick of any stream time base in use.
constexpr double kOriginSlack = 0.0005;

bool CarriesTime(const AVPacket* packet) {
  return packet->pts != AV_NOPTS_VALUE && packet->time_base.num > 0 && packet->time_base.den > 0;
}

// Seconds expressed in `base`, to the nearest tick.
int64_t SecondsToTicks(double seconds, AVRational base) {
  return std::llround(seconds * base.den / base.num);
}

// The rate a timecode track counts in: whole pictures a second, as its sample entry holds.
int TimecodeRate(AVRational timeBase) {
  if (timeBase.num <= 0 || timeBase.den <= 0)
    return 0;
  const int64_t rate = std::llround(static_cast<double>(timeBase.den) / timeBase.num);
  return rate >= 1 && rate <= 255 ? static_cast<int>(rate) : 0;
}

void NameTrack(AVStream* stream, const std::string& name) {
  if (stream == nullptr || name.empty())
    return;
  av_dict_set(&stream->metadata, "handler_name", name.c_str(), 0);
  av_dict_set(&stream->metadata, "title", name.c_str(), 0);
}

AVStream* AddStream(AVFormatContext* context, AVCodecContext* codecContext, int streamId) {
  if (context == nullptr || codecContext == nullptr)
    return nullptr;
  AVStream* stream = avformat_new_stream(context, nullptr);
  if (stream == nullptr)
    return nullptr;
  stream->id = streamId;
  // The encoder's flags stay as they are: its extradata already holds the decoder
  // configuration, and the global-header flag on an open MPEG-4 encoder would strip the
  // in-band headers from every later key frame.
  if (avcodec_parameters_from_context(stream->codecpar, codecContext) < 0)
    return nullptr;
  // A hint: the container may choose a finer time base while writing the header.
  stream->time_base = codecContext->time_base;
  return stream;
}

}  // namespace

FFWriteFile::FFWriteFile() = default;

FFWriteFile::~FFWriteFile() {
  CSingleLock hold(m_lock);
  CloseLocked();
}

int FFWriteFile::AttachVideoEncoder(int index, FFEncoder* encoder) {
  CSingleLock hold(m_lock);
  if (index < 0 || index >= kVideoSlots || encoder == nullptr)
    return 0;
  m_pVideoEncoders[index] = encoder;
  return 1;
}

int FFWriteFile::AttachAudioEncoder(int /*unused*/, FFAudioEncoder* encoder) {
  CSingleLock hold(m_lock);
  if (encoder == nullptr)
    return 0;
  m_pAudioEncoder = encoder;
  return 1;
}

int FFWriteFile::CreateFileA(const char* fileName, const char* formatName, int videoCount) {
  CSingleLock hold(m_lock);
  // A file still open gets its trailer before the writer turns to the next one.
  CloseLocked();
  if (fileName == nullptr || videoCount < 0 || videoCount > kMaxVideoStreams)
    return 0;
  // A name that does not fit the format context's name field is refused, never cut.
  if (std::memchr(fileName, '\0', kMaxFileName + 1) == nullptr)
    return 0;
  InitFFmpeg();

  const AVOutputFormat* format = av_guess_format(formatName, fileName, nullptr);
  if (format == nullptr)
    return 0;
  AVFormatContext* made = nullptr;
  if (avformat_alloc_output_context2(&made, format, nullptr, fileName) < 0 || made == nullptr)
    return 0;
  sorvo::OutputContextPtr context(made);
  sorvo::PacketPtr writePacket(av_packet_alloc());
  if (!writePacket)
    return 0;

  Track video[kVideoSlots];
  int streams = 0;
  if (format->video_codec != AV_CODEC_ID_NONE) {
    for (int i = 0; i < videoCount; ++i) {
      if (m_pVideoEncoders[i] == nullptr || m_pVideoEncoders[i]->IsOpen() != 1)
        return 0;
    }
    for (int i = 0; i < videoCount; ++i) {
      // An encoder that closed since it said it was open has no context to give.
      sorvo::SharedCodecContext shared = m_pVideoEncoders[i]->ShareCodecContext();
      if (!shared)
        return 0;
      video[i].stream = add_video_stream(context.get(), format->video_codec, shared.get(), i);
      if (video[i].stream == nullptr)
        return 0;
      video[i].context = std::move(shared);
      video[i].video = m_pVideoEncoders[i];
    }
    streams = videoCount;
  }
  Track audio;
  if (format->audio_codec != AV_CODEC_ID_NONE && m_pAudioEncoder != nullptr &&
      m_pAudioEncoder->IsOpen() == 1) {
    sorvo::SharedCodecContext shared = m_pAudioEncoder->ShareCodecContext();
    if (!shared)
      return 0;
    audio.stream = add_audio_stream(context.get(), format->audio_codec, shared.get());
    if (audio.stream == nullptr)
      return 0;
    // One packet per codec frame, in a time base of one tick per sample.
    if (shared->frame_size > 0)
      audio.ticksPerPacket = shared->frame_size;
    audio.context = std::move(shared);
    audio.audio = m_pAudioEncoder;
  }

  for (int i = 0; i < streams; ++i)
    NameTrack(video[i].stream, m_trackNames[i]);
  NameTrack(audio.stream, m_audioTrackName);
  for (const auto& [key, value] : m_fileMetadata)
    av_dict_set(&context->metadata, key.c_str(), value.c_str(), 0);
  // The muxer makes the timecode track as it starts, from the first video stream's entry;
  // what the entry says is set once the file's origin is known, with the header.
  const int timecodeRate =
      m_bTimecode && streams > 0 ? TimecodeRate(video[0].context->time_base) : 0;
  if (timecodeRate > 0) {
    video[0].stream->avg_frame_rate = AVRational{timecodeRate, 1};
    av_dict_set(&video[0].stream->metadata, "timecode", "00:00:00:00", 0);
  }

  const bool needsFile = !(format->flags & AVFMT_NOFILE);
  const bool existed = needsFile && PathFileExistsA(fileName);
  // Read now, so that a host may change it between files.
  sorvo::MuxerOptions options =
      sorvo::MuxerOptions::ForFormat(format, streams + (audio.stream != nullptr ? 1 : 0));
  if (needsFile && !options.OpenFile(context.get(), fileName))
    return 0;
  const int started = timecodeRate > 0 ? avformat_init_output(context.get(), options.address())
                                       : avformat_write_header(context.get(), options.address());
  if (started < 0) {
    // A container that refuses its streams leaves no empty file of ours behind.
    context.reset();
    if (needsFile && !existed)
      DeleteFileA(fileName);
    return 0;
  }

  m_pFormatContext = std::move(context);
  m_pWritePacket = std::move(writePacket);
  for (int i = 0; i < kVideoSlots; ++i)
    m_videoTracks[i] = std::move(video[i]);
  m_audioTrack = std::move(audio);
  m_nVideoCount = streams;
  m_bOriginSet = false;
  m_bFinishRegular = options.FinishesRegular();
  m_bHeaderPending = timecodeRate > 0;
  m_nTimecodeRate = timecodeRate;
  m_strTimecode.clear();
  m_chapters.clear();
  m_dFileEnd = 0;
  m_bOpen.store(1);
  return 1;
}

int FFWriteFile::SetFileMetadata(const char* key, const char* value) {
  CSingleLock hold(m_lock);
  if (key == nullptr || *key == '\0')
    return 0;
  m_fileMetadata.erase(std::remove_if(m_fileMetadata.begin(), m_fileMetadata.end(),
                                      [key](const auto& entry) { return entry.first == key; }),
                       m_fileMetadata.end());
  if (value != nullptr && *value != '\0')
    m_fileMetadata.emplace_back(key, value);
  return 1;
}

int FFWriteFile::SetTrackName(int index, const char* name) {
  CSingleLock hold(m_lock);
  if (index != kAudioTrack && (index < 0 || index >= kVideoSlots))
    return 0;
  (index == kAudioTrack ? m_audioTrackName : m_trackNames[index]) = name != nullptr ? name : "";
  return 1;
}

int FFWriteFile::SetTimecodeClock(double captureTime, double secondsOfDay) {
  CSingleLock hold(m_lock);
  if (!std::isfinite(captureTime) || !std::isfinite(secondsOfDay))
    return 0;
  m_bTimecode = true;
  m_dTimecodeCapture = captureTime;
  m_dTimecodeDay = secondsOfDay;
  return 1;
}

int FFWriteFile::AddChapter(double time, const char* title) {
  CSingleLock hold(m_lock);
  if (!m_bOpen.load() || title == nullptr || *title == '\0' || !std::isfinite(time))
    return 0;
  m_chapters.emplace_back(time, title);
  return 1;
}

bool FFWriteFile::GetFileOrigin(double* origin) {
  CSingleLock hold(m_lock);
  if (!m_bOriginSet)
    return false;
  if (origin != nullptr)
    *origin = m_dOrigin;
  return true;
}

std::string FFWriteFile::GetFileTimecode() {
  CSingleLock hold(m_lock);
  return m_strTimecode;
}

bool FFWriteFile::WriteHeaderLocked() {
  m_bHeaderPending = false;
  // A file closed before any packet came starts at the clock's own moment.
  const double origin = m_bOriginSet ? m_dOrigin : m_dTimecodeCapture;
  const std::string timecode =
      sorvo::Timecode(m_dTimecodeDay, m_nTimecodeRate).TextAt(origin - m_dTimecodeCapture);
  av_dict_set(&m_videoTracks[0].stream->metadata, "timecode", timecode.c_str(), 0);
  // A host may have dated the file since it was made.
  for (const auto& [key, value] : m_fileMetadata)
    av_dict_set(&m_pFormatContext->metadata, key.c_str(), value.c_str(), 0);
  const int written = avformat_write_header(m_pFormatContext.get(), nullptr);
  if (written < 0) {
    ReportWriteFailureLocked(written);
    return false;
  }
  m_strTimecode = timecode;
  return true;
}

void FFWriteFile::PutChaptersLocked(AVFormatContext* context) {
  if (m_chapters.empty() || !m_bOriginSet)
    return;
  std::vector<std::pair<double, std::string>> chapters;
  for (const auto& [time, title] : m_chapters)
    chapters.emplace_back(time - m_dOrigin, title);
  sorvo::PutFileChapters(context, std::move(chapters), m_dFileEnd);
}

AVStream* FFWriteFile::add_video_stream(AVFormatContext* context,
                                        int /*codecId*/,
                                        AVCodecContext* encoderContext,
                                        int index) {
  CSingleLock hold(m_lock);
  return AddStream(context, encoderContext, index);
}

AVStream* FFWriteFile::add_audio_stream(AVFormatContext* context,
                                        int /*codecId*/,
                                        AVCodecContext* audioContext) {
  CSingleLock hold(m_lock);
  return AddStream(context, audioContext, kAudioStreamId);
}

int FFWriteFile::AddVideoFrame(AVPacket* packet, int index) {
  CSingleLock hold(m_lock);
  if (!m_bOpen.load() || packet == nullptr || index < 0 || index >= m_nVideoCount)
    return 0;
  return WriteLocked(packet, &m_videoTracks[index], packet->flags);
}

int FFWriteFile::AddAudioFrame(AVPacket* packet) {
  CSingleLock hold(m_lock);
  if (!m_bOpen.load() || packet == nullptr || m_audioTrack.stream == nullptr)
    return 0;
  return WriteLocked(packet, &m_audioTrack, packet->flags | AV_PKT_FLAG_KEY);
}

bool FFWriteFile::StartTimedLocked(const AVPacket* packet, Track* track) {
  const AVRational base = packet->time_base;
  const double origin = track->video != nullptr   ? track->video->GetTimeOrigin()
                        : track->audio != nullptr ? track->audio->GetTimeOrigin()
                                                  : 0.0;
  const double start = origin + static_cast<double>(packet->pts) * av_q2d(base);
  // An encoder's start-up delay gives its first packets times before the sound itself
  // begins; the sound, not the delay, is what the file's origin marks.
  const double content =
      origin + static_cast<double>(std::max<int64_t>(packet->pts, 0)) * av_q2d(base);
  if (!m_bOriginSet) {
    m_bOriginSet = true;
    m_dOrigin = content;
  }
  const AVRational streamBase = track->stream->time_base;
  int64_t ticks = SecondsToTicks(start - m_dOrigin, streamBase);
  if (track->audio == nullptr) {
    // A picture from before the file began belongs to no stream of it; the stream begins
    // with its first picture from then on.
    if (start < m_dOrigin - kOriginSlack) {
      // The encoder's next picture is made a key frame, so the stream does not wait a
      // whole GOP for one that can open it.
      if (track->video != nullptr)
        track->video->RequestKeyFrame();
      return false;
    }
    ticks = std::max<int64_t>(ticks, 0);
  } else {
    const int64_t duration = packet->duration > 0 ? packet->duration : track->ticksPerPacket;
    const double end = start + static_cast<double>(duration) * av_q2d(base);
    // Sound that ended before the file began is not in it; sound that began before it is
    // written from its start, and the container's edit list leaves out what comes before
    // the origin, exactly as it leaves out the encoder's start-up delay. That delay alone
    // may fill whole packets, which the decoder still needs.
    if (end <= m_dOrigin && origin < m_dOrigin - kOriginSlack)
      return false;
  }
  track->timed = true;
  track->firstPts = av_rescale_q(packet->pts, base, track->context->time_base);
  track->lastPts = track->firstPts;
  track->firstTicks = ticks;
  return true;
}

bool FFWriteFile::StampLocked(const AVPacket* packet,
                              Track* track,
                              int64_t* ticks,
                              int64_t* duration) {
  const AVRational codecBase = track->context->time_base;
  const AVRational streamBase = track->stream->time_base;
  if (!track->started) {
    if (CarriesTime(packet) && !StartTimedLocked(packet, track))
      return false;
    track->started = true;
  }

  int64_t length = track->ticksPerPacket;
  if (CarriesTime(packet) && packet->duration > 0)
    length = av_rescale_q(packet->duration, packet->time_base, codecBase);
  if (track->timed && track->packets > 0) {
    // A packet without a time, or with one that does not move on, follows the last one.
    int64_t pts = CarriesTime(packet) ? av_rescale_q(packet->pts, packet->time_base, codecBase)
                                      : track->lastPts + length;
    if (pts <= track->lastPts)
      pts = track->lastPts + length;
    track->lastPts = pts;
  }

  int64_t start = 0;
  if (track->timed) {
    start = track->lastPts - track->firstPts;
    // The stream's first packet is written where its capture time falls; the ones after
    // it keep their distance from it on the encoder's grid.
    *ticks = track->firstTicks + av_rescale_q(start, codecBase, streamBase);
    *duration = av_rescale_q(start + length, codecBase, streamBase) -
                av_rescale_q(start, codecBase, streamBase);
  } else {
    start = track->packets * track->ticksPerPacket;
    *ticks = av_rescale_q(start, codecBase, streamBase);
    *duration = av_rescale_q(start + length, codecBase, streamBase) - *ticks;
  }
  // Counted even when the write fails, so that later packets keep their place in time.
  ++track->packets;
  return true;
}

int FFWriteFile::WriteLocked(const AVPacket* packet, Track* track, int flags) {
  // An empty packet is no picture and no sound; it would shift every later time.
  if (packet->data == nullptr || packet->size <= 0)
    return 0;
  // After a failure the container's output stays in error: every later packet would fail
  // too, and each would be one more log line.
  if (m_bWriteFailed)
    return 0;
  int64_t ticks = 0;
  int64_t duration = 0;
  if (!StampLocked(packet, track, &ticks, &duration))
    return 0;
  if (m_bHeaderPending && !WriteHeaderLocked())
    return 0;
  m_dFileEnd = std::max(m_dFileEnd,
                        static_cast<double>(ticks + duration) * av_q2d(track->stream->time_base));

  // The container library takes the packet over and blanks it; it gets a copy, and the
  // caller's packet goes on unchanged to the encoder's other consumers.
  AVPacket* out = m_pWritePacket.get();
  av_packet_unref(out);
  out->data = packet->data;
  out->size = packet->size;
  out->flags = flags;
  out->stream_index = track->stream->index;
  out->pts = ticks;
  out->dts = ticks;
  out->duration = duration;
  const sorvo::mp4::PacketStamp stamp{ticks, ticks, duration, flags};
  const int written = av_interleaved_write_frame(m_pFormatContext.get(), out);
  if (written == 0)
    track->written.Add(stamp);
  // At each key frame what the container holds goes to the disk: its buffer would keep
  // seconds of pictures from a file whose writer is killed, and from readers of the live
  // file. Packets the interleaving still holds for the other streams follow later.
  if (written == 0 && track != &m_audioTrack && (flags & AV_PKT_FLAG_KEY) != 0 &&
      m_pFormatContext->pb != nullptr) {
    avio_flush(m_pFormatContext->pb);
    if (m_pFormatContext->pb->error < 0) {
      ReportWriteFailureLocked(m_pFormatContext->pb->error);
      return 0;
    }
  }
  if (written == 0)
    return 1;
  ReportWriteFailureLocked(written);
  return 0;
}

void FFWriteFile::ReportWriteFailureLocked(int error) {
  m_bWriteFailed = true;
  char why[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, why, sizeof(why));
  LogErrorF("writing %s failed (%s): its later packets are dropped, the other outputs go on",
            m_pFormatContext->url, why);
}

void FFWriteFile::CloseFile() {
  std::function<void()> finish;
  {
    CSingleLock hold(m_lock);
    CloseLocked(&finish);
  }
  // Making a long recording regular reads its fragments back, seconds for a day of several
  // streams: done without the lock, so that encoding threads still handing packets to this
  // writer (refused, since it is closed) do not wait for the disk meanwhile and drop
  // pictures of their own files.
  if (finish)
    finish();
}

void FFWriteFile::CloseLocked(std::function<void()>* finish) {
  if (!m_bOpen.load())
    return;
  m_bOpen.store(0);
  // The trailer is tried even after a failed packet: a packet the container refused leaves
  // the output sound, and the file then plays up to it. After a failed write to the disk
  // the output stays in error, the trailer fails too, and the file has no index.
  // A file that never received a packet still gets its header, so that it opens.
  const bool headed = !m_bHeaderPending || WriteHeaderLocked();
  bool finished = false;
  if (m_pFormatContext && headed) {
    // A file that stays fragmented cannot take chapters; one made regular takes them with
    // its new index.
    if (!m_bFinishRegular)
      PutChaptersLocked(m_pFormatContext.get());
    int result = av_write_trailer(m_pFormatContext.get());
    AVIOContext* output = m_pFormatContext->pb;
    if (result == 0 && output != nullptr) {
      avio_flush(output);
      result = output->error;
    }
    if (result < 0) {
      char why[AV_ERROR_MAX_STRING_SIZE] = {};
      av_strerror(result, why, sizeof(why));
      LogErrorF("cannot finish %s (%s): the file is incomplete", m_pFormatContext->url, why);
    }
    finished = result == 0 && !m_bWriteFailed;
  }
  sorvo::mp4::IndexSkeleton skeleton;
  std::vector<int64_t> samples;
  std::unique_ptr<sorvo::PositionedFile> file;
  // The file is made regular through the descriptor it was written with: its name may
  // have been given to another file meanwhile.
  if (finished && m_bFinishRegular && MakeIndexLocked(&skeleton, &samples))
    file = sorvo::FragmentCommitIo::Release(m_pFormatContext->pb);
  const std::string path = m_pFormatContext ? m_pFormatContext->url : "";
  // Closes the file and frees the streams; the codec contexts go back to their encoders.
  m_pFormatContext.reset();
  if (file) {
    auto work = std::make_shared<FinishWork>(
        FinishWork{std::move(skeleton), std::move(samples), std::move(file), path});
    auto run = [work] {
      FinishRegular(work->skeleton, work->samples, work->file.get(), work->path);
    };
    if (finish != nullptr)
      *finish = run;
    else
      run();
  }
  for (Track& track : m_videoTracks)
    track = Track();
  m_audioTrack = Track();
  m_nVideoCount = 0;
  m_bWriteFailed = false;
  m_bHeaderPending = false;
  m_bFinishRegular = false;
  m_chapters.clear();
}

bool FFWriteFile::MakeIndexLocked(sorvo::mp4::IndexSkeleton* skeleton,
                                  std::vector<int64_t>* samples) {
  AVFormatContext* context = m_pFormatContext.get();
  std::vector<sorvo::mp4::StreamStamps> streams(context->nb_streams);
  for (int i = 0; i < m_nVideoCount; ++i)
    streams[m_videoTracks[i].stream->index] = m_videoTracks[i].written;
  if (m_audioTrack.stream != nullptr)
    streams[m_audioTrack.stream->index] = m_audioTrack.written;
  samples->clear();
  for (const sorvo::mp4::StreamStamps& stream : streams)
    samples->push_back(stream.packets);
  const sorvo::MuxerOptions options =
      sorvo::MuxerOptions::Regular(context->oformat, static_cast<int>(context->nb_streams));
  std::string error;
  if (sorvo::mp4::IndexSkeleton::Make(
          context, streams, options.get(),
          [this](AVFormatContext* regular) { PutChaptersLocked(regular); }, skeleton, &error))
    return true;
  LogErrorF("cannot make the index of %s (%s): it stays a fragmented MP4, which plays as it is",
            context->url, error.c_str());
  return false;
}

void FFWriteFile::FinishRegular(const sorvo::mp4::IndexSkeleton& skeleton,
                                const std::vector<int64_t>& samples,
                                sorvo::PositionedFile* file,
                                const std::string& path) {
  sorvo::mp4::FinishReport report;
  std::string error;
  if (!sorvo::mp4::FinishRegularMp4(file, skeleton, samples, &report, &error))
    LogErrorF("cannot make %s a regular MP4 (%s): it stays a fragmented MP4, which plays as it is",
              path.c_str(), error.c_str());
}

int FFWriteFile::IsOpen() {
  return m_bOpen.load();
}
