// Two recorders side by side, 25 s each, on senders of the test's own: ffmpeg paced 0.5 %
// fast and 0.5 % slow sends a camera that flashes white for five pictures every second of
// its own and, beside it, sound that beeps with each flash. The fast one's recorder also
// has a camera read from a file that ends every 7 s and cannot be played again. Checked
// from the decoded files: the beeps stay with the flashes in every file, every file lasts
// the session, and the file that ends is a loss and a return, not the camera's end.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "LiveSourceSupport.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"

namespace {

using namespace sorvo::test;

constexpr double kSession = 25;
constexpr double kPicture = 0.04;

struct Session {
  std::string out;
  std::unique_ptr<ToolProcess> sender;
  std::unique_ptr<ToolProcess> recorder;
  boost::property_tree::ptree summary;
};

// The words of `text`, each of `names` replaced by its value.
std::vector<std::string> Words(const std::string& text,
                               const std::map<std::string, std::string>& names) {
  std::istringstream words(text);
  std::vector<std::string> args;
  for (std::string word; words >> word;)
    args.push_back(names.count(word) ? names.at(word) : word);
  return args;
}

// ffmpeg paced at RATE: the flashing camera to UDP port VIDEO, the beeps to port SOUND.
constexpr const char* kSender =
    "-loglevel error -readrate RATE -f lavfi -i color=c=black:s=160x120:r=25:d=60,drawbox=w=160:"
    "h=120:color=white:t=fill:enable='lt(mod(n\\,25)\\,5)' -readrate RATE -f lavfi -i "
    "sine=f=1000:sample_rate=48000:d=60,volume=volume=0:enable='gte(mod(t\\,1)\\,0.2)' -map 0:v "
    "-c:v mpeg2video -g 5 -f mpegts VIDEO -map 1:a -c:a mp2 -b:a 192k -f mpegts "
    "-pes_payload_size 0 SOUND";
constexpr const char* kRecorder =
    "--seconds 25 --camera VIDEO LOCAL --audio SOUND --director 160x120 --switch-every 0 "
    "--ports BASE --out OUT --json OUT.json";

// When each flash begins: five white pictures in a row (a run the camera thinned is left
// out, its start being uncertain).
std::vector<double> Flashes(const ProbedStream& video) {
  std::vector<double> flashes;
  size_t run = 0;
  for (size_t i = 0; i <= video.pictures.size(); ++i) {
    const bool white =
        i < video.pictures.size() &&
        std::accumulate(video.pictures[i].y.begin(), video.pictures[i].y.end(), 0.0) >
            128.0 * static_cast<double>(video.pictures[i].y.size());
    if (white) {
      ++run;
      continue;
    }
    if (run == 5)
      flashes.push_back(video.pictureSeconds[i - 5]);
    run = 0;
  }
  return flashes;
}

// When each beep begins: the first loud sample after a quarter of a second of quiet.
std::vector<double> Beeps(const ProbedStream& sound) {
  std::vector<double> beeps;
  size_t quiet = sound.sampleRate;
  for (size_t i = 0; i < sound.sound.size(); ++i) {
    if (std::abs(sound.sound[i]) < 0.02) {
      ++quiet;
      continue;
    }
    if (quiet > static_cast<size_t>(sound.sampleRate / 4))
      beeps.push_back(sound.soundStartSeconds + static_cast<double>(i) / sound.sampleRate);
    quiet = 0;
  }
  return beeps;
}

// Every beep against the flash nearest to it, the first second left out (a network
// camera's first picture is placed at the session's start whenever it came). Pictures are
// written on a grid of their rate, so one flash may stand up to half a picture off: each
// beep is within one and a half pictures of where the beeps stand in the middle of the
// session (the sender's own pipeline puts its sound some tens of ms before its pictures),
// and on average the beeps of the last third stand where those of the first third did.
void ExpectBeepsWithFlashes(const std::vector<double>& flashes,
                            const std::vector<double>& beeps,
                            const std::string& what) {
  ASSERT_GE(flashes.size(), 15u) << what;
  ASSERT_GE(beeps.size(), 20u) << what;
  std::vector<std::pair<double, double>> offsets;  // beep, offset
  for (const double beep : beeps) {
    double nearest = flashes.front();
    for (const double flash : flashes)
      if (std::abs(flash - beep) < std::abs(nearest - beep))
        nearest = flash;
    // Its flash was thinned, or came in the first second.
    if (beep > 1 && std::abs(nearest - beep) < 0.5)
      offsets.push_back({beep, beep - nearest});
  }
  ASSERT_GE(offsets.size(), 15u) << what;
  std::vector<std::pair<double, double>> sorted = offsets;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end(),
                   [](const auto& a, const auto& b) { return a.second < b.second; });
  const double middle = sorted[sorted.size() / 2].second;
  EXPECT_LT(std::abs(middle), 0.1) << what;
  double early = 0, late = 0;
  int earlyCount = 0, lateCount = 0;
  for (const auto& [beep, offset] : offsets) {
    EXPECT_LT(std::abs(offset - middle), 1.5 * kPicture) << what << ": the beep at " << beep;
    if (beep < kSession / 3)
      early += offset, ++earlyCount;
    if (beep > kSession * 2 / 3)
      late += offset, ++lateCount;
  }
  EXPECT_LT(std::abs(late / lateCount - early / earlyCount), kPicture / 2) << what;
}

class ClockDriftRecordTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new TestAppDir();
    s_dir->WriteFile("SettingVideo.ini", "[Transfer]\nBindAddress=127.0.0.1\n");
    s_fast = new Session();
    s_slow = new Session();
    for (Session* run : {s_fast, s_slow}) {
      const bool fast = run == s_fast;
      run->out = s_dir->File(fast ? "fast" : "slow");
      const int base = FreePortBase(10);
      ASSERT_GT(base, 0);
      auto udp = [](int port) {
        return "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316";
      };
      const std::map<std::string, std::string> names = {
          {"RATE", fast ? "1.005" : "0.995"},
          {"VIDEO", udp(FreeLoopbackPort())},
          {"SOUND", udp(FreeLoopbackPort())},
          {"BASE", std::to_string(base)},
          {"OUT", run->out},
          {"OUT.json", run->out + ".json"},
          {"LOCAL", fast ? "--camera=lavfi:testsrc2=size=160x120:rate=25:duration=7" : "--fps=25"}};
      run->sender =
          std::make_unique<ToolProcess>("/usr/bin/ffmpeg", Words(kSender, names), s_dir->path());
      run->recorder =
          std::make_unique<ToolProcess>(kRecordProgram, Words(kRecorder, names), s_dir->path());
    }
    for (Session* run : {s_fast, s_slow}) {
      ASSERT_EQ(run->recorder->Wait(std::chrono::seconds(120)), 0)
          << run->recorder->Stdout() << run->recorder->Stderr();
      boost::property_tree::read_json(run->out + ".json", run->summary);
    }
  }
  static void TearDownTestSuite() {
    delete s_fast;
    delete s_slow;
    delete s_dir;
  }
  void SetUp() override {
    ASSERT_FALSE(s_fast->summary.empty());
    ASSERT_FALSE(s_slow->summary.empty());
  }

  static TestAppDir* s_dir;
  static Session* s_fast;
  static Session* s_slow;
};

TestAppDir* ClockDriftRecordTest::s_dir = nullptr;
Session* ClockDriftRecordTest::s_fast = nullptr;
Session* ClockDriftRecordTest::s_slow = nullptr;

TEST_F(ClockDriftRecordTest,
       TheSoundOfAFastOrSlowSourceStaysWithItsPicturesInEveryFileOfTheSessionsLength) {
  auto sound = [](const ProbedFile& file) {
    return *std::find_if(file.streams.begin(), file.streams.end(),
                         [](const ProbedStream& stream) { return stream.sampleRate > 0; });
  };
  for (const Session* run : {s_fast, s_slow}) {
    const std::string& out = run->out;
    const ProbedFile director = ProbeFile(out + "/director.mp4", true);
    const ProbedFile multi = ProbeFile(out + "/导播多流.mp4", true);
    const ProbedFile camera = ProbeFile(out + "/camera0.mp4", true);
    const ProbedFile wav = ProbeFile(out + "/sound.wav", true);
    ExpectBeepsWithFlashes(Flashes(director.streams.at(0)), Beeps(sound(director)),
                           out + " director.mp4");
    ExpectBeepsWithFlashes(Flashes(multi.streams.at(0)), Beeps(sound(multi)),
                           out + " multi-stream");
    ExpectBeepsWithFlashes(Flashes(camera.streams.at(0)), Beeps(wav.streams.at(0)),
                           out + " camera0.mp4 and sound.wav");
    // The source's drift as measured: seconds it gains a second, 0.5 % either way.
    for (const auto& [unused, sink] : run->summary.get_child("sinks"))
      if (sink.get<std::string>("name") == "sound") {
        EXPECT_NEAR(sink.get<double>("clockDrift"), run == s_fast ? -0.005 : 0.005, 0.0015) << out;
      }
    // Every file lasts the session, as the summary says.
    EXPECT_NE(run->recorder->Stdout().find("Every file is good"), std::string::npos) << out;
    const double seconds = run->summary.get<double>("seconds");
    EXPECT_NEAR(seconds, kSession, 0.5);
    for (const auto& [unused, file] : run->summary.get_child("files"))
      for (const char* length : {"pictureSeconds", "soundSeconds"}) {
        const std::string value = file.get<std::string>(length, "null");
        EXPECT_TRUE(value == "null" ||
                    std::abs(std::stod(value) - seconds) < 1.5 * kPicture + 0.001)
            << file.get<std::string>("path") << " " << length << " " << value;
      }
  }
}

TEST_F(ClockDriftRecordTest, AFileThatEndsIsALossAndAReturnInAFileOfTheSessionsLength) {
  boost::property_tree::ptree camera;
  for (const auto& [unused, sink] : s_fast->summary.get_child("sinks"))
    if (sink.get<std::string>("name") == "camera1")
      camera = sink;
  // It ends at 7 s of its own, is played again within a second, and so on.
  const auto losses = camera.get_child("signalLosses", {});
  ASSERT_GE(losses.size(), 3u) << s_fast->recorder->Stdout();
  const ProbedStream video = ProbeFile(s_fast->out + "/camera1.mp4", true).streams.at(0);
  for (const auto& [unused, loss] : losses) {
    const double lostAt = loss.get<double>("lostAt");
    const std::string back = loss.get<std::string>("backAt");
    if (back == "null") {
      EXPECT_GT(lostAt, kSession - 1);  // it ended as the session did
      continue;
    }
    EXPECT_LT(std::stod(back) - lostAt, 1.0);
    // No-signal pictures stood in while it was away.
    bool standIn = false;
    for (size_t i = 0; i < video.pictures.size(); ++i)
      standIn |= video.pictureSeconds[i] >= lostAt - kPicture &&
                 video.pictureSeconds[i] <= std::stod(back) && IsNoSignalPicture(video.pictures[i]);
    EXPECT_TRUE(standIn) << "lost at " << lostAt;
  }
  EXPECT_NEAR(video.endSeconds, s_fast->summary.get<double>("seconds"), 1.5 * kPicture + 0.001);
}

}  // namespace
