#include "tools/recover/RecoveryWriter.h"

#include <vector>

#include "tools/common/Mp4Output.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace sorvo::tools {
namespace {

// One stream's packets on their way into the file.
struct Lane {
  int index = 0;  // in the output
  const std::vector<PlannedPacket>* packets = nullptr;
  PacketSource* source = nullptr;
  AVRational tickLength{1, 25};
  size_t next = 0;

  bool done() const { return next >= packets->size(); }
  int64_t tick() const { return (*packets)[next].tick; }
};

}  // namespace

bool WriteRecovery(const RecoveryPlan& plan,
                   PacketSource* video,
                   PacketSource* sound,
                   const std::string& path,
                   std::string* error) {
  Mp4Output output(path);
  std::vector<Lane> lanes;
  for (const VideoPlan& stream : plan.video) {
    if (stream.packets.empty())
      continue;
    Lane lane;
    lane.index = output.AddVideo(stream.width, stream.height, stream.frameRate, stream.config);
    lane.packets = &stream.packets;
    lane.source = video;
    lane.tickLength = AVRational{1, stream.frameRate};
    lanes.push_back(lane);
  }
  if (!plan.sound.frames.empty()) {
    const Mp3FrameHeader& format = plan.sound.format;
    Lane lane;
    lane.index = output.AddMp3(format.sampleRate, format.channels, format.samples);
    lane.packets = &plan.sound.frames;
    lane.source = sound;
    lane.tickLength = AVRational{format.samples, format.sampleRate};
    lanes.push_back(lane);
  }
  if (!output.Open()) {
    *error = output.error();
    return false;
  }
  for (;;) {
    // The packet shown first goes next; of equal times, the earlier stream's.
    Lane* earliest = nullptr;
    for (Lane& lane : lanes) {
      if (lane.done())
        continue;
      if (earliest == nullptr ||
          av_compare_ts(lane.tick(), lane.tickLength, earliest->tick(), earliest->tickLength) < 0)
        earliest = &lane;
    }
    if (earliest == nullptr)
      break;
    const PlannedPacket& packet = (*earliest->packets)[earliest->next++];
    const uint8_t* bytes = nullptr;
    if (!earliest->source->Bytes(packet, &bytes)) {
      *error = "the input changed while it was read: a packet could not be read again";
      return false;
    }
    if (!output.Write(earliest->index, bytes, packet.size, packet.key, packet.tick)) {
      *error = output.error();
      return false;
    }
  }
  if (!output.Finish()) {
    *error = output.error();
    return false;
  }
  return true;
}

}  // namespace sorvo::tools
