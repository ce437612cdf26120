#include "common/MediaProbe.h"

#include <dirent.h>

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "codec/FFDeleters.h"
#include "common/TestAppDir.h"

namespace sorvo::test {

namespace {

struct InputDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

double Seconds(int64_t value, AVRational base) {
  return value == AV_NOPTS_VALUE ? -1.0 : value * av_q2d(base);
}

// The first channel of a decoded audio frame, as floats.
void AppendFirstChannel(const AVFrame* frame, std::vector<float>* sound) {
  const int channels = frame->ch_layout.nb_channels;
  for (int i = 0; i < frame->nb_samples; ++i) {
    switch (frame->format) {
      case AV_SAMPLE_FMT_FLTP:
        sound->push_back(reinterpret_cast<const float*>(frame->extended_data[0])[i]);
        break;
      case AV_SAMPLE_FMT_FLT:
        sound->push_back(reinterpret_cast<const float*>(frame->extended_data[0])[i * channels]);
        break;
      case AV_SAMPLE_FMT_S16P:
        sound->push_back(reinterpret_cast<const int16_t*>(frame->extended_data[0])[i] / 32768.0f);
        break;
      case AV_SAMPLE_FMT_S16:
        sound->push_back(reinterpret_cast<const int16_t*>(frame->extended_data[0])[i * channels] /
                         32768.0f);
        break;
      default:
        return;
    }
  }
}

// Counts what each stream's decoder gives back for `packet` (null: drain), keeping the
// pictures and the sound when asked.
void DecodeInto(AVCodecContext* decoder,
                const AVPacket* packet,
                AVFrame* frame,
                bool keepPictures,
                AVRational timeBase,
                ProbedStream* stream) {
  if (avcodec_send_packet(decoder, packet) < 0) {
    ++stream->decodeErrors;
    return;
  }
  for (;;) {
    int received = avcodec_receive_frame(decoder, frame);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
      return;
    if (received < 0) {
      ++stream->decodeErrors;
      return;
    }
    ++stream->decodedFrames;
    if (decoder->codec_type == AVMEDIA_TYPE_AUDIO)
      stream->decodedSamples += frame->nb_samples;
    if (keepPictures && decoder->codec_type == AVMEDIA_TYPE_VIDEO) {
      stream->pictures.push_back(PictureFromFrame(frame));
      stream->pictureSeconds.push_back(Seconds(frame->best_effort_timestamp, timeBase));
    }
    if (keepPictures && decoder->codec_type == AVMEDIA_TYPE_AUDIO) {
      if (stream->sound.empty())
        stream->soundStartSeconds = Seconds(frame->best_effort_timestamp, timeBase);
      AppendFirstChannel(frame, &stream->sound);
    }
    av_frame_unref(frame);
  }
}

// Reads an MPEG-4 descriptor length: up to four bytes, seven bits each.
size_t DescriptorLength(const std::string& bytes, size_t* at) {
  size_t length = 0;
  for (int i = 0; i < 4 && *at < bytes.size(); ++i) {
    const unsigned char b = bytes[(*at)++];
    length = (length << 7) | (b & 0x7F);
    if (!(b & 0x80))
      break;
  }
  return length;
}

}  // namespace

std::vector<ProbedPacket> ProbedFile::PacketsOf(int stream) const {
  std::vector<ProbedPacket> out;
  for (const ProbedPacket& p : packets)
    if (p.stream == stream)
      out.push_back(p);
  return out;
}

std::vector<std::string> StreamPacketBytes(const std::string& path, int stream) {
  const ProbedFile file = ProbeFile(path);
  const std::string bytes = ReadWholeFile(path);
  std::vector<std::string> packets;
  for (const ProbedPacket& packet : file.PacketsOf(stream))
    if (packet.pos >= 0 && packet.pos + packet.size <= static_cast<int64_t>(bytes.size()))
      packets.push_back(bytes.substr(packet.pos, packet.size));
  return packets;
}

ProbedFile ProbeFile(const std::string& path, bool keepPictures) {
  ProbedFile file;
  AVFormatContext* opened = nullptr;
  if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0)
    return file;
  std::unique_ptr<AVFormatContext, InputDeleter> input(opened);
  if (avformat_find_stream_info(input.get(), nullptr) < 0)
    return file;
  file.opened = true;
  file.formatName = input->iformat->name;
  file.durationSeconds =
      input->duration == AV_NOPTS_VALUE ? -1.0 : input->duration / double(AV_TIME_BASE);

  std::vector<CodecContextPtr> decoders;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* s = input->streams[i];
    ProbedStream stream;
    stream.index = s->index;
    stream.id = s->id;
    stream.mediaType = s->codecpar->codec_type;
    stream.codecId = s->codecpar->codec_id;
    stream.width = s->codecpar->width;
    stream.height = s->codecpar->height;
    stream.sampleRate = s->codecpar->sample_rate;
    stream.channels = s->codecpar->ch_layout.nb_channels;
    stream.extradata.assign(s->codecpar->extradata,
                            s->codecpar->extradata + s->codecpar->extradata_size);
    file.streams.push_back(stream);
    // Pictures and sound are decoded; a timecode or chapter track has nothing to decode.
    const bool media = s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ||
                       s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    const AVCodec* codec = media ? avcodec_find_decoder(s->codecpar->codec_id) : nullptr;
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    // With the stream's time base the decoder moves a frame's time past the samples it
    // leaves out (a start-up delay), as a player's does.
    if (decoder)
      decoder->pkt_timebase = s->time_base;
    if (codec && decoder && avcodec_parameters_to_context(decoder.get(), s->codecpar) >= 0 &&
        avcodec_open2(decoder.get(), codec, nullptr) >= 0)
      decoders.push_back(std::move(decoder));
    else
      decoders.emplace_back();
  }

  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    const AVStream* s = input->streams[packet->stream_index];
    ProbedPacket p;
    p.stream = packet->stream_index;
    p.ptsSeconds = Seconds(packet->pts, s->time_base);
    p.dtsSeconds = Seconds(packet->dts, s->time_base);
    p.durationSeconds = Seconds(packet->duration, s->time_base);
    p.key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    p.size = packet->size;
    p.pos = packet->pos;
    file.packets.push_back(p);
    ProbedStream& stream = file.streams[p.stream];
    stream.endSeconds = std::max(stream.endSeconds, p.ptsSeconds + p.durationSeconds);
    if (AVCodecContext* decoder = decoders[p.stream].get())
      DecodeInto(decoder, packet.get(), frame.get(), keepPictures, s->time_base, &stream);
    av_packet_unref(packet.get());
  }
  for (size_t i = 0; i < decoders.size(); ++i)
    if (decoders[i])
      DecodeInto(decoders[i].get(), nullptr, frame.get(), keepPictures,
                 input->streams[i]->time_base, &file.streams[i]);
  return file;
}

std::vector<std::vector<uint8_t>> EsdsDecoderInfos(const std::string& path) {
  const std::string bytes = ReadWholeFile(path);
  std::vector<std::vector<uint8_t>> infos;
  for (size_t box = bytes.find("esds"); box != std::string::npos;
       box = bytes.find("esds", box + 4)) {
    std::vector<uint8_t> info;
    size_t at = box + 4 + 4;                       // past the type, then version and flags
    if (at < bytes.size() && bytes[at] == 0x03) {  // ES_Descriptor
      ++at;
      DescriptorLength(bytes, &at);
      at += 2;  // ES_ID
      const unsigned char esFlags = at < bytes.size() ? bytes[at] : 0;
      ++at;
      if (esFlags & 0x80)
        at += 2;
      if (esFlags & 0x40 && at < bytes.size())
        at += 1 + static_cast<unsigned char>(bytes[at]);
      if (esFlags & 0x20)
        at += 2;
      if (at < bytes.size() && bytes[at] == 0x04) {  // DecoderConfigDescriptor
        ++at;
        DescriptorLength(bytes, &at);
        at += 13;  // object type, stream type, buffer size, max and average bit rate
        if (at < bytes.size() && bytes[at] == 0x05) {  // DecoderSpecificInfo
          ++at;
          const size_t length = DescriptorLength(bytes, &at);
          if (at + length <= bytes.size())
            info.assign(bytes.begin() + at, bytes.begin() + at + length);
        }
      }
    }
    infos.push_back(info);
  }
  return infos;
}

std::vector<Mp4Box> TopLevelBoxes(const std::string& path) {
  return TopLevelBoxesOf(ReadWholeFile(path));
}

std::vector<Mp4Box> TopLevelBoxesOf(const std::string& bytes) {
  std::vector<Mp4Box> boxes;
  size_t at = 0;
  while (at + 8 <= bytes.size()) {
    auto byte = [&](size_t i) { return static_cast<uint64_t>(static_cast<uint8_t>(bytes[i])); };
    uint64_t size = byte(at) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
    if (size == 1 && at + 16 <= bytes.size()) {  // a 64-bit size follows the type
      size = 0;
      for (size_t i = 0; i < 8; ++i)
        size = size << 8 | byte(at + 8 + i);
    } else if (size == 0) {  // the box runs to the end of the file
      size = bytes.size() - at;
    }
    if (size < 8 || size > bytes.size() - at)
      break;
    boxes.push_back({bytes.substr(at + 4, 4), at, size});
    at += size;
  }
  return boxes;
}

int CountBoxes(const std::vector<Mp4Box>& boxes, const std::string& type) {
  return static_cast<int>(std::count_if(boxes.begin(), boxes.end(),
                                        [&](const Mp4Box& box) { return box.type == type; }));
}

int OpenDescriptorCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr)
      ++count;
    closedir(dir);
  }
  return count;
}

}  // namespace sorvo::test
