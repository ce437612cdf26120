// A full disk under every kind of output file, made with a file-size limit (a write past it
// fails with EFBIG as on a full disk). Each failure is reported once, naming its file; the
// other outputs go on; what reached the disk is intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "FaultTestSupport.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/FileSizeLimit.h"
#include "common/LogCapture.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "muxing/SorvoEntry.h"
#include "sink/CSorvoSinkFF.h"
#include "sink/PacketHeader.h"
#include "sink/PrivateStreamFrame.h"
#include "sink/SinkTestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace sorvo::test;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

std::string Concatenated(const std::vector<SeenPacket>& packets) {
  std::string bytes;
  for (const SeenPacket& packet : packets)
    bytes.append(packet.data.begin(), packet.data.end());
  return bytes;
}

TEST(DiskFullTest, EachFileOfASinkEndsAloneWithOneReportAndKeepsWhatReachedTheDisk) {
  InitSorvo();
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini", "[Sorvo]\nSaveStream=1\n");
  const unsigned short port = FreeLoopbackPort();
  PacketCollector collector;
  CSorvoSinkFF* sink = StartRecordingSink(dir, "full", kWidth, kHeight, port, collector);
  ASSERT_NE(sink, nullptr);
  ASSERT_EQ(sink->StartPrivateStream(), 1);
  LoopbackClient client(port);
  ASSERT_TRUE(client.connected());
  ASSERT_EQ(client.Read(sizeof(StreamInfo)).size(), sizeof(StreamInfo));
  ASSERT_TRUE(FeedPictures(*sink, collector, kWidth, kHeight, 10));
  const std::vector<std::string> raw = FilesIn(dir.File("RawStream"));
  const std::vector<std::string> framed = FilesIn(dir.File("PrivateRawStream"));
  ASSERT_EQ(raw.size(), 1u);
  ASSERT_EQ(framed.size(), 1u);

  // Each file may grow to about twice what the raw stream holds now: the private stream
  // (the largest) fails first, then the MP4, then the raw stream, and 60 more pictures take
  // every one of them past the limit.
  const rlim_t limit = fs::file_size(raw[0]) * 2;
  LogCapture log;
  int fed = 10;
  {
    FileSizeLimit cap(limit);
    // The raw file is made empty and stays so: it fits any limit.
    ASSERT_EQ(sink->OpenRawFile(), 1);
    for (; fed < 70; ++fed)
      ASSERT_TRUE(FeedPictures(*sink, collector, kWidth, kHeight, 1, fed));
  }
  const std::vector<SeenPacket> packets = collector.Packets();
  // The data target and the network client got every packet (read before the server
  // stops, which drops what it has not sent yet).
  ASSERT_EQ(static_cast<int>(packets.size()), fed);
  for (const SeenPacket& packet : packets) {
    const std::string head = client.Read(sizeof(PacketHeader));
    ASSERT_EQ(head.size(), sizeof(PacketHeader));
    PacketHeader header;
    std::memcpy(&header, head.data(), sizeof(header));
    const std::string body = client.Read(static_cast<size_t>(header.size));
    EXPECT_EQ(std::vector<uint8_t>(body.begin(), body.end()), packet.data);
  }
  {
    FileSizeLimit cap(limit);
    sink->Close();
  }
  StreamInfo info;
  sink->GetStreamInfo(&info);
  sink->Release();
  EXPECT_EQ(info.packetsSent, fed);

  // One report per file, naming it; the MP4 also says it could not be finished.
  const std::string mp4 = dir.File("full.mp4");
  EXPECT_EQ(WarningsNaming(log, "writing " + mp4 + " failed"), 1);
  EXPECT_EQ(WarningsNaming(log, "cannot finish " + mp4), 1);
  EXPECT_EQ(WarningsNaming(log, raw[0]), 1);
  EXPECT_EQ(WarningsNaming(log, framed[0]), 1);
  EXPECT_EQ(log.Lines().size(), 4u);

  // The raw stream holds the packets back to back up to the limit, and they still decode.
  const std::string all = Concatenated(packets);
  const std::string rawBytes = ReadWholeFile(raw[0]);
  EXPECT_EQ(rawBytes.size(), limit);
  EXPECT_EQ(rawBytes, all.substr(0, rawBytes.size()));
  // The MP4's media data is those same bytes, up to the limit.
  const std::string mp4Bytes = ReadWholeFile(mp4);
  EXPECT_EQ(mp4Bytes.size(), limit);
  const size_t media = mp4Bytes.find("mdat");
  ASSERT_NE(media, std::string::npos);
  EXPECT_EQ(mp4Bytes.substr(media + 4), all.substr(0, mp4Bytes.size() - media - 4));
  // The private stream: whole records of the first packets, and at most one cut at the end.
  const std::string framedBytes = ReadWholeFile(framed[0]);
  EXPECT_EQ(framedBytes.size(), limit);
  size_t at = 0;
  size_t records = 0;
  for (;;) {
    sorvo::ParsedRecord record;
    const auto* data = reinterpret_cast<const uint8_t*>(framedBytes.data());
    const sorvo::ParseResult result =
        sorvo::ParseRecord(data + at, framedBytes.size() - at, &record);
    if (result != sorvo::ParseResult::kOk) {
      EXPECT_EQ(result, sorvo::ParseResult::kNeedMore) << "record " << records;
      break;
    }
    ASSERT_LT(records, packets.size());
    const std::vector<uint8_t>& packet = packets[records].data;
    ASSERT_EQ(record.payload.size(), packet.size() + sizeof(PacketHeader));
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), record.payload.begin())) << records;
    at += record.recordLength;
    ++records;
  }
  EXPECT_GE(records, 10u);
  EXPECT_LT(records, packets.size());
  EXPECT_TRUE(fs::exists(dir.File("full_320_240.raw")));
  EXPECT_EQ(fs::file_size(dir.File("full_320_240.raw")), 0u);
}

// The recorder as a process under a file-size limit that the director's cut, the
// director's raw stream, the multi-stream file and the WAV file outgrow, while each
// camera's own files stay below it.
TEST(DiskFullTest, TheRecorderFinishesTheOtherFilesAndSaysWhichAreIncomplete) {
  TestAppDir dir;
  const int base = FreePortBase(10);
  ASSERT_GT(base, 0);
  const std::string out = dir.File("session");
  const std::string json = dir.File("summary.json");
  constexpr unsigned kLimit = 300 * 1024;
  // Set before exec: the recorder itself must keep SIGXFSZ from killing it.
  ToolProcess recorder(
      "/usr/bin/prlimit",
      {"--fsize=" + std::to_string(kLimit), "--", kRecordProgram, "--seconds", "4", "--camera",
       "test:160x120", "--camera", "test:160x120", "--director", "640x360", "--ports",
       std::to_string(base), "--out", out, "--json", json, "--private-stream", "--save-stream"},
      dir.path());
  ASSERT_TRUE(recorder.started());
  const int status = recorder.Wait(std::chrono::seconds(120));
  const std::string err = recorder.Stderr();
  ASSERT_EQ(status, 1) << recorder.Stdout() << err;
  EXPECT_NE(recorder.Stdout().find("Some files are NOT good."), std::string::npos);
  // One line for each file that failed, naming it, and one more for an MP4 that could not
  // be finished; nothing repeated per packet. (The multi-stream file may hold its packets
  // back to interleave them, so that its first failed write is the trailer's.)
  int fileLines = 0;
  for (const std::string& mp4 : {out + "/director.mp4", out + "/导播多流.mp4"}) {
    const int failed = Occurrences(err, "writing " + mp4 + " failed");
    EXPECT_LE(failed, 1) << err;
    EXPECT_EQ(
        Occurrences(err, "cannot finish " + mp4 + " (File too large): the file is incomplete"), 1)
        << err;
    fileLines += failed + 1;
  }
  EXPECT_EQ(Occurrences(err, "WAV file " + out + "/sound.wav stopped"), 1) << err;
  EXPECT_EQ(Occurrences(err, "/RawStream/Sorvo_director_"), 1) << err;
  fileLines += 2;
  int linesNamingFiles = 0;
  for (size_t at = 0, end; at < err.size(); at = end + 1) {
    end = std::min(err.find('\n', at), err.size());
    const std::string line = err.substr(at, end - at);
    linesNamingFiles +=
        line.rfind("library info", 0) != 0 && line.find(dir.path()) != std::string::npos;
  }
  EXPECT_EQ(linesNamingFiles, fileLines) << err;

  boost::property_tree::ptree summary;
  ASSERT_NO_THROW(boost::property_tree::read_json(json, summary));
  EXPECT_FALSE(summary.get<bool>("allGood"));
  int bad = 0;
  for (const auto& entry : summary.get_child("files")) {
    const auto& file = entry.second;
    const std::string path = file.get<std::string>("path");
    const std::string kind = file.get<std::string>("kind");
    const std::string problem = file.get<std::string>("problem");
    // The edit lists, written once the session ends, are small enough to fit.
    const bool big = file.get<std::string>("owner").rfind("camera", 0) != 0 && kind != "edit list";
    EXPECT_EQ(file.get<bool>("good"), !big) << path << ": " << problem;
    bad += !file.get<bool>("good");
    // These read back as far as they go: only the count tells that they end early.
    if (big && (kind == "raw stream" || kind == "WAV")) {
      EXPECT_NE(problem.find("the file is incomplete"), std::string::npos) << problem;
    }
    EXPECT_LE(fs::file_size(path), kLimit) << path;
  }
  // The director's MP4 and raw stream, the multi-stream file, the WAV file.
  EXPECT_EQ(bad, 4);
  // The camera's own MP4 holds every picture its sink made.
  long long cameraPackets = 0;
  for (const auto& sink : summary.get_child("sinks"))
    if (sink.second.get<std::string>("name") == "camera0")
      cameraPackets = sink.second.get<long long>("packets");
  const ProbedFile camera = ProbeFile(out + "/camera0.mp4");
  ASSERT_TRUE(camera.opened);
  EXPECT_EQ(camera.streams[0].decodedFrames, cameraPackets);
  EXPECT_GT(cameraPackets, 30);
}

}  // namespace
