// What the console's tests share: a model that stands in for the recorder, a clock the test
// moves by hand, and the reading of the JPEGs the console makes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/CodecTestSupport.h"
#include "tools/record/console/Console.h"
#include "tools/record/console/ConsoleModel.h"

namespace sorvo::test {

// A recording of three cameras (0 to 2; or one per title given, named so), a director and
// the sound, as a recorder would describe it; the controls are recorded, and switches,
// previews and marks announced to the console the way the recorder does.
class FakeModel : public sorvo::tools::ConsoleModel {
 public:
  explicit FakeModel(const std::vector<std::string>& titles = {});

  sorvo::tools::ConsoleSnapshot Snapshot() override;
  sorvo::tools::CutChange TakeCut() override { return m_cut.TakeChange(); }
  std::string SelectProgram(int camera) override;
  std::string SelectPreview(int camera) override;
  std::string Take() override;
  std::string AddMark(const std::string& label, double* time) override;
  bool RequestStop() override;

  // Set before the console starts.
  void Announce(sorvo::tools::Console* console) { m_console = console; }
  void SetSnapshot(const sorvo::tools::ConsoleSnapshot& snapshot);
  void SetSeconds(double seconds);
  void SetState(sorvo::tools::ConsoleSessionState state);
  // The cut the console follows; the controls add to it.
  sorvo::tools::CutList& cut() { return m_cut; }

  std::vector<int> selected() const;
  std::vector<std::string> marks() const;
  int stops() const;
  // Controls that reached the model at all.
  int controls() const;

 private:
  std::string CameraProblemLocked(int camera) const;
  std::string ProgramLocked(int camera);

  mutable std::mutex m_lock;  // guards everything below
  sorvo::tools::ConsoleSnapshot m_snapshot;
  std::vector<int> m_selected;
  int m_preview = -1;
  std::vector<std::string> m_marks;
  int m_stops = 0;
  sorvo::tools::Console* m_console = nullptr;
  sorvo::tools::CutList m_cut;  // thread-safe itself
};

// A steady clock that only moves when told.
class ManualClock {
 public:
  std::chrono::steady_clock::time_point Now() const {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(m_now.load()));
  }
  void Advance(std::chrono::milliseconds by) { m_now += std::chrono::nanoseconds(by).count(); }

 private:
  std::atomic<int64_t> m_now{1'000'000'000'000};
};

// Runs `step` over and over on a thread of its own until stopped or destroyed, so that a
// failed assertion cannot leave the thread running.
class Repeat {
 public:
  explicit Repeat(std::function<void()> step)
      : m_thread([this, step = std::move(step)] {
          while (!m_stop.load())
            step();
        }) {}
  ~Repeat() { Stop(); }
  void Stop() {
    m_stop.store(true);
    if (m_thread.joinable())
      m_thread.join();
  }

 private:
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// The console's address as a program printed it ("http://127.0.0.1:PORT/?token=HEX");
// port 0 when the output holds none.
struct ConsoleUrl {
  std::string url;
  unsigned short port = 0;
  std::string token;
};
ConsoleUrl FindConsoleUrl(const std::string& output);

struct Rgb {
  double red = 0, green = 0, blue = 0;
};
// A JPEG decoded with libavcodec; width 0 when it does not decode.
Picture DecodeJpeg(const std::string& jpeg);
// The mean colour of a decoded full-range 4:2:0 picture.
Rgb MeanColour(const Picture& picture);
// Whether the colours lie within `tolerance` of each other in every channel.
bool Near(const Rgb& a, const Rgb& b, double tolerance);

// A picture of one colour in YUV 4:2:0 (limited range, as cameras deliver it).
std::vector<uint8_t> SolidYuvPicture(int width,
                                     int height,
                                     uint8_t red,
                                     uint8_t green,
                                     uint8_t blue);

}  // namespace sorvo::test
