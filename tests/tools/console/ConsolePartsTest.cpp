// The console's parts on their own: addresses, the request guard, routes and request
// bodies, the sound meter, the signal watch, rates, free space, and the thumbnails.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <tuple>

#include "ConsoleTestSupport.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "tools/record/console/AccessToken.h"
#include "tools/record/console/ApiRoute.h"
#include "tools/record/console/ConsoleAddress.h"
#include "tools/record/console/JpegThumbnailer.h"
#include "tools/record/console/RequestGuard.h"
#include "tools/record/console/SignalWatch.h"
#include "tools/record/console/SinkRates.h"
#include "tools/record/console/SoundMeter.h"
#include "tools/record/console/StorageGauge.h"
#include "tools/record/console/ThumbnailWorker.h"
#include "tools/record/tally/TslPacket.h"

namespace {

using namespace sorvo::test;
using namespace sorvo::tools;
using namespace std::chrono_literals;

ConsoleAddress Address(const std::string& text) {
  ConsoleAddress address;
  std::string error;
  EXPECT_TRUE(ParseConsoleAddress(text, &address, &error)) << text << ": " << error;
  return address;
}

TEST(ConsoleAddressTest, TakesAPortAnAddressAndPortOrABracketedIpv6Address) {
  EXPECT_EQ(Address("8040").HostText(), "127.0.0.1:8040");
  EXPECT_TRUE(Address("8040").Loopback());
  EXPECT_EQ(Address("0.0.0.0:9000").HostText(), "0.0.0.0:9000");
  EXPECT_FALSE(Address("0.0.0.0:9000").Loopback());
  EXPECT_EQ(Address("[::1]:8041").HostText(), "[::1]:8041");
  EXPECT_TRUE(Address("[::1]:8041").Loopback());
  EXPECT_EQ(Address("127.0.0.1:0").port, 0);

  ConsoleAddress address;
  std::string error;
  for (const char* bad : {"", "x", "70000", "-1", "localhost:8040", "::1:8040", ":8040",
                          "127.0.0.1:", "1.2.3.4.5:80", "8040 "}) {
    EXPECT_FALSE(ParseConsoleAddress(bad, &address, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(AccessTokenTest, TokensAreRandomAndCompareExactly) {
  const std::string a = MakeAccessToken();
  const std::string b = MakeAccessToken();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
  EXPECT_TRUE(TokensEqual(a, a));
  EXPECT_FALSE(TokensEqual(b, a));
  EXPECT_FALSE(TokensEqual(a.substr(0, 31), a));
  EXPECT_FALSE(TokensEqual(a + "0", a));
  EXPECT_FALSE(TokensEqual("", a));
  EXPECT_FALSE(TokensEqual("", ""));  // an empty token opens nothing
}

RequestFacts Facts(std::string_view host,
                   std::string_view origin = {},
                   bool post = false,
                   std::string_view token = {}) {
  RequestFacts facts;
  facts.hasHost = true;
  facts.host = host;
  facts.hasOrigin = !origin.empty();
  facts.origin = origin;
  facts.changesState = post;
  facts.api = true;
  facts.token = token;
  return facts;
}

TEST(RequestGuardTest, OnLoopbackHostMustBeALoopbackNameWithThePort) {
  const RequestGuard guard(Address("127.0.0.1:8040"), "secret");
  for (const char* host :
       {"127.0.0.1:8040", "localhost:8040", "LOCALHOST:8040", "127.0.0.2:8040", "[::1]:8040"})
    EXPECT_TRUE(guard.HostAllowed(host)) << host;
  // A name re-pointed at this machine (DNS rebinding), another port, another machine.
  for (const char* host : {"evil.example:8040", "127.0.0.1:8041", "127.0.0.1", "192.168.1.5:8040",
                           "127.0.0.1:8040:1", "[::1", ":8040", "127.0.0.1:", "127.0.0.1:99999"})
    EXPECT_FALSE(guard.HostAllowed(host)) << host;
  EXPECT_EQ(guard.Check(Facts("evil.example:8040")).status, 421);
  RequestFacts noHost = Facts("");
  noHost.hasHost = false;
  EXPECT_EQ(guard.Check(noHost).status, 400);
  // Reads need no token on loopback; every change does.
  EXPECT_TRUE(guard.Check(Facts("127.0.0.1:8040")).allowed());
  EXPECT_EQ(guard.Check(Facts("127.0.0.1:8040", {}, true)).status, 401);
  EXPECT_EQ(guard.Check(Facts("127.0.0.1:8040", {}, true, "secreT")).status, 403);
  EXPECT_TRUE(guard.Check(Facts("127.0.0.1:8040", {}, true, "secret")).allowed());
}

TEST(RequestGuardTest, OriginMustBeTheConsolesOwnPage) {
  const RequestGuard guard(Address("127.0.0.1:8040"), "secret");
  EXPECT_TRUE(
      guard.Check(Facts("127.0.0.1:8040", "http://127.0.0.1:8040", true, "secret")).allowed());
  EXPECT_TRUE(
      guard.Check(Facts("localhost:8040", "http://localhost:8040", true, "secret")).allowed());
  for (const char* origin :
       {"http://evil.example", "null", "http://127.0.0.1:8041", "https://127.0.0.1:8040",
        "http://localhost:8040", "http://127.0.0.1:8040.evil.example", "http://"}) {
    const GuardVerdict verdict = guard.Check(Facts("127.0.0.1:8040", origin, true, "secret"));
    EXPECT_EQ(verdict.status, 403) << origin;
    // Reads are refused to other sites as well: they would see the cameras.
    EXPECT_EQ(guard.Check(Facts("127.0.0.1:8040", origin)).status, 403) << origin;
  }
}

TEST(RequestGuardTest, OnAnOpenAddressEveryApiRequestNeedsTheToken) {
  const RequestGuard everywhere(Address("0.0.0.0:8040"), "secret");
  EXPECT_TRUE(everywhere.HostAllowed("192.168.1.5:8040"));
  EXPECT_TRUE(everywhere.HostAllowed("localhost:8040"));
  EXPECT_FALSE(everywhere.HostAllowed("studio.example:8040"));
  EXPECT_EQ(everywhere.Check(Facts("192.168.1.5:8040")).status, 401);
  EXPECT_EQ(everywhere.Check(Facts("192.168.1.5:8040", {}, false, "wrong")).status, 403);
  EXPECT_TRUE(everywhere.Check(Facts("192.168.1.5:8040", {}, false, "secret")).allowed());
  RequestFacts page = Facts("192.168.1.5:8040");
  page.api = false;  // the page itself holds nothing secret
  EXPECT_TRUE(everywhere.Check(page).allowed());

  const RequestGuard one(Address("192.168.1.5:8040"), "secret");
  EXPECT_TRUE(one.HostAllowed("192.168.1.5:8040"));
  EXPECT_FALSE(one.HostAllowed("192.168.1.6:8040"));
  EXPECT_FALSE(one.HostAllowed("localhost:8040"));
  EXPECT_FALSE(one.HostAllowed("127.0.0.1:8040"));
}

TEST(RequestGuardTest, TheTokenComesAsABearerOrInTheQuery) {
  EXPECT_EQ(PresentedToken("Bearer abc", "/api/stop"), "abc");
  EXPECT_EQ(PresentedToken("bearer abc", "/api/stop?token=zzz"), "abc");
  EXPECT_EQ(PresentedToken("", "/api/events?thumbnails=1&token=abc"), "abc");
  EXPECT_EQ(PresentedToken("", "/api/events?token=abc&thumbnails=1"), "abc");
  EXPECT_EQ(PresentedToken("Basic abc", "/api/stop"), "");
  EXPECT_EQ(PresentedToken("", "/api/stop?xtoken=abc"), "");
}

// Bytes written by hand from the TSL UMD 5.0 definition: PBC, VER, FLAGS, SCREEN, then per
// display INDEX, CONTROL (lamps in bits 0-1, 2-3, 4-5, brightness 6-7), LENGTH, TEXT.
TEST(TslPacketTest, TwoDisplaysAndTheStreamFraming) {
  size_t used = 0;
  const std::string packet = TslPacket(
      0x01FE, {{2, TallyColour::kRed, "stage"}, {0x0100, TallyColour::kGreen, "w\xc3\xa9"}}, &used);
  const std::string expected(
      "\x18\x00"          // 24 bytes follow
      "\x00\x00"          // version 5.0, ASCII display messages
      "\xfe\x01"          // screen 0x01FE
      "\x02\x00\xd5\x00"  // display 2: red, red, red, full brightness
      "\x05\x00stage"
      "\x00\x01\xea\x00"  // display 256: green everywhere
      "\x03\x00w??",      // ASCII only
      26);
  EXPECT_EQ(packet, expected);
  EXPECT_EQ(used, 2u);
  EXPECT_EQ(TslStreamFrame(packet),
            "\xfe\x02" + expected.substr(0, 4) + "\xfe\xfe" + expected.substr(5));
  // Displays past the largest packet wait for the next one.
  const std::vector<TslDisplay> many(40, TslDisplay{7, TallyColour::kOff, std::string(80, 'x')});
  EXPECT_LE(TslPacket(0, many, &used).size(), kTslMaxPacket);
  EXPECT_EQ(used, 29u);  // (2048 - 6) / (6 + 64)
}

TEST(ApiRouteTest, EveryAddressItsMethodAndItsCamera) {
  struct Case {
    const char* method;
    const char* target;
    int status;
    Endpoint endpoint;
    int slot;
  };
  const Case cases[] = {
      {"GET", "/", 0, Endpoint::kPage, -1},
      {"GET", "/console.js?v=1", 0, Endpoint::kPage, -1},
      {"GET", "/api/status", 0, Endpoint::kStatus, -1},
      {"POST", "/api/program", 0, Endpoint::kProgram, -1},
      {"POST", "/api/preview", 0, Endpoint::kPreview, -1},
      {"POST", "/api/take", 0, Endpoint::kTake, -1},
      {"GET", "/api/sound.mp3", 0, Endpoint::kSound, -1},
      {"POST", "/api/mark", 0, Endpoint::kMark, -1},
      {"POST", "/api/stop", 0, Endpoint::kStop, -1},
      {"GET", "/api/events?thumbnails=1", 0, Endpoint::kEvents, -1},
      {"GET", "/api/cameras/0/thumbnail.jpg", 0, Endpoint::kThumbnail, 0},
      {"GET", "/api/cameras/4/live.mjpeg", 0, Endpoint::kLive, 4},
      {"GET", "/api/cameras/15/live.mjpeg", 0, Endpoint::kLive, 15},
      {"GET", "/api/cameras/program/live.mjpeg", 0, Endpoint::kLive, kProgramSlot},
      {"POST", "/api/status", 405, Endpoint::kStatus, -1},
      {"GET", "/api/program", 405, Endpoint::kProgram, -1},
      {"DELETE", "/api/stop", 405, Endpoint::kStop, -1},
      {"POST", "/", 405, Endpoint::kPage, -1},
      {"GET", "/api/cameras/16/thumbnail.jpg", 404, Endpoint::kPage, -1},
      {"GET", "/api/cameras/-1/thumbnail.jpg", 404, Endpoint::kPage, -1},
      {"GET", "/api/cameras/07/thumbnail.jpg", 404, Endpoint::kPage, -1},
      {"GET", "/api/cameras/0/picture.png", 404, Endpoint::kPage, -1},
      {"GET", "/api/cameras/0", 404, Endpoint::kPage, -1},
      {"GET", "/api/nothing", 404, Endpoint::kPage, -1},
      {"GET", "/api", 404, Endpoint::kPage, -1},
  };
  for (const Case& c : cases) {
    const Route route = FindRoute(c.method, c.target);
    EXPECT_EQ(route.status, c.status) << c.method << " " << c.target;
    if (route.status == 0 || route.status == 405) {
      EXPECT_EQ(route.endpoint, c.endpoint) << c.target;
    }
    if (route.status == 0) {
      EXPECT_EQ(route.slot, c.slot) << c.target;
    }
    if (route.status == 405) {
      EXPECT_FALSE(route.allow.empty()) << c.target;
    }
    if (route.status != 0) {
      EXPECT_FALSE(route.reason.empty()) << c.target;
    }
  }
  EXPECT_TRUE(QueryFlag("/api/events?thumbnails=1", "thumbnails"));
  EXPECT_TRUE(QueryFlag("/api/events?token=x&thumbnails=true", "thumbnails"));
  EXPECT_FALSE(QueryFlag("/api/events?thumbnails=0", "thumbnails"));
  EXPECT_FALSE(QueryFlag("/api/events?nothumbnails=1", "thumbnails"));
  EXPECT_FALSE(QueryFlag("/api/events", "thumbnails"));
}

TEST(ApiRouteTest, ControlBodiesAreCheckedBeforeAnythingHappens) {
  EXPECT_EQ(ParseCameraRequest(R"({"camera": 2})").camera, 2);
  EXPECT_EQ(ParseCameraRequest(R"({"camera": 15, "other": true})").camera, 15);
  for (const char* bad : {"", "{", "[2]", "2", R"({"camera": 16})", R"({"camera": -1})",
                          R"({"camera": "2"})", R"({"camera": 2.5})", R"({"camera": null})",
                          R"({"cam": 2})", R"({"camera": 99999999999999999999})"}) {
    const CameraRequest request = ParseCameraRequest(bad);
    EXPECT_FALSE(request.error.empty()) << bad;
    EXPECT_EQ(request.camera, -1) << bad;
  }
  EXPECT_EQ(ParseMarkRequest(R"({"label": "goal \u00e9"})").label, "goal \xc3\xa9");
  EXPECT_EQ(ParseMarkRequest("").label, "");
  EXPECT_EQ(ParseMarkRequest("{}").error, "");
  EXPECT_FALSE(ParseMarkRequest(R"({"label": 3})").error.empty());
  EXPECT_FALSE(ParseMarkRequest("{\"label\": \"\xff\"}").error.empty());  // not UTF-8
  EXPECT_FALSE(ParseMarkRequest("{\"label\": \"" + std::string(201, 'a') + "\"}").error.empty());
  EXPECT_TRUE(ParseMarkRequest("{\"label\": \"" + std::string(200, 'a') + "\"}").error.empty());
  EXPECT_EQ(CheckEmptyRequest(""), "");
  EXPECT_EQ(CheckEmptyRequest("{}"), "");
  EXPECT_FALSE(CheckEmptyRequest("stop").empty());
}

std::vector<uint8_t> Pcm(const std::vector<std::pair<int16_t, int16_t>>& frames) {
  std::vector<uint8_t> bytes;
  for (const auto& [left, right] : frames)
    for (int16_t sample : {left, right}) {
      bytes.push_back(static_cast<uint8_t>(sample & 0xFF));
      bytes.push_back(static_cast<uint8_t>((sample >> 8) & 0xFF));
    }
  return bytes;
}

// Receives what the meter hands on.
class CountingReceiver : public IGrabberCallBack {
 public:
  int OnBuffer(int, double, unsigned char*, long length, int, int, PixelFormat) override {
    ++buffers;
    bytes += length;
    return 1;
  }
  std::atomic<int> buffers{0};
  std::atomic<long> bytes{0};
};

TEST(SoundMeterTest, PeakAndRmsPerChannelSinceTheLastReading) {
  CountingReceiver sink;
  SoundMeter meter(&sink, 2);
  EXPECT_TRUE(meter.TakeLevels().empty());
  // Left: a full-scale square wave (peak and RMS 0 dB); right: +-8192 one sample in two,
  // silence between (peak -12 dB, RMS -15 dB).
  std::vector<std::pair<int16_t, int16_t>> frames;
  for (int i = 0; i < 1152; ++i)
    frames.push_back({static_cast<int16_t>(i % 2 ? -32768 : 32767),
                      static_cast<int16_t>(i % 2 ? 0 : (i % 4 ? -8192 : 8192))});
  std::vector<uint8_t> pcm = Pcm(frames);
  meter.OnBuffer(0, 0, pcm.data(), static_cast<long>(pcm.size()), 0, 0, PIX_FMT_NONE);
  EXPECT_EQ(sink.buffers.load(), 1);
  EXPECT_EQ(sink.bytes.load(), static_cast<long>(pcm.size()));
  std::vector<ChannelLevel> levels = meter.TakeLevels();
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_NEAR(levels[0].peakDb, 0, 0.01);
  EXPECT_NEAR(levels[0].rmsDb, 0, 0.01);
  EXPECT_NEAR(levels[1].peakDb, -12.04, 0.01);
  EXPECT_NEAR(levels[1].rmsDb, -15.05, 0.01);
  // A reading starts anew: silence now.
  std::vector<uint8_t> quiet = Pcm(std::vector<std::pair<int16_t, int16_t>>(100, {0, 0}));
  meter.OnBuffer(0, 0, quiet.data(), static_cast<long>(quiet.size()), 0, 0, PIX_FMT_NONE);
  levels = meter.TakeLevels();
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_EQ(levels[0].peakDb, SoundMeter::kSilenceDb);
  EXPECT_EQ(levels[1].rmsDb, SoundMeter::kSilenceDb);
}

TEST(SignalWatchTest, ACameraThatStopsLosesItsSignalOnceAndGetsItBack) {
  SignalWatch watch(2s);
  const auto start = std::chrono::steady_clock::time_point(10s);
  std::array<long long, kConsoleCameras> pictures{};
  const std::array<bool, kConsoleCameras> present{true, true, false, false, false};
  EXPECT_TRUE(watch.Update(start, pictures, present).empty());
  EXPECT_EQ(watch.state(0), SignalState::kWaiting);
  pictures = {5, 5, 0, 0, 0};
  EXPECT_TRUE(watch.Update(start + 1s, pictures, present).empty());
  EXPECT_EQ(watch.state(0), SignalState::kLive);
  pictures[0] = 30;
  EXPECT_TRUE(watch.Update(start + 2500ms, pictures, present).empty());
  // Camera 1 sent nothing for two seconds.
  auto changes = watch.Update(start + 3s, pictures, present);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].camera, 1);
  EXPECT_TRUE(changes[0].lost);
  EXPECT_EQ(watch.state(1), SignalState::kNoSignal);
  EXPECT_TRUE(watch.Update(start + 4s, pictures, present).empty());
  EXPECT_EQ(watch.Update(start + 4500ms, pictures, present).size(), 1u);  // camera 0 now
  EXPECT_TRUE(watch.Update(start + 5s, pictures, present).empty());       // said once
  pictures[1] = 6;
  changes = watch.Update(start + 6s, pictures, present);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].camera, 1);
  EXPECT_FALSE(changes[0].lost);
  // Cameras not in the session are never reported.
  EXPECT_EQ(watch.state(3), SignalState::kWaiting);
}

TEST(SignalWatchTest, ACameraThatNeverDeliversHasNoSignal) {
  SignalWatch watch(2s);
  const auto start = std::chrono::steady_clock::time_point(10s);
  const std::array<long long, kConsoleCameras> none{};
  const std::array<bool, kConsoleCameras> present{true, false, false, false, false};
  EXPECT_TRUE(watch.Update(start, none, present).empty());
  const auto changes = watch.Update(start + 2s, none, present);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_TRUE(changes[0].lost);
}

TEST(SignalWatchTest, ACameraWhoseSourceIsLostHasNoSignalThoughItsStandInsArrive) {
  SignalWatch watch(2s);
  const auto start = std::chrono::steady_clock::time_point(10s);
  const std::array<bool, kConsoleCameras> present{true, true, false, false, false};
  std::array<bool, kConsoleCameras> lost{};
  std::array<long long, kConsoleCameras> pictures{25, 25, 0, 0, 0};
  EXPECT_TRUE(watch.Update(start, pictures, present, lost).empty());
  EXPECT_EQ(watch.state(1), SignalState::kLive);
  // The recorder lost camera 1's source and stands pictures in for it, 25 a second.
  lost[1] = true;
  pictures = {50, 50, 0, 0, 0};
  auto changes = watch.Update(start + 1s, pictures, present, lost);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].camera, 1);
  EXPECT_TRUE(changes[0].lost);
  EXPECT_EQ(watch.state(1), SignalState::kNoSignal);
  EXPECT_EQ(watch.state(0), SignalState::kLive);
  pictures = {75, 75, 0, 0, 0};
  EXPECT_TRUE(watch.Update(start + 2s, pictures, present, lost).empty());
  EXPECT_EQ(watch.state(1), SignalState::kNoSignal);
  // Back: its next picture is its own.
  lost[1] = false;
  EXPECT_TRUE(watch.Update(start + 2500ms, pictures, present, lost).empty());
  pictures[1] = 76;
  changes = watch.Update(start + 3s, pictures, present, lost);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_FALSE(changes[0].lost);
  EXPECT_EQ(watch.state(1), SignalState::kLive);
}

TEST(SinkRatesTest, RatesAreTheChangeOverSessionTime) {
  ConsoleSnapshot snapshot;
  snapshot.seconds = 10;
  SinkStatus sink;
  sink.name = "camera0";
  sink.packets = 250;
  sink.bytes = 2'500'000;
  snapshot.sinks.push_back(sink);
  SinkRates rates;
  rates.Update(snapshot);
  EXPECT_EQ(rates.Of("camera0").framesPerSecond, 0);
  snapshot.seconds = 12;
  snapshot.sinks[0].packets = 300;
  snapshot.sinks[0].bytes = 3'000'000;
  rates.Update(snapshot);
  EXPECT_DOUBLE_EQ(rates.Of("camera0").framesPerSecond, 25);
  EXPECT_DOUBLE_EQ(rates.Of("camera0").bitsPerSecond, 2'000'000);
  // Too close to the last one to say anything new.
  snapshot.seconds = 12.1;
  snapshot.sinks[0].packets = 400;
  rates.Update(snapshot);
  EXPECT_DOUBLE_EQ(rates.Of("camera0").framesPerSecond, 25);
  EXPECT_EQ(rates.Of("nothing").bitsPerSecond, 0);
}

TEST(StorageGaugeTest, FileSizesAsTheyGrow) {
  TestAppDir dir;
  const std::string path = dir.File("camera0.mp4");
  std::ofstream(path, std::ios::binary) << std::string(1000, 'x');
  std::vector<OutputFile> files = {
      {OutputFile::Kind::kCameraMp4, path, "camera0"},
      {OutputFile::Kind::kCameraMp4, dir.File("missing.mp4"), "camera1"}};
  StorageGauge gauge;
  gauge.Update(files);
  ASSERT_EQ(gauge.files().size(), 2u);
  EXPECT_EQ(gauge.files()[0].bytes, 1000);
  EXPECT_EQ(gauge.files()[1].bytes, -1);
  std::ofstream(path, std::ios::binary | std::ios::app) << std::string(1000, 'x');
  gauge.Update(files);
  EXPECT_EQ(gauge.files()[0].bytes, 2000);
}

RawPicture Solid(PixelFormat format,
                 int width,
                 int height,
                 uint8_t red,
                 uint8_t green,
                 uint8_t blue) {
  RawPicture picture;
  picture.width = width;
  picture.height = height;
  picture.format = format;
  picture.data = format == PIX_FMT_YUV420P
                     ? SolidYuvPicture(width, height, red, green, blue)
                     : SolidPackedPicture(format, width, height, red, green, blue);
  return picture;
}

TEST(JpegThumbnailerTest, OddSizesOfEveryPackedFormatAndYuvBecomeJpegsOfTheirColour) {
  JpegThumbnailer thumbnailer(320, 240);
  struct Case {
    PixelFormat format;
    int width, height;
    int thumbWidth, thumbHeight;
  };
  for (const Case& c :
       {Case{PIX_FMT_BGR24, 321, 241, 320, 240}, Case{PIX_FMT_RGB24, 1280, 720, 320, 180},
        Case{PIX_FMT_BGRA, 641, 481, 320, 240}, Case{PIX_FMT_YUV420P, 800, 600, 320, 240},
        Case{PIX_FMT_YUV420P, 37, 23, 36, 22}, Case{PIX_FMT_BGR24, 1, 1, 2, 2}}) {
    const RawPicture picture = Solid(c.format, c.width, c.height, 200, 40, 90);
    std::string jpeg;
    std::string error;
    ASSERT_TRUE(thumbnailer.Make(picture, &jpeg, &error))
        << c.width << "x" << c.height << ": " << error;
    const Picture decoded = DecodeJpeg(jpeg);
    EXPECT_EQ(decoded.width, c.thumbWidth) << c.width;
    EXPECT_EQ(decoded.height, c.thumbHeight) << c.width;
    EXPECT_TRUE(Near(MeanColour(decoded), {200, 40, 90}, 12))
        << c.width << "x" << c.height << " format " << c.format << ": " << MeanColour(decoded).red
        << " " << MeanColour(decoded).green << " " << MeanColour(decoded).blue;
  }
}

TEST(JpegThumbnailerTest, APictureShorterThanItsSizeOrOfAnUnknownFormatIsRefused) {
  JpegThumbnailer thumbnailer(320, 240);
  RawPicture picture = Solid(PIX_FMT_BGR24, 64, 48, 1, 2, 3);
  picture.data.resize(picture.data.size() - 1);
  std::string jpeg;
  std::string error;
  EXPECT_FALSE(thumbnailer.Make(picture, &jpeg, &error));
  EXPECT_FALSE(error.empty());
  picture = Solid(PIX_FMT_BGR24, 64, 48, 1, 2, 3);
  picture.format = static_cast<PixelFormat>(15);
  EXPECT_FALSE(thumbnailer.Make(picture, &jpeg, &error));
  picture.format = PIX_FMT_BGR24;
  EXPECT_TRUE(thumbnailer.Make(picture, &jpeg, &error)) << error;
}

// A picture that ends where the memory behind it cannot be read: libswscale reads packed
// rows ahead in whole vectors, which must never reach past the caller's picture.
TEST(JpegThumbnailerTest, NothingIsReadPastTheEndOfThePicture) {
  const long page = sysconf(_SC_PAGESIZE);
  JpegThumbnailer thumbnailer(320, 240);
  for (const auto& [format, width, height] :
       {std::tuple{PIX_FMT_BGR24, 1280, 720}, std::tuple{PIX_FMT_BGR24, 641, 481},
        std::tuple{PIX_FMT_RGB24, 333, 171}, std::tuple{PIX_FMT_BGRA, 1283, 721},
        std::tuple{PIX_FMT_YUV420P, 1279, 719}}) {
    const std::vector<uint8_t> picture =
        format == PIX_FMT_YUV420P ? SolidYuvPicture(width, height, 10, 200, 30)
                                  : SolidPackedPicture(format, width, height, 10, 200, 30);
    const size_t pages = (picture.size() + page - 1) / page;
    auto* region = static_cast<uint8_t*>(mmap(nullptr, (pages + 1) * page, PROT_READ | PROT_WRITE,
                                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(region, MAP_FAILED);
    ASSERT_EQ(mprotect(region + pages * page, page, PROT_NONE), 0);
    uint8_t* at = region + pages * page - picture.size();
    std::memcpy(at, picture.data(), picture.size());
    std::string jpeg;
    std::string error;
    EXPECT_TRUE(thumbnailer.Make(at, picture.size(), width, height, format, &jpeg, &error))
        << error;
    EXPECT_TRUE(Near(MeanColour(DecodeJpeg(jpeg)), {10, 200, 30}, 15)) << width << "x" << height;
    munmap(region, (pages + 1) * page);
  }
}

TEST(ThumbnailSlotTest, OnlyAWatchedSlotCopiesAndOnlyWhenAThumbnailIsDue) {
  ThumbnailSlot slot(250ms);
  const std::vector<uint8_t> bytes = SolidPackedPicture(PIX_FMT_BGR24, 8, 8, 1, 2, 3);
  const auto t0 = std::chrono::steady_clock::time_point(100s);
  auto offer = [&](std::chrono::steady_clock::time_point at) {
    return slot.Offer(bytes.data(), static_cast<long>(bytes.size()), 8, 8, PIX_FMT_BGR24, at);
  };
  EXPECT_FALSE(offer(t0).copied);
  EXPECT_EQ(slot.pictures(), 1);
  EXPECT_EQ(slot.width(), 8);
  slot.SetWanted(true);
  EXPECT_TRUE(offer(t0).copied);
  EXPECT_FALSE(offer(t0 + 100ms).copied);  // the next is due a quarter second later
  EXPECT_TRUE(offer(t0 + 280ms).copied);
  // Due times keep to the quarter seconds: four thumbnails a second from 25 pictures a
  // second, not one every seventh picture.
  EXPECT_FALSE(offer(t0 + 480ms).copied);
  EXPECT_TRUE(offer(t0 + 520ms).copied);
  EXPECT_TRUE(offer(t0 + 760ms).copied);
  // After a pause the grid starts afresh.
  EXPECT_TRUE(offer(t0 + 5000ms).copied);
  EXPECT_FALSE(offer(t0 + 5200ms).copied);
  EXPECT_TRUE(offer(t0 + 5250ms).copied);
  RawPicture taken;
  EXPECT_TRUE(slot.Take(&taken));
  // The copy has room behind the picture for libswscale's reading ahead.
  ASSERT_EQ(taken.data.size(), bytes.size() + kScaleReadPadding);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), taken.data.begin()));
  EXPECT_FALSE(slot.Take(&taken));
  slot.ArmFirstPicture();
  EXPECT_TRUE(offer(t0 + 5300ms).first);
  EXPECT_FALSE(offer(t0 + 5350ms).first);
  EXPECT_EQ(slot.pictures(), 12);
}

// The worker made to wait in its publishing: pictures offered meanwhile are neither queued
// nor waited for, and the newest is the one made next.
TEST(ThumbnailWorkerTest, AStalledConsumerLosesPicturesButNeverHoldsUpTheCapture) {
  std::array<std::unique_ptr<ThumbnailSlot>, kPictureSlots> owned;
  std::array<ThumbnailSlot*, kPictureSlots> slots{};
  for (int i = 0; i < kPictureSlots; ++i) {
    owned[i] = std::make_unique<ThumbnailSlot>(0ms);
    slots[i] = owned[i].get();
  }
  slots[0]->SetWanted(true);
  std::mutex lock;
  std::condition_variable changed;
  bool release = false;
  std::vector<std::string> published;
  ThumbnailWorker worker(
      slots, {64, 64}, {64, 64},
      [&](int slot, std::shared_ptr<const std::string> jpeg) {
        std::unique_lock<std::mutex> hold(lock);
        EXPECT_EQ(slot, 0);
        published.push_back(*jpeg);
        changed.notify_all();
        changed.wait_for(hold, 20s, [&] { return release; });
      },
      [](int, const std::string& error) { ADD_FAILURE() << error; });
  auto offer = [&](uint8_t red) {
    const std::vector<uint8_t> bytes = SolidPackedPicture(PIX_FMT_BGR24, 64, 48, red, 0, 0);
    if (slots[0]
            ->Offer(bytes.data(), static_cast<long>(bytes.size()), 64, 48, PIX_FMT_BGR24,
                    std::chrono::steady_clock::now())
            .copied)
      worker.Wake();
  };
  offer(50);
  {
    std::unique_lock<std::mutex> hold(lock);
    ASSERT_TRUE(changed.wait_for(hold, 20s, [&] { return published.size() == 1; }));
  }
  // The worker is stuck in its consumer; the capture goes on regardless.
  for (int i = 0; i < 19; ++i)
    offer(120);
  offer(250);
  EXPECT_EQ(slots[0]->pictures(), 21);
  {
    std::lock_guard<std::mutex> hold(lock);
    release = true;
    changed.notify_all();
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> hold(lock);
    return published.size() >= 2;
  }));
  std::lock_guard<std::mutex> hold(lock);
  ASSERT_EQ(published.size(), 2u);  // nothing queued up in between
  const Rgb first = MeanColour(DecodeJpeg(published[0]));
  const Rgb second = MeanColour(DecodeJpeg(published[1]));
  // Saturated reds come back a little off from a small JPEG; 120 would be far off.
  EXPECT_TRUE(Near(first, {50, 0, 0}, 25)) << first.red << " " << first.green << " " << first.blue;
  EXPECT_TRUE(Near(second, {250, 0, 0}, 25))
      << second.red << " " << second.green << " " << second.blue;
}

}  // namespace
