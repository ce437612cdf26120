// sorvo-view: connects to a recording sink's server (or with --audio to the audio sink's),
// shows what the stream says about itself, checks every packet, and writes and shows them.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sorvo/sorvo.h>

#include "tools/common/CommandLine.h"
#include "tools/common/Mpeg4Bitstream.h"
#include "tools/common/PixelFormatName.h"
#include "tools/common/StopSignal.h"
#include "tools/common/TextTable.h"
#include "tools/view/Mp3Tally.h"
#include "tools/view/PacketCheck.h"
#include "tools/view/ServerAddress.h"
#include "tools/view/StreamConnection.h"
#include "tools/view/VideoFileOutput.h"
#include "tools/view/VideoStreamReader.h"
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

int Fail(const std::string& message) {
  std::fprintf(stderr, "sorvo-view: %s\n", message.c_str());
  return 1;
}

// Why reading stopped, for the user; empty when stopping there is normal.
std::string EndText(StreamConnection::ReadResult result, const StreamConnection& connection,
                    bool* normal) {
  *normal = true;
  switch (result) {
    case StreamConnection::ReadResult::kOk:
    case StreamConnection::ReadResult::kDeadline:
      return "stopped after the seconds asked for";
    case StreamConnection::ReadResult::kStopped:
      return "stopped by the user";
    case StreamConnection::ReadResult::kClosed:
      return "the server closed the connection";
    case StreamConnection::ReadResult::kIdle:
      *normal = false;
      return "nothing arrived for 10 seconds";
    case StreamConnection::ReadResult::kFailed:
      *normal = false;
      return "the connection failed: " + connection.error();
  }
  return "";
}

void PrintGreeting(const std::string& address, const StreamInfo& info) {
  std::printf("stream at %s: %dx%d, pixel format %d (%s), %d pictures/s, %s bit/s, codec %d%s\n",
              address.c_str(), info.width, info.height, info.pixelFormat,
              PixelFormatName(info.pixelFormat), info.frameRate,
              FormatCount(info.bitRate).c_str(), info.codecId,
              info.codecId == kStreamInfoCodecMpeg4 ? " (MPEG-4 Part 2)" : "");
  std::printf("  when we joined: %s pictures in, %s encoded, %s packets sent, %d clients\n",
              FormatCount(info.framesIn).c_str(), FormatBytes(info.encodedBytes).c_str(),
              FormatCount(info.packetsSent).c_str(), info.clients);
}

int ViewVideo(const ViewOptions& options, StreamConnection& connection) {
  StreamConnection::ReadResult result = StreamConnection::ReadResult::kOk;
  VideoStreamReader reader([&](void* buffer, size_t size) {
    result = connection.Read(buffer, size, nullptr, false);
    return result == StreamConnection::ReadResult::kOk;
  });
  StreamInfo info;
  const VideoStreamReader::Result greeting = reader.ReadGreeting(&info);
  if (greeting == VideoStreamReader::Result::kEnded) {
    bool normal;
    return Fail("no stream description arrived: " + EndText(result, connection, &normal));
  }
  if (greeting != VideoStreamReader::Result::kOk)
    return Fail("the server's greeting is not a recording sink's stream description (use "
                "--audio for the audio server)");
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
    output = std::make_unique<VideoFileOutput>(options.out, info.width, info.height,
                                               info.frameRate > 0 ? info.frameRate : 25);

  PacketCheck check(info);
  std::vector<uint8_t> packet;
  long long bytes = 0;
  long long beforeKey = 0;
  long long pictures = 0;
  bool started = false;
  int32_t firstSeq = 0;
  const Clock::time_point begin = Clock::now();
  for (;;) {
    PacketHeader header;
    const VideoStreamReader::Result read = reader.ReadPacket(&header, &packet);
    if (read == VideoStreamReader::Result::kEnded) break;
    if (read != VideoStreamReader::Result::kOk) {
      output.reset();
      return Fail("a packet header gives the size " + std::to_string(header.size) +
                  ": the stream has lost its framing");
    }
    check.Check(header, packet.data(), packet.size());
    bytes += header.size;
    const bool key = Mpeg4FirstPictureType(packet.data(), packet.size()) == Mpeg4PictureType::kIntra;
    if (!started && !key) {
      ++beforeKey;
      continue;
    }
    if (!started) firstSeq = header.seq;
    started = true;
    if (output && !output->Write(packet.data(), packet.size(), key,
                                 static_cast<int64_t>(static_cast<uint32_t>(header.seq) -
                                                      static_cast<uint32_t>(firstSeq))))
      return Fail(output->error());
    if (window) pictures += window->Show(packet.data(), packet.size());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  bool normal;
  const std::string end = EndText(result, connection, &normal);
  const bool finished = !output || output->Finish();

  std::printf("%s; received %s packets (%s) in %.1f s", end.c_str(),
              FormatCount(check.packets()).c_str(), FormatBytes(bytes).c_str(), seconds);
  if (beforeKey > 0) std::printf(", %s before the first key frame", FormatCount(beforeKey).c_str());
  std::printf("\n");
  const std::vector<std::string> problems = check.Problems();
  if (problems.empty())
    std::printf("headers: every size, number, key flag and picture size agrees\n");
  for (const std::string& problem : problems) std::printf("headers: %s\n", problem.c_str());
  if (window)
    std::printf("shown: %s pictures, %s packets did not decode\n", FormatCount(pictures).c_str(),
                FormatCount(window->decodeErrors()).c_str());
  if (output)
    std::printf("wrote %s: %s packets\n", options.out.c_str(),
                FormatCount(output->written()).c_str());
  if (!finished) return Fail(output->error());
  if (!normal) return Fail(end);
  if (!started) return Fail("no key frame arrived, so nothing was written or shown");
  return problems.empty() ? 0 : 1;
}

int ViewAudio(const ViewOptions& options, StreamConnection& connection) {
  struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, FileClose> out;
  if (!options.out.empty()) {
    out.reset(std::fopen(options.out.c_str(), "wb"));
    if (!out) return Fail("cannot create " + options.out + ": " + std::strerror(errno));
  }
  Mp3Tally tally;
  if (!tally.ok()) return Fail("FFmpeg's MP3 parser or decoder is missing");
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
    if (result != StreamConnection::ReadResult::kOk) break;
  }
  tally.Finish();
  if (out && std::fclose(out.release()) != 0)
    return Fail("writing " + options.out + " failed: " + std::strerror(errno));
  bool normal;
  const std::string end = EndText(result, connection, &normal);
  std::printf("%s; received %s of MP3: %s frames, %.2f s of sound", end.c_str(),
              FormatBytes(bytes).c_str(), FormatCount(tally.frames()).c_str(), tally.seconds());
  if (tally.sampleRate() > 0)
    std::printf(" at %d Hz, %d channels", tally.sampleRate(), tally.channels());
  std::printf(", %s frames did not decode\n", FormatCount(tally.decodeErrors()).c_str());
  if (out) std::printf("wrote %s\n", options.out.c_str());
  if (!normal) return Fail(end);
  if (tally.frames() == 0) return Fail("no MP3 frame arrived");
  return tally.decodeErrors() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  ViewOptions options;
  CLI::App app{"Receives a recording sink's stream from its server: prints the stream's "
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
  if (parsed >= 0) return parsed;
  std::string error;
  ServerAddress::Parse(address, &options.server, &error);  // checked while parsing
  if (options.audio && options.show) {
    std::fprintf(stderr, "sorvo-view: --show shows pictures; the audio server sends none\n");
    return 2;
  }
  if (!options.audio && !options.out.empty() && !VideoFileOutput::NameIsSupported(options.out)) {
    std::fprintf(stderr, "sorvo-view: --out must name an .m4v or .mp4 file\n");
    return 2;
  }

  StopSignal stop;
  if (!stop.ok()) return Fail("cannot watch for Ctrl-C and SIGTERM");
  StreamConnection connection;
  if (!connection.Connect(options.server, &error)) return Fail(error);
  connection.SetStopFd(stop.fd());
  if (options.seconds > 0)
    connection.SetDeadline(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(options.seconds)));
  return options.audio ? ViewAudio(options, connection) : ViewVideo(options, connection);
}
