// What the sorvo-recover tests do to the files they hand it, and how they read the results
// back with outside readers (ffprobe, python3's wave module).
#pragma once

#include <string>
#include <vector>

namespace sorvo::test {

// A fragmented MP4 as a recording killed in the middle of its last fragment leaves it: that
// fragment's index still typed 'free' (never made visible), its media data cut in half and
// nothing after it. *lastFragment: where that fragment begins. Empty without fragments.
std::string KilledCopy(const std::string& mp4, size_t* lastFragment);

// The packets of a raw stream file (the library's bare MPEG-4 stream): each key frame
// opens with its stream headers, each other packet with its picture start code.
std::vector<std::string> RawStreamPackets(const std::string& bytes);

// `count` pictures of `width` x `height` encoded at `frameRate` by the library's encoder,
// each showing frame `first` + its number.
std::vector<std::string> EncodedClip(int width,
                                     int height,
                                     int frameRate,
                                     int count,
                                     int first = 0);
// MP3 frames of a tone, by the library's audio encoder.
std::vector<std::string> EncodedTone(int channels, int sampleRate, int samples);
std::string Joined(const std::vector<std::string>& packets);

// An MP4 as a killed writer leaves it, around `media` (packets laid back to back).
std::string KilledMp4Around(const std::string& media);

// The one file in `folder` whose name contains `part`; empty when there is not exactly one.
std::string FileNamed(const std::string& folder, const std::string& part);

struct FfprobeCount {
  bool ran = false;
  std::vector<long long> frames;  // decoded frames per picture or sound stream
  std::string errors;             // what it printed at level "error": decode errors among them
  std::string output;
};
FfprobeCount CountFramesWithFfprobe(const std::string& path, const std::string& folder);

struct WaveRead {
  bool opened = false;
  int channels = 0;
  int rate = 0;
  long long frames = 0;
  std::string error;
};
// Opens the file with python3's wave module.
WaveRead ReadWithPythonWave(const std::string& path, const std::string& folder);

}  // namespace sorvo::test
