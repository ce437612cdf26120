// A console with cameras made up in memory, for the page's browser test and for looking at
// the page by hand: three cameras of one colour each (or one per name of --names A,B,...,
// up to 16), the program showing the camera put on it, a tone, on a free loopback port (or
// --port). It ends when the page or the API stops it, or after --seconds. With --cut N the
// session is already long: N shots, one every 2 s, before the page comes.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleTestSupport.h"
#include "tools/record/console/AccessToken.h"

namespace {

using namespace sorvo::test;
using namespace sorvo::tools;

constexpr int kWidth = 320;
constexpr int kHeight = 180;

}  // namespace

int main(int argc, char** argv) {
  double seconds = 0;
  int port = 0;
  int earlier = 0;
  std::vector<std::string> names;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0)
      seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--cut") == 0)
      earlier = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--port") == 0)
      port = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--names") == 0) {
      std::string list = argv[i + 1];
      for (size_t at = 0; at <= list.size() && names.size() < 16;) {
        const size_t comma = std::min(list.find(',', at), list.size());
        names.push_back(list.substr(at, comma - at));
        at = comma + 1;
      }
    }
  }
  FakeModel model(names);
  const int count = names.empty() ? 3 : static_cast<int>(names.size());
  ConsoleSnapshot snapshot = model.Snapshot();
  snapshot.notes.clear();
  snapshot.seconds = 0;
  model.SetSnapshot(snapshot);
  const double past = 2.0 * earlier;
  for (int shot = 0; shot < earlier; ++shot)
    model.cut().AddSwitch(2.0 * shot, shot % count);
  Console console;
  model.Announce(&console);
  std::vector<IGrabberCallBack*> cameras(count);
  for (int camera = 0; camera < count; ++camera)
    cameras[camera] = console.CameraInput(camera, nullptr).receiver;
  IGrabberCallBack* program = console.ProgramInput();
  IGrabberCallBack* sound = console.SoundInput(nullptr, 2);
  ConsoleAddress address;
  address.port = static_cast<unsigned short>(port);
  std::string error;
  if (!console.Start(address, MakeAccessToken(), &model, &error)) {
    std::fprintf(stderr, "console demo: %s\n", error.c_str());
    return 1;
  }
  std::printf("Console: %s\n", console.Url().c_str());
  std::fflush(stdout);
  console.ProgramChanged(0, past);

  // Red, green, blue, then the rest in other shades.
  const uint8_t colours[3][3] = {{200, 40, 40}, {40, 170, 60}, {40, 80, 210}};
  std::vector<std::vector<uint8_t>> pictures;
  for (int camera = 0; camera < count; ++camera) {
    const uint8_t* colour = colours[camera % 3];
    const int shade = 1 + camera / 3;
    pictures.push_back(SolidPackedPicture(PIX_FMT_BGR24, kWidth, kHeight, colour[0] / shade,
                                          colour[1] / shade, colour[2] / shade));
  }
  std::vector<int16_t> tone(2 * 1764);
  const auto start = std::chrono::steady_clock::now();
  long long samples = 0;
  for (int tick = 0;; ++tick) {
    std::this_thread::sleep_until(start + tick * std::chrono::milliseconds(40));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (model.stops() > 0 || (seconds > 0 && elapsed >= seconds))
      break;
    model.SetSeconds(past + elapsed);
    for (int camera = 0; camera < count; ++camera) {
      std::vector<uint8_t> copy = pictures[camera];
      cameras[camera]->OnBuffer(camera, elapsed, copy.data(), static_cast<long>(copy.size()),
                                kWidth, kHeight, PIX_FMT_BGR24);
    }
    const std::vector<int> selected = model.selected();
    std::vector<uint8_t> onAir = pictures[selected.empty() ? 0 : selected.back()];
    program->OnBuffer(100, elapsed, onAir.data(), static_cast<long>(onAir.size()), kWidth, kHeight,
                      PIX_FMT_BGR24);
    for (size_t i = 0; i < tone.size(); i += 2, ++samples) {
      tone[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * samples / 44100.0));
      tone[i + 1] = static_cast<int16_t>(3000 * std::sin(2 * M_PI * 660 * samples / 44100.0));
    }
    sound->OnBuffer(0, elapsed, reinterpret_cast<unsigned char*>(tone.data()),
                    static_cast<long>(tone.size() * sizeof(int16_t)), 0, 0, PIX_FMT_NONE);
  }
  model.SetState(ConsoleSessionState::kEnded);
  console.SessionEnded();
  std::printf("Session ended.\n");
  return 0;
}
