#include "WavReaders.h"

#include <cstdio>
#include <memory>

#include "codec/FFDeleters.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace sorvo::test {

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

}  // namespace sorvo::test
