// sorvo_fuzz_seeds DIR: writes the seed corpora into DIR/<target>/ (fuzz/corpus in the
// checkout). Every seed is made of real output of the library's encoders and framing, so
// the fuzzers start from inputs that reach deep into the code; each stays a few KB.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "common/CodecTestSupport.h"
#include "fuzz/PacketSplit.h"
#include "fuzz/StreamHeaders.h"
#include "preview/EncodedClip.h"
#include "sink/PacketHeader.h"
#include "sink/PrivateStreamFrame.h"
#include "sink/StreamInfo.h"
#include "tools/common/Mpeg4Bitstream.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;
using sorvo::fuzz::AppendPacket;

fs::path g_root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  const fs::path folder = g_root / target;
  fs::create_directories(folder);
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  std::printf("%s/%s: %zu bytes\n", target.c_str(), name.c_str(), bytes.size());
}

void Append(Bytes* to, const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  to->insert(to->end(), bytes, bytes + size);
}

PacketHeader HeaderFor(const Bytes& packet, int32_t seq, int width, int height) {
  PacketHeader header;
  header.size = static_cast<int32_t>(packet.size());
  header.seq = seq;
  header.key = sorvo::tools::Mpeg4FirstPictureType(packet.data(), packet.size()) ==
                       sorvo::tools::Mpeg4PictureType::kIntra
                   ? 1
                   : 0;
  header.width = width;
  header.height = height;
  return header;
}

// One private stream record, as the sink writes it, around `payload`.
Bytes Record(const Bytes& payload) {
  Bytes record(sorvo::MaxRecordSize(payload.size()));
  record.resize(sorvo::PackRecord(record.data(), payload.data(), payload.size()));
  return record;
}

Bytes PacketRecord(const Bytes& packet, int32_t seq, int width, int height) {
  Bytes payload = packet;
  const PacketHeader header = HeaderFor(packet, seq, width, height);
  Append(&payload, &header, sizeof(header));
  return Record(payload);
}

std::vector<Bytes> Clip(int width, int height, int count) {
  return sorvo::test::EncodeGradientClip(width, height, count).packets;
}

void PrivateStreamSeeds() {
  const std::vector<Bytes> clip = Clip(24, 16, 3);
  Bytes three;
  for (size_t i = 0; i < clip.size(); ++i) {
    const Bytes record = PacketRecord(clip[i], static_cast<int32_t>(i), 24, 16);
    Append(&three, record.data(), record.size());
  }
  Write("private_stream", "three_records", three);

  // Damage between two records: stray bytes with markers among them.
  const Bytes first = PacketRecord(clip[0], 0, 24, 16);
  const Bytes second = PacketRecord(clip[1], 1, 24, 16);
  Bytes damaged = first;
  const uint8_t junk[] = {0xC0, 0xC0, 0xC0, 0x01, 0xCA, 0xCF, 0x00, 0xC0};
  Append(&damaged, junk, sizeof(junk));
  Append(&damaged, second.data(), second.size());
  Write("private_stream", "damage_between", damaged);

  Bytes truncated = first;
  Append(&truncated, second.data(), second.size() / 2);
  Write("private_stream", "truncated", truncated);

  // Every payload byte and the length need escaping: a payload of 0xC0 - 20 bytes to escape.
  Bytes escaped(0xC0 - sizeof(PacketHeader));
  for (size_t i = 0; i < escaped.size(); ++i)
    escaped[i] = i % 3 == 0 ? 0xC0 : i % 3 == 1 ? 0xCA : 0xCF;
  Write("private_stream", "escaped_bytes", PacketRecord(escaped, 7, 24, 16));
}

void VideoDecoderSeeds() {
  using sorvo::fuzz::HeaderHeight;
  using sorvo::fuzz::HeaderWidth;
  Bytes clip;
  for (const Bytes& packet : Clip(32, 32, 4))
    AppendPacket(&clip, 0, packet.data(), packet.size());
  Write("video_decoder", "clip_32x32", clip);

  // Two sizes one after the other, each key frame with its own headers.
  Bytes sizes;
  for (const Bytes& packet : Clip(HeaderWidth(1), HeaderHeight(1), 2))
    AppendPacket(&sizes, 0, packet.data(), packet.size());
  for (const Bytes& packet : Clip(HeaderWidth(20), HeaderHeight(20), 2))
    AppendPacket(&sizes, 0, packet.data(), packet.size());
  Write("video_decoder", "size_change", sizes);

  // Pictures without headers, which the control byte supplies.
  const int index = 42;
  Bytes bare;
  for (const Bytes& packet : Clip(HeaderWidth(index), HeaderHeight(index), 2)) {
    const size_t headers = sorvo::tools::Mpeg4DecoderConfig(packet.data(), packet.size()).size();
    AppendPacket(&bare, headers > 0 ? 0x80 | index : 0, packet.data() + headers,
                 packet.size() - headers);
  }
  Write("video_decoder", "headers_supplied", bare);
}

std::vector<Bytes> Mp3Frames(int channels, int sampleRate, int bitRate, int samples) {
  sorvo::test::RecordingAudioEncoder encoder;
  if (encoder.Open(channels, sampleRate, bitRate) != 1)
    return {};
  Bytes pcm = sorvo::test::Tone(440, sampleRate, channels, 0, samples);
  encoder.Encode(0, 0, pcm.data(), static_cast<long>(pcm.size()));
  encoder.Drain();
  encoder.Close();
  std::vector<Bytes> frames;
  for (const sorvo::test::SeenPacket& packet : encoder.packets)
    frames.push_back(packet.data);
  return frames;
}

void AudioDecoderSeeds() {
  Bytes mono;
  for (const Bytes& frame : Mp3Frames(1, 22050, 32000, 2304))
    AppendPacket(&mono, 0, frame.data(), frame.size());
  Write("audio_decoder", "mono_22050_frames", mono);

  // Several frames in one packet, through the parser.
  Bytes joined;
  for (const Bytes& frame : Mp3Frames(2, 44100, 64000, 4608))
    Append(&joined, frame.data(), frame.size());
  Bytes together;
  AppendPacket(&together, 0, joined.data(), joined.size());
  Write("audio_decoder", "stereo_44100_one_packet", together);

  // Frames cut across packets, then the decoder reopened for a stream of another rate.
  Bytes cut;
  const size_t half = joined.size() / 2 + 7;
  AppendPacket(&cut, 0, joined.data(), half);
  AppendPacket(&cut, 0x40, joined.data() + half, joined.size() - half);
  for (const Bytes& frame : Mp3Frames(2, 48000, 64000, 1152))
    AppendPacket(&cut, 0x80, frame.data(), frame.size());
  Write("audio_decoder", "cut_and_reopened", cut);
}

void RecoverMediaSeeds() {
  // An MP4 whose writer was killed: no index, the mdat's size never set, two cameras of
  // different sizes and a second and a half of sound interleaved (less is not taken for
  // sound), the last packet cut short.
  const char header[] =
      "\0\0\0\x1C"
      "ftypisom\0\0\x02\0"
      "isomiso2mp41"
      "\0\0\0\x08"
      "free"
      "\0\0\0\0"
      "mdat";
  Bytes killed(header, header + sizeof(header) - 1);
  const std::vector<Bytes> small = Clip(24, 16, 30);
  const std::vector<Bytes> large = Clip(32, 32, 30);
  const std::vector<Bytes> sound = Mp3Frames(2, 44100, 64000, 66 * 1152);
  for (size_t i = 0, frame = 0; i < small.size(); ++i) {
    Append(&killed, small[i].data(), small[i].size());
    Append(&killed, large[i].data(), large[i].size());
    for (size_t end = frame + 2; frame < end && frame < sound.size(); ++frame)
      Append(&killed, sound[frame].data(), sound[frame].size());
  }
  killed.resize(killed.size() - 5);
  Write("recover_media", "killed_mp4", killed);

  Bytes raw;
  for (const Bytes& packet : Clip(24, 16, 4))
    Append(&raw, packet.data(), packet.size());
  Write("recover_media", "raw_stream", raw);

  // A WAV file as a kill used to leave it: RIFF size 0, data size 16, then PCM.
  const uint8_t wav[] = {'R', 'I', 'F', 'F', 0,  0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
                         ' ', 16,  0,   0,   0,  1, 0,   2,   0,   0x44, 0xAC, 0,   0,   0x10, 0xB1,
                         2,   0,   4,   0,   16, 0, 'd', 'a', 't', 'a',  16,   0,   0,   0};
  Bytes wave(wav, wav + sizeof(wav));
  for (int i = 0; i < 203; ++i)
    wave.push_back(static_cast<uint8_t>(i * 7));
  Write("recover_media", "wav_killed", wave);
}

Bytes Greeting(int width, int height) {
  StreamInfo info;
  info.width = width;
  info.height = height;
  info.pixelFormat = 3;
  info.pictureSize = width * height * 3;
  info.frameRate = 25;
  info.bitRate = 4000000;
  info.codecId = kStreamInfoCodecMpeg4;
  info.framesIn = 3;
  info.packetsSent = 3;
  info.clients = 1;
  Bytes bytes;
  Append(&bytes, &info, sizeof(info));
  return bytes;
}

void ViewStreamSeeds() {
  const std::vector<Bytes> clip = Clip(24, 16, 3);
  Bytes stream = Greeting(24, 16);
  for (size_t i = 0; i < clip.size(); ++i) {
    const PacketHeader header = HeaderFor(clip[i], static_cast<int32_t>(40 + i), 24, 16);
    Append(&stream, &header, sizeof(header));
    Append(&stream, clip[i].data(), clip[i].size());
  }
  Write("view_stream", "three_packets", stream);

  // A jump in the numbers, a wrong key flag and a wrong size, then a header that has lost
  // the framing.
  Bytes odd = Greeting(24, 16);
  PacketHeader header = HeaderFor(clip[0], 7, 24, 16);
  Append(&odd, &header, sizeof(header));
  Append(&odd, clip[0].data(), clip[0].size());
  header = HeaderFor(clip[1], 9, 32, 16);
  header.key = 1;
  Append(&odd, &header, sizeof(header));
  Append(&odd, clip[1].data(), clip[1].size());
  header.size = -1;
  Append(&odd, &header, sizeof(header));
  Write("view_stream", "mismatches_then_lost", odd);

  // A greeting for a picture too large to show.
  Write("view_stream", "greeting_too_large", Greeting(5001, 16));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: sorvo_fuzz_seeds DIR\n");
    return 2;
  }
  g_root = argv[1];
  PrivateStreamSeeds();
  VideoDecoderSeeds();
  AudioDecoderSeeds();
  ViewStreamSeeds();
  RecoverMediaSeeds();
  return 0;
}
