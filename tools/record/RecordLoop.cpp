#include "tools/record/RecordLoop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <set>
#include <string>

#include "tools/common/RawTerminal.h"

namespace sorvo::tools {

double RunRecordLoop(const RecordOptions& options, RecordSession& session, StopSignal& stop,
                     ProgressLine& progress) {
  using Clock = std::chrono::steady_clock;
  using Seconds = std::chrono::duration<double>;
  RawTerminal keys(STDIN_FILENO);
  const Clock::time_point start = Clock::now();
  const Clock::duration showEvery = progress.inPlace() ? std::chrono::milliseconds(250)
                                                       : std::chrono::milliseconds(1000);
  const bool timed = options.seconds > 0;
  const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                            Seconds(timed ? options.seconds : 0));
  Clock::time_point nextShow = start + showEvery;
  std::set<std::string> told;

  if (keys.active())
    progress.Message(timed ? "Recording; q stops early." : "Recording until q or Ctrl-C.");
  else if (!timed)
    progress.Message("Recording until Ctrl-C or SIGTERM.");

  for (;;) {
    Clock::time_point wake = nextShow;
    if (timed) wake = std::min(wake, end);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now());
    pollfd fds[2] = {{stop.fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const int count = keys.active() ? 2 : 1;
    poll(fds, count, static_cast<int>(std::max<long long>(0, wait.count())));

    if (stop.Requested()) {
      progress.Message(std::string("Stopping on ") +
                       (stop.LastSignal() == SIGTERM ? "SIGTERM" : "Ctrl-C") +
                       "; finishing the files.");
      break;
    }
    bool quit = false;
    for (int key; (key = keys.ReadKey()) >= 0;) {
      if (key == 'q' || key == 'Q') quit = true;
    }
    if (quit) {
      progress.Message("Stopping; finishing the files.");
      break;
    }
    const Clock::time_point now = Clock::now();
    if (timed && now >= end) break;
    if (now >= nextShow) {
      progress.Show(Seconds(now - start).count(), session.Status(), "");
      for (const std::string& note : session.Notes())
        if (told.insert(note).second) progress.Message("note: " + note);
      nextShow += showEvery;
    }
  }
  const double recorded = Seconds(Clock::now() - start).count();
  progress.Show(recorded, session.Status(), "");
  progress.Finish();
  return recorded;
}

}  // namespace sorvo::tools
