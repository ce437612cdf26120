#include "tools/record/disk/SessionByteRate.h"

#include <algorithm>
#include <filesystem>

#include "tools/common/TextTable.h"
#include "tools/record/publish/PublishSettings.h"
#include "tools/record/publish/PublishTarget.h"
#include "tools/record/sources/SoundFormat.h"

namespace sorvo::tools {
namespace {

// An MP4's boxes and index, a private stream record's framing and header, a transport
// stream's packet headers: a little over the streams' own rates, erring high.
constexpr double kMp4Overhead = 1.02;
constexpr double kPrivateOverhead = 1.03;
constexpr double kTransportOverhead = 1.10;
// A live HLS playlist keeps six segments, with the one being written and one just dropped.
constexpr double kHlsSegmentsHeld = 8;
// A regular MP4's index takes a size, a time and a chunk entry for each sample, about 12
// bytes; a few more are kept.
constexpr double kIndexBytesPerSample = 16;
// The sound's frames of 1,152 samples.
constexpr double kSoundFramesPerSecond = kSoundRate / 1152.0;
// The library's MP3 is asked for as many bits a second as its PCM has bytes.
constexpr double kPcmBytesPerSecond = kSoundRate * kSoundChannels * kSoundBytesPerSample;
constexpr double kMp3BytesPerSecond = kPcmBytesPerSecond / 8;

std::string Count(int count, const std::string& one, const std::string& many) {
  return count == 1 ? one : std::to_string(count) + " " + many;
}

}  // namespace

double DiskNeed::BytesPerSecond() const {
  double total = 0;
  for (const OutputRate& output : outputs)
    total += output.bytesPerSecond;
  return total;
}

double DiskNeed::FixedBytes() const {
  double total = 0;
  for (const OutputRate& output : outputs)
    total += output.fixedBytes;
  return total;
}

double DiskNeed::SecondsLeft() const {
  const double rate = BytesPerSecond();
  if (rate <= 0)
    return -1;
  return std::max(0.0, (static_cast<double>(space.freeBytes) - FixedBytes()) / rate);
}

std::string DiskNeed::OutputsText() const {
  std::string text;
  for (const OutputRate& output : outputs)
    text += (text.empty() ? "" : ", ") + output.what +
            (output.bytesPerSecond > 0
                 ? " at " + FormatBytes(static_cast<long long>(output.bytesPerSecond)) + "/s"
                 : " holding " + FormatBytes(static_cast<long long>(output.fixedBytes)));
  return text;
}

std::vector<DiskNeed> SessionDiskNeeds(const RecordOptions& options,
                                       const std::string& outDir,
                                       const std::string& streamFolder,
                                       std::string* error) {
  error->clear();
  const int cameras = static_cast<int>(options.CameraSources().size());
  const bool sound = options.audio != "none";
  const double video = options.bitrate / 8.0;
  const double mp3 = sound ? kMp3BytesPerSecond : 0;
  std::vector<std::pair<std::string, OutputRate>> outputs;
  auto add = [&](const std::string& folder, const std::string& what, double bytesPerSecond) {
    outputs.push_back({folder, {what, bytesPerSecond}});
  };
  add(outDir, Count(cameras, "the camera's MP4", "camera MP4s"), cameras * video * kMp4Overhead);
  add(outDir, "the director's MP4", (video + (options.programSound ? mp3 : 0)) * kMp4Overhead);
  const int inMultiStream = std::min(cameras, RecordOptions::kMultiStreamCameras);
  add(outDir, "the multi-stream file", (inMultiStream * video + mp3) * kMp4Overhead);
  if (sound)
    add(outDir, "the sound (WAV)", kPcmBytesPerSecond);
  if (options.privateStream)
    add(streamFolder, Count(cameras, "the private stream file", "private stream files"),
        cameras * video * kPrivateOverhead);
  if (options.saveStream)
    add(streamFolder, std::to_string(cameras + 1) + " raw stream files", (cameras + 1) * video);
  const PublishSettings publish;
  for (const std::string& text : options.publish) {
    PublishTarget target;
    std::string why;
    if (!ParsePublishTarget(text, &target, &why) || target.kind != PublishTarget::Kind::kHls)
      continue;
    const std::string folder = std::filesystem::path(target.url).parent_path().string();
    const double rate =
        (options.publishBitrate + (sound ? publish.soundBitrate : 0)) / 8.0 * kTransportOverhead;
    outputs.push_back(
        {folder.empty() ? "." : folder,
         {"publishing to " + target.shown, 0, rate * publish.keySeconds * kHlsSegmentsHeld}});
  }

  const double mp4Samples = (cameras + 1 + inMultiStream) * options.fps +
                            (sound ? (options.programSound ? 2 : 1) * kSoundFramesPerSecond : 0);
  std::vector<DiskNeed> needs;
  for (const auto& [folder, rate] : outputs) {
    FreeSpace space;
    if (!ReadFreeSpace(folder, &space)) {
      *error = "cannot read the free space of " + folder;
      continue;
    }
    auto same = std::find_if(needs.begin(), needs.end(), [&](const DiskNeed& need) {
      return need.space.device == space.device;
    });
    if (same == needs.end()) {
      needs.push_back({folder, space, {}});
      same = needs.end() - 1;
    }
    same->outputs.push_back(rate);
  }
  if (!needs.empty() && needs[0].folder == outDir)
    needs[0].closingBytesPerSecond = mp4Samples * kIndexBytesPerSample;
  return needs;
}

}  // namespace sorvo::tools
