#include "WavReaders.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "codec/FFDeleters.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace sorvo::test {

std::string WithRf64Room(const std::string& canonical) {
  std::string header = canonical;
  uint32_t riff = 0;
  for (int i = 3; i >= 0; --i)
    riff = riff << 8 | static_cast<uint8_t>(header[4 + i]);
  riff += 36;
  for (int i = 0; i < 4; ++i)
    header[4 + i] = static_cast<char>(riff >> (8 * i));
  return header.insert(12, std::string("JUNK\x1C\0\0\0", 8) + std::string(28, '\0'));
}

namespace {

struct InputCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

std::string RunCommand(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe)
    return "";
  std::string out;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0)
    out.append(chunk, n);
  return out;
}

}  // namespace

WavReadBack ReadWithLibavformat(const std::string& path) {
  WavReadBack back;
  av_log_set_level(AV_LOG_ERROR);
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
    return back;
  std::unique_ptr<AVFormatContext, InputCloser> input(raw);
  if (avformat_find_stream_info(input.get(), nullptr) < 0 || input->nb_streams != 1)
    return back;
  const AVCodecParameters* par = input->streams[0]->codecpar;
  back.opened = true;
  back.codecId = par->codec_id;
  back.channels = par->ch_layout.nb_channels;
  back.sampleRate = par->sample_rate;
  back.bitsPerSample = par->bits_per_coded_sample;
  back.blockAlign = par->block_align;
  PacketPtr packet(av_packet_alloc());
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    back.pcm.append(reinterpret_cast<const char*>(packet->data), packet->size);
    av_packet_unref(packet.get());
  }
  return back;
}

std::string ReadWithPythonWave(const std::string& path) {
  if (RunCommand("command -v python3").empty())
    return "";
  const std::string script =
      "import sys, wave\n"
      "try:\n"
      "    w = wave.open(sys.argv[1], 'rb')\n"
      "    f = w.readframes(w.getnframes())\n"
      "    print(w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes(), "
      "f.hex())\n"
      "except Exception as e:\n"
      "    print('error:', e)\n";
  return RunCommand("python3 -c \"" + script + "\" '" + path + "' 2>&1");
}

WavTail ReadTailWithFfmpeg(const std::string& path, double seconds) {
  WavTail tail;
  const std::string probe = RunCommand(
      "ffprobe -v error -show_entries format=format_name:stream=duration_ts -of "
      "default=noprint_wrappers=1:nokey=1 '" +
      path + "' 2>&1");
  const size_t line = probe.find('\n');
  if (line == std::string::npos)
    return tail;
  tail.frames = std::atoll(probe.c_str());
  tail.format = probe.substr(line + 1, probe.find('\n', line + 1) - line - 1);
  char command[512];
  std::snprintf(command, sizeof command,
                "ffmpeg -v error -sseof -%.3f -i '%s' -f s16le -ac 2 -ar 44100 - 2>/dev/null",
                seconds, path.c_str());
  tail.pcm = RunCommand(command);
  tail.read = true;
  return tail;
}

WavTail ReadTailWithSox(const std::string& path, double seconds) {
  WavTail tail;
  if (RunCommand("command -v sox").empty())
    return tail;
  tail.format = RunCommand("soxi -t '" + path + "' 2>&1");
  tail.format = tail.format.substr(0, tail.format.find('\n'));
  tail.frames = std::atoll(RunCommand("soxi -s '" + path + "' 2>&1").c_str());
  char command[512];
  std::snprintf(command, sizeof command, "sox '%s' -t s16 - trim -%.3f 2>/dev/null", path.c_str(),
                seconds);
  tail.pcm = RunCommand(command);
  tail.read = true;
  return tail;
}

}  // namespace sorvo::test
