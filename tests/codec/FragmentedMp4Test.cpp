// The FragmentedMP4 setting, tried the way it matters: a child process writes an MP4 and
// is killed with SIGKILL part-way into a GOP, and the parent reads what is left with
// libavformat and libavcodec.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}

#include "codec/FFWriteFile.h"
#include "common/CodecTestSupport.h"
#include "common/FileSizeLimit.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"

namespace {

using namespace sorvo::test;

constexpr int kGop = 25;                 // the encoder's GOP at 25 pictures a second
constexpr int kWritten = 3 * kGop + 13;  // three and a half GOPs
constexpr int kCompleteGops = 3 * kGop;

void SetFragmented(const TestAppDir& dir, bool on) {
  dir.WriteFile("SettingVideo.ini",
                std::string("[Sorvo]\nFragmentedMP4=") + (on ? "1" : "0") + "\n");
}

// Kills the calling process as a crash or the OOM killer would: no trailer, no destructor,
// no flush of the C library.
[[noreturn]] void KillSelf() {
  raise(SIGKILL);
  _exit(4);
}

// Runs `work` in a child process, which is to end in KillSelf with its writer still open;
// a `work` that returns has failed before the kill, which the child reports as exit code 3.
// The child is forked before the test makes any thread, so it may do anything.
void RunAndKill(const std::function<void()>& work) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    work();
    _exit(3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer exited with " << WEXITSTATUS(status);
  ASSERT_EQ(WTERMSIG(status), SIGKILL);
}

bool EncodeMoving(RecordingEncoder& encoder, int first, int count) {
  const int w = encoder.GetEncoderWidth(), h = encoder.GetEncoderHeight();
  for (int i = first; i < first + count; ++i) {
    std::vector<uint8_t> picture = MovingYuvPicture(w, h, i);
    if (encoder.Encode(i, 0, picture.data(), static_cast<long>(picture.size())) != 1)
      return false;
  }
  return true;
}

// One camera's pictures into `path`, then the file is closed, or with `kill` the process is
// killed with the writer open, mid-GOP. False when the encoder or the file could not be
// made; whether the writes succeeded, the file read back says.
bool WriteOneCamera(const std::string& path, int pictures, bool kill) {
  RecordingEncoder encoder;
  FFWriteFile writer;
  encoder.writer = &writer;
  if (encoder.Open(176, 144, PIX_FMT_YUV420P, 25, 400000, "cam") != 1 ||
      writer.AttachVideoEncoder(0, &encoder) != 1 ||
      writer.CreateFileA(path.c_str(), "mp4", 1) != 1 || !EncodeMoving(encoder, 0, pictures))
    return false;
  if (kill)
    KillSelf();
  writer.CloseFile();
  return true;
}

// What a reader finds in a file that holds `pictures` pictures of one camera from the
// first on: every one decodes, at its own time, with key frames where the GOPs start.
void ExpectPictures(const ProbedFile& file, int pictures) {
  ASSERT_TRUE(file.opened);
  ASSERT_EQ(file.streams.size(), 1u);
  EXPECT_EQ(file.streams[0].codecId, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(file.streams[0].decodedFrames, pictures);
  EXPECT_EQ(file.streams[0].decodeErrors, 0);
  EXPECT_NEAR(file.streams[0].endSeconds, pictures / 25.0, 1e-3);
  EXPECT_NEAR(file.durationSeconds, pictures / 25.0, 1e-3);
  ASSERT_EQ(file.packets.size(), static_cast<size_t>(pictures));
  for (int i = 0; i < pictures; ++i) {
    EXPECT_NEAR(file.packets[i].ptsSeconds, i * 0.04, 1e-4) << i;
    EXPECT_EQ(file.packets[i].key, i % kGop == 0) << i;
  }
}

TEST(FragmentedMp4Test, AKilledWriterLeavesEveryCompleteGopReadable) {
  // With or without the setting: every MP4 is written as fragments while it records.
  for (const bool setting : {true, false}) {
    SCOPED_TRACE(setting);
    TestAppDir dir;
    SetFragmented(dir, setting);
    const std::string path = dir.File("killed.mp4");
    RunAndKill([&] { WriteOneCamera(path, kWritten, /*kill=*/true); });

    const ProbedFile file = ProbeFile(path);
    // The half GOP in progress was still in the muxer's memory; the three before it are
    // on disk, one fragment each, after the empty 'moov'.
    ExpectPictures(file, kCompleteGops);
    const std::vector<Mp4Box> boxes = TopLevelBoxes(path);
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].type, "ftyp");
    EXPECT_EQ(boxes[1].type, "moov");
    EXPECT_EQ(CountBoxes(boxes, "moof"), 3);
    EXPECT_EQ(CountBoxes(boxes, "mdat"), 3);
    // The empty 'moov' still tells a decoder how to start.
    const std::vector<std::vector<uint8_t>> infos = EsdsDecoderInfos(path);
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_FALSE(infos[0].empty());
    EXPECT_EQ(file.streams[0].extradata, infos[0]);
    RecordProperty("picturesWritten", kWritten);
    RecordProperty("picturesRecovered", file.streams[0].decodedFrames);
  }
}

TEST(FragmentedMp4Test, ClosedFilesHoldEveryPictureAndOnlyTheSettingFragmentsThem) {
  TestAppDir dir;
  SetFragmented(dir, true);
  ASSERT_TRUE(WriteOneCamera(dir.File("fragmented.mp4"), kWritten, /*kill=*/false));
  ExpectPictures(ProbeFile(dir.File("fragmented.mp4")), kWritten);
  EXPECT_EQ(CountBoxes(TopLevelBoxes(dir.File("fragmented.mp4")), "moof"), 4);

  // The key is read as each file is made: off now, so the next file is the default one,
  // with its index at the end and no fragment.
  SetFragmented(dir, false);
  ASSERT_TRUE(WriteOneCamera(dir.File("default.mp4"), kWritten, /*kill=*/false));
  ExpectPictures(ProbeFile(dir.File("default.mp4")), kWritten);
  const std::vector<Mp4Box> boxes = TopLevelBoxes(dir.File("default.mp4"));
  EXPECT_EQ(CountBoxes(boxes, "moof"), 0);
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes.back().type, "moov");
  ASSERT_EQ(EsdsDecoderInfos(dir.File("default.mp4")).size(), 1u);
  EXPECT_EQ(EsdsDecoderInfos(dir.File("default.mp4"))[0],
            EsdsDecoderInfos(dir.File("fragmented.mp4"))[0]);
}

TEST(FragmentedMp4Test, AWriteCutShortAnywhereLeavesOnlyWholeFragmentsVisible) {
  // A process killed in the middle of writing a fragment (or a disk that fills up) leaves
  // part of it behind. The file size limit cuts the writes at chosen bytes of the third
  // fragment, as such a kill would, and then the writer is killed.
  TestAppDir dir;
  SetFragmented(dir, true);
  ASSERT_TRUE(WriteOneCamera(dir.File("whole.mp4"), kWritten, /*kill=*/false));
  std::vector<Mp4Box> fragments;
  for (const Mp4Box& box : TopLevelBoxes(dir.File("whole.mp4")))
    if (box.type == "moof")
      fragments.push_back(box);
  ASSERT_EQ(fragments.size(), 4u);
  const Mp4Box third = fragments[2];
  struct Cut {
    uint64_t bytes;
    int pictures;
  };
  const Cut cuts[] = {
      {third.offset + 6, 2 * kGop},                 // inside the header of its 'moof'
      {third.offset + third.size / 2, 2 * kGop},    // inside the 'moof'
      {third.offset + third.size + 100, 2 * kGop},  // inside its 'mdat'
      {fragments[3].offset - 1, 2 * kGop},          // all but the last byte
      {fragments[3].offset, 3 * kGop},              // all of it
  };
  for (const Cut& cut : cuts) {
    const std::string path = dir.File("cut" + std::to_string(cut.bytes) + ".mp4");
    RunAndKill([&] {
      FileSizeLimit limit(cut.bytes);
      WriteOneCamera(path, kWritten, /*kill=*/true);
    });
    const ProbedFile file = ProbeFile(path);
    ASSERT_TRUE(file.opened) << cut.bytes;
    ASSERT_EQ(file.streams.size(), 1u);
    EXPECT_EQ(file.streams[0].decodedFrames, cut.pictures) << cut.bytes;
    EXPECT_EQ(file.streams[0].decodeErrors, 0) << cut.bytes;
    EXPECT_EQ(file.packets.size(), static_cast<size_t>(cut.pictures)) << cut.bytes;
  }
}

TEST(FragmentedMp4Test, AKilledMultiStreamWriterLeavesEveryStreamReadable) {
  // Three cameras of different sizes and the MP3 sound, packets arriving as the director
  // writes them: a picture of each camera in turn, the sound kept up with the pictures.
  TestAppDir dir;
  SetFragmented(dir, true);
  const std::string path = dir.File("multi.mp4");
  const int widths[] = {176, 320, 160};
  const int heights[] = {144, 240, 120};
  RunAndKill([&] {
    FFWriteFile writer;
    std::vector<std::unique_ptr<RecordingEncoder>> cameras;
    for (int i = 0; i < 3; ++i) {
      cameras.push_back(std::make_unique<RecordingEncoder>());
      cameras[i]->writer = &writer;
      cameras[i]->writerIndex = i;
      if (cameras[i]->Open(widths[i], heights[i], PIX_FMT_YUV420P, 25, 400000, "cam") != 1 ||
          writer.AttachVideoEncoder(i, cameras[i].get()) != 1)
        return;
    }
    RecordingAudioEncoder sound;
    sound.writer = &writer;
    if (sound.Open(2, 44100, 128000) != 1 || writer.AttachAudioEncoder(0, &sound) != 1 ||
        writer.CreateFileA(path.c_str(), ".mp4", 3) != 1)
      return;
    const int frame = sound.GetFrameBytes() / 4;
    int first = 0;
    for (int picture = 0; picture < kWritten; ++picture) {
      for (auto& camera : cameras)
        if (!EncodeMoving(*camera, picture, 1))
          return;
      for (; first < (picture + 1) * 44100 / 25; first += frame) {
        std::vector<uint8_t> pcm = Tone(440, 44100, 2, first, frame);
        sound.Encode(0, 0, pcm.data(), static_cast<long>(pcm.size()));
      }
    }
    KillSelf();
  });

  const ProbedFile file = ProbeFile(path);
  ASSERT_TRUE(file.opened);
  ASSERT_EQ(file.streams.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    const ProbedStream& video = file.streams[i];
    EXPECT_EQ(video.width, widths[i]) << i;
    EXPECT_EQ(video.decodeErrors, 0) << i;
    // A fragment is cut at the key frame of any camera, so each camera keeps at least its
    // complete GOPs; what followed its last key frame may be lost with the process.
    EXPECT_GE(video.decodedFrames, kCompleteGops) << i;
    EXPECT_LE(video.decodedFrames, kWritten) << i;
    RecordProperty("picturesRecovered" + std::to_string(i), video.decodedFrames);
  }
  const ProbedStream& sound = file.streams[3];
  EXPECT_EQ(sound.codecId, AV_CODEC_ID_MP3);
  EXPECT_EQ(sound.decodeErrors, 0);
  // The sound reaches as far as the pictures do, within a fragment's interleaving.
  EXPECT_NEAR(sound.endSeconds, file.streams[0].endSeconds, 0.5);
  EXPECT_GT(sound.decodedFrames, 0);
}

}  // namespace
