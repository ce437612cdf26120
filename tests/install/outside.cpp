// A program outside the tree, built against an installed libsorvo.
#include <sorvo/sorvo.h>

#include <cstdio>

int main() {
  if (InitSorvo() != 1) return 1;
  VideoInfo info;
  InitVideoHeader(info, 320, 240, 3, 25);
  char dir[4096];
  SorvoGetAppDirectory(dir, sizeof(dir));
  std::string path = std::string(dir) + "/outside.mp4";
  ISorvoSink* sink = nullptr;
  if (CreateSorvo("outside", path.c_str(), info, 400000, 20001, &sink, 0, 0) != 1) {
    std::fprintf(stderr, "CreateSorvo failed\n");
    return 1;
  }
  // A program may reach the sink's encoder.
  FFEncoder* encoder = dynamic_cast<FFEncoder*>(sink);
  if (encoder == nullptr || encoder->IsOpen() != 1) {
    std::fprintf(stderr, "the sink's encoder is not reachable\n");
    return 1;
  }
  // The director's class and the clipping helper are reachable too, without OpenCV.
  SorvoMuxer muxer;
  if (muxer.StartMultMux() != 0) return 1;
  unsigned char picture[4 * 4] = {0}, inner[4 * 2] = {0};
  picture[4 + 1] = 7;
  ClipImage(picture, inner, 4, 4, 1, 1, 1, 1, 1);
  if (inner[0] != 7) return 1;
  sink->Close();
  sink->Release();
  // The audio sink, with the encoder alone.
  CAudioSinkFF audio;
  const tWAVEFORMATEX stereo{1, 2, 44100, 176400, 4, 16, 0};
  if (audio.Create("outside", nullptr, stereo, 0) != 1 || audio.IsOpen() != 1) {
    std::fprintf(stderr, "the audio sink did not start\n");
    return 1;
  }
  audio.Close();
  std::printf("outside program: created and released a %dx%d sink\n", info.width, info.height);
  return 0;
}
