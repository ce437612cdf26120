// sorvo-record --preview on a real X server (run under Xvfb): the director's and every
// camera's window open side by side, each in a tile of the screen, none covering another.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/TestAppDir.h"

// Last: Xlib defines macros that clash with the headers above.
#include "common/XServerWindows.h"

namespace {

using namespace sorvo::test;
using std::chrono::seconds;

bool Overlap(const XServer::Geometry& a, const XServer::Geometry& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
         b.y < a.y + a.height;
}

TEST(RecordWindowTest, PreviewWindowsOpenSideBySideOnTheScreen) {
  XServer server;
  ASSERT_TRUE(server.Connected()) << "no X server: run under xvfb-run";
  TestAppDir dir;
  const int base = FreePortBase(10);
  ASSERT_GT(base, 0);
  ToolProcess recorder(kRecordProgram,
                       {"--seconds", "0", "--fps", "10", "--preview", "--camera", "test:320x240",
                        "--camera", "test:256x144", "--director", "320x180", "--audio", "none",
                        "--ports", std::to_string(base), "--out", dir.File("session")},
                       dir.path());
  ASSERT_TRUE(recorder.WaitForOutput("Recording into", seconds(60))) << recorder.Stderr();

  // The windows open as the sinks start, and take their pictures' size with the first
  // picture: every one must sit apart from the others whatever its size is at the moment.
  const std::vector<std::string> titles = {"director -- 本地解码预览", "camera0 -- 本地解码预览",
                                           "camera1 -- 本地解码预览"};
  std::vector<XServer::Geometry> seen;
  const auto deadline = std::chrono::steady_clock::now() + seconds(60);
  while (seen.size() < titles.size() && std::chrono::steady_clock::now() < deadline) {
    seen.clear();
    for (const std::string& title : titles) {
      const std::optional<Window> window = server.FindWindow(title);
      const std::optional<XServer::Geometry> geometry =
          window ? server.GeometryOf(*window) : std::nullopt;
      if (geometry) seen.push_back(*geometry);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(seen.size(), titles.size()) << recorder.Stdout() << recorder.Stderr();
  const int screenWidth = DisplayWidth(server.display(), DefaultScreen(server.display()));
  const int screenHeight = DisplayHeight(server.display(), DefaultScreen(server.display()));
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(titles[i]);
    EXPECT_GE(seen[i].x, 0);
    EXPECT_GE(seen[i].y, 0);
    EXPECT_LE(seen[i].x + seen[i].width, screenWidth);
    EXPECT_LE(seen[i].y + seen[i].height, screenHeight);
    for (size_t j = i + 1; j < seen.size(); ++j)
      EXPECT_FALSE(Overlap(seen[i], seen[j])) << "and " << titles[j];
  }

  recorder.Signal(SIGTERM);
  ASSERT_EQ(recorder.Wait(seconds(60)), 0) << recorder.Stdout() << recorder.Stderr();
  EXPECT_EQ(recorder.Stdout().find("no preview window can open"), std::string::npos);
  EXPECT_NE(recorder.Stdout().find("Every file is good"), std::string::npos) << recorder.Stdout();
}

}  // namespace
