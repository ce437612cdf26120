// An application directory that cannot take files: missing, below a regular file (ENOTDIR,
// which holds for root as well, unlike permissions), or with its stream folders taken by
// regular files. The library refuses the stream files with a message naming them, while the
// recording and the network go on; the recorder keeps them in the session folder instead.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "FaultTestSupport.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "audio/CAudioSinkFF.h"
#include "common/CodecTestSupport.h"
#include "common/LogCapture.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "host/ITransferServer.h"
#include "muxing/SorvoEntry.h"
#include "sink/CSorvoSinkFF.h"
#include "sink/SinkTestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace sorvo::test;

constexpr int kWidth = 176;
constexpr int kHeight = 144;

// Points SORVO_APP_DIR elsewhere for the object's lifetime, then back at the test's folder.
class AppDirectoryAt {
 public:
  AppDirectoryAt(const TestAppDir& dir, const std::string& path) : m_dir(dir) {
    setenv("SORVO_APP_DIR", path.c_str(), 1);
  }
  ~AppDirectoryAt() { setenv("SORVO_APP_DIR", m_dir.path().c_str(), 1); }

 private:
  const TestAppDir& m_dir;
};

// Records 12 pictures with the private stream asked for; the MP4 must hold them all.
void RecordWithoutStreamFiles(const TestAppDir& dir, const std::string& streamFolder) {
  LogCapture log;
  PacketCollector collector;
  CSorvoSinkFF* sink = StartRecordingSink(dir, "cam", kWidth, kHeight, 0, collector);
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(sink->StartPrivateStream(), 0);
  EXPECT_EQ(WarningsNaming(log, "cannot open the private stream file " + streamFolder), 1);
  ASSERT_TRUE(FeedPictures(*sink, collector, kWidth, kHeight, 12));
  sink->Close();
  sink->Release();
  const ProbedFile mp4 = ProbeFile(dir.File("cam.mp4"));
  ASSERT_TRUE(mp4.opened);
  EXPECT_EQ(mp4.streams[0].decodedFrames, 12);
  fs::remove(dir.File("cam.mp4"));
}

TEST(AppDirectoryFaultTest, StreamFoldersTakenByFilesLeaveTheSinkRecording) {
  InitSorvo();
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini", "[Sorvo]\nSaveStream=1\n");
  dir.WriteFile("RawStream", "a file where the folder should be\n");
  dir.WriteFile("PrivateRawStream", "a file where the folder should be\n");
  LogCapture log;
  PacketCollector collector;
  CSorvoSinkFF* sink = StartRecordingSink(dir, "cam", kWidth, kHeight, 0, collector);
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(WarningsNaming(log, "cannot open the raw stream file " + dir.File("RawStream/")), 1);
  EXPECT_EQ(sink->StartPrivateStream(), 0);
  EXPECT_EQ(
      WarningsNaming(log, "cannot open the private stream file " + dir.File("PrivateRawStream/")),
      1);
  ASSERT_TRUE(FeedPictures(*sink, collector, kWidth, kHeight, 12));
  sink->Close();
  sink->Release();
  EXPECT_EQ(log.Lines().size(), 2u);
  const ProbedFile mp4 = ProbeFile(dir.File("cam.mp4"));
  ASSERT_TRUE(mp4.opened);
  EXPECT_EQ(mp4.streams[0].decodedFrames, 12);
  EXPECT_EQ(ReadWholeFile(dir.File("RawStream")), "a file where the folder should be\n");
}

TEST(AppDirectoryFaultTest, AMissingOrImpossibleDirectoryLeavesTheSinkRecording) {
  InitSorvo();
  TestAppDir dir;
  dir.WriteFile("plain", "a regular file\n");
  for (const std::string& appDir : {dir.File("missing"), dir.File("plain/below")}) {
    SCOPED_TRACE(appDir);
    AppDirectoryAt at(dir, appDir);
    RecordWithoutStreamFiles(dir, appDir + "/PrivateRawStream/");
    EXPECT_FALSE(fs::exists(dir.File("missing")));
  }
}

TEST(AppDirectoryFaultTest, TheAudioSinkRecordsAndServesWithoutTheDirectory) {
  constexpr int kRate = 44100;
  TestAppDir dir;
  AppDirectoryAt at(dir, dir.File("missing"));
  const unsigned short port = FreeLoopbackPort();
  LogCapture log;
  {
    AudioSink sink;
    const WAVEFORMATEX stereo{1, 2, kRate, 4 * kRate, 4, 16, 0};
    ASSERT_EQ(sink.Create("mic", dir.File("mic.wav").c_str(), stereo, port), 1);
    LoopbackClient client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(WaitUntil([&] { return sink.ClientCount() == 1; }));
    int packets = 0;
    for (int i = 0; i < 20; ++i)
      packets += sink.Feed(Tone(440, kRate, 2, i * 1152, 1152));
    EXPECT_GT(packets, 15);
    // The first packet's bytes reach the client: an MP3 frame begins with its sync word.
    const std::string first = client.Read(2);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(static_cast<uint8_t>(first[0]), 0xFF);
    EXPECT_EQ(static_cast<uint8_t>(first[1]) & 0xE0, 0xE0);
    sink.Close();
  }
  const ProbedFile wav = ProbeFile(dir.File("mic.wav"));
  ASSERT_TRUE(wav.opened);
  EXPECT_EQ(wav.streams[0].decodedSamples, 20 * 1152);
  for (const LogLine& line : log.Lines())
    EXPECT_LT(line.level, SORVO_LOG_WARN) << line.text;
  EXPECT_FALSE(fs::exists(dir.File("missing")));
}

TEST(AppDirectoryFaultTest, TheRecorderKeepsStreamFilesInTheSessionFolderWhenItCannotWriteThere) {
  TestAppDir dir;
  const int base = FreePortBase(10);
  ASSERT_GT(base, 0);
  dir.WriteFile("plain", "a regular file\n");
  for (const std::string& appDir : {dir.File("missing"), dir.File("plain/below")}) {
    SCOPED_TRACE(appDir);
    AppDirectoryAt at(dir, appDir);
    const std::string streams = dir.File("streams");
    const ToolResult moved =
        RunTool(kRecordProgram,
                {"--seconds", "1", "--camera", "test:160x120", "--director", "320x180", "--audio",
                 "none", "--ports", std::to_string(base), "--out", streams, "--save-stream"},
                dir.path());
    EXPECT_EQ(moved.exitCode, 0) << moved.out << moved.err;
    EXPECT_NE(moved.out.find("the application directory " + appDir + " cannot be written"),
              std::string::npos)
        << moved.out;
    EXPECT_NE(moved.out.find("kept in the session folder " + streams + " instead"),
              std::string::npos)
        << moved.out;
    EXPECT_NE(moved.out.find("Every file is good."), std::string::npos) << moved.out;
    EXPECT_TRUE(fs::is_directory(streams + "/RawStream"));
    fs::remove_all(streams);

    // Without stream files the directory is not needed at all.
    const std::string session = dir.File("session");
    const ToolResult run =
        RunTool(kRecordProgram,
                {"--seconds", "1", "--camera", "test:160x120", "--director", "320x180", "--audio",
                 "none", "--ports", std::to_string(base), "--out", session},
                dir.path());
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Every file is good."), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("cannot be written"), std::string::npos) << run.out;
    EXPECT_FALSE(fs::exists(dir.File("missing")));
    fs::remove_all(session);
  }
}

}  // namespace
