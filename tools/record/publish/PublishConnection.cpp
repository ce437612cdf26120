#include "tools/record/publish/PublishConnection.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

extern "C" {
#include <libavformat/avformat.h>
}

#include "tools/common/AvError.h"
#include "tools/common/TextTable.h"
#include "tools/record/publish/ThreadLogCapture.h"

namespace sorvo::tools {
namespace {

// A live HLS playlist lists this many segments; older ones are deleted from the disk.
constexpr int kHlsListSize = 6;

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

}  // namespace

PublishConnection::PublishConnection(const PublishTarget& target,
                                     std::shared_ptr<const ProgramStreams> streams,
                                     const PublishSettings& settings,
                                     const std::atomic<bool>& abort)
    : m_target(target), m_streams(std::move(streams)), m_settings(settings), m_abort(abort) {
  if (m_target.kind == PublishTarget::Kind::kHls)
    m_playlist = std::make_unique<HlsPlaylist>(m_target.url);
}

PublishConnection::~PublishConnection() {
  Close();
}

int PublishConnection::Interrupted(void* self) {
  const auto* connection = static_cast<const PublishConnection*>(self);
  return connection->m_abort.load() || std::chrono::steady_clock::now() > connection->m_deadline;
}

void PublishConnection::Arm() {
  m_deadline = std::chrono::steady_clock::now() + m_settings.ioTimeout;
}

std::string PublishConnection::Failure(const char* what, int code) const {
  std::string text = std::string(what) + ": ";
  if (m_abort.load())
    text += "cut off at the end of the session";
  else if (code == AVERROR_EXIT || code == AVERROR(ETIMEDOUT))
    text += "no answer within " + FormatFixed(m_settings.ioTimeout.count() / 1000.0, 1) + " s";
  else
    text += AvErrorText(code);
  return text;
}

bool PublishConnection::Open(bool again, std::string* error) {
  ThreadLogCapture log;
  if (m_target.kind == PublishTarget::Kind::kHls) {
    // The playlist's folder is made when missing, as the recorder makes its session folder.
    const std::filesystem::path folder = std::filesystem::path(m_target.url).parent_path();
    std::error_code failure;
    if (!folder.empty() && !std::filesystem::is_directory(folder) &&
        !std::filesystem::create_directories(folder, failure)) {
      *error = "cannot make the folder " + folder.string() + ": " + failure.message();
      return false;
    }
  }
  if (m_playlist && !again)
    m_playlist->Restart();
  const std::string url = m_playlist ? m_playlist->writerPath() : m_target.url;
  AVFormatContext* context = nullptr;
  int result = avformat_alloc_output_context2(&context, nullptr, m_target.Muxer(), url.c_str());
  if (result < 0 || context == nullptr) {
    *error = Failure("cannot make the muxer", result);
    return false;
  }
  m_context.reset(context);
  context->interrupt_callback = {&PublishConnection::Interrupted, this};
  if (m_target.kind == PublishTarget::Kind::kHls) {
    m_bFiles = true;
    context->opaque = this;
    m_openFile = context->io_open;
    m_closeFile = context->io_close2;
    context->io_open = &PublishConnection::OpenFile;
    context->io_close2 = &PublishConnection::CloseFile;
  }
  AVStream* video = avformat_new_stream(context, nullptr);
  if (video == nullptr || avcodec_parameters_copy(video->codecpar, m_streams->video.get()) < 0) {
    *error = "out of memory for the muxer's streams";
    return false;
  }
  video->time_base = m_streams->videoTimeBase;
  video->avg_frame_rate = m_streams->frameRate;
  m_videoIndex = video->index;
  if (m_streams->audio) {
    AVStream* audio = avformat_new_stream(context, nullptr);
    if (audio == nullptr || avcodec_parameters_copy(audio->codecpar, m_streams->audio.get()) < 0) {
      *error = "out of memory for the muxer's streams";
      return false;
    }
    audio->time_base = m_streams->audioTimeBase;
    m_audioIndex = audio->index;
  }

  AVDictionary* options = nullptr;
  AVDictionary* ioOptions = nullptr;
  switch (m_target.kind) {
    case PublishTarget::Kind::kRtmp:
      // A live connection cannot seek back to fill in the duration and size.
      av_dict_set(&options, "flvflags", "no_duration_filesize", 0);
      break;
    case PublishTarget::Kind::kUdp:
      // Seven MPEG-TS packets to a datagram, unless the URL says otherwise (SRT's own
      // payload size is already that).
      if (m_target.url.find("pkt_size") == std::string::npos)
        av_dict_set(&ioOptions, "pkt_size", "1316", 0);
      break;
    case PublishTarget::Kind::kSrt:
      break;
    case PublishTarget::Kind::kHls: {
      // Each key frame begins a segment: the HLS writer cuts at the first key frame past
      // its own running total of segment lengths, which a key frame late by a skipped
      // picture missed, so that the segment ran on to the next (twice the length, and a
      // target duration that grew in the middle of the stream, which players refuse).
      av_dict_set(&options, "hls_time", std::to_string(m_settings.keySeconds / 2).c_str(), 0);
      av_dict_set_int(&options, "hls_list_size", kHlsListSize, 0);
      // Segments are written under a temporary name and renamed when whole, so that a web
      // server never serves half a segment. The playlist of this session's connection
      // before is continued, not overwritten; one left by an earlier session is replaced.
      std::string flags = "delete_segments+temp_file+independent_segments+program_date_time";
      if (again && FileExists(url))
        flags += "+append_list+discont_start";
      av_dict_set(&options, "hls_flags", flags.c_str(), 0);
      // Named after the public playlist, not the writer's own.
      const std::string segments =
          m_target.url.substr(0, m_target.url.size() - std::strlen(".m3u8")) + "%d.ts";
      av_dict_set(&options, "hls_segment_filename", segments.c_str(), 0);
      break;
    }
  }

  Arm();
  if (!(context->oformat->flags & AVFMT_NOFILE)) {
    result = avio_open2(&context->pb, url.c_str(), AVIO_FLAG_WRITE, &context->interrupt_callback,
                        &ioOptions);
    av_dict_free(&ioOptions);
    if (result < 0) {
      av_dict_free(&options);
      *error = Failure("cannot connect", result);
      const std::string detail = log.TakeLast();
      if (!detail.empty() && !m_abort.load())
        *error += " (" + detail + ")";
      return false;
    }
  }
  av_dict_free(&ioOptions);
  Arm();
  result = avformat_write_header(context, &options);
  av_dict_free(&options);
  if (result >= 0 && !FilesWritten(error))
    return false;
  if (result < 0) {
    *error = Failure(m_target.kind == PublishTarget::Kind::kHls ? "cannot write the playlist"
                                                                : "cannot start the stream",
                     result);
    const std::string detail = log.TakeLast();
    if (!detail.empty() && !m_abort.load())
      *error += " (" + detail + ")";
    return false;
  }
  m_headerWritten = true;
  m_scratch.reset(av_packet_alloc());
  if (!m_scratch) {
    *error = "out of memory for a packet";
    return false;
  }
  return true;
}

bool PublishConnection::Write(const EncodedPacket& packet, std::string* error) {
  const int index = packet.video ? m_videoIndex : m_audioIndex;
  if (index < 0)
    return true;
  ThreadLogCapture log;
  AVPacket* scratch = m_scratch.get();
  // Each destination's muxer gets bytes of its own rather than a reference to the
  // encoder's buffer: that buffer is shared by every destination's thread, and its last
  // release would be ordered with the others' reading only by libavutil's reference
  // count, which the thread checker cannot see into. A published packet is a few
  // kilobytes; the copy costs nothing that matters.
  const AVPacket* source = packet.packet.get();
  if (av_new_packet(scratch, source->size) < 0 || av_packet_copy_props(scratch, source) < 0) {
    av_packet_unref(scratch);
    *error = "out of memory for a packet";
    return false;
  }
  if (source->size > 0)
    std::memcpy(scratch->data, source->data, static_cast<size_t>(source->size));
  scratch->stream_index = index;
  av_packet_rescale_ts(scratch, packet.timeBase, m_context->streams[index]->time_base);
  Arm();
  const int result = av_interleaved_write_frame(m_context.get(), scratch);
  av_packet_unref(scratch);
  if (result >= 0 && (!FilesWritten(error) || !PlaylistPublished(error)))
    return false;
  if (result < 0) {
    *error = Failure("connection lost", result);
    const std::string detail = log.TakeLast();
    if (!detail.empty() && !m_abort.load())
      *error += " (" + detail + ")";
    return false;
  }
  return true;
}

bool PublishConnection::Finish(std::string* error) {
  if (!m_context)
    return true;
  ThreadLogCapture log;
  int result = 0;
  if (m_headerWritten) {
    Arm();
    result = av_write_trailer(m_context.get());
    m_headerWritten = false;
  }
  if (result >= 0 && (!FilesWritten(error) || !PlaylistPublished(error))) {
    Close();
    return false;
  }
  Close();
  if (result < 0) {
    *error = Failure("cannot finish the stream", result);
    return false;
  }
  return FilesWritten(error);
}

int PublishConnection::OpenFile(AVFormatContext* context,
                                AVIOContext** pb,
                                const char* url,
                                int flags,
                                AVDictionary** options) {
  auto* self = static_cast<PublishConnection*>(context->opaque);
  if (self->m_bAbandoned)
    return AVERROR(EPERM);
  const int result = self->m_openFile(context, pb, url, flags, options);
  if (!(flags & AVIO_FLAG_WRITE))
    return result;
  if (result < 0 && self->m_fileError.empty())
    self->m_fileError = "cannot write " + std::string(url) + ": " + AvErrorText(result);
  else if (result >= 0)
    self->m_files[*pb] = url;
  return result;
}

int PublishConnection::CloseFile(AVFormatContext* context, AVIOContext* pb) {
  auto* self = static_cast<PublishConnection*>(context->opaque);
  const auto file = self->m_files.find(pb);
  if (file == self->m_files.end())
    return self->m_closeFile(context, pb);
  const std::string url = file->second;
  self->m_files.erase(file);
  // What the file still buffers goes first: a failed write shows only on its context.
  avio_flush(pb);
  const int64_t bytes = avio_tell(pb);
  const int written = pb->error;
  const int closed = self->m_closeFile(context, pb);
  const int failure = written < 0 ? written : closed;
  if (failure < 0) {
    if (self->m_fileError.empty())
      self->m_fileError = "cannot write " + url + ": " + AvErrorText(failure);
  } else if (url.rfind(self->m_playlist->writerPath(), 0) == 0) {
    self->m_bPlaylistWritten = true;
  } else if (bytes > 0) {
    ++self->m_nSegments;
  }
  return closed;
}

bool PublishConnection::PlaylistPublished(std::string* error) {
  if (!m_bPlaylistWritten)
    return true;
  m_bPlaylistWritten = false;
  return m_playlist->Update(error);
}

bool PublishConnection::FilesWritten(std::string* error) {
  if (m_fileError.empty())
    return true;
  *error = m_fileError;
  return false;
}

void PublishConnection::Close() {
  if (!m_context)
    return;
  ThreadLogCapture log;
  Arm();
  // FFmpeg's HLS writer lets go of the segment it holds only in its trailer: an HLS
  // connection given up is ended with one that may open no file, so that it writes nothing
  // (no end of list into a playlist the next connection continues).
  if (m_bFiles && m_headerWritten) {
    m_bAbandoned = true;
    av_write_trailer(m_context.get());
    m_headerWritten = false;
  }
  m_context.reset();
}

}  // namespace sorvo::tools
