// Two recorders in a chain, as capture machines feed a director's machine: the second takes
// the first one's cameras at sorvo://, records them and directs them. Its camera files hold
// the first one's packets byte for byte (no second encoding), and the counters they show
// are the first one's pictures; the first stopped and started again is a loss and a return.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DrawnLabel.h"
#include "LiveSourceSupport.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"

namespace {

using namespace sorvo::test;
using std::chrono::seconds;

constexpr int kPortSpan = 10;

std::vector<std::string> FirstRecorderArgs(int base, const std::string& out) {
  return {"--seconds",  "0",       "--camera", "test:320x240", "--camera", "test:256x192:yuv420p",
          "--director", "320x240", "--audio",  "none",         "--ports",  std::to_string(base),
          "--out",      out};
}

// Each of `ports` has one listening socket, on 127.0.0.1 ("0100007F"), that greets a client.
void ExpectServedOnLoopbackOnly(const std::vector<int>& ports) {
  std::multiset<int> loopback, elsewhere;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream lines(ReadWholeFile(table));
    for (std::string line, slot, local, remote, state; std::getline(lines, line);)
      if (std::istringstream(line) >> slot >> local >> remote >> state && state == "0A")
        (local.rfind("0100007F:", 0) == 0 ? loopback : elsewhere)
            .insert(std::stoi(local.substr(local.find(':') + 1), nullptr, 16));
  }
  for (int port : ports) {
    const auto listeners = std::make_pair(loopback.count(port), elsewhere.count(port));
    EXPECT_EQ(listeners, (std::pair<size_t, size_t>(1, 0))) << port;  // (loopback, elsewhere)
    EXPECT_EQ(LoopbackClient(static_cast<unsigned short>(port)).Read(80).size(), 80u) << port;
  }
}

// The counters of a camera's file, in order.
std::set<int> Counters(const std::string& path) {
  const ProbedFile file = ProbeFile(path, /*keepPictures=*/true);
  std::set<int> counters;
  EXPECT_EQ(file.streams.size(), 2u) << path;  // the pictures and their timecode track
  if (file.streams.empty())
    return counters;
  for (const Picture& picture : file.streams[0].pictures)
    counters.insert(DrawnCounter(picture));
  return counters;
}

// Where `chained` from `from` on holds `source`'s packets as they are: the first index of
// `chained` at or after `from` found in `source`, and how many in a row are the same.
std::pair<size_t, size_t> SameRun(const std::vector<std::string>& chained,
                                  size_t from,
                                  const std::vector<std::string>& source) {
  for (size_t start = from; start < chained.size(); ++start) {
    const auto found = std::find(source.begin(), source.end(), chained[start]);
    if (found == source.end())
      continue;
    size_t run = 0;
    const size_t at = found - source.begin();
    while (start + run < chained.size() && at + run < source.size() &&
           chained[start + run] == source[at + run])
      ++run;
    return {start, run};
  }
  return {chained.size(), 0};
}

TEST(SorvoChainTest, ARecorderRecordsAnothersCamerasAndOutlastsItsRestart) {
  TestAppDir dir;
  const int firstBase = FreePortBase(kPortSpan);
  ASSERT_GT(firstBase, 0);
  auto first = std::make_unique<ToolProcess>(
      kRecordProgram, FirstRecorderArgs(firstBase, dir.File("first-a")), dir.path());
  ASSERT_TRUE(first->WaitForOutput("1.0 s |", seconds(60))) << first->Stdout();

  const int secondBase = FreePortBase(kPortSpan);
  ASSERT_GT(secondBase, 0);
  const std::string out = dir.File("second");
  const std::string json = dir.File("second.json");
  const std::string from = "sorvo://127.0.0.1:";
  ToolProcess second(
      kRecordProgram,
      {"--seconds", "0", "--camera", from + std::to_string(firstBase + 1), "--camera",
       from + std::to_string(firstBase + 2), "--director", "320x240", "--switch-every", "1",
       "--audio", "none", "--ports", std::to_string(secondBase), "--out", out, "--json", json},
      dir.path());
  ASSERT_TRUE(second.WaitForOutput("3.0 s |", seconds(60))) << second.Stdout();
  // Side by side on one machine, each recorder on ports of its own, on loopback only.
  ExpectServedOnLoopbackOnly(
      {firstBase, firstBase + 1, firstBase + 2, secondBase, secondBase + 1, secondBase + 2});
  EXPECT_NE(second.Stdout().find("(Sorvo stream, 320x240, 25/s)"), std::string::npos)
      << second.Stdout();

  // The first recorder stops; the second records its cameras on no signal.
  first->Signal(SIGTERM);
  ASSERT_EQ(first->Wait(seconds(120)), 0) << first->Stdout() << first->Stderr();
  ASSERT_TRUE(second.WaitForOutput("camera0: signal lost at", seconds(30))) << second.Stdout();
  ASSERT_TRUE(second.WaitForOutput("camera1: signal lost at", seconds(30))) << second.Stdout();
  // Started again on the same ports, it is back.
  first = std::make_unique<ToolProcess>(
      kRecordProgram, FirstRecorderArgs(firstBase, dir.File("first-b")), dir.path());
  ASSERT_TRUE(second.WaitForOutput("camera0: signal back at", seconds(60))) << second.Stdout();
  ASSERT_TRUE(second.WaitForOutput("camera1: signal back at", seconds(60))) << second.Stdout();
  std::this_thread::sleep_for(seconds(2));
  second.Signal(SIGTERM);
  ASSERT_EQ(second.Wait(seconds(120)), 0) << second.Stdout() << second.Stderr();
  first->Signal(SIGTERM);
  ASSERT_EQ(first->Wait(seconds(120)), 0) << first->Stdout() << first->Stderr();

  boost::property_tree::ptree summary;
  ASSERT_NO_THROW(boost::property_tree::read_json(json, summary));
  EXPECT_TRUE(summary.get<bool>("allGood"));
  for (const auto& sink : summary.get_child("sinks")) {
    const std::string name = sink.second.get<std::string>("name");
    if (name.rfind("camera", 0) != 0)
      continue;
    const auto& losses = sink.second.get_child("signalLosses");
    ASSERT_EQ(losses.size(), 1u) << name;
    EXPECT_EQ(losses.front().second.get<std::string>("why"), "the server closed the connection")
        << name;
    EXPECT_NE(losses.front().second.get<std::string>("backAt"), "null") << name;
  }

  EXPECT_NE(second.Stdout().find("its packets are recorded as received"), std::string::npos)
      << second.Stdout();
  for (int camera = 0; camera < 2; ++camera) {
    const std::string name = "/camera" + std::to_string(camera) + ".mp4";
    // The first run's packets from the second's first key frame to the first's end, then
    // (after the no-signal pictures it encodes itself) the second run's to its own end.
    const std::vector<std::string> chainedPackets = StreamPacketBytes(out + name, 0);
    const std::vector<std::string> firstRun = StreamPacketBytes(dir.File("first-a") + name, 0);
    ASSERT_FALSE(chainedPackets.empty()) << name;
    // Its own encoding fills in until the first key frame it received.
    const auto [start, run] = SameRun(chainedPackets, 0, firstRun);
    ASSERT_LE(start, 25u) << name;
    EXPECT_GE(run, 50u) << name;
    EXPECT_LE(firstRun.end() - std::find(firstRun.begin(), firstRun.end(), chainedPackets[start]),
              static_cast<long>(run) + 2)
        << name;
    const auto [back, runAfter] =
        SameRun(chainedPackets, start + run, StreamPacketBytes(dir.File("first-b") + name, 0));
    EXPECT_GE(runAfter, 25u) << name;
    EXPECT_GE(back + runAfter + 2, chainedPackets.size()) << name;

    const std::set<int> before = Counters(dir.File("first-a") + name);
    const std::set<int> after = Counters(dir.File("first-b") + name);
    const ProbedFile chained = ProbeFile(out + name, /*keepPictures=*/true);
    ASSERT_EQ(chained.streams.size(), 2u);
    const ProbedStream& video = chained.streams[0];
    EXPECT_EQ(video.decodeErrors, 0);
    EXPECT_EQ(video.width, camera == 0 ? 320 : 256);
    // The first run's pictures, the no-signal pictures, the second run's pictures; each
    // with a counter the first recorder drew in that run, in order, few left out.
    int segment = 0;
    int previous = -1;
    int counted = 0;
    for (size_t i = 0; i < video.pictures.size(); ++i) {
      const Picture& picture = video.pictures[i];
      if (IsNoSignalPicture(picture)) {
        if (segment == 0)
          segment = 1;
        EXPECT_EQ(segment, 1) << name << " picture " << i;
        continue;
      }
      if (segment == 1) {
        segment = 2;
        previous = -1;
      }
      const int counter = DrawnCounter(picture);
      ASSERT_GE(counter, 0) << name << " picture " << i;
      if (counter == previous)
        continue;  // a slot no picture came for repeats the one before
      EXPECT_EQ((segment == 0 ? before : after).count(counter), 1u)
          << name << " picture " << i << " counter " << counter;
      EXPECT_GT(counter, previous) << name << " picture " << i;
      // Few of the source's pictures left out (a source on a busy machine has gaps too).
      const std::set<int>& source = segment == 0 ? before : after;
      if (previous >= 0) {
        EXPECT_LE(std::distance(source.upper_bound(previous), source.lower_bound(counter)), 2)
            << name << " picture " << i;
      }
      previous = counter;
      ++counted;
    }
    EXPECT_EQ(segment, 2) << name;
    EXPECT_GE(counted, 50) << name;
  }
}

}  // namespace
