// The recorder killed outright (SIGKILL) while it records sound: its WAV file must open in
// a common reader and hold the sound up to a second before the kill.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>

#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "tools/record/PortCheck.h"

namespace {

namespace fs = std::filesystem;
using namespace sorvo::test;
using Clock = std::chrono::steady_clock;

// The recorder's sound: 16-bit stereo at 44.1 kHz.
constexpr double kRate = 44100;
constexpr int kFrameBytes = 4;

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// A base B with B to B + 10 free to listen on, the recorder's ports. Taken below the
// ephemeral range, where the many short connections other tests on the machine make leave
// long runs of ports free; 0 when none was found.
int FreeRecorderPorts() {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> bases(10000, 32000);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const int base = bases(random);
    bool free = true;
    for (int port = base; port <= base + 10 && free; ++port)
      free = sorvo::tools::PortIsFree(port);
    if (free)
      return base;
  }
  return 0;
}

// Seconds of PCM in the file as it stands, whatever its header says.
double SecondsOnDisk(const std::string& wav) {
  std::error_code error;
  const uintmax_t size = fs::file_size(wav, error);
  return error || size < 44 ? 0 : static_cast<double>(size - 44) / kFrameBytes / kRate;
}

TEST(WaveKillTest, AKilledRecordersWavFilePlaysUpToASecondBeforeTheKill) {
  TestAppDir dir;
  const int base = FreeRecorderPorts();
  ASSERT_GT(base, 0);
  const Clock::time_point launched = Clock::now();
  ToolProcess recorder(
      kRecordProgram,
      {"--seconds", "0", "--camera", "test:160x120", "--director", "320x180", "--audio", "tone",
       "--ports", std::to_string(base), "--out", dir.File("session")},
      dir.path());
  ASSERT_TRUE(recorder.started());
  ASSERT_TRUE(recorder.WaitForOutput("Recording into", std::chrono::seconds(60)))
      << recorder.Stdout() << recorder.Stderr();
  const Clock::time_point reported = Clock::now();
  const std::string wav = dir.File("session/sound.wav");

  // Killed three seconds or more after the recorder said it records, at a moment when the
  // file holds the sound of all but the last 0.4 s since then: a machine too busy to keep
  // the recorder up with the clock delays the kill rather than failing the test.
  Clock::time_point ordered;
  double onDiskBefore = 0;
  ASSERT_TRUE(WaitUntil([&] {
    ordered = Clock::now();
    onDiskBefore = SecondsOnDisk(wav);
    return SecondsBetween(reported, ordered) >= 3 &&
           onDiskBefore >= SecondsBetween(reported, ordered) - 0.4;
  })) << "the recorder fell behind the clock: "
      << onDiskBefore << " s of sound after " << SecondsBetween(reported, ordered) << " s";
  recorder.Signal(SIGKILL);
  const Clock::time_point killed = Clock::now();
  ASSERT_EQ(recorder.Wait(std::chrono::seconds(30)), 128 + SIGKILL);

  const ToolResult python =
      RunTool("/usr/bin/env",
              {"python3", "-c",
               "import sys, wave\n"
               "w = wave.open(sys.argv[1], 'rb')\n"
               "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes(),\n"
               "      len(w.readframes(w.getnframes())))\n",
               wav},
              dir.path());
  ASSERT_EQ(python.exitCode, 0) << python.err;
  std::istringstream fields(python.out);
  int channels = 0, width = 0, rate = 0;
  long long frames = -1, bytesRead = -1;
  fields >> channels >> width >> rate >> frames >> bytesRead;
  EXPECT_EQ(channels, 2);
  EXPECT_EQ(width, 2);
  EXPECT_EQ(rate, 44100);
  // The header claims nothing the file lacks...
  EXPECT_EQ(bytesRead, frames * kFrameBytes);
  EXPECT_LE(44 + frames * kFrameBytes, static_cast<long long>(fs::file_size(wav)));
  const double played = static_cast<double>(frames) / kRate;
  SCOPED_TRACE(std::to_string(played) + " s playable, " + std::to_string(onDiskBefore) +
               " s in the file just before the kill, ordered " +
               std::to_string(SecondsBetween(reported, ordered)) + " s after the report");
  // ...covers all but the last second of what had reached it before the kill...
  EXPECT_GT(played, onDiskBefore - 1);
  // ...and so the sound up to a second before the kill: the file held all but 0.4 s of
  // it, and the sizes lag what is in the file by half a second and one buffer at most.
  EXPECT_GT(played, SecondsBetween(reported, ordered) - 1);
  // A tone paced by the clock cannot hold more than the time the recorder ran.
  EXPECT_LT(played, SecondsBetween(launched, killed) + 0.1);
}

}  // namespace
