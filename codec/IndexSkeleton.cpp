#include "codec/IndexSkeleton.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>

#include "codec/FFDeleters.h"
#include "codec/Mp4Box.h"

namespace sorvo::mp4 {
namespace {

// Far enough apart for any muxer: a step between two samples of one track must fit its
// 32-bit duration field.
constexpr int64_t kLongestStep = int64_t{1} << 30;

// An output that keeps what the muxer writes in memory, at the offsets it writes it to, or,
// while discarding, only moves on: the muxer's copies of the recording's samples are not
// wanted, only where it put them.
class CaptureIo {
 public:
  CaptureIo() {
    constexpr int kBuffer = 4096;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kBuffer));
    if (buffer != nullptr)
      m_pContext = avio_alloc_context(buffer, kBuffer, 1, this, nullptr, &Write, &Seek);
    if (m_pContext == nullptr)
      av_free(buffer);
  }
  ~CaptureIo() {
    if (m_pContext != nullptr)
      av_freep(&m_pContext->buffer);
    avio_context_free(&m_pContext);
  }
  CaptureIo(const CaptureIo&) = delete;
  CaptureIo& operator=(const CaptureIo&) = delete;

  AVIOContext* get() const { return m_pContext; }
  void SetDiscarding(bool discarding) {
    avio_flush(m_pContext);
    m_bDiscarding = discarding;
  }
  const std::string& bytes() const { return m_bytes; }

 private:
  static int Write(void* opaque, uint8_t* data, int size) {
    auto* self = static_cast<CaptureIo*>(opaque);
    if (!self->m_bDiscarding) {
      if (self->m_bytes.size() < self->m_nPosition + size)
        self->m_bytes.resize(self->m_nPosition + size);
      std::memcpy(self->m_bytes.data() + self->m_nPosition, data, size);
    }
    self->m_nPosition += size;
    return size;
  }
  static int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<CaptureIo*>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
      case SEEK_SET:
        break;
      case SEEK_CUR:
        offset += static_cast<int64_t>(self->m_nPosition);
        break;
      case SEEK_END:
        offset += static_cast<int64_t>(self->m_bytes.size());
        break;
      case AVSEEK_SIZE:
        return static_cast<int64_t>(self->m_bytes.size());
      default:
        return AVERROR(EINVAL);
    }
    if (offset < 0)
      return AVERROR(EINVAL);
    self->m_nPosition = static_cast<uint64_t>(offset);
    return offset;
  }

  AVIOContext* m_pContext = nullptr;
  std::string m_bytes;
  uint64_t m_nPosition = 0;
  bool m_bDiscarding = false;
};

std::string ErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

// The packets that stand for a stream's samples: its first, its last, and between them as
// many as keep each step within kLongestStep. One byte each: only their times matter.
std::vector<PacketStamp> Standins(const StreamStamps& stream) {
  std::vector<PacketStamp> stamps;
  if (stream.packets <= 0)
    return stamps;
  stamps.push_back(stream.first);
  if (stream.packets == 1 || stream.last.dts <= stream.first.dts)
    return stamps;
  for (int64_t dts = stream.first.dts + kLongestStep; dts < stream.last.dts; dts += kLongestStep)
    stamps.push_back(PacketStamp{dts, dts, 0, 0});
  stamps.push_back(stream.last);
  return stamps;
}

}  // namespace

bool IndexSkeleton::Make(const AVFormatContext* file,
                         const std::vector<StreamStamps>& streams,
                         const AVDictionary* options,
                         const std::function<void(AVFormatContext*)>& addChapters,
                         IndexSkeleton* skeleton,
                         std::string* error) {
  if (streams.size() != file->nb_streams) {
    *error = "the packet times do not match the streams";
    return false;
  }
  CaptureIo output;
  AVFormatContext* made = nullptr;
  if (output.get() == nullptr ||
      avformat_alloc_output_context2(&made, file->oformat, nullptr, nullptr) < 0) {
    *error = "out of memory";
    return false;
  }
  // The output is ours: the context must not close it.
  struct Detach {
    void operator()(AVFormatContext* context) const {
      context->pb = nullptr;
      OutputContextDeleter()(context);
    }
  };
  std::unique_ptr<AVFormatContext, Detach> context(made);
  for (unsigned i = 0; i < file->nb_streams; ++i) {
    const AVStream* from = file->streams[i];
    AVStream* stream = avformat_new_stream(context.get(), nullptr);
    if (stream == nullptr || avcodec_parameters_copy(stream->codecpar, from->codecpar) < 0 ||
        av_dict_copy(&stream->metadata, from->metadata, 0) < 0) {
      *error = "out of memory";
      return false;
    }
    stream->id = from->id;
    stream->time_base = from->time_base;
    stream->avg_frame_rate = from->avg_frame_rate;
    stream->disposition = from->disposition;
  }
  av_dict_copy(&context->metadata, file->metadata, 0);
  context->pb = output.get();
  AVDictionary* headerOptions = nullptr;
  av_dict_copy(&headerOptions, options, 0);
  int result = avformat_write_header(context.get(), &headerOptions);
  av_dict_free(&headerOptions);
  if (result < 0) {
    *error = "the muxer refused the streams: " + ErrorText(result);
    return false;
  }
  for (unsigned i = 0; i < file->nb_streams; ++i) {
    // Stamps and tables are in the stream's time base, which must not have changed.
    if (av_cmp_q(context->streams[i]->time_base, file->streams[i]->time_base) != 0) {
      *error = "the muxer chose another time base";
      return false;
    }
  }

  // The stand-in samples are written and forgotten: what the muxer writes after them
  // begins where they began.
  avio_flush(output.get());
  const int64_t samplesBegin = avio_tell(output.get());
  uint8_t byte = 0;
  PacketPtr packet(av_packet_alloc());
  int64_t standins = 0;
  output.SetDiscarding(true);
  for (size_t i = 0; i < streams.size() && result >= 0; ++i) {
    for (const PacketStamp& stamp : Standins(streams[i])) {
      av_packet_unref(packet.get());
      packet->data = &byte;
      packet->size = 1;
      packet->stream_index = static_cast<int>(i);
      packet->pts = stamp.pts;
      packet->dts = stamp.dts;
      packet->duration = stamp.duration;
      packet->flags = stamp.flags;
      result = av_write_frame(context.get(), packet.get());
      if (result < 0)
        break;
      ++standins;
    }
  }
  output.SetDiscarding(false);
  if (result < 0) {
    *error = "the muxer refused a packet: " + ErrorText(result);
    return false;
  }
  avio_seek(output.get(), samplesBegin, SEEK_SET);
  if (addChapters)
    addChapters(context.get());
  result = av_write_trailer(context.get());
  avio_flush(output.get());
  if (result < 0) {
    *error = "the muxer could not end the index: " + ErrorText(result);
    return false;
  }

  // ftyp, then whatever the muxer puts before its 'mdat'; the 'mdat' size it wrote counts
  // the stand-ins, which take no room here, and the 'moov' follows the rest.
  const auto* bytes = reinterpret_cast<const uint8_t*>(output.bytes().data());
  const uint64_t end = output.bytes().size();
  Box box;
  if (!BoxAt(bytes, end, 0, &box) || box.type != FourCc("ftyp")) {
    *error = "the muxer wrote no file type";
    return false;
  }
  skeleton->ftyp.assign(output.bytes(), 0, box.size);
  // The 'mdat' header's size counts the stand-ins, so it cannot be walked over.
  uint64_t at = box.end();
  while (at + 8 <= end && Get32(bytes + at + 4) != FourCc("mdat") && BoxAt(bytes, end, at, &box))
    at = box.end();
  const bool mdat = at + 8 <= end && Get32(bytes + at + 4) == FourCc("mdat");
  const uint64_t mdatSize = mdat ? Get32(bytes + at) : 0;
  const uint64_t moovAt = at + mdatSize - static_cast<uint64_t>(standins);
  if (mdatSize < 8 + static_cast<uint64_t>(standins) || moovAt > end ||
      !BoxAt(bytes, end, moovAt, &box) || box.type != FourCc("moov") || box.end() != end) {
    *error = "the muxer's index is not where it should be";
    return false;
  }
  skeleton->moov.assign(output.bytes(), moovAt, box.size);
  skeleton->tailOffset = at + 8;
  skeleton->tail.assign(output.bytes(), at + 8, moovAt - (at + 8));
  return true;
}

}  // namespace sorvo::mp4
