// An MP4 written as fragments and made regular when it closes: its index against the one
// libavformat's regular muxer writes for the same packets, the tables it is built from, a
// disk that refuses the index, and a file renamed while it records.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "codec/FFDeleters.h"
#include "codec/FFWriteFile.h"
#include "codec/SampleTables.h"
#include "common/CodecTestSupport.h"
#include "common/FileSizeLimit.h"
#include "common/LogCapture.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/ToneOnset.h"
#include "host/PositionedFile.h"

namespace {

using namespace sorvo::test;

uint64_t Big(const std::string& bytes, size_t at, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i)
    value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

// The box of `type` among the boxes tiling bytes[begin, end), as its bytes; empty if none.
std::string Find(const std::string& bytes,
                 size_t begin,
                 size_t end,
                 const std::string& type,
                 int nth = 0) {
  for (size_t at = begin; at + 8 <= end;) {
    uint64_t size = Big(bytes, at, 4);
    if (size == 1)
      size = Big(bytes, at + 8, 8);
    if (size < 8 || size > end - at)
      break;
    if (bytes.compare(at + 4, 4, type) == 0 && nth-- == 0)
      return bytes.substr(at, size);
    at += size;
  }
  return "";
}

// The box at `path` ("trak/mdia/mdhd") inside the box `box`; trak picks the `track`-th.
std::string At(const std::string& box, const std::vector<std::string>& path, int track) {
  std::string inside = box;
  for (const std::string& type : path) {
    inside = Find(inside, 8, inside.size(), type, type == "trak" ? track : 0);
    if (inside.empty())
      return "";
  }
  return inside;
}

// The packets of an encoder as the writer stamps packets without times: the n-th at n of
// its encoder's ticks, each lasting one.
void WriteRegular(const std::string& path,
                  const std::vector<const AVCodecContext*>& codecs,
                  const std::vector<const std::vector<SeenPacket>*>& packets) {
  AVFormatContext* made = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&made, nullptr, "mp4", path.c_str()), 0);
  sorvo::OutputContextPtr context(made);
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movie_timescale", "90000", 0);
  for (const AVCodecContext* codec : codecs) {
    AVStream* stream = avformat_new_stream(made, nullptr);
    ASSERT_GE(avcodec_parameters_from_context(stream->codecpar, codec), 0);
    stream->time_base = codec->time_base;
  }
  ASSERT_GE(avio_open(&made->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
  ASSERT_GE(avformat_write_header(made, &options), 0);
  av_dict_free(&options);
  sorvo::PacketPtr packet(av_packet_alloc());
  std::vector<size_t> next(codecs.size(), 0);
  for (;;) {
    // In time order, as the interleaving writer hands them on.
    int stream = -1;
    for (size_t s = 0; s < codecs.size(); ++s) {
      if (next[s] >= packets[s]->size())
        continue;
      const int64_t ticks = codecs[s]->codec_type == AVMEDIA_TYPE_AUDIO ? codecs[s]->frame_size : 1;
      if (stream < 0 ||
          av_compare_ts(next[s] * ticks, codecs[s]->time_base,
                        next[stream] * (codecs[stream]->codec_type == AVMEDIA_TYPE_AUDIO
                                            ? codecs[stream]->frame_size
                                            : 1),
                        codecs[stream]->time_base) < 0)
        stream = static_cast<int>(s);
    }
    if (stream < 0)
      break;
    const AVCodecContext* codec = codecs[stream];
    const int64_t ticks = codec->codec_type == AVMEDIA_TYPE_AUDIO ? codec->frame_size : 1;
    const SeenPacket& seen = (*packets[stream])[next[stream]];
    const AVRational base = made->streams[stream]->time_base;
    av_packet_unref(packet.get());
    packet->data = const_cast<uint8_t*>(seen.data.data());
    packet->size = static_cast<int>(seen.data.size());
    packet->flags = seen.flags | (codec->codec_type == AVMEDIA_TYPE_AUDIO ? AV_PKT_FLAG_KEY : 0);
    packet->stream_index = stream;
    packet->pts = packet->dts = av_rescale_q(next[stream] * ticks, codec->time_base, base);
    packet->duration =
        av_rescale_q((next[stream] + 1) * ticks, codec->time_base, base) - packet->pts;
    ++next[stream];
    ASSERT_EQ(av_interleaved_write_frame(made, packet.get()), 0);
  }
  ASSERT_EQ(av_write_trailer(made), 0);
}

// The packets of `from` without their times, into `writer`.
void AddWithoutTimes(FFWriteFile* writer, const std::vector<SeenPacket>& from, bool audio) {
  sorvo::PacketPtr packet(av_packet_alloc());
  for (const SeenPacket& seen : from) {
    av_packet_unref(packet.get());
    packet->data = const_cast<uint8_t*>(seen.data.data());
    packet->size = static_cast<int>(seen.data.size());
    packet->flags = seen.flags;
    ASSERT_EQ(audio ? writer->AddAudioFrame(packet.get()) : writer->AddVideoFrame(packet.get(), 0),
              1);
  }
}

struct Recording {
  RecordingEncoder video;
  RecordingAudioEncoder audio;

  Recording() {
    EXPECT_EQ(video.Open(176, 144, PIX_FMT_YUV420P, 25, 400000, "cam"), 1);
    EXPECT_EQ(audio.Open(2, 44100, 128000), 1);
    for (int i = 0; i < 80; ++i) {
      std::vector<uint8_t> picture = MovingYuvPicture(176, 144, i);
      video.Encode(i, 0, picture.data(), static_cast<long>(picture.size()));
    }
    for (int i = 0; i < 130; ++i) {
      std::vector<uint8_t> pcm = ToneFrom(i * 1152, 1152, 0, 44100);
      audio.Encode(0, 0, pcm.data(), static_cast<long>(pcm.size()));
    }
  }

  // A file of these packets from FFWriteFile; a null `limit` leaves the disk alone.
  void Write(const std::string& path, FileSizeLimit* limit = nullptr, size_t cap = 0) {
    FFWriteFile writer;
    ASSERT_EQ(writer.AttachVideoEncoder(0, &video), 1);
    ASSERT_EQ(writer.AttachAudioEncoder(0, &audio), 1);
    ASSERT_EQ(writer.CreateFileA(path.c_str(), "mp4", 1), 1);
    AddWithoutTimes(&writer, video.packets, false);
    AddWithoutTimes(&writer, audio.packets, true);
    if (limit != nullptr)
      limit->Set(cap);
    writer.CloseFile();
  }
};

TEST(RegularFinishTest, TheIndexIsTheRegularMuxersButForWhereTheChunksLie) {
  TestAppDir dir;
  Recording recording;
  recording.Write(dir.File("finished.mp4"));
  WriteRegular(dir.File("regular.mp4"),
               {recording.video.GetCodecContext(), recording.audio.GetCodecContext()},
               {&recording.video.packets, &recording.audio.packets});

  // Regular: the index last, no fragment left.
  const std::vector<Mp4Box> boxes = TopLevelBoxes(dir.File("finished.mp4"));
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes.back().type, "moov");
  EXPECT_EQ(CountBoxes(boxes, "moof"), 0);
  EXPECT_EQ(CountBoxes(boxes, "moov"), 1);

  const std::string finished = ReadWholeFile(dir.File("finished.mp4"));
  const std::string regular = ReadWholeFile(dir.File("regular.mp4"));
  const std::string a = Find(finished, 0, finished.size(), "moov");
  const std::string b = Find(regular, 0, regular.size(), "moov");
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  EXPECT_EQ(At(a, {"mvhd"}, 0), At(b, {"mvhd"}, 0));
  for (int track = 0; track < 2; ++track) {
    SCOPED_TRACE(track);
    ASSERT_FALSE(At(a, {"trak", "mdia", "minf", "stbl", "stsz"}, track).empty());
    for (const std::vector<std::string>& path :
         std::vector<std::vector<std::string>>{{"trak", "tkhd"},
                                               {"trak", "edts"},
                                               {"trak", "mdia", "mdhd"},
                                               {"trak", "mdia", "hdlr"},
                                               {"trak", "mdia", "minf", "stbl", "stsd"},
                                               {"trak", "mdia", "minf", "stbl", "stts"},
                                               {"trak", "mdia", "minf", "stbl", "stss"},
                                               {"trak", "mdia", "minf", "stbl", "ctts"},
                                               {"trak", "mdia", "minf", "stbl", "stsz"}})
      EXPECT_EQ(At(a, path, track), At(b, path, track)) << path.back();
  }
  // Every sample where the index says, and the same ones.
  const ProbedFile one = ProbeFile(dir.File("finished.mp4"));
  const ProbedFile two = ProbeFile(dir.File("regular.mp4"));
  ASSERT_EQ(one.packets.size(), two.packets.size());
  for (int stream = 0; stream < 2; ++stream) {
    const std::vector<ProbedPacket> p = one.PacketsOf(stream), q = two.PacketsOf(stream);
    ASSERT_EQ(p.size(), q.size());
    for (size_t i = 0; i < p.size(); ++i) {
      EXPECT_EQ(p[i].size, q[i].size);
      EXPECT_EQ(p[i].ptsSeconds, q[i].ptsSeconds);
      EXPECT_EQ(p[i].key, q[i].key);
    }
    EXPECT_EQ(one.streams[stream].decodeErrors, 0);
    EXPECT_EQ(one.streams[stream].decodedFrames, two.streams[stream].decodedFrames);
  }
}

TEST(RegularFinishTest, ADiskThatRefusesTheIndexLeavesTheFragmentedFilePlaying) {
  TestAppDir dir;
  Recording recording;
  recording.Write(dir.File("finished.mp4"));
  // Where the fragments ended: the regular file's first 'mdat' spans them.
  const std::vector<Mp4Box> finished = TopLevelBoxes(dir.File("finished.mp4"));
  ASSERT_GE(finished.size(), 2u);
  const uint64_t fragmentsEnd = finished[1].offset + finished[1].size;

  LogCapture log;
  {
    FileSizeLimit limit(RLIM_INFINITY);
    recording.Write(dir.File("refused.mp4"), &limit, fragmentsEnd + 100);
  }
  int errors = 0;
  for (const LogLine& line : log.Lines())
    errors += line.text.find("it stays a fragmented MP4") != std::string::npos;
  EXPECT_EQ(errors, 1);
  // As the fragments left it: nothing of the unfinished index, every packet readable.
  EXPECT_EQ(ReadWholeFile(dir.File("refused.mp4")).size(), fragmentsEnd);
  EXPECT_GT(CountBoxes(TopLevelBoxes(dir.File("refused.mp4")), "moof"), 0);
  const ProbedFile file = ProbeFile(dir.File("refused.mp4"));
  EXPECT_EQ(file.PacketsOf(0).size(), recording.video.packets.size());
  EXPECT_EQ(file.streams.at(0).decodeErrors, 0);
}

TEST(RegularFinishTest, AFileRenamedWhileItRecordsIsFinishedAndItsOldNameLeftAlone) {
  TestAppDir dir;
  Recording recording;
  FFWriteFile writer;
  ASSERT_EQ(writer.AttachVideoEncoder(0, &recording.video), 1);
  const std::string path = dir.File("live.mp4");
  ASSERT_EQ(writer.CreateFileA(path.c_str(), "mp4", 1), 1);
  AddWithoutTimes(&writer, recording.video.packets, false);
  ASSERT_EQ(rename(path.c_str(), dir.File("moved.mp4").c_str()), 0);
  dir.WriteFile("live.mp4", "another file");
  writer.CloseFile();
  EXPECT_EQ(ReadWholeFile(path), "another file");
  EXPECT_EQ(TopLevelBoxes(dir.File("moved.mp4")).back().type, "moov");
  EXPECT_EQ(ProbeFile(dir.File("moved.mp4")).streams.at(0).decodedFrames,
            static_cast<int>(recording.video.packets.size()));
}

// The tables of five samples in two chunks beyond 4 GiB, as the box definitions lay them
// out byte by byte.
TEST(RegularFinishTest, SampleTablesOfChunksBeyondFourGibibytes) {
  const uint64_t base = uint64_t{5} << 30;
  const sorvo::mp4::FragmentSample samples[] = {{base, 10, 512, 0, 1, true, true},
                                                {base + 10, 10, 512, 0, 1, false, false},
                                                {base + 20, 20, 1024, 0, 1, false, false},
                                                {base + 900, 10, 512, 0, 1, true, true},
                                                {base + 910, 10, 512, 0, 1, false, false}};
  sorvo::mp4::SampleTables tables;
  for (const auto& sample : samples)
    tables.Count(sample);
  tables.FinishCounting();
  std::string expected;
  auto put = [&](std::initializer_list<uint32_t> fields) {
    for (uint32_t field : fields)
      for (int shift = 24; shift >= 0; shift -= 8)
        expected.push_back(static_cast<char>(field >> shift));
  };
  put({40, 0x73747473, 0, 3, 2, 512, 1, 1024, 2, 512});         // stts
  put({24, 0x73747373, 0, 2, 1, 4});                            // stss
  put({40, 0x73747363, 0, 2, 1, 3, 1, 2, 2, 1});                // stsc
  put({40, 0x7374737A, 0, 0, 5, 10, 10, 20, 10, 10});           // stsz
  put({32, 0x636F3634, 0, 2, 1, 1 << 30, 1, (1 << 30) + 900});  // co64
  ASSERT_EQ(tables.Size(), expected.size());
  EXPECT_EQ(tables.Samples(), 5u);
  EXPECT_EQ(tables.SampleBytes(), 60u);

  TestAppDir dir;
  dir.WriteFile("tables", std::string(8, 'x'));
  sorvo::PositionedFile file;
  ASSERT_TRUE(file.Open(dir.File("tables")));
  tables.StartWriting(&file, 8);
  for (const auto& sample : samples)
    tables.Write(sample);
  ASSERT_TRUE(tables.FinishWriting());
  EXPECT_EQ(ReadWholeFile(dir.File("tables")), std::string(8, 'x') + expected);
}

}  // namespace
