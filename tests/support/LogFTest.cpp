#include <gtest/gtest.h>

#include <string>

#include "common/LogCapture.h"
#include "support/LogF.h"

namespace {

using sorvo::test::LogCapture;

TEST(LogFTest, LongTextIsCutAt4095Characters) {
  LogCapture capture;
  const std::string big(5000, 'x');
  LogWarnF("%s", big.c_str());
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, SORVO_LOG_WARN);
  EXPECT_EQ(lines[0].text, std::string(4095, 'x'));
  EXPECT_EQ(lines[0].line, 0u);
  EXPECT_EQ(lines[0].code, 0);
}

TEST(LogFTest, EachLevelAndEmptyText) {
  LogCapture capture;
  LogDebugF("%s", "");
  LogInfoF("n=%d", 7);
  LogErrorF("创建多流文件成功:%s", "/a/导播多流.mp4");
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].level, SORVO_LOG_DEBUG);
  EXPECT_EQ(lines[0].text, "");
  EXPECT_EQ(lines[1].level, SORVO_LOG_INFO);
  EXPECT_EQ(lines[1].text, "n=7");
  EXPECT_EQ(lines[2].level, SORVO_LOG_ERROR);
  EXPECT_EQ(lines[2].text, "创建多流文件成功:/a/导播多流.mp4");
}

}  // namespace
