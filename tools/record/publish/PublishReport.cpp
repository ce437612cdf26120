#include "tools/record/publish/PublishReport.h"

#include "tools/common/TextTable.h"

namespace sorvo::tools {

const char* StateName(PublishOutputStatus::State state) {
  switch (state) {
    case PublishOutputStatus::State::kConnecting:
      return "connecting";
    case PublishOutputStatus::State::kLive:
      return "live";
    case PublishOutputStatus::State::kRetrying:
      return "retrying";
    case PublishOutputStatus::State::kEnded:
      return "ended";
  }
  return "";
}

std::string PublishProgressText(const PublishStatus& status) {
  if (!status.active)
    return "";
  std::string text = "publish";
  long long gops = 0;
  for (size_t i = 0; i < status.outputs.size(); ++i) {
    const PublishOutputStatus& output = status.outputs[i];
    text += std::string(i == 0 ? " " : ", ") + output.scheme + " " + StateName(output.state);
    gops += output.gopsDropped;
  }
  if (gops > 0)
    text += ", " + FormatCount(gops) + " GOP" + (gops == 1 ? "" : "s") + " dropped";
  if (status.picturesSkipped > 0)
    text += ", " + FormatCount(status.picturesSkipped) + " pictures skipped";
  if (!status.encoderError.empty())
    text += ", encoder failed";
  return text;
}

void PrintPublishSummary(const PublishStatus& status, std::FILE* out) {
  if (!status.active)
    return;
  std::fprintf(out,
               "\nPublished (H.264 and AAC): %s program pictures encoded, %s skipped (the "
               "encoder busy), %s s of sound\n",
               FormatCount(status.picturesEncoded).c_str(),
               FormatCount(status.picturesSkipped).c_str(),
               FormatFixed(status.soundSeconds, 1).c_str());
  if (!status.encoderError.empty())
    std::fprintf(out, "  the encoder failed: %s\n", status.encoderError.c_str());
  TextTable table({{"destination"},
                   {"at the end"},
                   {"connections", true},
                   {"lost", true},
                   {"without connection", true},
                   {"GOPs dropped", true},
                   {"pictures dropped", true},
                   {"sent", true}});
  for (const PublishOutputStatus& output : status.outputs) {
    const std::string end = output.endedLive  ? "closed properly"
                            : output.everLive ? "not connected"
                                              : "never connected";
    table.AddRow(
        {output.shown, end, FormatCount(output.connects), FormatCount(output.losses),
         FormatFixed(output.secondsDown, 1) + " s", FormatCount(output.gopsDropped),
         FormatCount(output.picturesDropped) + " (" + FormatFixed(output.secondsDropped, 1) + " s)",
         FormatBytes(output.bytesSent)});
  }
  table.Print(out);
  for (const PublishOutputStatus& output : status.outputs)
    if (!output.lastError.empty())
      std::fprintf(out, "  %s: last failure: %s\n", output.shown.c_str(), output.lastError.c_str());
}

Json PublishJson(const PublishStatus& status) {
  Json outputs = Json::array();
  for (const PublishOutputStatus& output : status.outputs)
    outputs.push_back({{"destination", output.shown},
                       {"scheme", output.scheme},
                       {"state", StateName(output.state)},
                       {"endedLive", output.endedLive},
                       {"connects", output.connects},
                       {"failedConnects", output.failedConnects},
                       {"losses", output.losses},
                       {"secondsWithoutConnection", output.secondsDown},
                       {"gopsDropped", output.gopsDropped},
                       {"picturesDropped", output.picturesDropped},
                       {"secondsDropped", output.secondsDropped},
                       {"packetsSent", output.packetsSent},
                       {"bytesSent", output.bytesSent},
                       {"lastError", output.lastError}});
  return {{"picturesIn", status.picturesIn},           {"picturesEncoded", status.picturesEncoded},
          {"picturesSkipped", status.picturesSkipped}, {"picturesLeftOut", status.picturesLeftOut},
          {"soundSeconds", status.soundSeconds},       {"soundSkippedSeconds", status.soundSkipped},
          {"encoderError", status.encoderError},       {"outputs", std::move(outputs)}};
}

}  // namespace sorvo::tools
