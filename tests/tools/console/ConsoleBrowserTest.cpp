// The console's page in a real browser (headless Chromium), against a console with cameras
// made up in memory: the thumbnails and their colours, a click that puts a camera on
// program with its tally, a mark by key, and the Stop button with its confirmation.
#include <gtest/gtest.h>

#include "BrowserRun.h"
#include "ConsoleTestSupport.h"
#include "ToolProcess.h"
#include "common/TestAppDir.h"

namespace {

using namespace sorvo::test;

TEST(ConsoleBrowserTest, ThePageShowsTheCamerasSwitchesMarksAndStops) {
  TestAppDir dir;
  ToolProcess demo(SORVO_CONSOLE_DEMO_PROGRAM, {"--seconds", "600"}, dir.path());
  ASSERT_TRUE(demo.WaitForOutput("Console: ", std::chrono::seconds(60))) << demo.Stderr();
  const std::string url = FindConsoleUrl(demo.Stdout()).url;
  ASSERT_FALSE(url.empty()) << demo.Stdout();

  BrowserRun browser(url, {"--click", "2", "--mark", "first goal", "--stop-button"}, dir.path());
  const nlohmann::json result = browser.Finish();
  ASSERT_TRUE(result.is_object()) << browser.Output();
  EXPECT_FALSE(result.contains("failure")) << result.dump(2) << browser.Output();
  EXPECT_EQ(demo.Wait(std::chrono::seconds(60)), 0) << demo.Stderr();
  EXPECT_NE(demo.Stdout().find("Session ended."), std::string::npos);

  // The demo's cameras: red, green, blue.
  const std::vector<std::vector<int>> colours = {{200, 40, 40}, {40, 170, 60}, {40, 80, 210}};
  ASSERT_EQ(result["colours"].size(), 3u) << result.dump(2);
  for (size_t camera = 0; camera < 3; ++camera)
    EXPECT_LT(ColourDistance(result["colours"][camera], colours[camera]), 25)
        << camera << ": " << result["colours"][camera];
  EXPECT_LT(ColourDistance(result["programColourBefore"], colours[0]), 25);
  EXPECT_LT(ColourDistance(result["programColourAfter"], colours[2]), 25);
  EXPECT_EQ(result["mark"]["label"], "first goal");
  EXPECT_EQ(result["state"], "ended");
  EXPECT_NE(result.value("banner", "").find("The session has ended"), std::string::npos);
  // After the console went away the page stayed as it was, without an error.
  EXPECT_EQ(result["stateAfterClose"], "ended");
  EXPECT_EQ(SevereLogEntries(result), "");
}

}  // namespace
