// The console's page in a real browser (headless Chromium), against a console with sixteen
// named cameras made up in memory: every tile and its name on a laptop's screen and on a
// phone's, read back from screenshots; the thumbnails and their colours, a click that puts
// a camera on program with its tally, a mark by key, and the Stop button with its
// confirmation.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "BrowserRun.h"
#include "ConsoleTestSupport.h"
#include "ToolProcess.h"
#include "common/TestAppDir.h"

namespace {

using namespace sorvo::test;

TEST(ConsoleBrowserTest, ThePageShowsTheCamerasSwitchesMarksAndStops) {
  TestAppDir dir;
  const std::vector<std::string> names = {"stage",   "wide",    "pulpit", "organ", "choir", "door",
                                          "balcony", "lectern", "crane",  "jib",   "drone", "aisle",
                                          "font",    "piano",   "band",   "crowd"};
  std::string list;
  for (const std::string& name : names)
    list += (list.empty() ? "" : ",") + name;
  // A session hours long: the page comes to a cut of 10,000 shots.
  ToolProcess demo(SORVO_CONSOLE_DEMO_PROGRAM,
                   {"--seconds", "600", "--names", list, "--cut", "10000"}, dir.path());
  ASSERT_TRUE(demo.WaitForOutput("Console: ", std::chrono::seconds(60))) << demo.Stderr();
  const std::string url = FindConsoleUrl(demo.Stdout()).url;
  ASSERT_FALSE(url.empty()) << demo.Stdout();

  std::filesystem::create_directories(SORVO_ARTIFACTS_DIR);
  const std::string artifacts = SORVO_ARTIFACTS_DIR;
  const std::vector<std::array<int, 2>> sizes = {{1280, 800}, {390, 844}};
  BrowserRun browser(
      url,
      {"--cameras", "16", "--fit", "1280x800=" + artifacts + "/console-16-laptop.png",
       "390x844=" + artifacts + "/console-16-phone.png", "--click", "2", "--mark", "first goal",
       "--screenshot", artifacts + "/console-16-long-cut.png", "--stop-button"},
      dir.path());
  const nlohmann::json result = browser.Finish();
  ASSERT_TRUE(result.is_object()) << browser.Output();
  EXPECT_FALSE(result.contains("failure")) << result.dump(2) << browser.Output();
  EXPECT_EQ(demo.Wait(std::chrono::seconds(60)), 0) << demo.Stderr();
  EXPECT_NE(demo.Stdout().find("Session ended."), std::string::npos);

  // Every tile whole in the window, its name whole and drawn in the screenshot.
  ASSERT_EQ(result["fit"].size(), sizes.size()) << result.dump(2);
  for (size_t i = 0; i < sizes.size(); ++i) {
    const nlohmann::json& fit = result["fit"][i];
    EXPECT_EQ(fit["width"], sizes[i][0]);
    EXPECT_EQ(fit["height"], sizes[i][1]);
    ASSERT_EQ(fit["names"].size(), names.size()) << fit.dump();
    for (size_t camera = 0; camera < names.size(); ++camera) {
      const nlohmann::json& tile = fit["names"][camera];
      EXPECT_EQ(tile["text"], names[camera]);
      EXPECT_TRUE(tile["whole"].get<bool>()) << tile;
      for (const char* box : {"name", "tile"}) {
        EXPECT_GE(tile[box][0].get<double>(), 0) << tile;
        EXPECT_GE(tile[box][1].get<double>(), 0) << tile;
        EXPECT_LE(tile[box][2].get<double>(), sizes[i][0]) << tile;
        EXPECT_LE(tile[box][3].get<double>(), sizes[i][1]) << tile;
      }
      EXPECT_GT(tile["lightPixels"].get<int>(), 15) << tile;
    }
  }

  // The demo's first cameras: red, green, blue.
  const std::vector<std::vector<int>> colours = {{200, 40, 40}, {40, 170, 60}, {40, 80, 210}};
  ASSERT_EQ(result["colours"].size(), names.size()) << result.dump(2);
  for (size_t camera = 0; camera < 3; ++camera)
    EXPECT_LT(ColourDistance(result["colours"][camera], colours[camera]), 25)
        << camera << ": " << result["colours"][camera];
  EXPECT_LT(ColourDistance(result["programColourBefore"], colours[0]), 25);
  EXPECT_LT(ColourDistance(result["programColourAfter"], colours[2]), 25);
  EXPECT_EQ(result["mark"]["label"], "first goal");
  EXPECT_EQ(result["cutShots"], 10001);
  EXPECT_NE(result.value("cutLine", "").find("#10001 5:33:"), std::string::npos)
      << result["cutLine"];
  EXPECT_NE(result.value("cutLine", "").find("pulpit (camera 2)"), std::string::npos)
      << result["cutLine"];
  EXPECT_EQ(result["state"], "ended");
  EXPECT_NE(result.value("banner", "").find("The session has ended"), std::string::npos);
  // After the console went away the page stayed as it was, without an error.
  EXPECT_EQ(result["stateAfterClose"], "ended");
  EXPECT_EQ(SevereLogEntries(result), "");
}

}  // namespace
