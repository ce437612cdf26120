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

void WritePublishJson(const PublishStatus& status, JsonWriter& json) {
  if (!status.active)
    return;
  json.Key("publish").BeginObject();
  json.Key("picturesIn").Integer(status.picturesIn);
  json.Key("picturesEncoded").Integer(status.picturesEncoded);
  json.Key("picturesSkipped").Integer(status.picturesSkipped);
  json.Key("picturesLeftOut").Integer(status.picturesLeftOut);
  json.Key("soundSeconds").Number(status.soundSeconds);
  json.Key("soundSkippedSeconds").Number(status.soundSkipped);
  json.Key("encoderError").String(status.encoderError);
  json.Key("outputs").BeginArray();
  for (const PublishOutputStatus& output : status.outputs) {
    json.BeginObject();
    json.Key("destination").String(output.shown);
    json.Key("scheme").String(output.scheme);
    json.Key("state").String(StateName(output.state));
    json.Key("endedLive").Bool(output.endedLive);
    json.Key("connects").Integer(output.connects);
    json.Key("failedConnects").Integer(output.failedConnects);
    json.Key("losses").Integer(output.losses);
    json.Key("secondsWithoutConnection").Number(output.secondsDown);
    json.Key("gopsDropped").Integer(output.gopsDropped);
    json.Key("picturesDropped").Integer(output.picturesDropped);
    json.Key("secondsDropped").Number(output.secondsDropped);
    json.Key("packetsSent").Integer(output.packetsSent);
    json.Key("bytesSent").Integer(output.bytesSent);
    json.Key("lastError").String(output.lastError);
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
}

}  // namespace sorvo::tools
