// The console served on a free loopback port against a model standing in for the recorder:
// every endpoint, every kind of bad request, the pushes, the thumbnails and the picture
// streams, many clients, slow clients, and closing.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <thread>

#include "ConsoleClient.h"
#include "ConsoleTestSupport.h"
#include "common/LoopbackClient.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"

namespace {

using namespace sorvo::test;
using namespace sorvo::tools;
using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kToken = "console-test-token";

ConsoleSettings FastSettings() {
  ConsoleSettings settings;
  settings.statusPeriod = 100ms;
  settings.signalCheckPeriod = 50ms;
  settings.thumbnailPeriod = 0ms;  // every picture a page watches
  settings.thumbnailWait = 20s;
  settings.signalTimeout = 600s;  // tests that lose a signal move a clock of their own
  return settings;
}

class CountingReceiver : public IGrabberCallBack {
 public:
  int OnBuffer(int, double, unsigned char*, long, int, int, PixelFormat) override {
    ++buffers;
    return 1;
  }
  std::atomic<long long> buffers{0};
};

class CountingData : public ISorvoData {
 public:
  int OnEncodeData(int, AVPacket*) override {
    ++packets;
    return 1;
  }
  std::atomic<int> packets{0};
};

class ConsoleServerTest : public ::testing::Test {
 protected:
  void Start(ConsoleSettings settings = FastSettings()) {
    console = std::make_unique<Console>(std::move(settings));
    model.Announce(console.get());
    for (int camera = 0; camera < 3; ++camera)
      inputs[camera] = console->CameraInput(camera, &sinks[camera]).receiver;
    program = console->ProgramInput();
    sound = console->SoundInput(&soundSink, 2);
    ConsoleAddress address;
    address.port = 0;
    std::string error;
    ASSERT_TRUE(console->Start(address, kToken, &model, &error)) << error;
    port = console->port();
    ASSERT_GT(port, 0);
  }
  void TearDown() override { console.reset(); }

  void Feed(int camera, const std::vector<uint8_t>& bgr, int width, int height) {
    std::vector<uint8_t> copy = bgr;
    inputs[camera]->OnBuffer(camera, 0, copy.data(), static_cast<long>(copy.size()), width, height,
                             PIX_FMT_BGR24);
  }
  void FeedColour(int camera, uint8_t red, uint8_t green, uint8_t blue) {
    Feed(camera, SolidPackedPicture(PIX_FMT_BGR24, 1280, 720, red, green, blue), 1280, 720);
  }
  json Status() {
    const HttpAnswer answer = Get(port, "/api/status");
    EXPECT_EQ(answer.status, 200) << answer.body;
    return answer.Json();
  }

  FakeModel model;
  CountingReceiver sinks[3];
  CountingReceiver soundSink;
  std::unique_ptr<Console> console;
  IGrabberCallBack* inputs[3] = {};
  IGrabberCallBack* program = nullptr;
  IGrabberCallBack* sound = nullptr;
  unsigned short port = 0;
};

TEST_F(ConsoleServerTest, ServesItsPageFromItselfAndNothingElse) {
  Start();
  const HttpAnswer page = Get(port, "/");
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(page.Header("content-type"), "text/html; charset=utf-8");
  EXPECT_NE(page.body.find("<script src=\"console.js\""), std::string::npos);
  EXPECT_NE(page.Header("content-security-policy").find("frame-ancestors 'none'"),
            std::string::npos);
  EXPECT_NE(page.Header("content-security-policy").find("default-src 'none'"), std::string::npos);
  EXPECT_EQ(page.Header("x-frame-options"), "DENY");
  // Nothing on the page comes from another place.
  EXPECT_EQ(page.body.find("http://"), std::string::npos);
  EXPECT_EQ(page.body.find("https://"), std::string::npos);
  const HttpAnswer script = Get(port, "/console.js");
  EXPECT_EQ(script.status, 200);
  EXPECT_EQ(script.Header("content-type"), "text/javascript; charset=utf-8");
  EXPECT_NE(script.body.find("/api/events"), std::string::npos);
  EXPECT_EQ(Get(port, "/console.css").status, 200);
  const HttpAnswer missing = Get(port, "/secret.html");
  EXPECT_EQ(missing.status, 404);
  EXPECT_FALSE(missing.Json().value("error", "").empty());
}

TEST_F(ConsoleServerTest, StatusIsTheLiveSummaryWithWhatTheConsoleMeasures) {
  TestAppDir dir;
  const std::string file = dir.File("camera0.mp4");
  std::ofstream(file, std::ios::binary) << std::string(4321, 'x');
  ConsoleSnapshot snapshot = model.Snapshot();
  snapshot.outDir = dir.path();
  snapshot.files = {{OutputFile::Kind::kCameraMp4, file, "camera0"}};
  DiskReading disk;
  disk.folder = dir.path();
  disk.freeBytes = 5'000'000;
  disk.bytesPerSecond = 10'000;
  disk.secondsLeft = 500;
  disk.low = true;
  snapshot.disks = {disk};
  model.SetSnapshot(snapshot);
  // A long cut: the status gives its latest entries, the rest a page at a time.
  for (int shot = 0; shot < 120; ++shot)
    model.cut().AddSwitch(shot * 2.0, shot % 3);
  model.cut().AddMark(3.25, "start");
  Start();
  FeedColour(0, 10, 20, 30);
  std::vector<uint8_t> yuv = SolidYuvPicture(1280, 720, 1, 2, 3);
  program->OnBuffer(100, 0, yuv.data(), static_cast<long>(yuv.size()), 1280, 720, PIX_FMT_YUV420P);
  std::vector<uint8_t> pcm(1152 * 4, 0);
  pcm[0] = 0xFF;
  pcm[1] = 0x3F;  // one left sample at half scale
  sound->OnBuffer(0, 0, pcm.data(), static_cast<long>(pcm.size()), 0, 0, PIX_FMT_NONE);
  EXPECT_EQ(soundSink.buffers.load(), 1);

  json status;
  // The levels are taken at the periodic status.
  ASSERT_TRUE(WaitUntil([&] {
    status = Status();
    return status["sound"].is_object() && status["sound"]["channels"].size() == 2;
  })) << status.dump();
  EXPECT_DOUBLE_EQ(status["seconds"].get<double>(), 12.5);
  EXPECT_EQ(status["state"], "recording");
  EXPECT_EQ(status["outDir"], dir.path());
  ASSERT_EQ(status["sinks"].size(), 5u);
  const json& camera0 = status["sinks"][0];
  EXPECT_EQ(camera0["name"], "camera0");
  EXPECT_EQ(camera0["camera"], 0);
  EXPECT_EQ(camera0["source"], "test pattern 0");
  EXPECT_EQ(camera0["port"], 8051);
  EXPECT_EQ(camera0["buffersIn"], 300);
  EXPECT_EQ(camera0["packets"], 299);
  EXPECT_EQ(camera0["bytes"], 1000000);
  EXPECT_EQ(camera0["dropped"], 0);
  EXPECT_EQ(camera0["width"], 1280);
  EXPECT_EQ(camera0["height"], 720);
  EXPECT_EQ(camera0["signal"], "live");
  EXPECT_EQ(status["sinks"][2]["dropped"], 2);
  EXPECT_EQ(status["sinks"][2]["clients"], 2);
  EXPECT_EQ(status["sinks"][2]["signal"], "waiting");  // camera 2 has sent no picture yet
  const json& director = status["sinks"][3];
  EXPECT_EQ(director["name"], "director");
  EXPECT_EQ(director["width"], 1280);
  EXPECT_FALSE(director.contains("camera"));
  EXPECT_FALSE(status["sinks"][4]["video"].get<bool>());
  ASSERT_EQ(status["files"].size(), 1u);
  EXPECT_EQ(status["files"][0]["bytes"], 4321);
  EXPECT_EQ(status["files"][0]["kind"], "camera MP4");
  ASSERT_EQ(status["disks"].size(), 1u);
  EXPECT_EQ(status["disks"][0]["freeBytes"], 5'000'000);
  EXPECT_EQ(status["disks"][0]["secondsLeft"], 500);
  EXPECT_TRUE(status["disks"][0]["low"].get<bool>());
  EXPECT_NEAR(status["sound"]["channels"][0]["peakDb"].get<double>(), -6.02, 0.01);
  EXPECT_EQ(status["sound"]["channels"][1]["peakDb"].get<double>(), SoundMeter::kSilenceDb);
  ASSERT_EQ(status["switches"].size(), 50u);
  EXPECT_EQ(status["lists"]["switches"], (json{{"total", 120}, {"from", 70}}));
  EXPECT_EQ(status["switches"][49], (json{{"time", 238.0}, {"camera", 119 % 3}}));
  EXPECT_EQ(status["marks"][0]["label"], "start");
  const json first = Get(port, "/api/status?switchesFrom=1&count=2").Json();
  EXPECT_EQ(first["switches"],
            (json{{{"time", 2.0}, {"camera", 1}}, {{"time", 4.0}, {"camera", 2}}}));
  EXPECT_EQ(first["lists"]["switches"]["from"], 1);
  EXPECT_EQ(first["lists"]["notes"]["total"], 1);
  const HttpAnswer bad = Get(port, "/api/status?switchesFrom=-1");
  EXPECT_EQ(bad.status, 400);
  EXPECT_NE(bad.Json()["error"].get<std::string>().find("switchesFrom"), std::string::npos);
  EXPECT_EQ(status["notes"][0], "port 8050 is in use");
  EXPECT_EQ(status["console"]["connections"], 1);
  EXPECT_EQ(status["program"]["camera"], -1);
}

TEST_F(ConsoleServerTest, ASwitchIsAnnouncedAndTalliedPendingUntilTheCamerasNextPicture) {
  Start();
  EventClient events(port, "/api/events");
  ASSERT_EQ(events.handshakeStatus(), 101);
  ASSERT_FALSE(events.WaitForEvent("status").is_null());
  const HttpAnswer answer = Post(port, "/api/program", R"({"camera": 1})", kToken);
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(answer.Json()["camera"], 1);
  EXPECT_EQ(model.selected(), std::vector<int>{1});
  const json pending = events.WaitForEvent("program");
  ASSERT_FALSE(pending.is_null());
  EXPECT_EQ(pending["camera"], 1);
  EXPECT_TRUE(pending["pending"].get<bool>());
  EXPECT_DOUBLE_EQ(pending["time"].get<double>(), 12.5);
  // The page gets the cut's new entry, and only that, after the whole (empty) cut it came to.
  const json cut = events.WaitForEvent("cut", [](const json& e) { return !e["switches"].empty(); });
  ASSERT_FALSE(cut.is_null());
  EXPECT_EQ(cut["switchesFrom"], 0);
  EXPECT_EQ(cut["switches"], (json{{{"time", 12.5}, {"camera", 1}}}));
  json status = Status();
  EXPECT_EQ(status["program"]["camera"], 1);
  EXPECT_TRUE(status["program"]["pending"].get<bool>());

  FeedColour(0, 1, 1, 1);  // another camera's picture changes nothing
  FeedColour(1, 1, 1, 1);
  const json taken = events.WaitForEvent("program");
  ASSERT_FALSE(taken.is_null());
  EXPECT_EQ(taken["camera"], 1);
  EXPECT_FALSE(taken["pending"].get<bool>());
  status = Status();
  EXPECT_FALSE(status["program"]["pending"].get<bool>());
  EXPECT_DOUBLE_EQ(status["program"]["since"].get<double>(), 12.5);
}

TEST_F(ConsoleServerTest, MarksAreRecordedAndStopAsksOnce) {
  Start();
  EventClient events(port, "/api/events");
  ASSERT_EQ(events.handshakeStatus(), 101);
  model.SetSeconds(61.25);
  HttpAnswer answer = Post(port, "/api/mark", R"({"label": "goal"})", kToken);
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(answer.Json()["label"], "goal");
  EXPECT_DOUBLE_EQ(answer.Json()["time"].get<double>(), 61.25);
  EXPECT_EQ(Post(port, "/api/mark", "", kToken).status, 200);  // no label
  EXPECT_EQ(model.marks(), (std::vector<std::string>{"goal", ""}));
  const json mark = events.WaitForEvent("mark");
  ASSERT_FALSE(mark.is_null());
  EXPECT_EQ(mark["label"], "goal");
  EXPECT_DOUBLE_EQ(mark["time"].get<double>(), 61.25);

  answer = Post(port, "/api/stop", "", kToken);
  EXPECT_EQ(answer.status, 202) << answer.body;
  EXPECT_EQ(answer.Json()["state"], "stopping");
  EXPECT_EQ(Post(port, "/api/stop", "{}", kToken).status, 409);
  EXPECT_EQ(model.stops(), 1);
  // Once the session ends, the controls say why they do nothing.
  answer = Post(port, "/api/program", R"({"camera": 0})", kToken);
  EXPECT_EQ(answer.status, 409);
  EXPECT_EQ(answer.Json()["error"], "the session has ended");
}

TEST_F(ConsoleServerTest, EveryBadRequestGetsItsOwn4xxAndChangesNothing) {
  Start();
  const std::string host = "127.0.0.1:" + std::to_string(port);
  const std::string token = std::string("Authorization: Bearer ") + kToken;
  struct Case {
    const char* what;
    std::string raw;
    int status;
  };
  const std::vector<Case> cases = {
      {"unknown path", Request(port, "GET", "/api/nothing"), 404},
      {"unknown page", Request(port, "GET", "/etc/passwd"), 404},
      {"GET of a control", Request(port, "GET", "/api/program"), 405},
      {"POST of a reading", Request(port, "POST", "/api/status", {token}), 405},
      {"PUT", Request(port, "PUT", "/api/stop", {token}, "{}"), 405},
      {"bad JSON", Request(port, "POST", "/api/program", {token}, "{camera: 1"), 400},
      {"not an object", Request(port, "POST", "/api/program", {token}, "[1]"), 400},
      {"camera 16", Request(port, "POST", "/api/program", {token}, R"({"camera": 16})"), 400},
      {"camera -1", Request(port, "POST", "/api/program", {token}, R"({"camera": -1})"), 400},
      {"camera as text", Request(port, "POST", "/api/program", {token}, R"({"camera": "1"})"), 400},
      {"camera not in the session",
       Request(port, "POST", "/api/program", {token}, R"({"camera": 3})"), 409},
      {"label too long",
       Request(port, "POST", "/api/mark", {token},
               "{\"label\": \"" + std::string(300, 'a') + "\"}"),
       400},
      {"stop with a body that is not JSON", Request(port, "POST", "/api/stop", {token}, "now"),
       400},
      {"oversized body", Request(port, "POST", "/api/mark", {token}, std::string(5000, ' ')), 413},
      {"oversized chunked body",
       "POST /api/mark HTTP/1.1\r\nHost: " + host + "\r\n" + token +
           "\r\nTransfer-Encoding: chunked\r\n\r\n1388\r\n" + std::string(5000, ' ') +
           "\r\n0\r\n\r\n",
       413},
      {"missing token", Request(port, "POST", "/api/program", {}, R"({"camera": 1})"), 401},
      {"wrong token",
       Request(port, "POST", "/api/program", {"Authorization: Bearer guess"}, R"({"camera": 1})"),
       403},
      {"token of another length",
       Request(port, "POST", "/api/stop?token=console-test-token0", {}, "{}"), 403},
      {"foreign Origin",
       Request(port, "POST", "/api/stop", {token, "Origin: http://evil.example"}, "{}"), 403},
      {"foreign Origin reading",
       Request(port, "GET", "/api/status", {"Origin: http://evil.example"}), 403},
      {"foreign Host",
       "GET /api/status HTTP/1.1\r\nHost: evil.example:" + std::to_string(port) + "\r\n\r\n", 421},
      {"foreign Host with the token",
       "POST /api/stop HTTP/1.1\r\nHost: rebound.example:" + std::to_string(port) + "\r\n" + token +
           "\r\nContent-Length: 0\r\n\r\n",
       421},
      {"no Host", "GET /api/status HTTP/1.1\r\n\r\n", 400},
      {"two Hosts", "GET /api/status HTTP/1.1\r\nHost: " + host + "\r\nHost: " + host + "\r\n\r\n",
       400},
      {"oversized header",
       Request(port, "GET", "/api/status", {"X-Padding: " + std::string(10000, 'p')}), 431},
      {"not HTTP", "HELLO THERE\r\n\r\n", 400},
      {"events without a WebSocket", Request(port, "GET", "/api/events"), 426},
      {"camera 9", Request(port, "GET", "/api/cameras/9/thumbnail.jpg"), 404},
      {"camera not in the session", Request(port, "GET", "/api/cameras/3/thumbnail.jpg"), 404},
      {"stream of a camera not in the session", Request(port, "GET", "/api/cameras/4/live.mjpeg"),
       404},
  };
  for (const Case& c : cases) {
    const HttpAnswer answer = Exchange(port, c.raw);
    ASSERT_TRUE(answer.received) << c.what;
    EXPECT_EQ(answer.status, c.status) << c.what << ": " << answer.body;
    EXPECT_FALSE(answer.Json().value("error", "").empty()) << c.what << ": " << answer.body;
    if (c.status == 405) {
      EXPECT_FALSE(answer.Header("allow").empty()) << c.what;
    }
  }
  EventClient foreign(port, "/api/events", "http://evil.example");
  EXPECT_EQ(foreign.handshakeStatus(), 403);
  EXPECT_FALSE(foreign.open());

  // Not one of them reached the recording, and the console serves on.
  EXPECT_EQ(model.controls(), 0);
  EXPECT_EQ(Status()["state"], "recording");
  EXPECT_EQ(Post(port, "/api/program", R"({"camera": 2})", kToken).status, 200);
}

TEST_F(ConsoleServerTest, WebSocketPushesTheStatusAndEveryEventAtOnce) {
  ManualClock clock;
  ConsoleSettings settings = FastSettings();
  settings.clock = [&clock] { return clock.Now(); };
  settings.signalTimeout = 2000ms;
  Start(settings);
  EventClient events(port, "/api/events");
  ASSERT_EQ(events.handshakeStatus(), 101);
  // One status on joining and then one every period.
  json first = events.WaitForEvent("status");
  ASSERT_FALSE(first.is_null());
  EXPECT_EQ(first["sinks"].size(), 5u);
  model.SetSeconds(20);
  ASSERT_FALSE(
      events.WaitForEvent("status", [](const json& s) { return s["seconds"] == 20; }).is_null());

  console->Problem("camera1 stopped delivering: end of file");
  json problem = events.WaitForEvent("error");
  ASSERT_FALSE(problem.is_null());
  EXPECT_EQ(problem["message"], "camera1 stopped delivering: end of file");

  // Camera 0 delivers, then nothing comes for longer than the signal timeout.
  FeedColour(0, 1, 2, 3);
  ASSERT_TRUE(WaitUntil([&] { return Status()["sinks"][0]["signal"] == "live"; }));
  clock.Advance(2500ms);
  json lost = events.WaitForEvent("sourceLost", [](const json& e) { return e["camera"] == 0; });
  ASSERT_FALSE(lost.is_null());
  EXPECT_DOUBLE_EQ(lost["time"].get<double>(), 20);
  FeedColour(0, 1, 2, 3);
  ASSERT_FALSE(
      events.WaitForEvent("sourceBack", [](const json& e) { return e["camera"] == 0; }).is_null());

  model.SetState(ConsoleSessionState::kEnded);
  console->SessionEnded();
  json ended = events.WaitForEvent("ended");
  ASSERT_FALSE(ended.is_null());
  EXPECT_EQ(ended["status"]["state"], "ended");
  EXPECT_EQ(ended["status"]["sinks"][0]["buffersIn"], 300);
}

TEST_F(ConsoleServerTest, APageGetsEveryTilesThumbnailAndNoneAreMadeOnceItLeaves) {
  Start();
  EventClient page(port, "/api/events?thumbnails=1");
  ASSERT_EQ(page.handshakeStatus(), 101);
  ASSERT_TRUE(WaitUntil([&] { return Status()["console"]["pages"] == 1; }));
  FeedColour(0, 220, 30, 30);
  std::string jpeg = page.WaitForPicture(0);
  Picture picture = DecodeJpeg(jpeg);
  EXPECT_EQ(picture.width, 320);
  EXPECT_EQ(picture.height, 180);
  EXPECT_TRUE(Near(MeanColour(picture), {220, 30, 30}, 12));
  std::vector<uint8_t> yuv = SolidYuvPicture(1280, 720, 30, 30, 220);
  program->OnBuffer(100, 0, yuv.data(), static_cast<long>(yuv.size()), 1280, 720, PIX_FMT_YUV420P);
  picture = DecodeJpeg(page.WaitForPicture(kProgramSlot));
  EXPECT_EQ(picture.width, 640);
  EXPECT_EQ(picture.height, 360);
  EXPECT_TRUE(Near(MeanColour(picture), {30, 30, 220}, 12));

  page.Close();
  ASSERT_TRUE(WaitUntil([&] { return Status()["console"]["connections"] == 1; }));
  const long long made = Status()["console"]["thumbnails"][0];
  for (int i = 0; i < 30; ++i)
    FeedColour(0, 10, 10, 10);
  // A stream of camera 1 makes the worker go round once more; camera 0 made nothing.
  StreamClient stream(port, "/api/cameras/1/live.mjpeg");
  ASSERT_EQ(stream.status(), 200);
  Repeat feeder([&] {
    FeedColour(1, 40, 200, 40);
    std::this_thread::sleep_for(5ms);
  });
  const std::string part = stream.NextPart();
  feeder.Stop();
  EXPECT_TRUE(Near(MeanColour(DecodeJpeg(part)), {40, 200, 40}, 12));
  EXPECT_EQ(Status()["console"]["thumbnails"][0], made);
  EXPECT_EQ(sinks[0].buffers.load(), 31);  // every picture reached its sink all the same
}

TEST_F(ConsoleServerTest, LiveStreamPartsDecodeAsJpegs) {
  Start();
  StreamClient stream(port, "/api/cameras/2/live.mjpeg");
  ASSERT_EQ(stream.status(), 200);
  EXPECT_EQ(stream.contentType(), "multipart/x-mixed-replace; boundary=sorvo-picture");
  uint8_t shade = 0;
  Repeat feeder([&] {
    shade = static_cast<uint8_t>(shade + 7);
    Feed(2, SolidPackedPicture(PIX_FMT_BGR24, 800, 600, shade, 100, 100), 800, 600);
    std::this_thread::sleep_for(5ms);
  });
  std::vector<std::string> parts;
  for (int i = 0; i < 3; ++i)
    parts.push_back(stream.NextPart());
  feeder.Stop();
  for (const std::string& part : parts) {
    const Picture picture = DecodeJpeg(part);
    EXPECT_EQ(picture.width, 320);
    EXPECT_EQ(picture.height, 240);
  }
  EXPECT_EQ(Status()["console"]["streams"], 1);
}

TEST_F(ConsoleServerTest, AThumbnailIsMadeOnDemandFromTheNextPicture) {
  Start();
  HttpAnswer answer;
  std::atomic<bool> done{false};
  std::thread request([&] {
    answer = Get(port, "/api/cameras/1/thumbnail.jpg");
    done = true;
  });
  while (!done) {
    FeedColour(1, 250, 250, 0);
    std::this_thread::sleep_for(5ms);
  }
  request.join();
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(answer.Header("content-type"), "image/jpeg");
  EXPECT_TRUE(Near(MeanColour(DecodeJpeg(answer.body)), {250, 250, 0}, 12));
}

TEST_F(ConsoleServerTest, AThumbnailOfACameraWithoutPicturesIsUnavailable) {
  ConsoleSettings settings = FastSettings();
  settings.thumbnailWait = 200ms;
  Start(settings);
  const HttpAnswer answer = Get(port, "/api/cameras/0/thumbnail.jpg");
  EXPECT_EQ(answer.status, 503);
  EXPECT_NE(answer.Json().value("error", "").find("no picture from camera 0"), std::string::npos);
}

// Reads one response from a kept-alive connection.
std::string ReadResponse(LoopbackClient& client) {
  std::string data;
  size_t end;
  while ((end = data.find("\r\n\r\n")) == std::string::npos) {
    const std::string more = client.Read(1);
    if (more.empty())
      return data;
    data += more;
  }
  const size_t length = data.find("Content-Length: ");
  const size_t size = length == std::string::npos ? 0 : std::stoul(data.substr(length + 16));
  return data + client.Read(size);
}

// Idle sockets, however many, never keep out a request: they wait without a slot and the
// oldest of an address go; clients without the token fill the general slots at most.
TEST_F(ConsoleServerTest, IdleSocketsAndTokenlessClientsNeverKeepTheOperatorOut) {
  Start();
  std::vector<std::unique_ptr<LoopbackClient>> idle;
  for (int i = 0; i < 64; ++i)
    idle.push_back(std::make_unique<LoopbackClient>(port));
  const auto asked = std::chrono::steady_clock::now();
  const std::string bearer = "Authorization: Bearer " + std::string(kToken);
  const HttpAnswer served = Exchange(port, Request(port, "GET", "/api/status", {bearer}));
  EXPECT_EQ(served.status, 200);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);
  // Closed: the oldest at once, the rest once their first byte is overdue.
  int closed = 0;
  for (auto& client : idle)
    closed += client->DrainToEnd() >= 0 ? 1 : 0;
  EXPECT_EQ(closed, 64);

  std::vector<std::unique_ptr<StreamClient>> streams;
  for (int i = 0; i < 16; ++i) {
    streams.push_back(std::make_unique<StreamClient>(port, "/api/cameras/0/live.mjpeg"));
    ASSERT_EQ(streams.back()->status(), 200);
  }
  const HttpAnswer refused = Get(port, "/api/status");
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.Json()["error"], "too many connections");
  const HttpAnswer operatorAsks = Exchange(port, Request(port, "GET", "/api/status", {bearer}));
  ASSERT_EQ(operatorAsks.status, 200);
  EXPECT_EQ(operatorAsks.Json()["console"]["connections"], 17);
  streams.pop_back();
  ASSERT_TRUE(WaitUntil([&] { return Get(port, "/api/status").status == 200; }));
}

// A camera on preview, taken: both buses announced; the sound's encoded frames reach a
// listener as they come, and only while one listens.
TEST_F(ConsoleServerTest, PreviewTakeAndTheSoundAsItIsEncoded) {
  Start();
  EventClient events(port, "/api/events");
  ASSERT_EQ(Post(port, "/api/take", "", kToken).status, 409);  // nothing on preview
  ASSERT_EQ(Post(port, "/api/preview", R"({"camera": 2})", kToken).status, 200);
  EXPECT_FALSE(
      events.WaitForEvent("preview", [](const json& e) { return e["camera"] == 2; }).is_null());
  ASSERT_EQ(Post(port, "/api/take", "", kToken).status, 200);
  EXPECT_FALSE(
      events.WaitForEvent("program", [](const json& e) { return e["camera"] == 2; }).is_null());
  EXPECT_FALSE(
      events.WaitForEvent("preview", [](const json& e) { return e["camera"] == 0; }).is_null());
  EXPECT_EQ(Status()["preview"]["camera"], 0);

  CountingData next;
  ISorvoData* frames = console->SoundPackets(&next);
  std::string frame = "\xFF\xFB\x90\x64" + std::string(413, 'a');
  AVPacket packet{};
  packet.data = reinterpret_cast<uint8_t*>(frame.data());
  packet.size = static_cast<int>(frame.size());
  frames->OnEncodeData(200, &packet);  // nobody listens yet
  LoopbackClient listener(port);
  const std::string request = Request(port, "GET", "/api/sound.mp3");
  ASSERT_TRUE(listener.SendAll(request.data(), request.size()));
  ASSERT_TRUE(WaitUntil([&] { return Status()["console"]["streams"] == 1; }));
  for (int i = 0; i < 3; ++i)
    frames->OnEncodeData(200, &packet);
  const std::string head = ReadResponse(listener);
  EXPECT_NE(head.find("Content-Type: audio/mpeg"), std::string::npos) << head;
  std::string body = listener.Read(3 * frame.size());
  EXPECT_EQ(body, frame + frame + frame);
  EXPECT_EQ(next.packets.load(), 4);
}

TEST_F(ConsoleServerTest, AHundredClientsComeAndGoWhilePicturesFlowAndNoneIsLost) {
  Start();
  long long fed[3] = {0, 0, 0};
  std::vector<uint8_t> picture = SolidPackedPicture(PIX_FMT_BGR24, 640, 360, 90, 90, 90);
  Repeat feeder([&] {
    for (int camera = 0; camera < 3; ++camera) {
      inputs[camera]->OnBuffer(camera, 0, picture.data(), static_cast<long>(picture.size()), 640,
                               360, PIX_FMT_BGR24);
      ++fed[camera];
    }
    std::this_thread::sleep_for(2ms);
  });
  int decoded = 0;
  for (int client = 0; client < 100; ++client) {
    switch (client % 5) {
      case 0:
        EXPECT_EQ(Get(port, "/api/status").status, 200);
        break;
      case 1: {
        EventClient page(port, "/api/events?thumbnails=1");
        EXPECT_EQ(page.handshakeStatus(), 101);
        EXPECT_FALSE(page.WaitForEvent("status").is_null());
        break;
      }
      case 2: {
        StreamClient stream(port, "/api/cameras/" + std::to_string(client % 3) + "/live.mjpeg");
        decoded += DecodeJpeg(stream.NextPart()).width == 320;
        break;  // and gone without a word
      }
      case 3: {
        LoopbackClient rude(port);
        const std::string half = "GET /api/status HTTP/1.1\r\nHo";
        rude.SendAll(half.data(), half.size());
        rude.Reset();
        break;
      }
      case 4:
        EXPECT_EQ(Get(port, "/").status, 200);
        break;
    }
  }
  feeder.Stop();
  EXPECT_EQ(decoded, 20);
  for (int camera = 0; camera < 3; ++camera)
    EXPECT_EQ(sinks[camera].buffers.load(), fed[camera]);
  ASSERT_TRUE(WaitUntil([&] { return Status()["console"]["connections"] == 1; }));
  EXPECT_EQ(Status()["console"]["pages"], 0);
  EXPECT_EQ(Status()["console"]["streams"], 0);
}

TEST_F(ConsoleServerTest, SlowAndStalledClientsAreClosed) {
  ConsoleSettings settings = FastSettings();
  settings.requestTimeout = 300ms;
  settings.writeTimeout = 300ms;
  settings.sendBufferBytes = 16 * 1024;  // a thumbnail of noise fills it
  Start(settings);
  // Half a request, then nothing: closed long before the client's own timeout.
  LoopbackClient slow(port);
  const std::string half = "GET /api/status HTTP/1.1\r\nHo";
  ASSERT_TRUE(slow.SendAll(half.data(), half.size()));
  EXPECT_GE(slow.DrainToEnd(), 0);

  // A viewer that reads nothing while large pictures keep coming.
  LoopbackClient stalled(port, "127.0.0.1", /*receiveBuffer=*/4096);
  const std::string request = Request(port, "GET", "/api/cameras/0/live.mjpeg");
  ASSERT_TRUE(stalled.SendAll(request.data(), request.size()));
  std::mt19937 random(15);
  std::vector<std::vector<uint8_t>> noise(4, std::vector<uint8_t>(1280 * 720 * 3));
  for (auto& picture : noise)
    for (uint8_t& byte : picture)
      byte = static_cast<uint8_t>(random());
  size_t next = 0;
  Repeat feeder([&] { Feed(0, noise[next++ % noise.size()], 1280, 720); });
  json status;
  ASSERT_TRUE(WaitUntil([&] {
    status = Status();
    return status["console"]["streams"] == 0 && status["console"]["thumbnails"][0] > 0;
  })) << status["console"].dump();
  feeder.Stop();
  EXPECT_EQ(Status()["console"]["connections"], 1);
}

TEST_F(ConsoleServerTest, ClosingTheConsoleClosesItsClientsCleanly) {
  Start();
  EventClient events(port, "/api/events");
  ASSERT_FALSE(events.WaitForEvent("status").is_null());
  StreamClient stream(port, "/api/cameras/0/live.mjpeg");
  ASSERT_EQ(stream.status(), 200);
  std::thread closing([&] { console.reset(); });
  EXPECT_TRUE(events.WaitForClose());
  closing.join();
  EXPECT_EQ(stream.NextPart(2s), "");
  EXPECT_FALSE(Exchange(port, Request(port, "GET", "/api/status")).received);
}

TEST_F(ConsoleServerTest, APortInUseIsReported) {
  Start();
  Console second;
  ConsoleAddress address;
  address.port = port;
  std::string error;
  EXPECT_FALSE(second.Start(address, kToken, &model, &error));
  EXPECT_NE(error.find("cannot listen on 127.0.0.1:" + std::to_string(port)), std::string::npos)
      << error;
}

}  // namespace
