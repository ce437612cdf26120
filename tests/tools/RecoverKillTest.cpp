// sorvo-record killed with SIGKILL in the middle of a ten-second session, its MP4 files
// written as fragments (one per GOP) and not yet made regular: sorvo-recover rebuilds every
// camera's MP4, the director's and the multi-stream file as regular files, and each holds
// at least the pictures the recorder had encoded two seconds before the kill (a fragment
// reaches the file when its GOP of a second ends), every one decoding without an error.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "RecoverTestSupport.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"

namespace {

using namespace sorvo::test;
using std::chrono::seconds;

// What an MP4 writer may still hold in its output buffer, not yet in the file, when the
// process dies: libavformat buffers 256 KiB of writes to a file (several seconds of small
// pictures). What never reached the file no rescue can bring back.
constexpr size_t kWriterBuffer = 256 * 1024;

struct Sink {
  const char* mp4;  // its MP4 in the session folder
  const char* raw;  // part of its raw stream file's name
};
constexpr Sink kSinks[] = {{"camera0.mp4", "Sorvo_camera0_"},
                           {"camera1.mp4", "Sorvo_camera1_"},
                           {"director.mp4", "Sorvo_director_"}};

// Whole packets in a raw stream file as it is now (the last one may still be growing).
size_t WholePackets(const std::string& path) {
  const size_t packets = RawStreamPackets(ReadWholeFile(path)).size();
  return packets > 0 ? packets - 1 : 0;
}

std::vector<int> Sizes(const std::vector<std::string>& packets, size_t count) {
  std::vector<int> sizes;
  for (size_t i = 0; i < count && i < packets.size(); ++i)
    sizes.push_back(static_cast<int>(packets[i].size()));
  return sizes;
}

std::vector<int> Sizes(const std::vector<ProbedPacket>& packets) {
  std::vector<int> sizes;
  for (const ProbedPacket& packet : packets)
    sizes.push_back(packet.size);
  return sizes;
}

// Of `encoded` pictures, how many the MP4 must hold: all of them, unless the writer's
// buffer at the kill reached back into them (which happens only when less than a buffer's
// worth was encoded after them).
size_t Required(const std::vector<std::string>& finalPackets, size_t encoded) {
  size_t total = 0;
  for (const std::string& packet : finalPackets)
    total += packet.size();
  size_t end = 0;
  size_t onDisk = 0;
  for (const std::string& packet : finalPackets) {
    end += packet.size();
    if (end + kWriterBuffer > total)
      break;
    ++onDisk;
  }
  return std::min(encoded, onDisk);
}

TEST(RecoverKillTest, EveryMp4OfAKilledRecordingIsRebuiltUpToTwoSecondsBeforeTheKill) {
  TestAppDir dir;
  const int base = FreePortBase(10);
  ASSERT_GT(base, 0);
  const std::string out = dir.File("session");
  ToolProcess recorder(kRecordProgram,
                       {"--seconds", "10", "--fps", "25", "--bitrate", "4000000", "--camera",
                        "test:640x480", "--camera", "test:176x144:yuv420p", "--director", "320x180",
                        "--ports", std::to_string(base), "--out", out, "--save-stream",
                        // Each sink's own file holds its pictures alone; the multi-stream file
                        // below is rebuilt with the sound.
                        "--program-sound", "off"},
                       dir.path());
  ASSERT_TRUE(recorder.WaitForOutput("Recording into", seconds(60)))
      << recorder.Stdout() << recorder.Stderr();
  // What each sink had encoded two seconds and one second before the kill: its raw stream
  // gets every packet right after the MP4 writer does.
  std::this_thread::sleep_for(seconds(3));
  const std::string raws = dir.File("RawStream");
  std::vector<size_t> twoBefore;
  for (const Sink& sink : kSinks)
    twoBefore.push_back(WholePackets(FileNamed(raws, sink.raw)));
  std::this_thread::sleep_for(seconds(1));
  std::vector<size_t> oneBefore;
  for (const Sink& sink : kSinks)
    oneBefore.push_back(WholePackets(FileNamed(raws, sink.raw)));
  std::this_thread::sleep_for(seconds(1));
  recorder.Signal(SIGKILL);
  ASSERT_EQ(recorder.Wait(seconds(60)), 128 + SIGKILL) << recorder.Stdout();
  ASSERT_GT(oneBefore[0], 25u) << "the recorder encoded almost nothing";

  std::vector<std::vector<std::string>> encoded;
  for (size_t i = 0; i < std::size(kSinks); ++i) {
    SCOPED_TRACE(kSinks[i].mp4);
    encoded.push_back(RawStreamPackets(ReadWholeFile(FileNamed(raws, kSinks[i].raw))));
    const std::string rebuilt = dir.File(std::string("rebuilt_") + kSinks[i].mp4);
    const ToolResult run =
        RunTool(kRecoverProgram, {out + "/" + kSinks[i].mp4, "-o", rebuilt}, dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const FfprobeCount count = CountFramesWithFfprobe(rebuilt, dir.path());
    ASSERT_TRUE(count.ran);
    EXPECT_EQ(count.errors, "");
    ASSERT_EQ(count.frames.size(), 1u) << run.out << count.output;
    EXPECT_GE(count.frames[0], static_cast<long long>(Required(encoded[i], twoBefore[i])))
        << "encoded " << encoded[i].size() << ", two seconds before " << twoBefore[i] << "\n"
        << run.out;
    EXPECT_NE(run.out.find("a fragmented MP4"), std::string::npos) << run.out;
    RecordProperty(std::string(kSinks[i].mp4) + "EncodedASecondBefore",
                   static_cast<int>(oneBefore[i]));
    RecordProperty(std::string(kSinks[i].mp4) + "Rebuilt", static_cast<int>(count.frames[0]));
    // Exactly what the encoder made, in its order (the timecode track beside it).
    const std::vector<ProbedPacket> pictures = ProbeFile(rebuilt).PacketsOf(0);
    EXPECT_EQ(Sizes(pictures), Sizes(encoded[i], pictures.size()));
  }

  // The multi-stream file: both cameras told apart and the sound beside them. It holds a
  // camera's pictures back until the sound has caught up, so it is held to the pictures
  // encoded two seconds before the kill.
  const std::string multi = dir.File("rebuilt_multi.mp4");
  const ToolResult run = RunTool(kRecoverProgram, {out + "/导播多流.mp4", "-o", multi}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const FfprobeCount count = CountFramesWithFfprobe(multi, dir.path());
  ASSERT_TRUE(count.ran);
  EXPECT_EQ(count.errors, "");
  const ProbedFile file = ProbeFile(multi);
  ASSERT_EQ(file.streams.size(), 4u) << run.out;  // and the timecode track
  ASSERT_EQ(count.frames.size(), 3u) << count.output;
  for (int camera = 0; camera < 2; ++camera) {
    SCOPED_TRACE(camera);
    const std::vector<ProbedPacket> packets = file.PacketsOf(camera);
    EXPECT_EQ(Sizes(packets), Sizes(encoded[camera], packets.size()));
    EXPECT_GE(count.frames[camera],
              static_cast<long long>(Required(encoded[camera], twoBefore[camera])));
  }
  EXPECT_EQ(file.streams[2].codecId, AV_CODEC_ID_MP3);
  EXPECT_NEAR(file.streams[2].endSeconds, file.streams[0].endSeconds, 1.0);
}

}  // namespace
