#include "tools/common/MediaReadBack.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "codec/FFDeleters.h"
#include "tools/common/AvError.h"
#include "tools/common/MappedFile.h"
#include "tools/common/Mp4Layout.h"
#include "tools/common/TextTable.h"

namespace sorvo::tools {
namespace {

// GOPs the bounded read decodes between the first and the last. At the recorder's GOP of a
// second an hour's file is sampled every 3.5 minutes; the time stays that of 18 GOPs per
// stream however long the file is.
constexpr int kSpread = 16;
// MP3 frames (about half a second) decoded wherever the bounded read decodes sound, and the
// run of sound frames a read-through counts as one unit to sample.
constexpr int kSoundFrames = 24;
// A window of the bounded read ends this long after its start even when a stream never
// reached its next key frame there (a camera that stopped early in a multi-stream file).
constexpr double kWindowSeconds = 30;

double Seconds(int64_t value, AVRational base) {
  return static_cast<double>(value) * av_q2d(base);
}

// One stream's decoder and its tally of where the stream starts and ends.
struct StreamDecoder {
  CodecContextPtr context;
  bool sent = false;  // packets went in since the decoder was last drained
  double first = std::numeric_limits<double>::max();
  double end = 0;
};

// Where a read-through stands in one stream: which unit (a GOP, or a run of sound frames) it
// is in, whether that unit is decoded, and the packets of the last unit skipped, decoded at
// the end so that the file's last GOP is always checked. The stride doubles whenever kSpread
// units were sampled at it, so at most 2 * kSpread units are decoded.
struct Sampler {
  long long count = 0;
  long long unit = -1;
  long long stride = 1;
  bool decoding = false;
  std::vector<PacketPtr> tail;
};

// Reads one opened file: times every packet it reads and decodes those it is told to.
// One thread.
class FileReader {
 public:
  FileReader(AVFormatContext* input, FileReadBack* file) : m_input(input), m_file(file) {}

  void OpenDecoders();
  void ReadFull();
  void ReadThrough();
  // False when the file holds no index to sample it by.
  bool ReadSpread(long long dataStart);
  void Conclude();

 private:
  // The next packet into m_packet; false at the end of the file or (said) a read error.
  bool Next();
  void Count(const AVPacket* packet);
  void Time(const AVPacket* packet);
  void Decode(unsigned index, const AVPacket* packet);
  void Drain(unsigned index);
  void DrainAll();
  bool Decodable(unsigned index) const { return static_cast<bool>(m_decoders[index].context); }
  // What the index says: the packets, bytes and first times; false (said) when a sample lies
  // outside the file. `lastKey` is the latest key picture's time.
  bool CheckIndex(double* lastKey);
  bool CheckWavSize(long long dataStart);
  // Decodes from `at` (the file's start when `seek` is false): each stream's GOP (or run of
  // sound frames) there, or everything to the end when `toEnd`.
  bool Window(double at, bool seek, bool toEnd);

  AVFormatContext* m_input;
  FileReadBack* m_file;
  std::vector<StreamDecoder> m_decoders;
  PacketPtr m_packet{av_packet_alloc()};
  FramePtr m_frame{av_frame_alloc()};
  double m_readUpTo = -std::numeric_limits<double>::max();
  int64_t m_pcmPacket = 0;  // the longest packet read, in its time base (a WAV's: samples)
};

void FileReader::OpenDecoders() {
  m_decoders.resize(m_input->nb_streams);
  m_file->streams.resize(m_input->nb_streams);
  for (unsigned i = 0; i < m_input->nb_streams; ++i) {
    const AVCodecParameters* par = m_input->streams[i]->codecpar;
    StreamReadBack& stream = m_file->streams[i];
    stream.kind = par->codec_type == AVMEDIA_TYPE_VIDEO   ? "video"
                  : par->codec_type == AVMEDIA_TYPE_AUDIO ? "audio"
                                                          : "other";
    stream.codec = avcodec_get_name(par->codec_id);
    stream.width = par->width;
    stream.height = par->height;
    stream.sampleRate = par->sample_rate;
    stream.channels = par->ch_layout.nb_channels;
    // A timecode or chapter track has no picture or sound to decode (and a chapter
    // track's text is no packet a decoder of frames takes).
    const AVCodec* codec = stream.kind != "other" ? avcodec_find_decoder(par->codec_id) : nullptr;
    if (codec == nullptr)
      continue;
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), par) < 0)
      continue;
    // The MPEG-4 decoder only logs a slice that ends before or after its picture, and hands
    // the picture out unmarked; told to, it refuses it as it does other bitstream errors.
    if (stream.kind == "video")
      context->err_recognition |= AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER;
    if (avcodec_open2(context.get(), codec, nullptr) >= 0)
      m_decoders[i].context = std::move(context);
  }
}

bool FileReader::Next() {
  for (;;) {
    const int result = av_read_frame(m_input, m_packet.get());
    if (result < 0) {
      if (result != AVERROR_EOF)
        m_file->error = "reading stopped: " + AvErrorText(result);
      return false;
    }
    // A stream that turned up after the header was read has no place in the tally.
    if (static_cast<unsigned>(m_packet->stream_index) < m_decoders.size())
      return true;
    av_packet_unref(m_packet.get());
  }
}

void FileReader::Count(const AVPacket* packet) {
  StreamReadBack& stream = m_file->streams[static_cast<unsigned>(packet->stream_index)];
  ++stream.packets;
  stream.bytes += packet->size;
  if ((packet->flags & AV_PKT_FLAG_DISCARD) == 0)
    ++stream.frames;
}

void FileReader::Time(const AVPacket* packet) {
  const unsigned index = static_cast<unsigned>(packet->stream_index);
  const int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
  if (start == AV_NOPTS_VALUE)
    return;
  const AVRational base = m_input->streams[index]->time_base;
  StreamDecoder& decoder = m_decoders[index];
  decoder.first = std::min(decoder.first, Seconds(start, base));
  decoder.end = std::max(decoder.end, Seconds(start + packet->duration, base));
  m_readUpTo = std::max(m_readUpTo, Seconds(start, base));
  m_pcmPacket = std::max(m_pcmPacket, packet->duration);
}

void FileReader::Decode(unsigned index, const AVPacket* packet) {
  StreamDecoder& decoder = m_decoders[index];
  StreamReadBack& stream = m_file->streams[index];
  if (avcodec_send_packet(decoder.context.get(), packet) < 0)
    ++stream.decodeErrors;
  decoder.sent = true;
  while (avcodec_receive_frame(decoder.context.get(), m_frame.get()) == 0) {
    ++stream.decoded;
    // The video decoder hands out a damaged picture with what it could not read patched
    // over; only these flags tell it from a good one.
    if (m_frame->decode_error_flags != 0 || (m_frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
      ++stream.damagedFrames;
      ++stream.decodeErrors;
    }
    av_frame_unref(m_frame.get());
  }
}

void FileReader::Drain(unsigned index) {
  StreamDecoder& decoder = m_decoders[index];
  if (!decoder.sent)
    return;
  Decode(index, nullptr);
  // A drained decoder takes packets again only once flushed, and a GOP further on must
  // not lean on the pictures of this one.
  avcodec_flush_buffers(decoder.context.get());
  decoder.sent = false;
}

void FileReader::DrainAll() {
  for (unsigned i = 0; i < m_decoders.size(); ++i)
    if (Decodable(i))
      Drain(i);
}

void FileReader::ReadFull() {
  while (Next()) {
    Count(m_packet.get());
    Time(m_packet.get());
    const unsigned index = static_cast<unsigned>(m_packet->stream_index);
    if (Decodable(index))
      Decode(index, m_packet.get());
    av_packet_unref(m_packet.get());
  }
  DrainAll();
  // What the full read holds is what decodes.
  for (StreamReadBack& stream : m_file->streams)
    stream.frames = stream.decoded;
}

void FileReader::ReadThrough() {
  std::vector<Sampler> samplers(m_decoders.size());
  while (Next()) {
    const AVPacket* packet = m_packet.get();
    const unsigned index = static_cast<unsigned>(packet->stream_index);
    Count(packet);
    Time(packet);
    if (!Decodable(index)) {
      av_packet_unref(m_packet.get());
      continue;
    }
    Sampler& sampler = samplers[index];
    const bool starts = m_file->streams[index].kind == "video"
                            ? (packet->flags & AV_PKT_FLAG_KEY) != 0
                            : sampler.count % kSoundFrames == 0;
    ++sampler.count;
    if (starts || sampler.unit < 0) {
      ++sampler.unit;
      if (sampler.unit / sampler.stride >= kSpread)
        sampler.stride *= 2;
      const bool decode = sampler.unit % sampler.stride == 0;
      if (decode && !sampler.decoding)
        Drain(index);
      sampler.decoding = decode;
      sampler.tail.clear();
    }
    if (sampler.decoding)
      Decode(index, packet);
    else
      sampler.tail.emplace_back(av_packet_clone(packet));
    av_packet_unref(m_packet.get());
  }
  for (unsigned i = 0; i < samplers.size(); ++i) {
    if (samplers[i].tail.empty())
      continue;
    Drain(i);
    for (const PacketPtr& packet : samplers[i].tail)
      Decode(i, packet.get());
  }
  DrainAll();
}

bool FileReader::CheckIndex(double* lastKey) {
  bool indexed = false;
  long long outside = 0;
  for (unsigned i = 0; i < m_input->nb_streams; ++i) {
    AVStream* st = m_input->streams[i];
    StreamReadBack& stream = m_file->streams[i];
    const int entries = avformat_index_get_entries_count(st);
    if (entries == 0 && Decodable(i))
      return false;
    for (int e = 0; e < entries; ++e) {
      const AVIndexEntry* entry = avformat_index_get_entry(st, e);
      ++stream.packets;
      stream.bytes += entry->size;
      if (entry->pos < 0 || entry->pos + entry->size > m_file->bytes)
        ++outside;
      if ((entry->flags & AVINDEX_DISCARD_FRAME) != 0)
        continue;
      ++stream.frames;
      const double time = Seconds(entry->timestamp, st->time_base);
      m_decoders[i].first = std::min(m_decoders[i].first, time);
      if (stream.kind == "video" && (entry->flags & AVINDEX_KEYFRAME) != 0)
        *lastKey = std::max(*lastKey, time);
    }
    indexed = indexed || entries > 0;
  }
  if (outside > 0)
    m_file->error = "its index places " + FormatCount(outside) +
                    " packets beyond the end of the file: the file was cut short";
  return indexed;
}

bool FileReader::CheckWavSize(long long dataStart) {
  if (m_input->nb_streams != 1 || m_input->streams[0]->duration <= 0)
    return false;
  const AVStream* st = m_input->streams[0];
  StreamReadBack& stream = m_file->streams[0];
  const int align = std::max(1, st->codecpar->block_align);
  const long long counted = st->duration * align;
  stream.bytes = counted;
  const long long held = m_file->bytes - dataStart;
  const double rate = std::max(1, stream.sampleRate);
  // The data chunk is the last: at most its padding byte follows it.
  if (held < counted || held > counted + align)
    m_file->error = "its header counts " +
                    FormatFixed(static_cast<double>(counted / align) / rate, 2) +
                    " s of sound, the file holds " +
                    FormatFixed(static_cast<double>(std::max(0LL, held) / align) / rate, 2) + " s";
  return true;
}

bool FileReader::Window(double at, bool seek, bool toEnd) {
  if (seek) {
    const int64_t target = std::llround(at * AV_TIME_BASE);
    const int result = av_seek_frame(m_input, -1, target, AVSEEK_FLAG_BACKWARD);
    if (result < 0) {
      m_file->error = "cannot seek to " + FormatFixed(at, 2) + " s: " + AvErrorText(result);
      return false;
    }
  }
  struct State {
    bool begun = false;
    bool done = false;
    int taken = 0;
  };
  std::vector<State> states(m_decoders.size());
  for (unsigned i = 0; i < states.size(); ++i)
    states[i].done = !Decodable(i);
  while (Next()) {
    const AVPacket* packet = m_packet.get();
    const unsigned index = static_cast<unsigned>(packet->stream_index);
    Time(packet);
    State& state = states[index];
    const bool video = m_file->streams[index].kind == "video";
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    if (!state.done && video && !toEnd && state.begun && key)
      state.done = true;
    if (!state.done && (state.begun || !video || key)) {
      state.begun = true;
      Decode(index, packet);
      if (!video && !toEnd && ++state.taken >= kSoundFrames)
        state.done = true;
    }
    av_packet_unref(m_packet.get());
    if (toEnd)
      continue;
    if (std::all_of(states.begin(), states.end(), [](const State& s) { return s.done; }) ||
        m_readUpTo > at + kWindowSeconds)
      break;
  }
  DrainAll();
  return m_file->error.empty();
}

bool FileReader::ReadSpread(long long dataStart) {
  double lastKey = -1;
  const bool wav = m_file->format == "wav";
  if (wav) {
    if (!CheckWavSize(dataStart))
      return false;
  } else {
    MappedFile mapped;
    std::string ignored;
    if (!mapped.Open(m_file->path, &ignored))
      return false;
    const Mp4Layout layout = ReadMp4Layout(mapped.data(), mapped.size());
    // A fragmented file's index grows as its fragments are read: it is read through.
    if (!layout.index || layout.fragmented || !CheckIndex(&lastKey)) {
      for (StreamReadBack& stream : m_file->streams)
        stream.packets = stream.bytes = stream.frames = 0;
      return false;
    }
  }
  if (!m_file->error.empty())
    return true;
  const double start =
      m_input->start_time != AV_NOPTS_VALUE ? Seconds(m_input->start_time, AV_TIME_BASE_Q) : 0.0;
  const double length =
      m_input->duration > 0 ? Seconds(m_input->duration, AV_TIME_BASE_Q) : lastKey - start;
  // Without pictures the end is the sound's last second.
  if (lastKey < 0)
    lastKey = std::max(start, start + length - 1);
  if (!Window(start, false, false))
    return true;
  for (double at : SpreadTimes(start, lastKey - start)) {
    // A short file's windows overlap: what was decoded is not decoded again.
    if (at <= m_readUpTo)
      continue;
    if (!Window(at, true, false))
      return true;
  }
  Window(lastKey, true, true);
  if (wav) {
    // PCM comes in packets of one length: the file holds as many as its data fills.
    StreamReadBack& stream = m_file->streams[0];
    const int64_t samples = m_input->streams[0]->duration;
    stream.packets = stream.frames =
        m_pcmPacket > 0 ? (samples + m_pcmPacket - 1) / m_pcmPacket : stream.decoded;
  }
  return true;
}

void FileReader::Conclude() {
  for (size_t i = 0; i < m_decoders.size(); ++i) {
    StreamReadBack& stream = m_file->streams[i];
    if (m_decoders[i].first <= m_decoders[i].end) {
      stream.seconds = m_decoders[i].end - m_decoders[i].first;
      stream.startSeconds = m_decoders[i].first;
      stream.endSeconds = m_decoders[i].end;
    }
    // A bare elementary stream has no times of its own: its nominal rate gives them.
    const AVRational rate = m_input->streams[i]->r_frame_rate;
    if (stream.seconds <= 0 && stream.kind == "video" && rate.num > 0 && rate.den > 0)
      stream.seconds = static_cast<double>(stream.packets) / av_q2d(rate);
    m_file->seconds = std::max(m_file->seconds, stream.seconds);
  }
}

}  // namespace

std::string FileReadBack::Problem() const {
  if (!opened || !error.empty())
    return error.empty() ? "not read" : error;
  if (streams.empty())
    return "no stream";
  for (const StreamReadBack& stream : streams) {
    // A timecode or chapter track holds no picture or sound to decode.
    if (stream.kind == "other")
      continue;
    if (stream.frames == 0 || stream.decoded == 0)
      return "a " + stream.kind + " stream has no frame that decodes";
    if (stream.decodeErrors > 0)
      return FormatCount(stream.decodeErrors) + " " + stream.kind +
             (stream.kind == "video" ? " pictures" : " frames") + " did not decode cleanly";
  }
  return "";
}

int FileReadBack::CountOf(const std::string& kind) const {
  return static_cast<int>(std::count_if(streams.begin(), streams.end(),
                                        [&](const StreamReadBack& s) { return s.kind == kind; }));
}

std::vector<double> SpreadTimes(double start, double seconds) {
  std::vector<double> times;
  if (seconds <= 0)
    return times;
  for (int k = 1; k <= kSpread; ++k)
    times.push_back(start + seconds * k / (kSpread + 1));
  return times;
}

FileReadBack ReadBack(const std::string& path, const char* format, ReadDepth depth) {
  FileReadBack file;
  file.path = path;
  file.depth = depth;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    file.error = "no such file";
    return file;
  }
  file.bytes = info.st_size;

  AVFormatContext* raw = nullptr;
  const AVInputFormat* forced = format != nullptr ? av_find_input_format(format) : nullptr;
  int result = avformat_open_input(&raw, path.c_str(), forced, nullptr);
  if (result < 0) {
    file.error = AvErrorText(result);
    return file;
  }
  InputContextPtr input(raw);
  // A WAV file's header has been read: its sound starts here.
  const long long dataStart = input->pb != nullptr ? avio_tell(input->pb) : 0;
  if ((result = avformat_find_stream_info(input.get(), nullptr)) < 0) {
    file.error = AvErrorText(result);
    return file;
  }
  file.opened = true;
  file.format = input->iformat->name;

  FileReader reader(input.get(), &file);
  reader.OpenDecoders();
  if (depth == ReadDepth::kFull)
    reader.ReadFull();
  else if (!reader.ReadSpread(dataStart))
    reader.ReadThrough();
  reader.Conclude();
  return file;
}

double StreamReadBack::PresentedSeconds() const {
  // A bare stream's length comes from its rate alone.
  if (endSeconds <= startSeconds)
    return seconds;
  return endSeconds - std::max(0.0, startSeconds);
}

}  // namespace sorvo::tools
