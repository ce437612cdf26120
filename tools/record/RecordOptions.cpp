#include "tools/record/RecordOptions.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "tools/common/CommandLine.h"
#include "tools/common/PictureSizeText.h"

namespace sorvo::tools {
namespace {

// "WxH" within the sizes the director sink takes.
std::string CheckDirectorSize(const std::string& text) {
  int width = 0;
  int height = 0;
  if (!ParsePictureSize(text, &width, &height)) return "must be WIDTHxHEIGHT, e.g. 1280x720";
  if (width < 101 || width > 4999 || height < 101 || height > 4999)
    return "width and height must lie between 101 and 4999";
  return "";
}

std::string CheckColour(const std::string& text) {
  const std::string digits = !text.empty() && text[0] == '#' ? text.substr(1) : text;
  const bool hex = digits.size() == 6 && std::all_of(digits.begin(), digits.end(), [](char c) {
                     return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                   });
  return hex ? "" : "must be six hexadecimal digits RRGGBB";
}

}  // namespace

std::vector<std::string> RecordOptions::CameraSources() const {
  if (!cameras.empty()) return cameras;
  return {"test:1280x720:bgr24", "test:640x480:bgr24", "test:800x600:yuv420p"};
}

int ParseRecordOptions(int argc, char** argv, RecordOptions* options) {
  CLI::App app{
      "Records a multi-camera session: one MP4 per camera, a director's cut switching\n"
      "between the cameras, one multi-stream MP4 with every camera and the sound, and a WAV\n"
      "file; every camera, the director and the sound are also served on TCP ports.\n"
      "Keys on a terminal: 0-4 show that camera in the director's cut, q stops.",
      "sorvo-record"};
  app.get_formatter()->column_width(34);

  std::string director = "1280x720";
  std::string zoom = "fit";
  std::string border = "000000";
  app.add_option("--camera", options->cameras,
                 "A camera, repeatable (up to 5): test[:WxH[:bgr24|rgb24|bgra|yuv420p|gray]], a "
                 "video file, a V4L2 device such as /dev/video0, or FORMAT:INPUT for any FFmpeg "
                 "input format (e.g. lavfi:testsrc2). Default: three test cameras, 1280x720 "
                 "BGR24, 640x480 BGR24, 800x600 YUV 4:2:0")
      ->type_name("SOURCE");
  app.add_option("--audio", options->audio,
                 "Sound: tone, none, a media file, or alsa:DEVICE (e.g. alsa:default)")
      ->type_name("SOURCE")
      ->capture_default_str();
  app.add_option("--seconds", options->seconds, "Length of the recording; 0 records until stopped")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--fps", options->fps, "Pictures per second of the test cameras and the director")
      ->check(CLI::Range(1, 35))
      ->capture_default_str();
  app.add_option("--bitrate", options->bitrate, "Video bit rate of every stream, bits per second")
      ->check(CLI::Range(101, 134217727))
      ->capture_default_str();
  app.add_option("--director", director, "Size of the director's cut")
      ->type_name("WxH")
      ->check(CheckDirectorSize)
      ->capture_default_str();
  app.add_option("--zoom", zoom,
                 "How a camera fills the director's cut: stretch, or fit (keeps its shape, "
                 "borders filled)")
      ->check(CLI::IsMember({"stretch", "fit"}))
      ->capture_default_str();
  app.add_option("--border", border, "Border colour for --zoom fit")
      ->type_name("RRGGBB")
      ->check(CheckColour)
      ->capture_default_str();
  app.add_option("--switch-every", options->switchEvery,
                 "Seconds between automatic camera switches; 0 switches only by key")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--ports", options->portBase,
                 "First port: cameras serve on BASE+1 and up, the sound on BASE+10 (the "
                 "director serves on 8050 whatever the base)")
      ->type_name("BASE")
      ->check(CLI::Range(1024, 65524))
      ->capture_default_str();
  app.add_flag("--preview", options->preview, "Show every camera and the director in a window");
  app.add_flag("--private-stream", options->privateStream,
               "Also write each camera's framed private stream file (<app dir>/PrivateRawStream)");
  app.add_flag("--save-stream", options->saveStream,
               "Also save each sink's bare MPEG-4 stream (<app dir>/RawStream)");
  app.add_option("--out", options->out,
                 "Folder for the session's files (default: ./recordings/<local time>)")
      ->type_name("DIR");
  app.add_option("--json", options->json, "Also write the summary as JSON to FILE")
      ->type_name("FILE");

  const int parsed = ParseCommandLine(app, argc, argv);
  if (parsed >= 0) return parsed;
  if (options->cameras.size() > static_cast<size_t>(RecordOptions::kMaxCameras)) {
    std::fprintf(stderr, "sorvo-record: at most %d cameras can be recorded (keys 0 to 4)\n",
                 RecordOptions::kMaxCameras);
    return 2;
  }
  ParsePictureSize(director, &options->directorWidth, &options->directorHeight);
  options->zoomFit = zoom == "fit";
  options->borderRgb = static_cast<unsigned>(std::stoul(border.substr(border[0] == '#'), nullptr, 16));
  return -1;
}

}  // namespace sorvo::tools
