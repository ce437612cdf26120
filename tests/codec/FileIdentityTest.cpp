// What a file says about itself: creation time, named tracks, a timecode track that starts
// at the time of day of the file's first picture, and chapters added while it records.
// Every file is read back with libavformat, as ffprobe reads it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "codec/FFWriteFile.h"
#include "common/CodecTestSupport.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/ToneOnset.h"

namespace {

using namespace sorvo::test;

constexpr int kW = 176;
constexpr int kH = 144;

struct Tags {
  bool opened = false;
  std::string creationTime;
  std::vector<std::string> kinds;      // per stream: "video", "audio", "data"
  std::vector<std::string> handlers;   // per stream
  std::vector<std::string> timecodes;  // per stream
  struct Chapter {
    double start;
    double end;
    std::string title;
  };
  std::vector<Chapter> chapters;
};

std::string Tag(AVDictionary* dictionary, const char* key) {
  const AVDictionaryEntry* entry = av_dict_get(dictionary, key, nullptr, 0);
  return entry != nullptr ? entry->value : "";
}

Tags ReadTags(const std::string& path) {
  Tags tags;
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0)
    return tags;
  avformat_find_stream_info(input, nullptr);
  tags.opened = true;
  tags.creationTime = Tag(input->metadata, "creation_time");
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* stream = input->streams[i];
    const AVMediaType type = stream->codecpar->codec_type;
    tags.kinds.push_back(type == AVMEDIA_TYPE_VIDEO   ? "video"
                         : type == AVMEDIA_TYPE_AUDIO ? "audio"
                                                      : "data");
    tags.handlers.push_back(Tag(stream->metadata, "handler_name"));
    tags.timecodes.push_back(Tag(stream->metadata, "timecode"));
  }
  for (unsigned i = 0; i < input->nb_chapters; ++i) {
    const AVChapter* chapter = input->chapters[i];
    tags.chapters.push_back({chapter->start * av_q2d(chapter->time_base),
                             chapter->end * av_q2d(chapter->time_base),
                             Tag(chapter->metadata, "title")});
  }
  avformat_close_input(&input);
  return tags;
}

std::unique_ptr<RecordingEncoder> OpenVideo(FFWriteFile* writer) {
  auto encoder = std::make_unique<RecordingEncoder>();
  EXPECT_EQ(encoder->Open(kW, kH, PIX_FMT_YUV420P, 25, 400000, "cam"), 1);
  encoder->writer = writer;
  EXPECT_EQ(writer->AttachVideoEncoder(0, encoder.get()), 1);
  return encoder;
}

void EncodeFrom(FFEncoder& encoder, double first, int count) {
  for (int k = 0; k < count; ++k) {
    std::vector<uint8_t> picture = MovingYuvPicture(kW, kH, k);
    ASSERT_EQ(
        encoder.Encode(0, first + k / 25.0, picture.data(), static_cast<long>(picture.size())), 1);
  }
}

// A file whose capture clock's 0 is 10:00:00 of the day, its first picture captured at
// `first`.
void RecordWithClock(FFWriteFile& writer, const std::string& path, double first) {
  auto video = OpenVideo(&writer);
  ASSERT_EQ(writer.SetTimecodeClock(0, 10 * 3600.0), 1);
  ASSERT_EQ(writer.CreateFileA(path.c_str(), "mp4", 1), 1);
  EncodeFrom(*video, first, 50);
  writer.CloseFile();
}

TEST(FileIdentityTest, TheTimecodeTrackStartsAtTheTimeOfDayOfTheFilesFirstPicture) {
  TestAppDir dir;
  FFWriteFile first;
  RecordWithClock(first, dir.File("first.mp4"), 0.0);
  FFWriteFile later;
  // Started 1 h 2 min 3 s and 4 pictures after the clock's 0 (and a little jitter).
  RecordWithClock(later, dir.File("later.mp4"), 3723.0 + 4 / 25.0 + 0.003);

  const Tags a = ReadTags(dir.File("first.mp4"));
  ASSERT_TRUE(a.opened);
  ASSERT_EQ(a.kinds, (std::vector<std::string>{"video", "data"}));
  EXPECT_EQ(a.timecodes[0], "10:00:00:00");
  EXPECT_EQ(a.timecodes[1], "10:00:00:00");
  EXPECT_EQ(first.GetFileTimecode(), "10:00:00:00");
  const Tags b = ReadTags(dir.File("later.mp4"));
  EXPECT_EQ(b.timecodes[0], "11:02:03:04");
  EXPECT_EQ(later.GetFileTimecode(), "11:02:03:04");
  double origin = 0;
  ASSERT_TRUE(later.GetFileOrigin(&origin));
  EXPECT_NEAR(origin, 3723.163, 1e-9);

  // The pictures themselves are as they always were: the timecode adds a track only.
  const ProbedFile file = ProbeFile(dir.File("later.mp4"));
  EXPECT_EQ(file.streams[0].decodedFrames, 50);
  EXPECT_EQ(file.streams[0].decodeErrors, 0);
  EXPECT_NEAR(file.streams[0].endSeconds, 2.0, 1e-3);
}

TEST(FileIdentityTest, TheDayWrapsAtMidnightAndAClockMovedBeforeTheFirstPictureCounts) {
  TestAppDir dir;
  FFWriteFile writer;
  auto video = OpenVideo(&writer);
  // Dated first when the file is made, then again when the session really starts.
  ASSERT_EQ(writer.SetTimecodeClock(0, 12 * 3600.0), 1);
  ASSERT_EQ(writer.SetFileMetadata("creation_time", "2001-01-01T00:00:00.000000Z"), 1);
  ASSERT_EQ(writer.CreateFileA(dir.File("night.mp4").c_str(), "mp4", 1), 1);
  ASSERT_EQ(writer.SetTimecodeClock(100.0, 86399.0), 1);
  ASSERT_EQ(writer.SetFileMetadata("creation_time", "2024-02-29T23:59:59.000000Z"), 1);
  EncodeFrom(*video, 102.0, 10);
  writer.CloseFile();
  const Tags tags = ReadTags(dir.File("night.mp4"));
  EXPECT_EQ(tags.timecodes[0], "00:00:01:00");
  EXPECT_EQ(tags.creationTime, "2024-02-29T23:59:59.000000Z");

  EXPECT_EQ(writer.SetTimecodeClock(0, 1.0 / 0.0), 0);
}

TEST(FileIdentityTest, AFileWithoutPicturesStillOpensWithItsTimecode) {
  TestAppDir dir;
  FFWriteFile writer;
  auto video = OpenVideo(&writer);
  ASSERT_EQ(writer.SetTimecodeClock(5.0, 3600.0), 1);
  ASSERT_EQ(writer.CreateFileA(dir.File("empty.mp4").c_str(), "mp4", 1), 1);
  writer.CloseFile();
  const Tags tags = ReadTags(dir.File("empty.mp4"));
  ASSERT_TRUE(tags.opened);
  EXPECT_EQ(tags.timecodes[0], "01:00:00:00");
  EXPECT_FALSE(writer.GetFileOrigin(nullptr));
}

TEST(FileIdentityTest, WithoutAClockOrNamesAFileIsWrittenExactlyAsBefore) {
  TestAppDir dir;
  FFWriteFile writer;
  auto video = OpenVideo(&writer);
  ASSERT_EQ(writer.CreateFileA(dir.File("plain.mp4").c_str(), "mp4", 1), 1);
  EncodeFrom(*video, 0, 10);
  writer.CloseFile();
  const Tags tags = ReadTags(dir.File("plain.mp4"));
  EXPECT_EQ(tags.kinds, (std::vector<std::string>{"video"}));
  EXPECT_EQ(tags.timecodes[0], "");
  EXPECT_EQ(tags.creationTime, "");
  EXPECT_TRUE(tags.chapters.empty());
  EXPECT_EQ(writer.GetFileTimecode(), "");
}

TEST(FileIdentityTest, TracksCarryTheirNamesAndTheSoundTrackItsOwn) {
  TestAppDir dir;
  FFWriteFile writer;
  auto video = OpenVideo(&writer);
  RecordingAudioEncoder audio;
  ASSERT_EQ(audio.Open(2, 44100, 128000), 1);
  audio.writer = &writer;
  ASSERT_EQ(writer.AttachAudioEncoder(0, &audio), 1);
  ASSERT_EQ(writer.SetTrackName(0, "Stage"), 1);
  ASSERT_EQ(writer.SetTrackName(FFWriteFile::kAudioTrack, "sound"), 1);
  EXPECT_EQ(writer.SetTrackName(10, "x"), 0);
  EXPECT_EQ(writer.SetTrackName(-2, "x"), 0);
  EXPECT_EQ(writer.SetFileMetadata("", "x"), 0);
  ASSERT_EQ(writer.CreateFileA(dir.File("named.mp4").c_str(), "mp4", 1), 1);
  EncodeFrom(*video, 0, 10);
  for (int k = 0; k < 10; ++k) {
    std::vector<uint8_t> pcm = ToneFrom(k * 1152, 1152, 0, 44100);
    audio.Encode(0, k * 1152 / 44100.0, pcm.data(), static_cast<long>(pcm.size()));
  }
  writer.CloseFile();
  audio.Close();
  const Tags tags = ReadTags(dir.File("named.mp4"));
  ASSERT_EQ(tags.kinds, (std::vector<std::string>{"video", "audio"}));
  EXPECT_EQ(tags.handlers, (std::vector<std::string>{"Stage", "sound"}));
}

TEST(FileIdentityTest, ChaptersAddedWhileRecordingReachTheFileInFileTime) {
  TestAppDir dir;
  FFWriteFile writer;
  auto video = OpenVideo(&writer);
  EXPECT_EQ(writer.AddChapter(0, "closed"), 0);
  ASSERT_EQ(writer.CreateFileA(dir.File("chapters.mp4").c_str(), "mp4", 1), 1);
  // On a clock where the file's first picture is at 500 s: a chapter from before it starts
  // the file, chapters come in any order, and one after the end is not in the file.
  ASSERT_EQ(writer.AddChapter(499.0, "camera0"), 1);
  EncodeFrom(*video, 500.0, 100);
  ASSERT_EQ(writer.AddChapter(502.4, "camera2"), 1);
  ASSERT_EQ(writer.AddChapter(501.2, "camera1 | mark 10:00:01:10 goal"), 1);
  ASSERT_EQ(writer.AddChapter(600.0, "too late"), 1);
  EXPECT_EQ(writer.AddChapter(501.0, ""), 0);
  writer.CloseFile();
  const Tags tags = ReadTags(dir.File("chapters.mp4"));
  ASSERT_EQ(tags.chapters.size(), 3u);
  EXPECT_EQ(tags.chapters[0].title, "camera0");
  EXPECT_NEAR(tags.chapters[0].start, 0.0, 1e-6);
  EXPECT_EQ(tags.chapters[1].title, "camera1 | mark 10:00:01:10 goal");
  EXPECT_NEAR(tags.chapters[1].start, 1.2, 1e-6);
  EXPECT_NEAR(tags.chapters[0].end, 1.2, 1e-6);
  EXPECT_EQ(tags.chapters[2].title, "camera2");
  EXPECT_NEAR(tags.chapters[2].start, 2.4, 1e-6);
  EXPECT_NEAR(tags.chapters[2].end, 4.0, 1e-3);
  // The next file starts without them.
  ASSERT_EQ(writer.CreateFileA(dir.File("next.mp4").c_str(), "mp4", 1), 1);
  EncodeFrom(*video, 700.0, 10);
  writer.CloseFile();
  EXPECT_TRUE(ReadTags(dir.File("next.mp4")).chapters.empty());
}

TEST(FileIdentityTest, AFragmentedFileKeepsItsTimecodeAndPlays) {
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini", "[Sorvo]\nFragmentedMP4=1\n");
  FFWriteFile writer;
  auto video = OpenVideo(&writer);
  ASSERT_EQ(writer.SetTimecodeClock(0, 7200.0), 1);
  ASSERT_EQ(writer.CreateFileA(dir.File("frag.mp4").c_str(), "mp4", 1), 1);
  EncodeFrom(*video, 1.0, 60);
  writer.AddChapter(1.5, "camera1");
  writer.CloseFile();
  const Tags tags = ReadTags(dir.File("frag.mp4"));
  EXPECT_EQ(tags.timecodes[0], "02:00:01:00");
  const ProbedFile file = ProbeFile(dir.File("frag.mp4"));
  EXPECT_EQ(file.streams[0].decodedFrames, 60);
  EXPECT_GE(CountBoxes(TopLevelBoxes(dir.File("frag.mp4")), "moof"), 2);
}

}  // namespace
