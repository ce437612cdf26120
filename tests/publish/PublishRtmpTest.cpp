// The publisher against nginx's RTMP module: the program played back from the server, the
// server killed and started again, and a server that stops reading.
#include <gtest/gtest.h>

#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}

#include "PublishTestSupport.h"
#include "common/TestAppDir.h"
#include "common/ToneOnset.h"
#include "common/WaitUntil.h"
#include "tools/record/publish/PublishReport.h"
#include "tools/record/publish/Publisher.h"

namespace {

using namespace sorvo::test;
using namespace std::chrono_literals;
using sorvo::tools::Publisher;
using sorvo::tools::PublishOutputStatus;
using sorvo::tools::PublishSettings;
using sorvo::tools::PublishStatus;

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines)
    text += line + "\n";
  return text;
}

TEST(PublishRtmpTest, TheServerPlaysTheProgramBackWithItsSwitchesAndItsSoundInStep) {
  TestAppDir dir;
  RtmpServer server(dir.path());
  ASSERT_TRUE(server.Start()) << server.log();
  // The player asks first, as an audience does, so that it receives the stream from its
  // first picture.
  auto player = StartPlayer(server.Url("program"), dir.File("played.flv"), dir.path());
  ASSERT_TRUE(server.WaitForPlayer("program", 30s)) << server.log() << player->Stderr();

  const PublishSettings settings = SmallProgram();
  Publisher publisher({TargetOf(server.Url("program"))}, settings);
  std::string error;
  ASSERT_TRUE(publisher.Start(&error)) << error;
  // Camera 0 (red) from 0 s, camera 1 (green) from 2 s with the sound's onset, camera 2
  // (blue) from 4 s.
  LiveProgram program(publisher, settings, 2.0, 2.0, HasRoom(publisher));
  program.StopAfter(150);
  program.Start();
  ASSERT_TRUE(program.WaitForPictures(150, 60s));
  program.Stop();
  publisher.Stop();

  const PublishStatus status = publisher.Status();
  const std::string messages = Joined(publisher.TakeMessages());
  ASSERT_EQ(status.outputs.size(), 1u);
  const PublishOutputStatus& output = status.outputs[0];
  EXPECT_EQ(status.picturesSkipped, 0);
  EXPECT_EQ(status.picturesEncoded, 150);
  EXPECT_EQ(output.connects, 1) << messages;
  EXPECT_EQ(output.losses, 0) << messages;
  EXPECT_EQ(output.gopsDropped, 0);
  EXPECT_TRUE(output.endedLive) << output.lastError;
  EXPECT_EQ(output.shown, "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/***");
  EXPECT_NE(messages.find("publishing"), std::string::npos) << messages;

  ASSERT_EQ(player->Wait(60s), 0) << player->Stderr();
  const ProbedFile played = ProbeFile(dir.File("played.flv"), true);
  ASSERT_TRUE(played.opened);
  const ProbedStream* video = FirstStream(played, AVMEDIA_TYPE_VIDEO);
  const ProbedStream* audio = FirstStream(played, AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(video, nullptr);
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(video->codecId, AV_CODEC_ID_H264);
  EXPECT_EQ(video->width, 320);
  EXPECT_EQ(video->height, 180);
  EXPECT_EQ(video->decodeErrors, 0);
  EXPECT_EQ(audio->codecId, AV_CODEC_ID_AAC);
  EXPECT_EQ(audio->sampleRate, 44100);
  EXPECT_EQ(audio->channels, 2);
  EXPECT_EQ(audio->decodeErrors, 0);
  // Six seconds of sound (the last AAC frame may end a little short of the last picture).
  EXPECT_GE(static_cast<double>(audio->decodedSamples) / audio->sampleRate, 5.9);

  // Every picture of the program, each camera for its two seconds.
  const std::vector<ColourRun> runs = ColourRuns(*video);
  ASSERT_EQ(runs.size(), 3u) << DescribeRuns(runs);
  EXPECT_EQ(runs[0].colour, ProgramColour::kRed) << DescribeRuns(runs);
  EXPECT_EQ(runs[1].colour, ProgramColour::kGreen) << DescribeRuns(runs);
  EXPECT_EQ(runs[2].colour, ProgramColour::kBlue) << DescribeRuns(runs);
  for (const ColourRun& run : runs)
    EXPECT_EQ(run.pictures, 50) << DescribeRuns(runs);
  EXPECT_NEAR(runs[1].startSeconds - runs[0].startSeconds, 2.0, 0.002);
  EXPECT_NEAR(runs[2].startSeconds - runs[0].startSeconds, 4.0, 0.002);
  // The sound starts where the green camera does, as it was captured: within a few
  // milliseconds, far less than a picture.
  const double onset = HeardOnsetSeconds(*audio);
  ASSERT_GE(onset, 0);
  EXPECT_NEAR(onset, runs[1].startSeconds, 0.01);
}

TEST(PublishRtmpTest, RtmpsCarriesTheProgramOverTls) {
  TestAppDir dir;
  RtmpServer server(dir.path(), /*tls=*/true);
  ASSERT_TRUE(server.Start()) << server.log();
  const PublishSettings settings = SmallProgram();
  Publisher publisher({TargetOf(server.TlsUrl("secure"))}, settings);
  std::string error;
  ASSERT_TRUE(publisher.Start(&error)) << error;
  LiveProgram program(publisher, settings, 2.0, 0.0, HasRoom(publisher));
  program.StopAfter(75);
  program.Start();
  ASSERT_TRUE(program.WaitForPictures(75, 60s));
  program.Stop();
  publisher.Stop();
  const PublishOutputStatus output = publisher.Status().outputs.at(0);
  EXPECT_EQ(output.scheme, "rtmps");
  EXPECT_EQ(output.connects, 1) << output.lastError;
  EXPECT_TRUE(output.endedLive) << output.lastError;

  // The server took the stream from its TLS port and recorded every picture.
  const std::vector<std::string> recordings = server.Recordings();
  ASSERT_EQ(recordings.size(), 1u) << server.log();
  const ProbedFile recorded = ProbeFile(recordings[0], false);
  const ProbedStream* video = FirstStream(recorded, AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(video, nullptr);
  ASSERT_NE(FirstStream(recorded, AVMEDIA_TYPE_AUDIO), nullptr);
  EXPECT_EQ(video->codecId, AV_CODEC_ID_H264);
  EXPECT_EQ(video->decodeErrors, 0);
  EXPECT_EQ(video->decodedFrames, program.pictures());
}

PublishSettings QuickToRecover() {
  PublishSettings settings = SmallProgram();
  settings.firstRetry = 200ms;
  settings.longestRetry = 1000ms;
  settings.queueSeconds = 2;
  settings.ioTimeout = 2000ms;
  return settings;
}

// The server goes mid-GOP and is back before the queue would let a GOP go: the new
// connection must still begin at a key frame, with the sound from that picture on.
TEST(PublishRtmpTest, AServerKilledAndStartedAgainGetsTheProgramAgainFromAKeyFrame) {
  TestAppDir dir;
  RtmpServer server(dir.path());
  ASSERT_TRUE(server.Start()) << server.log();
  PublishSettings settings = QuickToRecover();
  settings.queueSeconds = 30;  // never full here: only the restart at a key frame drops
  Publisher publisher({TargetOf(server.Url("program"))}, settings);
  std::string error;
  ASSERT_TRUE(publisher.Start(&error)) << error;
  LiveProgram program(publisher, settings, 2.0, 0.0, HasRoom(publisher));
  program.Start();
  auto output = [&] { return publisher.Status().outputs.at(0); };
  ASSERT_TRUE(WaitUntil([&] { return output().state == PublishOutputStatus::State::kLive; }));
  ASSERT_TRUE(program.WaitForPictures(75, 30s));  // the middle of the second GOP

  server.Kill();
  ASSERT_TRUE(WaitUntil([&] { return output().losses == 1; }));
  ASSERT_TRUE(server.Start()) << server.log();
  ASSERT_TRUE(WaitUntil([&] { return output().connects == 2; }));
  auto player = StartPlayer(server.Url("program"), dir.File("after.flv"), dir.path());
  ASSERT_TRUE(server.WaitForPlayer("program", 30s)) << server.log();
  // Two whole GOPs more: the server starts a new player at a key frame.
  const long long delivered = program.pictures();
  ASSERT_TRUE(program.WaitForPictures(delivered + 100, 30s));
  program.Stop();
  publisher.Stop();

  const PublishStatus status = publisher.Status();
  const std::string messages = Joined(publisher.TakeMessages());
  const PublishOutputStatus& ended = status.outputs.at(0);
  EXPECT_EQ(ended.connects, 2) << messages;
  EXPECT_EQ(ended.losses, 1) << messages;
  EXPECT_GT(ended.secondsDown, 0.0);
  // Only the rest of the GOP the connection was lost in.
  EXPECT_EQ(ended.gopsDropped, 1);
  EXPECT_TRUE(ended.endedLive) << ended.lastError;
  // The encoder never waited for the destination.
  EXPECT_EQ(status.picturesSkipped, 0);
  EXPECT_NE(messages.find("connection lost"), std::string::npos) << messages;
  EXPECT_NE(messages.find("publishing again after"), std::string::npos) << messages;
  EXPECT_NE(sorvo::tools::PublishProgressText(status).find("GOP"), std::string::npos);

  ASSERT_EQ(player->Wait(60s), 0) << player->Stderr();
  const ProbedFile played = ProbeFile(dir.File("after.flv"), true);
  const ProbedStream* video = FirstStream(played, AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->decodeErrors, 0);
  EXPECT_GE(video->decodedFrames, 50);

  // Each connection's recording decodes from its first picture, with its sound (the server
  // drops pictures up to a key frame: a connection begun mid-GOP shows sound without them).
  const std::vector<std::string> recordings = server.Recordings();
  ASSERT_EQ(recordings.size(), 2u);
  for (const std::string& recording : recordings) {
    const ProbedFile recorded = ProbeFile(recording, true);
    const ProbedStream* pictures = FirstStream(recorded, AVMEDIA_TYPE_VIDEO);
    const ProbedStream* sound = FirstStream(recorded, AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(pictures, nullptr) << recording;
    ASSERT_NE(sound, nullptr) << recording;
    const std::vector<ProbedPacket> packets = recorded.PacketsOf(pictures->index);
    const std::vector<ProbedPacket> frames = recorded.PacketsOf(sound->index);
    ASSERT_FALSE(packets.empty()) << recording;
    ASSERT_FALSE(frames.empty()) << recording;
    EXPECT_TRUE(packets.front().key) << recording;
    EXPECT_NEAR(frames.front().ptsSeconds, packets.front().ptsSeconds, 0.05) << recording;
    EXPECT_EQ(pictures->decodeErrors, 0) << recording;
    EXPECT_EQ(pictures->decodedFrames, static_cast<int>(packets.size())) << recording;
    const std::vector<ColourRun> runs = ColourRuns(*pictures);
    for (const ColourRun& run : runs)
      EXPECT_NE(run.colour, ProgramColour::kOther) << recording << ": " << DescribeRuns(runs);
  }
}

TEST(PublishRtmpTest, AServerThatStopsReadingCostsGopsNeverTheEncodersTime) {
  TestAppDir dir;
  RtmpServer server(dir.path());
  ASSERT_TRUE(server.Start()) << server.log();
  PublishSettings settings = QuickToRecover();
  // Filler data at a constant 40 Mbit/s fills the connection's socket buffers within
  // seconds once the server stops reading.
  settings.videoBitrate = 40000000;
  settings.ioTimeout = 1500ms;
  Publisher publisher({TargetOf(server.Url("program"))}, settings);
  std::string error;
  ASSERT_TRUE(publisher.Start(&error)) << error;
  // The program waits whenever the publisher has no room: an encoder held up by the
  // stalled connection would hold the program up too.
  LiveProgram program(publisher, settings, 2.0, 0.0, HasRoom(publisher));
  program.Start();
  auto output = [&] { return publisher.Status().outputs.at(0); };
  ASSERT_TRUE(WaitUntil([&] { return output().state == PublishOutputStatus::State::kLive; }));

  server.Pause();
  const long long encodedAtPause = publisher.Status().picturesEncoded;
  // A write that makes no progress fails after the timeout; connecting again gets no
  // answer either. Meanwhile whole GOPs are dropped, and the encoder goes on.
  ASSERT_TRUE(WaitUntil([&] { return output().losses == 1; })) << Joined(publisher.TakeMessages());
  ASSERT_TRUE(WaitUntil([&] { return output().gopsDropped >= 2; }));
  EXPECT_GE(publisher.Status().picturesEncoded - encodedAtPause, 50);
  EXPECT_EQ(output().state, PublishOutputStatus::State::kRetrying);
  server.Resume();
  ASSERT_TRUE(WaitUntil([&] { return output().connects >= 2; }));
  program.Stop();
  publisher.Stop();
  const PublishStatus status = publisher.Status();
  EXPECT_EQ(status.picturesSkipped, 0);
  EXPECT_EQ(status.picturesEncoded, program.pictures());
  const std::string messages = Joined(publisher.TakeMessages());
  EXPECT_NE(messages.find("connection lost: no answer within 1.5 s"), std::string::npos)
      << messages;
}

}  // namespace
