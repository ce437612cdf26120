#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "SinkTestSupport.h"
#include "common/CodecTestSupport.h"
#include "common/FileSizeLimit.h"
#include "common/LogCapture.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/ScopedBackupFault.h"
#include "common/TestAppDir.h"
#include "muxing/SorvoEntry.h"
#include "sink/CSorvoSinkFF.h"
#include "sink/PacketHeader.h"
#include "sink/PrivateStreamFrame.h"

namespace {

namespace fs = std::filesystem;
using sorvo::test::FeedPictures;
using sorvo::test::GreyPicture;
using sorvo::test::PacketCollector;
using sorvo::test::ReadWholeFile;
using sorvo::test::SeenPacket;
using sorvo::test::TestAppDir;

constexpr int kWidth = 176;
constexpr int kHeight = 144;

std::vector<fs::path> FilesIn(const std::string& dir) {
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) files.push_back(entry.path());
  return files;
}

PacketHeader HeaderAt(const std::string& bytes, size_t at) {
  PacketHeader header;
  std::memcpy(&header, bytes.data() + at, sizeof(header));
  return header;
}

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

class SinkRecordingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitSorvo();
    dir.WriteFile("SettingVideo.ini", "[Sorvo]\nSaveStream=1\n");
  }

  // Creates the sink with the collector as its data target.
  CSorvoSinkFF* MakeSink(const char* name, int port, PixelFormat format = PIX_FMT_YUV420P) {
    auto* sink = new CSorvoSinkFF();
    EXPECT_EQ(sink->Create(name, dir.File(std::string(name) + ".mp4").c_str(), kWidth, kHeight,
                           format, 25, 400000, 2, port, 0),
              1);
    sink->SetEncodeDataOutputCB(&collector);
    return sink;
  }

  TestAppDir dir;
  PacketCollector collector;
};

TEST_F(SinkRecordingTest, EveryOutputGetsEveryPacketAsItsUserReadsIt) {
  const unsigned short port = sorvo::test::FreeLoopbackPort();
  ASSERT_NE(port, 0);
  CSorvoSinkFF* sink = MakeSink("cam1", port);
  ASSERT_EQ(sink->StartRecord(), 1);
  ASSERT_EQ(sink->StartPrivateStream(), 1);

  sorvo::test::LoopbackClient client(port);
  ASSERT_TRUE(client.connected());
  const std::string greeting = client.Read(sizeof(StreamInfo));
  ASSERT_EQ(greeting.size(), sizeof(StreamInfo));
  StreamInfo info;
  std::memcpy(&info, greeting.data(), sizeof(info));
  EXPECT_EQ(info.width, kWidth);
  EXPECT_EQ(info.height, kHeight);
  EXPECT_EQ(info.codecId, 13);
  EXPECT_EQ(info.packetsSent, 0);

  ASSERT_TRUE(FeedPictures(*sink, collector, kWidth, kHeight, 50));
  const std::vector<SeenPacket> packets = collector.Packets();
  ASSERT_EQ(packets.size(), 50u);
  for (int id : collector.Ids()) EXPECT_EQ(id, 2);

  // The network client: each packet behind its header, seq counting from 0.
  sorvo::test::Mpeg4Decoder networkDecoder;
  int networkPictures = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    const std::string head = client.Read(sizeof(PacketHeader));
    ASSERT_EQ(head.size(), sizeof(PacketHeader));
    const PacketHeader header = HeaderAt(head, 0);
    EXPECT_EQ(header.seq, static_cast<int32_t>(i));
    EXPECT_EQ(header.size, static_cast<int32_t>(packets[i].data.size()));
    EXPECT_EQ(header.key, packets[i].key() ? 1 : 0);
    EXPECT_EQ(header.width, kWidth);
    EXPECT_EQ(header.height, kHeight);
    const std::string body = client.Read(header.size);
    ASSERT_EQ(Bytes(body), packets[i].data);
    networkPictures += static_cast<int>(networkDecoder.Decode(Bytes(body)).size());
  }
  EXPECT_GE(networkPictures, 49);  // the decoder may hold the last picture back
  EXPECT_EQ(networkDecoder.errors, 0);
  EXPECT_TRUE(packets[0].key());

  StreamInfo after;
  sink->GetStreamInfo(&after);
  EXPECT_EQ(after.framesIn, 50);
  EXPECT_EQ(after.packetsSent, 50);
  EXPECT_EQ(after.clients, 1);
  int64_t total = 0;
  for (const SeenPacket& p : packets) total += static_cast<int64_t>(p.data.size());
  EXPECT_EQ(after.encodedBytes, total);
  EXPECT_EQ(after.bytesSent, total);

  EXPECT_EQ(sink->Close(), 1);
  ASSERT_EQ(sink->StopPrivateStream(), 1);  // Close leaves the private stream open
  sink->Release();

  // The MP4 plays 50 pictures at 25 per second.
  const sorvo::test::ProbedFile mp4 = sorvo::test::ProbeFile(dir.File("cam1.mp4"));
  ASSERT_TRUE(mp4.opened);
  ASSERT_EQ(mp4.streams.size(), 1u);
  EXPECT_EQ(mp4.streams[0].decodedFrames, 50);
  EXPECT_NEAR(mp4.streams[0].endSeconds, 2.0, 1e-6);

  // The raw stream file is the packets back to back, and decodes on its own.
  const auto rawFiles = FilesIn(dir.File("RawStream"));
  ASSERT_EQ(rawFiles.size(), 1u);
  const std::string rawName = rawFiles[0].filename().string();
  EXPECT_EQ(rawName.rfind("Sorvo_cam1_", 0), 0u) << rawName;
  EXPECT_EQ(rawName.size(), std::string("Sorvo_cam1_YYYYMMDD_HHMMSS_mp4.raw").size()) << rawName;
  std::vector<uint8_t> expected;
  for (const SeenPacket& p : packets) expected.insert(expected.end(), p.data.begin(), p.data.end());
  EXPECT_EQ(Bytes(ReadWholeFile(rawFiles[0].string())), expected);
  const sorvo::test::ProbedFile raw = sorvo::test::ProbeFile(rawFiles[0].string());
  ASSERT_TRUE(raw.opened);
  ASSERT_EQ(raw.streams.size(), 1u);
  EXPECT_EQ(raw.streams[0].decodedFrames, 50);

  // The private stream file parses back, record by record, into the packets and headers.
  const auto privateFiles = FilesIn(dir.File("PrivateRawStream"));
  ASSERT_EQ(privateFiles.size(), 1u);
  const std::string privateName = privateFiles[0].filename().string();
  EXPECT_EQ(privateName.rfind("Sorvo_176_144_c0c0_", 0), 0u) << privateName;
  const std::vector<uint8_t> stream = Bytes(ReadWholeFile(privateFiles[0].string()));
  size_t at = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    sorvo::ParsedRecord record;
    ASSERT_EQ(sorvo::ParseRecord(stream.data() + at, stream.size() - at, &record),
              sorvo::ParseResult::kOk)
        << "record " << i;
    at += record.recordLength;
    ASSERT_EQ(record.payload.size(), packets[i].data.size() + sizeof(PacketHeader));
    EXPECT_TRUE(std::equal(packets[i].data.begin(), packets[i].data.end(), record.payload.begin()));
    PacketHeader header;
    std::memcpy(&header, record.payload.data() + packets[i].data.size(), sizeof(header));
    EXPECT_EQ(header.seq, static_cast<int32_t>(i));
    EXPECT_EQ(header.key, packets[i].key() ? 1 : 0);
  }
  EXPECT_EQ(at, stream.size());
}

TEST_F(SinkRecordingTest, WithoutAServerEveryHeaderHasSequenceZero) {
  for (int port : {0, 65536}) {
    CSorvoSinkFF* sink = MakeSink("noserver", port);
    ASSERT_EQ(sink->StartPrivateStream(), 1);
    ASSERT_EQ(sink->StartPrivateStream(), 1);  // the second call changes nothing
    ASSERT_TRUE(FeedPictures(*sink, collector, kWidth, kHeight, 3));
    sink->Close();
    sink->StopPrivateStream();
    StreamInfo info;
    sink->GetStreamInfo(&info);
    EXPECT_EQ(info.packetsSent, 0);
    sink->Release();

    const auto files = FilesIn(dir.File("PrivateRawStream"));
    ASSERT_EQ(files.size(), 1u);
    const std::vector<uint8_t> stream = Bytes(ReadWholeFile(files[0].string()));
    size_t at = 0, records = 0;
    sorvo::ParsedRecord record;
    while (at < stream.size() &&
           sorvo::ParseRecord(stream.data() + at, stream.size() - at, &record) ==
               sorvo::ParseResult::kOk) {
      PacketHeader header;
      std::memcpy(&header, record.payload.data() + record.payload.size() - sizeof(header),
                  sizeof(header));
      EXPECT_EQ(header.seq, 0);
      at += record.recordLength;
      ++records;
    }
    EXPECT_EQ(records, 3u);
    fs::remove_all(dir.File("PrivateRawStream"));
  }
}

TEST_F(SinkRecordingTest, APreviewedSinkDecodesItsOwnPacketsWithoutHoldingTheEncoderUp) {
  auto* sink = new CSorvoSinkFF();
  ASSERT_EQ(sink->Create("seen", dir.File("seen.mp4").c_str(), kWidth, kHeight, PIX_FMT_YUV420P,
                         25, 400000, 0, 0, 1),
            1);
  sink->SetEncodeDataOutputCB(&collector);
  ASSERT_TRUE(FeedPictures(*sink, collector, kWidth, kHeight, 10));
  EXPECT_EQ(sink->Close(), 1);
  sink->Release();
}

TEST_F(SinkRecordingTest, SinksOfOneSizeStartingTogetherKeepTheirOwnPrivateStreams) {
  CSorvoSinkFF* first = MakeSink("left", 0);
  CSorvoSinkFF* second = MakeSink("right", 0);
  ASSERT_EQ(first->StartPrivateStream(), 1);
  ASSERT_EQ(second->StartPrivateStream(), 1);
  PacketCollector other;
  second->SetEncodeDataOutputCB(&other);
  ASSERT_TRUE(FeedPictures(*first, collector, kWidth, kHeight, 2));
  ASSERT_TRUE(FeedPictures(*second, other, kWidth, kHeight, 3));
  for (CSorvoSinkFF* sink : {first, second}) {
    sink->Close();
    sink->StopPrivateStream();
    sink->Release();
  }
  size_t records = 0;
  const auto files = FilesIn(dir.File("PrivateRawStream"));
  ASSERT_EQ(files.size(), 2u);
  for (const fs::path& file : files) {
    const std::vector<uint8_t> stream = Bytes(ReadWholeFile(file.string()));
    sorvo::ParsedRecord record;
    for (size_t at = 0; at < stream.size(); at += record.recordLength, ++records)
      ASSERT_EQ(sorvo::ParseRecord(stream.data() + at, stream.size() - at, &record),
                sorvo::ParseResult::kOk);
  }
  EXPECT_EQ(records, 5u);
}

TEST_F(SinkRecordingTest, SaveStreamAbsentMeansNoRawStreamFile) {
  dir.WriteFile("SettingVideo.ini", "[Sorvo]\n");
  CSorvoSinkFF* sink = MakeSink("plain", 0);
  ASSERT_TRUE(FeedPictures(*sink, collector, kWidth, kHeight, 2));
  sink->Release();
  EXPECT_FALSE(fs::exists(dir.File("RawStream")));
}

TEST_F(SinkRecordingTest, FilesAreNamedAndReplacedAsTheHostExpects) {
  fs::create_directories(dir.File("rec"));
  auto* sink = new CSorvoSinkFF();
  ASSERT_EQ(sink->Create("cam1", dir.File("rec/cam1.mp4").c_str(), 720, 576, PIX_FMT_BGR24, 25,
                         400000, 0, 0, 0),
            1);
  EXPECT_EQ(sink->CloseRawFile(), 0);
  ASSERT_EQ(sink->OpenRawFile(), 1);
  EXPECT_TRUE(fs::exists(dir.File("rec/cam1_720_576.raw")));
  EXPECT_EQ(sink->CloseRawFile(), 1);
  EXPECT_EQ(fs::file_size(dir.File("rec/cam1_720_576.raw")), 0u);

  // An earlier recording at the path is moved aside, not lost.
  dir.WriteFile("rec/cam1.mp4", "an earlier recording");
  ASSERT_EQ(sink->StartRecord(), 1);
  EXPECT_EQ(ReadWholeFile(dir.File("rec/cam1_bak1.mp4")), "an earlier recording");
  EXPECT_EQ(sink->StopRecord(), 0);
  EXPECT_EQ(sink->StopRecord(), 0);
  EXPECT_EQ(sink->Close(), 1);
  EXPECT_EQ(sink->Close(), 1);
  sink->Release();

  // A path that cannot be replaced (a directory stands there) is refused.
  fs::create_directories(dir.File("rec/busy.mp4"));
  auto* busy = new CSorvoSinkFF();
  ASSERT_EQ(busy->Create("busy", dir.File("rec/busy.mp4").c_str(), 176, 144, PIX_FMT_YUV420P, 25,
                         400000, 0, 0, 0),
            1);
  EXPECT_EQ(busy->StartRecord(), 0);
  EXPECT_TRUE(fs::is_directory(dir.File("rec/busy.mp4")));
  busy->Release();
}

TEST_F(SinkRecordingTest, AGreyCameraIsRecordedFromItsLumaWithNeutralColour) {
  // Odd sizes, so that a plane laid out at the wrong offset shows.
  constexpr int kGreyWidth = 161;
  constexpr int kGreyHeight = 121;
  constexpr int kPictures = 20;
  sorvo::test::LogCapture log;
  auto* sink = new CSorvoSinkFF();
  ASSERT_EQ(sink->Create("grey", dir.File("grey.mp4").c_str(), kGreyWidth, kGreyHeight,
                         PIX_FMT_GRAY8, 25, 400000, 0, 0, 0),
            1);
  sink->SetEncodeDataOutputCB(&collector);
  ASSERT_EQ(sink->StartRecord(), 1);
  std::vector<std::vector<uint8_t>> sent;
  for (int i = 0; i < kPictures; ++i) {
    std::vector<uint8_t> picture = GreyPicture(kGreyWidth, kGreyHeight, i);
    sent.push_back(picture);
    // A grey camera may also hand in whole YUV 4:2:0 pictures; their colour is not used.
    if (i == kPictures / 2)
      picture.resize(sorvo::PictureSize(PIX_FMT_YUV420P, kGreyWidth, kGreyHeight), 240);
    sink->OnBuffer(0, i / 25.0, picture.data(), static_cast<long>(picture.size()), kGreyWidth,
                   kGreyHeight, PIX_FMT_GRAY8);
    ASSERT_TRUE(collector.WaitFor(i + 1)) << "picture " << i << " was not encoded";
  }
  StreamInfo info;
  sink->GetStreamInfo(&info);
  EXPECT_EQ(info.framesIn, kPictures);
  EXPECT_GT(info.encodedBytes, 0);
  EXPECT_EQ(sink->Close(), 1);
  sink->Release();

  const sorvo::test::ProbedFile file =
      sorvo::test::ProbeFile(dir.File("grey.mp4"), /*keepPictures=*/true);
  ASSERT_TRUE(file.opened);
  ASSERT_EQ(file.streams.size(), 1u);
  EXPECT_EQ(file.streams[0].width, kGreyWidth);
  EXPECT_EQ(file.streams[0].height, kGreyHeight);
  EXPECT_EQ(file.streams[0].decodeErrors, 0);
  const std::vector<sorvo::test::Picture>& pictures = file.streams[0].pictures;
  ASSERT_EQ(pictures.size(), static_cast<size_t>(kPictures));
  for (int i = 0; i < kPictures; ++i) {
    const sorvo::test::Picture& picture = pictures[i];
    ASSERT_EQ(picture.y.size(), sent[i].size());
    long difference = 0;
    for (size_t at = 0; at < sent[i].size(); ++at)
      difference += std::abs(static_cast<int>(picture.y[at]) - sent[i][at]);
    EXPECT_LT(difference / static_cast<long>(sent[i].size()), 4) << "picture " << i;
    for (const std::vector<uint8_t>* plane : {&picture.u, &picture.v})
      for (uint8_t sample : *plane)
        ASSERT_NEAR(sample, 128, 2) << "picture " << i;
  }
  for (const sorvo::test::LogLine& line : log.Lines())
    EXPECT_EQ(line.text.find("not recorded"), std::string::npos) << line.text;
}

TEST_F(SinkRecordingTest, PicturesOfAnotherLengthAreRefusedAndSaidSoOnce) {
  sorvo::test::LogCapture log;
  CSorvoSinkFF* sink = MakeSink("short", 0, PIX_FMT_BGR24);
  const long whole = kWidth * kHeight * 3;
  std::vector<uint8_t> picture(whole + 1, 90);
  for (long length : {whole - 1, whole + 1, whole - 1})
    sink->OnBuffer(0, 0.0, picture.data(), length, kWidth, kHeight, PIX_FMT_BGR24);
  std::vector<std::string> warnings;
  for (const sorvo::test::LogLine& line : log.Lines())
    if (line.level == SORVO_LOG_WARN)
      warnings.push_back(line.text);
  ASSERT_EQ(warnings.size(), 1u);
  // It names the sink, what came and what it takes.
  EXPECT_NE(warnings[0].find("sink short"), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[0].find(std::to_string(whole - 1) + " bytes"), std::string::npos)
      << warnings[0];
  EXPECT_NE(
      warnings[0].find("176x144 pictures of format 3, " + std::to_string(whole) + " bytes each"),
      std::string::npos)
      << warnings[0];

  // A format without a picture size: the sink cannot queue anything, and says so.
  auto* sizeless = new CSorvoSinkFF();
  ASSERT_EQ(sizeless->Create("sizeless", dir.File("sizeless.mp4").c_str(), kWidth, kHeight,
                             static_cast<PixelFormat>(15), 25, 400000, 0, 0, 0),
            1);
  sizeless->Release();
  bool said = false;
  for (const sorvo::test::LogLine& line : log.Lines())
    said = said || line.text.find("sink sizeless: pictures of format 15") != std::string::npos;
  EXPECT_TRUE(said);

  // A whole picture still records.
  sink->OnBuffer(0, 0.0, picture.data(), whole, kWidth, kHeight, PIX_FMT_BGR24);
  EXPECT_TRUE(collector.WaitFor(1));
  sink->Close();
  EXPECT_EQ(collector.Packets().size(), 1u);
  sink->Release();
}

TEST_F(SinkRecordingTest, AnEarlierRecordingIsMovedAsideOrKeptButNeverDeleted) {
  sorvo::test::LogCapture log;
  const std::string path = dir.File("kept.mp4");
  CSorvoSinkFF* sink = MakeSink("kept", 0);
  {
    // A network share without the no-replace rename still gets its backup.
    sorvo::test::ScopedBackupFault share(sorvo::BackupFault::kNoNoReplaceRename);
    dir.WriteFile("kept.mp4", "an earlier recording");
    ASSERT_EQ(sink->StartRecord(), 1);
    ASSERT_TRUE(FeedPictures(*sink, collector, kWidth, kHeight, 2));
    sink->StopRecord();
    EXPECT_EQ(ReadWholeFile(dir.File("kept_bak1.mp4")), "an earlier recording");
  }
  const std::string recorded = ReadWholeFile(path);
  ASSERT_FALSE(recorded.empty());
  {
    // Where no way of moving it works, the recording stays and no new one starts over it.
    sorvo::test::ScopedBackupFault stuck(sorvo::BackupFault::kNothingMoves);
    EXPECT_EQ(sink->StartRecord(), 0);
  }
  ASSERT_TRUE(FeedPictures(*sink, collector, kWidth, kHeight, 2, 2));
  sink->Close();
  sink->Release();
  EXPECT_TRUE(ReadWholeFile(path) == recorded) << "the earlier recording was changed";
  EXPECT_FALSE(fs::exists(dir.File("kept_bak2.mp4")));
  int warnings = 0;
  for (const sorvo::test::LogLine& line : log.Lines()) {
    if (line.level != SORVO_LOG_WARN)
      continue;
    ++warnings;
    EXPECT_NE(line.text.find(path), std::string::npos) << line.text;
  }
  EXPECT_EQ(warnings, 1);
}

class ForwardTarget : public IGrabberCallBack {
 public:
  std::vector<std::vector<unsigned char>> frames;
  std::vector<int> ids;
  int OnBuffer(int id, double, unsigned char* data, long length, int, int, PixelFormat) override {
    ids.push_back(id);
    frames.emplace_back(data, data + length);
    return 1;
  }
};

TEST_F(SinkRecordingTest, FlippedFramesReachTheForwardTargetTurned) {
  CSorvoSinkFF* sink = MakeSink("flip", 0, PIX_FMT_BGR24);
  ForwardTarget target;
  sink->SetGrabberCallBack(&target);
  sink->SetFlipVertical(1);
  std::vector<unsigned char> rows = {1, 1, 1, 2, 2, 2, 3, 3, 3};  // one BGR pixel per row
  sink->OnBuffer(9, 0.0, rows.data(), static_cast<long>(rows.size()), 1, 3, PIX_FMT_BGR24);
  ASSERT_EQ(target.frames.size(), 1u);
  EXPECT_EQ(target.frames[0], (std::vector<unsigned char>{3, 3, 3, 2, 2, 2, 1, 1, 1}));
  EXPECT_EQ(target.ids[0], 2);
  // A frame that is not a whole picture of the sink's size is counted and forwarded, but
  // never queued for encoding.
  StreamInfo info;
  sink->GetStreamInfo(&info);
  EXPECT_EQ(info.framesIn, 1);
  sink->Close();
  EXPECT_EQ(collector.Packets().size(), 0u);
  sink->SetGrabberCallBack(nullptr);
  sink->Release();
}

TEST_F(SinkRecordingTest, FullDiskEndsThePrivateStreamButTheRecordingGoesOn) {
  CSorvoSinkFF* sink = MakeSink("full", 0);
  ASSERT_EQ(sink->StartPrivateStream(), 1);
  ASSERT_TRUE(FeedPictures(*sink, collector, kWidth, kHeight, 30));
  const auto files = FilesIn(dir.File("PrivateRawStream"));
  ASSERT_EQ(files.size(), 1u);
  const auto written = fs::file_size(files[0]);
  {
    // Every file of the process may now grow to just past the private stream's size: the
    // private stream hits the limit at once, the new MP4 stays far below it.
    sorvo::test::FileSizeLimit limit(written + 100);
    ASSERT_EQ(sink->StartRecord(), 1);
    ASSERT_TRUE(FeedPictures(*sink, collector, kWidth, kHeight, 20, 30));
    sink->Close();
  }
  EXPECT_EQ(sink->StopPrivateStream(), 0);  // closed after the failed write
  sink->Release();
  const sorvo::test::ProbedFile mp4 = sorvo::test::ProbeFile(dir.File("full.mp4"));
  ASSERT_TRUE(mp4.opened);
  ASSERT_EQ(mp4.streams.size(), 1u);
  EXPECT_EQ(mp4.streams[0].decodedFrames, 20);
  // Recording began mid-way into a GOP; the file still opens with a key frame.
  ASSERT_FALSE(mp4.packets.empty());
  EXPECT_TRUE(mp4.packets[0].key);
  EXPECT_LE(fs::file_size(files[0]), written + 100);
}

TEST_F(SinkRecordingTest, AStalledClientIsDroppedWhileRecordingAndOthersGoOn) {
  dir.WriteFile("SettingVideo.ini", "[Transfer]\nBindAddress=127.0.0.1\n");
  constexpr int kBigWidth = 1280, kBigHeight = 720;
  const unsigned short port = sorvo::test::FreeLoopbackPort();
  auto* sink = new CSorvoSinkFF();
  ASSERT_EQ(sink->Create("big", dir.File("big.mp4").c_str(), kBigWidth, kBigHeight,
                         PIX_FMT_YUV420P, 25, 100000000, 0, port, 0),
            1);
  sink->SetEncodeDataOutputCB(&collector);
  ASSERT_EQ(sink->StartRecord(), 1);
  sorvo::test::LoopbackClient stalled(port, "127.0.0.1", 4096);
  ASSERT_TRUE(stalled.connected());
  sorvo::test::LoopbackClient reader(port);
  ASSERT_TRUE(reader.connected());
  ASSERT_EQ(reader.Read(sizeof(StreamInfo)).size(), sizeof(StreamInfo));

  // Noise pictures make packets of a few hundred kilobytes, so 200 of them are far more
  // than a client may fall behind. The reader keeps up on a thread of its own.
  std::atomic<int> readerPackets{0};
  std::vector<std::string> received;
  std::thread drain([&] {
    for (;;) {
      const std::string head = reader.Read(sizeof(PacketHeader));
      if (head.size() != sizeof(PacketHeader)) return;
      const std::string body = reader.Read(HeaderAt(head, 0).size);
      received.push_back(body);
      ++readerPackets;
    }
  });
  std::vector<uint8_t> picture(kBigWidth * kBigHeight * 3 / 2);
  uint32_t seed = 1;
  // A client that joins late and reads only at Close still gets every byte queued for it.
  std::optional<sorvo::test::LoopbackClient> late;
  long long lateSent = 0;
  for (int i = 0; i < 200; ++i) {
    if (i == 190) {
      late.emplace(port, "127.0.0.1", 4096);
      ASSERT_EQ(late->Read(sizeof(StreamInfo)).size(), sizeof(StreamInfo));
    }
    for (auto& b : picture) b = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    sink->OnBuffer(0, 0, picture.data(), static_cast<long>(picture.size()), kBigWidth, kBigHeight,
                   PIX_FMT_YUV420P);
    ASSERT_TRUE(collector.WaitFor(i + 1));
  }
  StreamInfo info;
  sink->GetStreamInfo(&info);
  EXPECT_EQ(info.clients, 2);  // the stalled client was dropped
  EXPECT_EQ(info.packetsSent, 200);
  for (int wait = 0; wait < 60000 && readerPackets.load() < 200; ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread lateDrain([&] { lateSent -= late->DrainToEnd(); });
  sink->Close();  // stops the server: the readers see the end
  drain.join();
  lateDrain.join();
  const std::vector<SeenPacket> packets = collector.Packets();
  for (size_t i = 190; i < packets.size(); ++i)
    lateSent += static_cast<long long>(sizeof(PacketHeader) + packets[i].data.size());
  EXPECT_EQ(lateSent, 0);
  ASSERT_EQ(received.size(), packets.size());
  for (size_t i = 0; i < packets.size(); ++i) EXPECT_EQ(Bytes(received[i]), packets[i].data) << i;
  sink->Release();
  const sorvo::test::ProbedFile mp4 = sorvo::test::ProbeFile(dir.File("big.mp4"));
  ASSERT_EQ(mp4.streams.size(), 1u);
  EXPECT_EQ(mp4.streams[0].decodedFrames, 200);
}

}  // namespace
