#include "tools/record/RecordOptions.h"

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <cctype>
#include <cstdio>

#include "tools/common/CommandLine.h"
#include "tools/common/PictureSizeText.h"
#include "tools/record/console/ConsoleAddress.h"
#include "tools/record/publish/PublishTarget.h"
#include "tools/record/sources/CameraSpec.h"
#include "tools/record/sources/SourceFactory.h"
#include "tools/record/tally/TallyTarget.h"

namespace sorvo::tools {
namespace {

// "WxH" within the sizes the director sink takes.
std::string CheckDirectorSize(const std::string& text) {
  int width = 0;
  int height = 0;
  if (!ParsePictureSize(text, &width, &height))
    return "must be WIDTHxHEIGHT, e.g. 1280x720";
  if (width < 101 || width > 4999 || height < 101 || height > 4999)
    return "width and height must lie between 101 and 4999";
  return "";
}

// The highest port a sink's server takes.
constexpr int kHighestPort = 65534;

std::string CheckCamera(const std::string& text) {
  CameraSpec spec;
  std::string error;
  if (!CameraSpec::Parse(text, &spec, &error))
    return error;
  return TestCameraProblem(spec.source);
}

std::string CheckColour(const std::string& text) {
  const std::string digits = !text.empty() && text[0] == '#' ? text.substr(1) : text;
  const bool hex = digits.size() == 6 && std::all_of(digits.begin(), digits.end(), [](char c) {
                     return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                   });
  return hex ? "" : "must be six hexadecimal digits RRGGBB";
}

// 2 -> "2", 0.5 -> "0.5": a default as the help shows it.
std::string FormatSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g", seconds);
  return text;
}

// `text` with every `placeholder` replaced by `value`.
std::string ReplaceAll(std::string text, const std::string& placeholder, const std::string& value) {
  for (size_t at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + value.size()))
    text.replace(at, placeholder.size(), value);
  return text;
}

constexpr char kMp4[] = ".mp4";

std::string CheckConsoleAddress(const std::string& text) {
  ConsoleAddress address;
  std::string error;
  return ParseConsoleAddress(text, &address, &error) ? "" : error;
}

// Goes into the console's URL as it stands, and must not be guessed.
std::string CheckConsoleToken(const std::string& text) {
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
  });
  if (text.size() < 16 || !plain)
    return "must be at least 16 letters, digits, '-', '_' or '.'";
  return "";
}

// A name could resolve to anything, also to an address of another network.
std::string CheckServeAddress(const std::string& text) {
  boost::system::error_code error;
  boost::asio::ip::make_address(text, error);
  return error ? "must be an IP address, e.g. 127.0.0.1, 0.0.0.0 or ::" : "";
}

// "HH:MM:SS" as seconds since midnight; -1 when it is not a time of day.
double ParseTimeOfDay(const std::string& text) {
  int hours = 0;
  int minutes = 0;
  int seconds = 0;
  char end = 0;
  if (text.size() != 8 ||
      std::sscanf(text.c_str(), "%2d:%2d:%2d%c", &hours, &minutes, &seconds, &end) != 3 ||
      hours > 23 || minutes > 59 || seconds > 59 || hours < 0 || minutes < 0 || seconds < 0)
    return -1;
  return hours * 3600.0 + minutes * 60.0 + seconds;
}

// Why the session cannot run on simulated time; empty when it can. Only sources that make
// their buffers when asked can be asked faster: a device, a network stream or a file
// played at its own rate would be recorded with times it was never at.
std::string SimulationProblem(const RecordOptions& options) {
  const std::vector<std::string> cameras = options.CameraSources();
  for (size_t i = 0; i < cameras.size(); ++i) {
    CameraSpec spec;
    std::string error;
    CameraSpec::Parse(cameras[i], &spec, &error);
    if (!IsTestCamera(spec.source))
      return "camera " + std::to_string(i) + " (" + spec.source +
             ") is a live source; simulated time is for test cameras only";
  }
  if (options.audio != "tone" && options.audio != "none")
    return "the sound (" + options.audio +
           ") is a live source; simulated time takes --audio tone or none only";
  if (!options.publish.empty())
    return "--publish sends the program live; it cannot go out on simulated time";
  return "";
}

}  // namespace

bool RecordOptions::ServesNetwork() const {
  boost::system::error_code error;
  const boost::asio::ip::address address = boost::asio::ip::make_address(serve, error);
  return error || !address.is_loopback();
}

std::string CheckNameTemplate(const std::string& text) {
  const size_t extension = sizeof(kMp4) - 1;
  if (text.size() <= extension || text.compare(text.size() - extension, extension, kMp4) != 0)
    return "must end in .mp4";
  if (text.find("{camera}") == std::string::npos)
    return "must hold {camera}, so that every file gets a name of its own";
  if (text.find('/') != std::string::npos)
    return "names files, not folders: no '/'";
  // What is left once the placeholders are out may hold no other brace.
  const std::string bare = ReplaceAll(ReplaceAll(text, "{camera}", ""), "{session}", "");
  if (bare.find_first_of("{}") != std::string::npos)
    return "knows only {session} and {camera}";
  return "";
}

std::string RecordOptions::FileName(const std::string& session, const std::string& camera) const {
  std::string name = ReplaceAll(ReplaceAll(nameTemplate, "{session}", session), "{camera}", camera);
  if (camera == "sound")
    name.replace(name.size() - (sizeof(kMp4) - 1), std::string::npos, ".wav");
  return name;
}

std::string CheckCameraNames(const std::vector<std::string>& cameras) {
  std::vector<std::string> names;
  for (size_t i = 0; i < cameras.size(); ++i) {
    CameraSpec spec;
    std::string error;
    CameraSpec::Parse(cameras[i], &spec, &error);
    names.push_back(spec.name.empty() ? "camera" + std::to_string(i) : spec.name);
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == "director" || names[i] == "sound")
      return "the name " + names[i] + " is the " + names[i] + "'s own";
    for (size_t j = 0; j < i; ++j)
      if (names[i] == names[j])
        return "two cameras are named " + names[i];
  }
  return "";
}

std::vector<std::string> RecordOptions::CameraSources() const {
  if (!cameras.empty())
    return cameras;
  return {"test:1280x720:bgr24", "test:640x480:bgr24", "test:800x600:yuv420p"};
}

int ParseRecordOptions(int argc, char** argv, RecordOptions* options) {
  CLI::App app{
      "Records a multi-camera session: one MP4 per camera, a director's cut switching\n"
      "between the cameras, one multi-stream MP4 with every camera and the sound, and a WAV\n"
      "file; every camera, the director and the sound are also served on TCP ports, to this\n"
      "machine only unless --serve opens them to a network.\n"
      "Keys on a terminal: 0-4 show that camera in the director's cut, m marks, q stops.\n"
      "Up to 16 cameras: cameras 0-4 can be shown in the director's cut, cameras 0-8 go into\n"
      "the multi-stream file, and every camera has its own MP4.\n"
      "The operator's console, a web page, is served on 127.0.0.1:8040 (see --console).",
      "sorvo-record"};
  app.get_formatter()->column_width(34);
  app.footer(
      "Camera sources:\n"
      "  test[:WxH[:FORMAT]]  a moving test picture, 640x480 unless WxH says otherwise;\n"
      "                       FORMAT bgr24 (default), rgb24, bgra, yuv420p or gray; the\n"
      "                       default cameras are test:1280x720, test:640x480 and\n"
      "                       test:800x600:yuv420p\n"
      "  FILE                 a video file, played in a loop at its own frame rate\n"
      "  /dev/videoN          a V4L2 camera\n"
      "  FORMAT:INPUT         any FFmpeg input, e.g. lavfi:testsrc2=size=640x360\n"
      "  rtsp://, srt://, udp://, tcp://, rtmp://, http(s)://\n"
      "                       a network camera (RTSP over TCP; MPEG-TS, MJPEG, HLS ...)\n"
      "  sorvo://HOST:PORT    a camera of another sorvo-record, from its camera's port\n"
      "  SOURCE,name=NAME     the camera's name, for its file, tracks and no-signal picture\n"
      "A network camera that stops sending is recorded on \"no signal\" (--on-loss) and\n"
      "connected again (every 0.5 s for a minute, then less often); one not reached at\n"
      "the start is recorded at the director's size and --fps until it answers. --audio takes\n"
      "the same network URLs (silence while lost).\n"
      "Publishing (--publish, repeatable): rtmp://HOST[:PORT]/APP/KEY or rtmps://... (FLV),\n"
      "  srt://HOST:PORT and udp://HOST:PORT (MPEG-TS), or a path ending in .m3u8 (HLS\n"
      "  segments and playlist written there); the director's program as H.264 and the\n"
      "  sound as AAC. A destination that fails is tried again; the recording goes on.\n"
      "Stream files (--private-stream, --save-stream) go under the application directory:\n"
      "SORVO_APP_DIR, else the program's folder; when that cannot be written, under the\n"
      "session folder.");

  std::string director = "1280x720";
  std::string zoom = "fit";
  std::string border = "000000";
  std::string switchText = FormatSeconds(options->switchEvery);
  app.add_option("--camera", options->cameras,
                 "A camera, repeatable (up to 16), named after ,name=NAME at its end (default: "
                 "camera0 ...); default: three test cameras")
      ->type_name("SOURCE")
      ->check(CheckCamera);
  app.add_option("--audio", options->audio,
                 "Sound: tone, none, a media file, alsa:DEVICE or a network URL")
      ->type_name("SOURCE")
      ->capture_default_str();
  app.add_option("--seconds", options->seconds,
                 "Length of the recording, up to a year; 0 records until stopped")
      ->check(NumberIn(0, RecordOptions::kMaxSeconds, "seconds"))
      ->type_name("S")
      ->capture_default_str();
  app.add_option("--fps", options->fps,
                 "Pictures per second of the test cameras and the director, 1 to 35")
      ->check(WholeNumberIn(1, 35))
      ->type_name("N")
      ->capture_default_str();
  app.add_option("--bitrate", options->bitrate,
                 "Video bit rate of every stream, 101 to 134,217,727 bits per second")
      ->check(WholeNumberIn(101, 134217727, "bits per second"))
      ->type_name("BITS")
      ->capture_default_str();
  app.add_option("--director", director, "Size of the director's cut")
      ->type_name("WxH")
      ->check(CheckDirectorSize)
      ->capture_default_str();
  app.add_option("--zoom", zoom, "How a camera fills the director's cut (fit keeps its shape)")
      ->check(OneOf({"stretch", "fit"}))
      ->type_name("stretch|fit")
      ->capture_default_str();
  app.add_option("--border", border, "Border colour for --zoom fit")
      ->type_name("RRGGBB")
      ->check(CheckColour)
      ->capture_default_str();
  app.add_option("--switch-every", switchText,
                 "Seconds between automatic camera switches, at least one picture; 0 "
                 "switches only by key")
      ->check(NumberIn(0, RecordOptions::kMaxSeconds, "seconds"))
      ->type_name("S")
      ->capture_default_str();
  app.add_option("--ports", options->portBase,
                 "The director serves on BASE, the cameras on BASE+1 and up, the sound on "
                 "BASE+10 (cameras 9 and up after it); 1024 to 65524")
      ->type_name("BASE")
      ->check(WholeNumberIn(1024, 65524))
      ->capture_default_str();
  app.add_option("--serve", options->serve,
                 "Serve the cameras, the sound and the director on this address; they carry "
                 "no token, so 0.0.0.0 (or another machine's network) lets anyone there take "
                 "every stream")
      ->type_name("ADDR")
      ->check(CheckServeAddress)
      ->capture_default_str();
  app.add_flag("--preview", options->preview, "Show every camera and the director in a window");
  app.add_flag("--private-stream", options->privateStream,
               "Also write each camera's private stream file");
  app.add_flag("--save-stream", options->saveStream, "Also save each sink's bare MPEG-4 stream");
  app.add_flag("--fragmented-mp4", options->fragmentedMp4,
               "Leave every MP4 in fragments of one GOP when it is closed (while recording "
               "they are written so anyway, readable after a crash, and made regular at the "
               "end without this)");
  app.add_option("--out", options->out, "Session folder; default ./recordings/<local time>")
      ->type_name("DIR");
  app.add_flag("--force", options->force,
               "Record into a --out folder that holds recordings, moving them aside into "
               "DIR/earlier-N first; record even when the free space does not last --seconds");
  app.add_option("--json", options->json, "Also write the summary as JSON to FILE")
      ->type_name("FILE");
  app.add_flag("--full-check", options->fullCheck,
               "At the end, decode every picture and sound frame of every file (as long as "
               "the files are: hours after a long session) instead of the bounded check "
               "(each file's index against what was written, its first and last GOP and a "
               "spread between decoded)");
  std::string onLoss = "slate";
  app.add_option("--on-loss", onLoss,
                 "What a camera without signal records: a slate saying NO SIGNAL, or its "
                 "last picture held")
      ->check(OneOf({"slate", "hold"}))
      ->type_name("slate|hold")
      ->capture_default_str();
  std::string programSound = "on";
  app.add_option("--program-sound", programSound,
                 "The sound in the director's cut (director.mp4) too")
      ->check(OneOf({"on", "off"}))
      ->type_name("on|off")
      ->capture_default_str();
  app.add_option("--name-template", options->nameTemplate,
                 "Names of the session's files: {session} (the session folder's name) and "
                 "{camera} (camera0..., director, sound), ending in .mp4")
      ->type_name("TEXT")
      ->check(CheckNameTemplate)
      ->capture_default_str();

  app.add_option("--publish", options->publish,
                 "Publish the director's program live to URL (repeatable); see below")
      ->type_name("URL")
      ->check([](const std::string& text) {
        PublishTarget target;
        std::string why;
        return ParsePublishTarget(text, &target, &why) ? "" : NotAccepted(text, why);
      });
  app.add_option("--publish-bitrate", options->publishBitrate,
                 "Constant bit rate of the published H.264, 100,000 to 50,000,000")
      ->check(WholeNumberIn(100000, 50000000, "bits per second"))
      ->type_name("BITS")
      ->capture_default_str();
  CLI::Option* console =
      app.add_option("--console", options->console,
                     "Serve the console here; an address other than loopback needs its token")
          ->type_name("[ADDR:]PORT")
          ->check(CheckConsoleAddress)
          ->capture_default_str();
  CLI::Option* token = app.add_option("--console-token", options->consoleToken,
                                      "The console's token; default: one made at start")
                           ->type_name("TOKEN")
                           ->check(CheckConsoleToken);
  app.add_option("--tally", options->tally,
                 "Send the program (red) and preview (green) as TSL UMD 5.0 to HOST:PORT or "
                 "udp://HOST:PORT, or over tcp://HOST:PORT (repeatable); camera N is display N")
      ->type_name("DEST")
      ->check([](const std::string& text) {
        TallyTarget target;
        std::string why;
        return TallyTarget::Parse(text, &target, &why) ? "" : why;
      });
  std::string simulateStart;
  app.add_option("--simulate-speed", options->simulateSpeed,
                 "For tests and benchmarks: run the session's clock and its test sources this "
                 "many times faster than real time (test cameras, --audio tone or none only)")
      ->check(NumberIn(1, 10000))
      ->type_name("X");
  app.add_option("--simulate-start", simulateStart,
                 "For tests and benchmarks: start the session's clock (its files' timecode) at "
                 "this time of day (test cameras, --audio tone or none only)")
      ->check([](const std::string& text) {
        return ParseTimeOfDay(text) >= 0 ? "" : NotAccepted(text, "a time of day HH:MM:SS");
      })
      ->type_name("HH:MM:SS");
  app.add_option("--mark-every", options->markEvery,
                 "Make a mark every S seconds of the session (0: none)")
      ->check(NumberIn(0, RecordOptions::kMaxSeconds, "seconds"))
      ->type_name("S");
  app.add_flag("--no-console", options->noConsole, "Serve no console")
      ->excludes(console)
      ->excludes(token);

  const int parsed = ParseCommandLine(app, argc, argv);
  if (parsed >= 0)
    return parsed;
  options->consoleAsked = console->count() > 0;
  if (options->cameras.size() > static_cast<size_t>(RecordOptions::kMaxCameras)) {
    std::fprintf(stderr, "sorvo-record: at most %d cameras can be recorded\n",
                 RecordOptions::kMaxCameras);
    return 2;
  }
  const int cameras = static_cast<int>(options->CameraSources().size());
  const int highestPort = options->CameraPort(cameras - 1);
  if (highestPort > kHighestPort) {
    std::fprintf(stderr,
                 "sorvo-record: --ports: %d cameras need ports up to BASE+%d, above %d; give a "
                 "BASE of at most %d\n",
                 cameras, highestPort - options->portBase, kHighestPort,
                 kHighestPort - (highestPort - options->portBase));
    return 2;
  }
  options->holdOnLoss = onLoss == "hold";
  const std::string names = CheckCameraNames(options->cameras);
  if (!names.empty()) {
    std::fprintf(stderr, "sorvo-record: --camera: %s: every camera needs a name of its own\n",
                 names.c_str());
    return 2;
  }
  for (size_t i = 0; i < options->publish.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (options->publish[i] == options->publish[j]) {
        std::fprintf(stderr, "sorvo-record: --publish: %s is given twice\n",
                     options->publish[i].c_str());
        return 2;
      }
  options->switchEvery = std::stod(switchText);
  // A switch more often than the director makes pictures would only keep the main loop
  // busy: the shortest interval is one picture.
  const double picture = 1.0 / options->fps;
  if (options->switchEvery > 0 && options->switchEvery < picture) {
    const std::string accepted = "0 (switch only by key) or a number of seconds from " +
                                 FormatNumber(picture) + " (one picture at " +
                                 std::to_string(options->fps) + " pictures a second) to " +
                                 FormatNumber(RecordOptions::kMaxSeconds);
    std::fprintf(stderr, "sorvo-record: --switch-every: %s\n",
                 NotAccepted(switchText, accepted).c_str());
    return 2;
  }
  if (!simulateStart.empty())
    options->simulateStart = ParseTimeOfDay(simulateStart);
  if (options->Simulated()) {
    const std::string problem = SimulationProblem(*options);
    if (!problem.empty()) {
      std::fprintf(stderr, "sorvo-record: simulated time: %s\n", problem.c_str());
      return 2;
    }
  }
  ParsePictureSize(director, &options->directorWidth, &options->directorHeight);
  options->zoomFit = zoom == "fit";
  options->programSound = programSound == "on";
  options->borderRgb =
      static_cast<unsigned>(std::stoul(border.substr(border[0] == '#'), nullptr, 16));
  return -1;
}

}  // namespace sorvo::tools
