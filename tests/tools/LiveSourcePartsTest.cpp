// The parts of the recorder's live sources on their own: reconnecting with stand-ins while
// the signal is lost, the no-signal picture, the --camera text, what makes a URL a network
// stream, and how losses are told.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LiveSourceSupport.h"
#include "common/LoopbackClient.h"
#include "tools/record/FfmpegLog.h"
#include "tools/record/ProgressLine.h"
#include "tools/record/RecordOptions.h"
#include "tools/record/SessionNote.h"
#include "tools/record/sources/CameraSpec.h"
#include "tools/record/sources/MediaCamera.h"
#include "tools/record/sources/NetworkInput.h"
#include "tools/record/sources/NoSignalPicture.h"
#include "tools/record/sources/ReconnectingSource.h"
#include "tools/record/sources/SignalLog.h"
#include "tools/record/sources/SorvoStreamCamera.h"

namespace {

using namespace sorvo::test;
using sorvo::tools::MediaSource;
using sorvo::tools::ReconnectingSource;
using sorvo::tools::StandIn;
using sorvo::tools::StopToken;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kStandInByte = 0xEE;

// A connection of a fake source: `count` buffers, each filled with `fill`, at stream times
// `first`, first + step, ...; then it fails with "cut". A count below 0 never ends and,
// with `silent`, sends nothing until stopped.
class FakeLink : public MediaSource {
 public:
  FakeLink(int count,
           uint8_t fill,
           double first,
           double step,
           const StopToken& stop,
           bool silent = false,
           int width = 160,
           int height = 120)
      : m_count(count), m_fill(fill), m_time(first), m_step(step), m_stop(stop), m_silent(silent) {
    m_width = width;
    m_height = height;
    m_pixelFormat = PIX_FMT_YUV420P;
    m_frameRate = 25;
  }
  bool Next(std::vector<uint8_t>* data, double* due) override {
    if (m_silent) {
      while (!m_stop.requested())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      m_error = "stopped";
      return false;
    }
    if (m_stop.requested()) {
      m_error = "stopped";
      return false;
    }
    if (m_count >= 0 && m_made == m_count) {
      m_error = "cut";
      return false;
    }
    data->assign(16, m_fill);
    *due = m_time;
    m_time += m_step;
    ++m_made;
    // Sent at the stream's pace, unless the stream comes in a burst (step 0 of pacing).
    if (m_pace)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return true;
  }
  std::string Describe() const override { return "fake"; }
  bool m_pace = true;

 private:
  const int m_count;
  const uint8_t m_fill;
  double m_time;
  const double m_step;
  const StopToken& m_stop;
  const bool m_silent;
  int m_made = 0;
};

class FillStandIn : public StandIn {
 public:
  void Fill(double, const std::vector<uint8_t>&, std::vector<uint8_t>* out) override {
    out->assign(16, kStandInByte);
  }
};

// Connections made one after the other from a script; each attempt's time is kept.
class ScriptedConnections {
 public:
  using Make = std::function<std::unique_ptr<MediaSource>(const StopToken& stop, std::string* why)>;
  explicit ScriptedConnections(std::vector<Make> script) : m_script(std::move(script)) {}

  ReconnectingSource::Setup Setup() {
    ReconnectingSource::Setup setup;
    setup.name = "fake://camera";
    setup.connect = [this](const auto& wanted, const StopToken& stop, std::string* why) {
      std::lock_guard<std::mutex> hold(m_lock);
      m_attempts.push_back(Clock::now());
      m_sizes.push_back({wanted.width, wanted.height});
      const size_t at = std::min(m_attempts.size(), m_script.size()) - 1;
      return m_script[at](stop, why);
    };
    setup.standIn = [](const MediaSource&) { return std::make_unique<FillStandIn>(); };
    setup.width = 320;
    setup.height = 240;
    setup.pixelFormat = PIX_FMT_YUV420P;
    setup.frameRate = 25;
    return setup;
  }
  std::vector<Clock::time_point> attempts() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_attempts;
  }
  std::vector<std::pair<int, int>> sizes() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_sizes;
  }

 private:
  std::vector<Make> m_script;
  std::mutex m_lock;
  std::vector<Clock::time_point> m_attempts;
  std::vector<std::pair<int, int>> m_sizes;
};

ScriptedConnections::Make Refused() {
  return [](const StopToken&, std::string* why) {
    *why = "refused";
    return std::unique_ptr<MediaSource>();
  };
}

ScriptedConnections::Make Link(int count,
                               uint8_t fill,
                               bool silent = false,
                               int width = 160,
                               int height = 120) {
  return [=](const StopToken& stop, std::string*) {
    return std::unique_ptr<MediaSource>(
        std::make_unique<FakeLink>(count, fill, 0.0, 0.04, stop, silent, width, height));
  };
}

struct Delivered {
  uint8_t fill;
  double due;
};

double SteadySeconds(Clock::time_point at) {
  return std::chrono::duration<double>(at.time_since_epoch()).count();
}

TEST(ReconnectingSourceTest, ALostSourceIsStoodInForAndConnectedAgainTwiceASecond) {
  // Five buffers, a cut, two refusals, then buffers for good.
  ScriptedConnections connections({Link(5, 1), Refused(), Refused(), Link(-1, 4)});
  ReconnectingSource source(connections.Setup());
  source.FinishOpening();
  EXPECT_EQ(source.width(), 160);
  EXPECT_EQ(source.frameRate(), 25);
  const double firstCall = SteadySeconds(Clock::now());
  std::vector<Delivered> delivered;
  std::vector<uint8_t> data;
  int resumed = 0;
  while (resumed < 5) {
    double due = 0;
    ASSERT_TRUE(source.Next(&data, &due));
    ASSERT_EQ(data.size(), 16u);
    delivered.push_back({data[0], due});
    resumed += data[0] == 4;
    ASSERT_LT(delivered.size(), 2000u) << "the source never came back";
  }
  source.Stop();

  // The first buffer opens the timeline where the feeder first asked; then the source's
  // own, stand-ins, and the source's own again, each later than the one before.
  EXPECT_NEAR(delivered[0].due, firstCall, 0.05);
  std::string kinds;
  for (size_t i = 0; i < delivered.size(); ++i) {
    const char kind =
        delivered[i].fill == kStandInByte ? 's' : static_cast<char>('0' + delivered[i].fill);
    if (kinds.empty() || kinds.back() != kind)
      kinds += kind;
    if (i > 0) {
      EXPECT_GT(delivered[i].due, delivered[i - 1].due) << i;
    }
    // Stand-ins come at the source's rate, never closer together.
    if (i > 0 && delivered[i].fill == kStandInByte && delivered[i - 1].fill == kStandInByte) {
      EXPECT_GE(delivered[i].due - delivered[i - 1].due, 0.04 - 1e-6) << i;
    }
  }
  // Buffers that came before the feeder first asked were not the session's; some of the
  // first connection's may have gone that way, but not its last ones.
  EXPECT_EQ(kinds, "1s4");

  // Connected again 0.5 s after the cut, then every 0.5 s for the first minute.
  const std::vector<Clock::time_point> attempts = connections.attempts();
  ASSERT_EQ(attempts.size(), 4u);
  const std::vector<sorvo::tools::SignalLog::Loss> losses = source.signal()->Losses();
  ASSERT_EQ(losses.size(), 1u);
  EXPECT_EQ(losses[0].why, "cut");
  ASSERT_TRUE(losses[0].backAt.has_value());
  EXPECT_GE(attempts[1] - losses[0].lostAt, std::chrono::milliseconds(500));
  EXPECT_GE(attempts[3] - attempts[1], std::chrono::milliseconds(1000));
  EXPECT_LT(attempts[3] - attempts[1], std::chrono::milliseconds(2000));
  EXPECT_GT(*losses[0].backAt, attempts[3]);
  // Later connections are asked for the size the first one fixed.
  EXPECT_EQ(connections.sizes()[3], (std::pair<int, int>{160, 120}));
  long long standIns = 0;
  for (const Delivered& d : delivered)
    standIns += d.fill == kStandInByte;
  EXPECT_EQ(source.signal()->standIns(), standIns);
  EXPECT_TRUE(source.signal()->hasSignal());
  // Told once why connecting again failed.
  ASSERT_EQ(source.Notes().size(), 1u);
  EXPECT_EQ(source.Notes()[0].text, "connecting again failed: refused");
}

TEST(ReconnectingSourceTest, ASourceNotReachedAtTheStartRecordsTheFallbackUntilItAnswers) {
  ScriptedConnections connections({Refused()});
  ReconnectingSource source(connections.Setup());
  source.FinishOpening();
  EXPECT_EQ(source.width(), 320);
  EXPECT_EQ(source.height(), 240);
  EXPECT_EQ(source.pixelFormat(), PIX_FMT_YUV420P);
  EXPECT_FALSE(source.signal()->hasSignal());
  EXPECT_NE(source.Describe().find("not reached at the start"), std::string::npos);
  std::vector<uint8_t> data;
  double due = 0;
  const double firstCall = SteadySeconds(Clock::now());
  ASSERT_TRUE(source.Next(&data, &due));
  EXPECT_EQ(data[0], kStandInByte);
  EXPECT_NEAR(due, firstCall, 0.05);
  // Stand-ins go on while it is tried again; the same refusal is not told again.
  while (connections.attempts().size() < 3) {
    ASSERT_TRUE(source.Next(&data, &due));
    EXPECT_EQ(data[0], kStandInByte);
  }
  const auto notes = source.Notes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].text,
            "no signal at the start (refused): recorded as \"no signal\" at 320x240, 25/s until "
            "it answers");
  ASSERT_EQ(source.signal()->Losses().size(), 1u);
  EXPECT_EQ(source.signal()->Losses()[0].why, "refused");
}

TEST(ReconnectingSourceTest, AConnectionThatSendsNothingIsLostAfterTwoSeconds) {
  ScriptedConnections connections({Link(-1, 1, /*silent=*/true)});
  ReconnectingSource source(connections.Setup());
  source.FinishOpening();
  std::vector<uint8_t> data;
  double due = 0;
  const Clock::time_point asked = Clock::now();
  ASSERT_TRUE(source.Next(&data, &due));
  EXPECT_EQ(data[0], kStandInByte);
  EXPECT_GE(Clock::now() - asked, std::chrono::milliseconds(1900));
  ASSERT_EQ(source.signal()->Losses().size(), 1u);
  EXPECT_EQ(source.signal()->Losses()[0].why, "nothing came for 2 s");
}

TEST(ReconnectingSourceTest, StopEndsAWaitAtOnce) {
  ScriptedConnections connections({Link(-1, 1, /*silent=*/true)});
  ReconnectingSource source(connections.Setup());
  source.FinishOpening();
  std::atomic<bool> returned{false};
  std::atomic<bool> result{true};
  std::thread feeder([&] {
    std::vector<uint8_t> data;
    double due = 0;
    result = source.Next(&data, &due);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load());
  source.Stop();
  feeder.join();
  EXPECT_FALSE(result.load());
  EXPECT_EQ(source.error(), "stopped");
}

// Pictures 40 ms apart in their stream: five sent as they are made, then, after the
// network held them up, five at once.
class BurstLink : public MediaSource {
 public:
  explicit BurstLink(const StopToken& stop) : m_stop(stop) {
    m_width = 160;
    m_height = 120;
    m_pixelFormat = PIX_FMT_YUV420P;
    m_frameRate = 25;
  }
  bool Next(std::vector<uint8_t>* data, double* due) override {
    static const int kWaitsMs[] = {300, 40, 40, 40, 40, 300, 0, 0, 0, 0};
    if (m_stop.requested() || m_made == 10) {
      m_error = "cut";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kWaitsMs[m_made]));
    data->assign(16, m_made < 5 ? 1 : 2);
    *due = 100.0 + 0.04 * m_made++;
    return true;
  }
  std::string Describe() const override { return "burst"; }

 private:
  const StopToken& m_stop;
  int m_made = 0;
};

TEST(ReconnectingSourceTest, BuffersThatComeInABurstKeepTheSpacingTheyWereMadeWith) {
  ReconnectingSource::Setup setup;
  setup.name = "fake://burst";
  setup.connect = [](const auto&, const StopToken& stop, std::string*) {
    return std::unique_ptr<MediaSource>(std::make_unique<BurstLink>(stop));
  };
  setup.standIn = [](const MediaSource&) { return std::make_unique<FillStandIn>(); };
  setup.depth = 16;
  ReconnectingSource source(std::move(setup));
  source.FinishOpening();
  std::vector<Delivered> burst;
  std::vector<uint8_t> data;
  double due = 0;
  while (burst.size() < 5 && source.Next(&data, &due))
    if (data[0] == 2)
      burst.push_back({data[0], due});
  source.Stop();
  // Made 40 ms apart, delivered together: stamped 40 ms apart, not at the instant they came.
  ASSERT_EQ(burst.size(), 5u);
  for (size_t i = 1; i < burst.size(); ++i)
    EXPECT_NEAR(burst[i].due - burst[i - 1].due, 0.04, 1e-3) << i;
}

TEST(ReconnectingSourceTest, PicturesOfASizeTheRecorderCannotTakeAreAskedForAtTheFallback) {
  ScriptedConnections connections({Link(-1, 1, false, 64, 48), Link(-1, 2)});
  ReconnectingSource source(connections.Setup());
  source.FinishOpening();
  ASSERT_EQ(connections.sizes().size(), 2u);
  EXPECT_EQ(connections.sizes()[0], (std::pair<int, int>{0, 0}));
  EXPECT_EQ(connections.sizes()[1], (std::pair<int, int>{320, 240}));
  ASSERT_EQ(source.Notes().size(), 1u);
  EXPECT_EQ(source.Notes()[0].text,
            "its pictures are 64x48; the recorder takes 100 to 5000 pixels each way: they are "
            "scaled to 320x240");
}

TEST(NoSignalPictureTest, ShowsTheNameAndTheTimeOrHoldsTheLastPicture) {
  EXPECT_EQ(sorvo::tools::NoSignalPicture::ElapsedText(0.4), "0:00");
  EXPECT_EQ(sorvo::tools::NoSignalPicture::ElapsedText(61.9), "1:01");
  EXPECT_EQ(sorvo::tools::NoSignalPicture::ElapsedText(3723), "1:02:03");

  // An odd size, to catch a plane laid out wrong.
  const int width = 321, height = 241;
  sorvo::tools::NoSignalPicture slate("Stage left", width, height, PIX_FMT_YUV420P, false);
  std::vector<uint8_t> first, again, later;
  slate.Fill(0.2, {}, &first);
  slate.Fill(0.9, {}, &again);
  slate.Fill(7.2, {}, &later);
  ASSERT_EQ(first.size(), static_cast<size_t>(SorvoPictureSize(PIX_FMT_YUV420P, width, height)));
  EXPECT_EQ(first, again);  // the same second shows the same picture
  EXPECT_NE(first, later);  // the time moved on
  auto picture = [&](const std::vector<uint8_t>& bytes) {
    Picture p;
    p.width = width;
    p.height = height;
    const size_t chroma = static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
    p.y.assign(bytes.begin(), bytes.begin() + width * height);
    p.u.assign(bytes.begin() + width * height, bytes.begin() + width * height + chroma);
    p.v.assign(bytes.begin() + width * height + chroma, bytes.end());
    return p;
  };
  const Picture shown = picture(first);
  EXPECT_TRUE(IsNoSignalPicture(shown));
  // "NO SIGNAL" in yellow across the middle: light pixels on the dark slate there.
  int light = 0;
  for (int x = 0; x < width; ++x)
    light += shown.y[(height / 2) * width + x] > 150;
  EXPECT_GT(light, width / 20);

  sorvo::tools::NoSignalPicture hold("x", width, height, PIX_FMT_YUV420P, true);
  EXPECT_TRUE(hold.wantsLast());
  const std::vector<uint8_t> last(first.size(), 77);
  std::vector<uint8_t> held;
  hold.Fill(3.0, last, &held);
  EXPECT_EQ(held, last);
  // With no picture of the source's own yet, even a held camera shows the slate.
  hold.Fill(3.0, {}, &held);
  EXPECT_TRUE(IsNoSignalPicture(picture(held)));
}

TEST(CameraSpecTest, TakesANameAfterTheSource) {
  using sorvo::tools::CameraSpec;
  CameraSpec spec;
  std::string error;
  ASSERT_TRUE(CameraSpec::Parse("rtsp://cam.local/live,name=Stage", &spec, &error));
  EXPECT_EQ(spec.source, "rtsp://cam.local/live");
  EXPECT_EQ(spec.name, "Stage");
  ASSERT_TRUE(CameraSpec::Parse("http://cam/v?a=1,b=2", &spec, &error));
  EXPECT_EQ(spec.source, "http://cam/v?a=1,b=2");
  EXPECT_EQ(spec.name, "");
  ASSERT_TRUE(CameraSpec::Parse("test:320x240,name=舞台", &spec, &error));
  EXPECT_EQ(spec.source, "test:320x240");
  EXPECT_EQ(spec.name, "舞台");
  for (const std::string bad : {",name=Stage", "test,name=", "test,name=a\tb"}) {
    EXPECT_FALSE(CameraSpec::Parse(bad, &spec, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(NetworkInputTest, NetworkUrlsAreLiveAndOpenedAsLiveInput) {
  using sorvo::tools::IsNetworkUrl;
  for (const char* url : {"rtsp://h/x", "RTSP://h/x", "srt://h:9000", "udp://@:1234", "tcp://h:1",
                          "http://h/x.mjpg", "https://h/x.m3u8", "rtmp://h/app/s"})
    EXPECT_TRUE(IsNetworkUrl(url)) << url;
  for (const char* name :
       {"clip.mp4", "/dev/video0", "lavfi:testsrc", "file:///tmp/x.ts", "sorvo://h:1", "rtsp:/h"})
    EXPECT_FALSE(IsNetworkUrl(name)) << name;

  auto option = [](const std::string& url, const char* key) {
    AVDictionary* options = sorvo::tools::NetworkInputOptions(url, false);
    const AVDictionaryEntry* entry = av_dict_get(options, key, nullptr, 0);
    const std::string value = entry != nullptr ? entry->value : "";
    av_dict_free(&options);
    return value;
  };
  EXPECT_EQ(option("rtsp://h/x", "rtsp_transport"), "tcp");
  EXPECT_EQ(option("rtsp://h/x", "timeout"), "2000000");
  EXPECT_EQ(option("srt://h:1", "connect_timeout"), "2000");
  EXPECT_EQ(option("tcp://h:1", "fflags"), "nobuffer");
  // RTMP reads "timeout" as seconds to wait for a caller: it is left alone there.
  EXPECT_EQ(option("rtmp://h/a/s", "timeout"), "");
  EXPECT_EQ(option("rtmp://h/a/s", "rw_timeout"), "2000000");
}

TEST(NetworkInputTest, AnRtspUrlIsOpenedOverTheNetworkNotAsAFormatNamedRtsp) {
  // Nothing listens there: the answer is the network's.
  const int port = FreeLoopbackPort();
  std::string error;
  EXPECT_EQ(
      sorvo::tools::MediaCamera::Open("rtsp://127.0.0.1:" + std::to_string(port) + "/x", &error),
      nullptr);
  EXPECT_NE(error.find("Connection refused"), std::string::npos) << error;
}

// Answers RTSP's requests on `socket` for a session of `streams` H.264 streams, and sends
// no picture.
void ServeManyStreams(int socket, const std::atomic<bool>& stop, int streams) {
  std::string sdp = "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=many\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n";
  for (int i = 0; i < streams; ++i)
    sdp += "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:track" + std::to_string(i) +
           "\r\n";
  std::string pending;
  char buffer[4096];
  while (!stop.load()) {
    const ssize_t got = recv(socket, buffer, sizeof buffer, 0);
    if (got <= 0)
      return;
    pending.append(buffer, static_cast<size_t>(got));
    for (size_t end; (end = pending.find("\r\n\r\n")) != std::string::npos;) {
      const std::string request = pending.substr(0, end);
      pending.erase(0, end + 4);
      const size_t cseq = request.find("CSeq: ");
      const std::string number = request.substr(cseq + 6, request.find("\r\n", cseq) - cseq - 6);
      std::string answer = "RTSP/1.0 200 OK\r\nCSeq: " + number + "\r\nSession: 1\r\n";
      if (request.rfind("DESCRIBE", 0) == 0) {
        answer += "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
                  "\r\n\r\n" + sdp;
      } else {
        const size_t transport = request.find("Transport: ");
        if (transport != std::string::npos)
          answer += request.substr(transport, request.find("\r\n", transport) - transport) + "\r\n";
        answer += "\r\n";
      }
      if (!LoopbackServer::SendAll(socket, answer))
        return;
    }
  }
}

TEST(SourceClaimsTest, ASourceClaimingMoreThanTheRecorderTakesIsRefusedWithWhy) {
  // An RTSP server announcing 3,000 streams once took the recorder from 65 to 917 MB.
  LoopbackServer server(
      [](int socket, const std::atomic<bool>& stop) { ServeManyStreams(socket, stop, 3000); });
  ASSERT_GT(server.port(), 0);
  std::string error;
  EXPECT_EQ(sorvo::tools::MediaCamera::Open(
                "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/many", &error),
            nullptr);
  EXPECT_NE(error.find("it announces more than 16 streams; a source may carry at most 16"),
            std::string::npos)
      << error;
  // Pictures and rates a stream declares, refused before one is made.
  EXPECT_EQ(sorvo::tools::MediaCamera::Open("lavfi:nullsrc=size=9000x9000", &error), nullptr);
  EXPECT_NE(error.find("declares pictures of 9,000 x 9,000"), std::string::npos) << error;
  EXPECT_EQ(sorvo::tools::MediaCamera::Open("lavfi:testsrc=rate=1000", &error), nullptr);
  EXPECT_NE(error.find("declares 1,000 pictures a second"), std::string::npos) << error;
  EXPECT_NE(sorvo::tools::MediaCamera::Open("lavfi:testsrc=size=320x240:rate=240", &error), nullptr)
      << error;
}

TEST(SorvoStreamCameraTest, AServerThatIsNotASinkIsRefusedWithWhy) {
  LoopbackServer garbage([](int socket, const std::atomic<bool>&) {
    LoopbackServer::SendAll(socket, std::string(200, 'x'));
  });
  ASSERT_GT(garbage.port(), 0);
  std::string error;
  EXPECT_EQ(sorvo::tools::SorvoStreamCamera::Open(
                "sorvo://127.0.0.1:" + std::to_string(garbage.port()), &error),
            nullptr);
  EXPECT_NE(error.find("does not send a Sorvo sink's stream: its codec"), std::string::npos)
      << error;
  EXPECT_EQ(sorvo::tools::SorvoStreamCamera::Open("sorvo://nohost", &error), nullptr);
  EXPECT_NE(error.find("write it sorvo://HOST:PORT"), std::string::npos) << error;
}

TEST(FfmpegLogTest, TheSameLineFromAnotherConnectionIsTheSameLine) {
  EXPECT_EQ(sorvo::tools::FfmpegLog::WithoutAddress(
                "[tcp @ 0x55d1c0a8] Connection to tcp://127.0.0.1:9 failed"),
            "[tcp] Connection to tcp://127.0.0.1:9 failed");
  EXPECT_EQ(sorvo::tools::FfmpegLog::WithoutAddress("[mpegts @ 0xabc] [in#0 @ 0x1F] bad @ 0x]"),
            "[mpegts] [in#0] bad @ 0x]");
}

std::string Printed(const std::function<void(std::FILE*)>& write) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  write(out);
  std::fclose(out);
  const std::string printed(text, size);
  std::free(text);
  return printed;
}

TEST(ProgressLineTest, ALossAndAReturnAreToldOnceEachAndTheLineSaysNoSignal) {
  sorvo::tools::SinkStatus camera;
  camera.name = "camera1";
  camera.buffersIn = 80;
  camera.packets = 80;
  const std::string printed = Printed([&](std::FILE* out) {
    sorvo::tools::ProgressLine progress(out);
    progress.Show(1.0, {camera}, "");
    camera.noSignal = true;
    camera.losses.push_back({3.14, -1, "the stream ended"});
    progress.Show(4.0, {camera}, "");
    progress.Show(5.0, {camera}, "");
    camera.noSignal = false;
    camera.losses.back().backAt = 7.5;
    progress.Show(8.0, {camera}, "");
    progress.Show(9.0, {camera}, "");
  });
  auto count = [&](const std::string& text) {
    int n = 0;
    for (size_t at = printed.find(text); at != std::string::npos; at = printed.find(text, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("camera1: signal lost at 3.1 s (the stream ended); connecting again\n"), 1)
      << printed;
  EXPECT_EQ(count("camera1: signal back at 7.5 s, after 4.4 s without\n"), 1) << printed;
  EXPECT_EQ(count("camera1 80 NO SIGNAL |"), 2) << printed;
}

TEST(SignalLogTest, AFlappingSourceKeepsItsLatestLossesAndATallyOfAll) {
  sorvo::tools::SignalLog log;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 100; ++i) {
    log.Lost(start + std::chrono::seconds(10 * i), "refused " + std::to_string(i));
    log.Lost(start + std::chrono::seconds(10 * i + 1), "lost again while lost");
    log.Back(start + std::chrono::seconds(10 * i + 2));
  }
  log.Lost(start + std::chrono::seconds(1000), "the stream ended");
  const auto losses = log.Losses();
  ASSERT_EQ(losses.size(), sorvo::tools::SignalLog::kKeptLosses);
  EXPECT_EQ(losses.front().why, "refused 93");
  EXPECT_EQ(losses.back().why, "the stream ended");
  const auto tally = log.tally(start + std::chrono::seconds(1005));
  EXPECT_EQ(tally.count, 101);
  EXPECT_EQ(tally.firstLostAt, start);
  EXPECT_EQ(tally.lastLostAt, start + std::chrono::seconds(1000));
  EXPECT_EQ(tally.lost, std::chrono::seconds(100 * 2 + 5));
}

// A source that says what its converter says, as a camera does.
class NoteSource : public MediaSource {
 public:
  void Say(const std::string& note) { AddNote(note); }
  bool Next(std::vector<uint8_t>*, double*) override { return false; }
  std::string Describe() const override { return "notes"; }
};

TEST(MediaSourceTest, NotesAlikeButForTheirNumbersFoldIntoOne) {
  NoteSource source;
  source.Say("a packet did not decode; its picture is missing");
  for (int width = 100; width < 1100; width += 2)
    source.Say("its pictures are " + std::to_string(width) + "x480 from here on");
  source.Say("its pictures are 1098x480 from here on");  // said again: nothing new
  source.Say("a packet did not decode; its picture is missing");
  const auto notes = source.Notes();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].count, 1);
  EXPECT_EQ(notes[1].text, "its pictures are 100x480 from here on");
  EXPECT_EQ(notes[1].last, "its pictures are 1098x480 from here on");
  EXPECT_EQ(notes[1].count, 500);
  EXPECT_LE(notes[1].firstAt, notes[1].lastAt);
  EXPECT_FALSE(sorvo::tools::AlikeNotes("port 8050 is in use", "port 8050 is in use twice"));
}

TEST(RecordOptionsTest, SixteenCamerasTakePortsAroundTheSounds) {
  sorvo::tools::RecordOptions options;
  options.portBase = 9000;
  EXPECT_EQ(options.CameraPort(0), 9001);
  EXPECT_EQ(options.CameraPort(8), 9009);
  EXPECT_EQ(options.SoundPort(), 9010);
  EXPECT_EQ(options.CameraPort(9), 9011);
  EXPECT_EQ(options.CameraPort(15), 9017);

  auto parse = [](std::vector<std::string> args, sorvo::tools::RecordOptions* parsed) {
    args.insert(args.begin(), "sorvo-record");
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(arg.data());
    return sorvo::tools::ParseRecordOptions(static_cast<int>(argv.size()), argv.data(), parsed);
  };
  std::vector<std::string> sixteen;
  for (int i = 0; i < 16; ++i) {
    sixteen.push_back("--camera");
    sixteen.push_back("test");
  }
  sorvo::tools::RecordOptions parsed;
  EXPECT_EQ(parse(sixteen, &parsed), -1);
  EXPECT_EQ(parsed.cameras.size(), 16u);
  std::vector<std::string> tooHigh = sixteen;
  tooHigh.insert(tooHigh.end(), {"--ports", "65520"});
  EXPECT_EQ(parse(tooHigh, &parsed), 2);
  sixteen.insert(sixteen.end(), {"--camera", "test"});
  EXPECT_EQ(parse(sixteen, &parsed), 2);
  sorvo::tools::RecordOptions hold;
  EXPECT_EQ(parse({"--on-loss", "hold"}, &hold), -1);
  EXPECT_TRUE(hold.holdOnLoss);
  sorvo::tools::RecordOptions unnamed;
  EXPECT_EQ(parse({"--camera", ",name=x"}, &unnamed), 2);
}

}  // namespace
