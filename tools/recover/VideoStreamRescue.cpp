#include "tools/recover/VideoStreamRescue.h"

#include <cmath>
#include <utility>

#include "tools/common/Mpeg4Bitstream.h"
#include "tools/common/Mpeg4Headers.h"
#include "tools/common/TextTable.h"

namespace sorvo::tools {
namespace {

constexpr int kGuessedRate = 25;

}  // namespace

VideoStreamRescue::VideoStreamRescue(int forcedRate, std::string name, Doubts* doubts)
    : m_forcedRate(forcedRate), m_name(std::move(name)), m_doubts(doubts) {}

bool VideoStreamRescue::Decodes(const uint8_t* data, size_t size, bool key) {
  if (!started() && !key)
    return false;
  return m_check.Decode(data, size) == PictureCheck::Result::kClean;
}

void VideoStreamRescue::Start(const uint8_t* data, size_t size) {
  m_plan.config = Mpeg4DecoderConfig(data, size);
  m_plan.width = m_check.width();
  m_plan.height = m_check.height();
  if (m_forcedRate > 0) {
    m_plan.frameRate = m_forcedRate;
    m_plan.rateSource = "--fps";
    return;
  }
  Mpeg4Vol vol;
  const double declared =
      ParseMpeg4Vol(m_plan.config.data(), m_plan.config.size(), &vol) ? vol.DeclaredRate() : 0;
  const long rounded = std::lround(declared);
  if (rounded >= kLowestFrameRate && rounded <= kHighestFrameRate) {
    m_plan.frameRate = static_cast<int>(rounded);
    m_plan.rateSource = "the stream's headers";
    return;
  }
  m_plan.frameRate = kGuessedRate;
  m_plan.rateSource = "a guess";
  m_doubts->Add(m_name + ": its headers declare " +
                (declared > 0 ? FormatFixed(declared, 2) + " pictures per second"
                              : std::string("no frame rate")) +
                ", not " + std::to_string(kLowestFrameRate) + " to " +
                std::to_string(kHighestFrameRate) + "; timed at " + std::to_string(kGuessedRate) +
                " per second (--fps sets the rate)");
}

void VideoStreamRescue::Keep(const uint8_t* data,
                             size_t size,
                             size_t offset,
                             bool key,
                             int64_t tick) {
  if (!started())
    Start(data, size);
  m_plan.packets.push_back(PlannedPacket{offset, size, tick, key});
}

void VideoStreamRescue::LeaveOut(bool key) {
  if (!started() && !key)
    ++m_plan.beforeKeyFrame;
  else
    ++m_plan.damaged;
}

void VideoStreamRescue::Offer(const uint8_t* data,
                              size_t size,
                              size_t offset,
                              bool key,
                              int64_t tick) {
  if (Decodes(data, size, key))
    Keep(data, size, offset, key, tick);
  else
    LeaveOut(key);
}

}  // namespace sorvo::tools
