// sorvo-view: connects to a recording sink's server (or with --audio to the audio sink's),
// shows what the stream says about itself, checks every packet, and writes and shows them.
#include <sorvo/sorvo.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/CommandLine.h"
#include "tools/common/Mpeg4Bitstream.h"
#include "tools/common/PacketCheck.h"
#include "tools/common/PixelFormatName.h"
#include "tools/common/ServerAddress.h"
#include "tools/common/StopSignal.h"
#include "tools/common/StreamConnection.h"
#include "tools/common/TextTable.h"
#include "tools/common/VideoStreamReader.h"
#include "tools/view/Mp3Tally.h"
#include "tools/view/VideoFileOutput.h"
#include "tools/view/VideoWindow.h"

namespace {

using namespace sorvo::tools;
using Clock = std::chrono::steady_clock;

struct ViewOptions {
  ServerAddress server;
  std::string out;
  bool show = false;
  double seconds = 0;
  bool audio = false;
};

// Exit statuses besides 0 (the stream ended normally and every header agreed).
constexpr int kExitFailed = 1;       // nothing could be received or written
constexpr int kExitUsage = 2;        // a mistake on the command line
constexpr int kExitStreamFault = 3;  // the stream was faulty or ended abnormally

void Report(const std::string& message) {
  std::fprintf(stderr, "sorvo-view: %s\n", message.c_str());
}

int Fail(const std::string& message) {
  Report(message);
  return kExitFailed;
}

// How reading ended, for the user, and whether ending there is normal.
struct Ending {
  std::string text;
  bool normal = true;
};

Ending Abnormal(std::string text) {
  return Ending{std::move(text), false};
}

Ending EndingOf(StreamConnection::ReadResult result, const StreamConnection& connection) {
  switch (result) {
    case StreamConnection::ReadResult::kOk:
    case StreamConnection::ReadResult::kDeadline:
      return {"stopped after the seconds asked for"};
    case StreamConnection::ReadResult::kStopped:
      return {"stopped by the user"};
    case StreamConnection::ReadResult::kClosed:
      return {"the server closed the connection"};
    case StreamConnection::ReadResult::kIdle:
      return Abnormal("nothing arrived for 10 seconds");
    case StreamConnection::ReadResult::kFailed:
      break;
  }
  return Abnormal("the connection failed: " + connection.error());
}

void PrintGreeting(const std::string& address, const StreamInfo& info) {
  std::printf("stream at %s: %dx%d, pixel format %d (%s), %d pictures/s, %s bit/s, codec %d%s\n",
              address.c_str(), info.width, info.height, info.pixelFormat,
              PixelFormatName(info.pixelFormat), info.frameRate, FormatCount(info.bitRate).c_str(),
              info.codecId, info.codecId == kStreamInfoCodecMpeg4 ? " (MPEG-4 Part 2)" : "");
  std::printf("  when we joined: %s pictures in, %s encoded, %s packets sent, %d clients\n",
              FormatCount(info.framesIn).c_str(), FormatBytes(info.encodedBytes).c_str(),
              FormatCount(info.packetsSent).c_str(), info.clients);
}

// A header or packet that stopped short. Only the server's closing cuts one off; a deadline
// or Ctrl-C just stops the reading there.
Ending CutOff(VideoStreamReader::Result read,
              const VideoStreamReader& reader,
              const PacketHeader& header,
              StreamConnection::ReadResult result,
              const StreamConnection& connection) {
  if (result != StreamConnection::ReadResult::kClosed)
    return EndingOf(result, connection);
  const bool inHeader = read == VideoStreamReader::Result::kCutHeader;
  const std::string where = inHeader ? "in the middle of a packet header"
                                     : "in the middle of a packet: the last packet was cut off";
  const size_t wanted = inHeader ? sizeof(PacketHeader) : static_cast<size_t>(header.size);
  return Abnormal("the server closed the connection " + where + " (" +
                  std::to_string(reader.arrived()) + " of " + std::to_string(wanted) +
                  " bytes arrived)");
}

int ViewVideo(const ViewOptions& options, StreamConnection& connection) {
  StreamConnection::ReadResult result = StreamConnection::ReadResult::kOk;
  VideoStreamReader reader([&](void* buffer, size_t size) {
    size_t got = 0;
    result = connection.Read(buffer, size, &got, false);
    return got;
  });
  StreamInfo info;
  const VideoStreamReader::Result greeting = reader.ReadGreeting(&info);
  if (greeting == VideoStreamReader::Result::kEnded)
    return Fail("no stream description arrived: " + EndingOf(result, connection).text);
  if (greeting != VideoStreamReader::Result::kOk)
    return Fail(
        "the server's greeting is not a recording sink's stream description: " +
        VideoStreamReader::GreetingFault(info) +
        (info.codecId != kStreamInfoCodecMpeg4 ? " (use --audio for the audio server)" : ""));
  PrintGreeting(options.server.text, info);

  std::unique_ptr<VideoWindow> window;
  std::string error;
  if (options.show) {
    window = std::make_unique<VideoWindow>();
    if (!window->Open("sorvo-view " + options.server.text, info.width, info.height, &error))
      return Fail(error);
    VideoWindow* shown = window.get();
    connection.SetWhileWaiting([shown] { return shown->PumpEvents(); });
  }
  std::unique_ptr<VideoFileOutput> output;
  if (!options.out.empty())
    output =
        std::make_unique<VideoFileOutput>(options.out, info.width, info.height, info.frameRate);

  PacketCheck check(info);
  std::vector<uint8_t> packet;
  long long bytes = 0;
  long long beforeKey = 0;
  long long pictures = 0;
  bool started = false;
  int64_t firstPlace = 0;
  int64_t lastTick = -1;
  Ending ending;
  const Clock::time_point begin = Clock::now();
  for (;;) {
    PacketHeader header;
    const VideoStreamReader::Result read = reader.ReadPacket(&header, &packet);
    if (read == VideoStreamReader::Result::kEnded) {
      ending = EndingOf(result, connection);
      break;
    }
    if (read == VideoStreamReader::Result::kCutHeader ||
        read == VideoStreamReader::Result::kCutPacket) {
      ending = CutOff(read, reader, header, result, connection);
      break;
    }
    if (read == VideoStreamReader::Result::kLostFraming) {
      ending = Abnormal("a packet header gives the size " + std::to_string(header.size) +
                        ": the stream has lost its framing");
      break;
    }
    if (check.Check(header, packet.data(), packet.size()) ==
        PacketCheck::Numbering::kUnbelievable) {
      ending = Abnormal("the packet numbers jump from " + std::to_string(check.lastSeq()) + " to " +
                        std::to_string(header.seq) +
                        ", which no lost packets explain: nothing after that can be placed in "
                        "time, so the stream was not read further");
      break;
    }
    bytes += header.size;
    const bool key =
        Mpeg4FirstPictureType(packet.data(), packet.size()) == Mpeg4PictureType::kIntra;
    if (!started && !key) {
      ++beforeKey;
      continue;
    }
    if (!started)
      firstPlace = check.place();
    started = true;
    // Missing packets leave their time empty rather than hurry the rest.
    lastTick = check.place() - firstPlace;
    if (output && !output->Write(packet.data(), packet.size(), key, lastTick))
      return Fail(output->error());
    if (window)
      pictures += window->Show(packet.data(), packet.size());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  const bool finished = !output || output->Finish();

  std::printf("%s; received %s packets (%s) in %.1f s", ending.text.c_str(),
              FormatCount(check.packets()).c_str(), FormatBytes(bytes).c_str(), seconds);
  if (beforeKey > 0)
    std::printf(", %s before the first key frame", FormatCount(beforeKey).c_str());
  std::printf("\n");
  const std::vector<std::string> problems = check.Problems();
  if (problems.empty())
    std::printf("headers: every size, number, key flag and picture size agrees\n");
  for (const std::string& problem : problems)
    std::printf("headers: %s\n", problem.c_str());
  if (window)
    std::printf("shown: %s pictures, %s packets did not decode\n", FormatCount(pictures).c_str(),
                FormatCount(window->decodeErrors()).c_str());
  if (output) {
    std::printf("wrote %s: %s packets", options.out.c_str(),
                FormatCount(output->written()).c_str());
    if (VideoFileOutput::IsTimed(options.out) && output->written() > 0)
      std::printf(", %.2f s at %d pictures/s", double(lastTick + 1) / info.frameRate,
                  info.frameRate);
    std::printf("\n");
  }
  if (!finished)
    return Fail(output->error());
  if (!ending.normal)
    Report(ending.text);
  if (!started)
    return Fail("no key frame arrived, so nothing was written or shown");
  return ending.normal && problems.empty() ? 0 : kExitStreamFault;
}

int ViewAudio(const ViewOptions& options, StreamConnection& connection) {
  struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, FileClose> out;
  if (!options.out.empty()) {
    out.reset(std::fopen(options.out.c_str(), "wb"));
    if (!out)
      return Fail("cannot create " + options.out + ": " + std::strerror(errno));
  }
  Mp3Tally tally;
  if (!tally.ok())
    return Fail("FFmpeg's MP3 parser or decoder is missing");
  std::vector<uint8_t> buffer(64 * 1024);
  long long bytes = 0;
  StreamConnection::ReadResult result;
  for (;;) {
    size_t got = 0;
    result = connection.Read(buffer.data(), buffer.size(), &got, true);
    if (got > 0) {
      bytes += static_cast<long long>(got);
      tally.Add(buffer.data(), got);
      if (out && std::fwrite(buffer.data(), 1, got, out.get()) != got)
        return Fail("writing " + options.out + " failed: " + std::strerror(errno));
    }
    if (result != StreamConnection::ReadResult::kOk)
      break;
  }
  tally.Finish();
  if (out && std::fclose(out.release()) != 0)
    return Fail("writing " + options.out + " failed: " + std::strerror(errno));
  const Ending ending = EndingOf(result, connection);
  std::printf("%s; received %s of MP3: %s frames, %.2f s of sound", ending.text.c_str(),
              FormatBytes(bytes).c_str(), FormatCount(tally.frames()).c_str(), tally.seconds());
  if (tally.sampleRate() > 0)
    std::printf(" at %d Hz, %d channels", tally.sampleRate(), tally.channels());
  std::printf(", %s frames did not decode\n", FormatCount(tally.decodeErrors()).c_str());
  if (out)
    std::printf("wrote %s\n", options.out.c_str());
  if (!ending.normal)
    Report(ending.text);
  if (tally.frames() == 0)
    return Fail("no MP3 frame arrived");
  return ending.normal && tally.decodeErrors() == 0 ? 0 : kExitStreamFault;
}

}  // namespace

int main(int argc, char** argv) {
  ViewOptions options;
  CLI::App app{
      "Receives a recording sink's stream from its server: prints the stream's "
      "description, checks every packet header, writes the packets and shows them.",
      "sorvo-view"};
  std::string address;
  app.add_option("HOST:PORT", address, "The server, e.g. 127.0.0.1:8051")
      ->required()
      ->check(CLI::Validator(
          [](const std::string& text) {
            ServerAddress parsed;
            std::string error;
            return ServerAddress::Parse(text, &parsed, &error) ? std::string() : error;
          },
          ""));
  app.add_option("--out", options.out,
                 "Write what arrives: .m4v (bare stream) or .mp4 (timed); with --audio, .mp3")
      ->type_name("FILE");
  app.add_flag("--show", options.show, "Show the pictures, decoded, in a window");
  app.add_option("--seconds", options.seconds, "Stop after this long; 0 waits for the end")
      ->check(CLI::NonNegativeNumber.description(""))
      ->type_name("S")
      ->capture_default_str();
  app.add_flag("--audio", options.audio, "The server is the audio sink's: receive bare MP3");
  const int parsed = ParseCommandLine(app, argc, argv);
  if (parsed >= 0)
    return parsed;
  std::string error;
  ServerAddress::Parse(address, &options.server, &error);  // checked while parsing
  if (options.audio && options.show) {
    Report("--show shows pictures; the audio server sends none");
    return kExitUsage;
  }
  if (!options.audio && !options.out.empty() && !VideoFileOutput::NameIsSupported(options.out)) {
    Report("--out must name an .m4v or .mp4 file");
    return kExitUsage;
  }

  StopSignal stop;
  if (!stop.ok())
    return Fail("cannot watch for Ctrl-C and SIGTERM");
  StreamConnection connection;
  connection.SetStopFd(stop.fd());
  if (!connection.Connect(options.server, &error))
    return Fail(error);
  if (options.seconds > 0)
    connection.SetDeadline(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(options.seconds)));
  return options.audio ? ViewAudio(options, connection) : ViewVideo(options, connection);
}
