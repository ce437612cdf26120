#include "RecoverTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "ToolProcess.h"
#include "common/CodecTestSupport.h"
#include "common/MediaProbe.h"

namespace sorvo::test {

std::string KilledCopy(const std::string& mp4, size_t* lastFragment) {
  size_t moof = std::string::npos;
  size_t mdat = std::string::npos;
  for (const Mp4Box& box : TopLevelBoxesOf(mp4)) {
    if (box.type == "moof")
      moof = box.offset;
    else if (box.type == "mdat" && moof != std::string::npos && moof < box.offset)
      mdat = box.offset + box.size / 2;
  }
  if (mdat == std::string::npos)
    return "";
  std::string killed = mp4.substr(0, mdat);
  killed.replace(moof + 4, 4, "free");
  *lastFragment = moof;
  return killed;
}

std::vector<std::string> RawStreamPackets(const std::string& bytes) {
  std::vector<size_t> starts;
  bool afterPicture = true;
  for (size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1)
      continue;
    const auto code = static_cast<unsigned char>(bytes[i + 3]);
    if (code == 0xB0 || (code == 0xB6 && afterPicture))
      starts.push_back(i);
    afterPicture = code == 0xB6;
  }
  std::vector<std::string> packets;
  for (size_t k = 0; k < starts.size(); ++k) {
    const size_t end = k + 1 < starts.size() ? starts[k + 1] : bytes.size();
    packets.push_back(bytes.substr(starts[k], end - starts[k]));
  }
  return packets;
}

std::vector<std::string> EncodedClip(int width, int height, int frameRate, int count, int first) {
  RecordingEncoder encoder;
  EXPECT_EQ(encoder.Open(width, height, PIX_FMT_YUV420P, frameRate, 300000, "clip"), 1);
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> picture = MovingYuvPicture(width, height, first + i);
    encoder.Encode(0, 0, picture.data(), static_cast<long>(picture.size()));
  }
  encoder.Close();
  std::vector<std::string> packets;
  for (const SeenPacket& packet : encoder.packets)
    packets.emplace_back(packet.data.begin(), packet.data.end());
  return packets;
}

std::vector<std::string> EncodedTone(int channels, int sampleRate, int samples) {
  RecordingAudioEncoder encoder;
  EXPECT_EQ(encoder.Open(channels, sampleRate, 128000), 1);
  std::vector<uint8_t> tone = Tone(440, sampleRate, channels, 0, samples);
  encoder.Encode(0, 0, tone.data(), static_cast<long>(tone.size()));
  encoder.Close();
  std::vector<std::string> frames;
  for (const SeenPacket& packet : encoder.packets)
    frames.emplace_back(packet.data.begin(), packet.data.end());
  return frames;
}

std::string Joined(const std::vector<std::string>& packets) {
  std::string joined;
  for (const std::string& packet : packets)
    joined += packet;
  return joined;
}

std::string KilledMp4Around(const std::string& media) {
  const char header[] =
      "\0\0\0\x1C"
      "ftypisom\0\0\x02\0"
      "isomiso2mp41"  // ftyp
      "\0\0\0\x08"
      "free"  // room for a 64-bit size
      "\0\0\0\0"
      "mdat";  // size never set
  return std::string(header, sizeof(header) - 1) + media;
}

std::string FileNamed(const std::string& folder, const std::string& part) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    if (entry.path().filename().string().find(part) != std::string::npos)
      found.push_back(entry.path().string());
  return found.size() == 1 ? found[0] : "";
}

FfprobeCount CountFramesWithFfprobe(const std::string& path, const std::string& folder) {
  const ToolResult run =
      RunTool("/usr/bin/ffprobe",
              {"-v", "error", "-count_frames", "-show_entries", "stream=nb_read_frames", "-of",
               "default=noprint_wrappers=1", path},
              folder);
  FfprobeCount count;
  count.ran = run.exitCode == 0;
  count.errors = run.err;
  count.output = run.out;
  const std::string key = "nb_read_frames=";
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    // A timecode track has no frames to decode ("N/A").
    if (line.compare(0, key.size(), key) == 0 && line.compare(key.size(), 3, "N/A") != 0)
      count.frames.push_back(std::strtoll(line.c_str() + key.size(), nullptr, 10));
  }
  return count;
}

WaveRead ReadWithPythonWave(const std::string& path, const std::string& folder) {
  const ToolResult run = RunTool("/usr/bin/python3",
                                 {"-c",
                                  "import sys, wave\n"
                                  "w = wave.open(sys.argv[1])\n"
                                  "print(w.getnchannels(), w.getframerate(), w.getnframes())\n",
                                  path},
                                 folder);
  WaveRead read;
  read.error = run.err;
  std::istringstream values(run.out);
  read.opened =
      run.exitCode == 0 && static_cast<bool>(values >> read.channels >> read.rate >> read.frames);
  return read;
}

}  // namespace sorvo::test
