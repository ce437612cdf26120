#include "tools/record/RecordLoop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <string>

#include "tools/common/RawTerminal.h"
#include "tools/record/publish/PublishReport.h"

namespace sorvo::tools {

void RunRecordLoop(const RecordOptions& options,
                   RecordSession& session,
                   StopSignal& stop,
                   ProgressLine& progress,
                   SessionConsole* console,
                   TallyOut* tally) {
  using Clock = std::chrono::steady_clock;
  RawTerminal keys(STDIN_FILENO);
  // The session's clock, whose times the files keep: a mark or a switch is said at the time
  // the edit lists give it, and the session's length, switches and marks go by it (which
  // may be simulated time). The progress and the console are shown in real time.
  const std::shared_ptr<const SessionClock> shared = session.clock();
  const SessionClock& clock = *shared;
  const Clock::duration showEvery =
      progress.inPlace() ? std::chrono::milliseconds(250) : std::chrono::milliseconds(1000);
  const bool timed = options.seconds > 0;
  const double end = options.seconds;
  Clock::time_point nextShow = Clock::now() + showEvery;
  const bool switching = options.switchEvery > 0;
  const double switchEvery = options.switchEvery;
  double nextSwitch = switchEvery;
  const bool marking = options.markEvery > 0;
  double nextMark = options.markEvery;
  auto directorText = [&] {
    std::string text = session.selectedCamera() >= 0
                           ? "director: " + session.CameraShown(session.selectedCamera())
                           : std::string();
    const std::string publishing = PublishProgressText(session.Publishing());
    if (!publishing.empty())
      text += (text.empty() ? "" : " | ") + publishing;
    const std::string disk = session.DiskText();
    if (!disk.empty())
      text += (text.empty() ? "" : " | ") + disk;
    return text;
  };
  // What was said before the recording began is not said again. A note is said once; one
  // repeated since (see SessionNote) gets a line of its count at most every kRetell.
  constexpr auto kRetell = std::chrono::seconds(60);
  std::map<std::string, long long> told;  // times said, by the note's text
  for (const SessionNote& note : session.Notes())
    told[note.text] = note.count;
  Clock::time_point nextRetell = Clock::now() + kRetell;
  auto sessionTime = [&] { return clock.Now(); };
  // The tally changes as the switch is asked for; the session's cut holds the switches where
  // they take effect in the director's file.
  int preview = -1;
  auto switched = [&] {
    if (console)
      console->console().ProgramChanged(session.selectedCamera(), sessionTime());
    if (tally)
      tally->Show(session.selectedCamera(), preview);
  };
  auto previewed = [&](int camera) {
    preview = camera;
    if (console)
      console->PreviewShown(preview);
    if (tally)
      tally->Show(session.selectedCamera(), preview);
  };
  auto mark = [&](double time, const std::string& label) {
    session.cutList().AddMark(time, label);
    if (console)
      console->console().Marked(time, label);
  };
  // The camera selected when the director was made is on program from the start.
  if (session.selectedCamera() >= 0 && console)
    console->console().ProgramChanged(session.selectedCamera(), 0);
  if (tally)
    tally->Show(session.selectedCamera(), preview);
  if (console)
    console->Begin(shared);
  const Clock::duration publishEvery = std::chrono::milliseconds(250);
  Clock::time_point nextPublish = Clock::now();

  if (keys.active())
    progress.Message(std::string("Keys 0-") + std::to_string(session.directorCameraCount() - 1) +
                     " choose the director's camera; m marks; q stops" +
                     (timed ? " early." : " (or Ctrl-C)."));
  else if (!timed)
    progress.Message("Recording until Ctrl-C or SIGTERM.");

  for (;;) {
    Clock::time_point wake = nextShow;
    if (timed)
      wake = std::min(wake, clock.At(end));
    if (switching)
      wake = std::min(wake, clock.At(nextSwitch));
    if (marking)
      wake = std::min(wake, clock.At(nextMark));
    if (console)
      wake = std::min(wake, nextPublish);
    // Rounded up: a wait rounded down to nothing would spin until the moment comes.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());
    pollfd fds[3] = {{stop.fd(), POLLIN, 0},
                     {console ? console->fd() : -1, POLLIN, 0},
                     {STDIN_FILENO, POLLIN, 0}};
    const int count = keys.active() ? 3 : 2;
    poll(fds, count, static_cast<int>(std::max<long long>(0, wait.count())));

    if (stop.Requested()) {
      progress.Message(std::string("Stopping on ") +
                       (stop.LastSignal() == SIGTERM ? "SIGTERM" : "Ctrl-C") +
                       "; finishing the files (stop again to skip reading them back).");
      break;
    }
    bool quit = false;
    // A camera chosen by hand stays on screen for a whole interval.
    auto choose = [&](int camera) {
      if (!session.SelectCamera(camera))
        return false;
      switched();
      nextSwitch = clock.Now() + switchEvery;
      nextShow = Clock::now();
      return true;
    };
    for (int key; (key = keys.ReadKey()) >= 0;) {
      if (key == 'q' || key == 'Q')
        quit = true;
      if (key == 'm' || key == 'M')
        mark(sessionTime(), "");
      if (key < '0' || key > '9')
        continue;
      if (choose(key - '0'))
        continue;
      if (key - '0' < session.cameraCount())
        progress.Message(session.CameraShown(key - '0') +
                         " is recorded but not shown in the director's cut (cameras 0 to " +
                         std::to_string(session.directorCameraCount() - 1) + " are)");
      else
        progress.Message("there is no camera " + std::string(1, static_cast<char>(key)));
    }
    bool consoleStop = false;
    for (const SessionConsole::Request& request :
         console ? console->TakeRequests() : std::vector<SessionConsole::Request>()) {
      if (request.kind == SessionConsole::Request::Kind::kProgram)
        choose(request.camera);
      if (request.kind == SessionConsole::Request::Kind::kPreview)
        previewed(request.camera);
      if (request.kind == SessionConsole::Request::Kind::kTake && preview >= 0) {
        // One cut: the tally sees both buses change together.
        const int next = preview;
        const int program = session.selectedCamera();
        preview = program;
        if (choose(next))
          previewed(program);
        else
          preview = next;
      }
      if (request.kind == SessionConsole::Request::Kind::kMark)
        mark(request.time, request.label);
      consoleStop = consoleStop || request.kind == SessionConsole::Request::Kind::kStop;
    }
    if (quit || consoleStop) {
      progress.Message(consoleStop ? "Stopping as the console asked; finishing the files."
                                   : "Stopping; finishing the files.");
      break;
    }
    const double now = clock.Now();
    if (timed && now >= end)
      break;
    if (switching && now >= nextSwitch) {
      session.SelectNextCamera();
      switched();
      // A loop held up (a slow machine, a stopped terminal) switches once, not once for
      // every interval it missed.
      nextSwitch += switchEvery;
      if (nextSwitch <= now)
        nextSwitch = now + switchEvery;
    }
    if (marking && now >= nextMark) {
      // At the moment it was due, so that the marks keep their rhythm in the edit lists.
      mark(nextMark, "");
      nextMark += options.markEvery;
      if (nextMark <= now)
        nextMark = now + options.markEvery;
    }
    const Clock::time_point wall = Clock::now();
    if (console && wall >= nextPublish) {
      console->Publish(session.Counters(), ConsoleSessionState::kRecording,
                       session.cutList().TakeChange());
      nextPublish = wall + publishEvery;
    }
    if (wall >= nextShow) {
      session.CheckDisk();
      progress.Show(now, session.Status(), directorText());
      const bool retell = wall >= nextRetell;
      for (const SessionNote& note : session.Notes()) {
        const auto said = told.find(note.text);
        if (said == told.end()) {
          told[note.text] = note.count;
          progress.Message("note: " + note.text);
          if (console)
            console->console().Problem(note.text);
        } else if (retell && note.count > said->second) {
          said->second = note.count;
          progress.Message("note repeated: " + note.Shown());
        }
      }
      if (retell)
        nextRetell = wall + kRetell;
      for (const std::string& message : session.TakePublishMessages()) {
        progress.Message(message);
        if (console)
          console->console().Problem(message);
      }
      nextShow += showEvery;
    }
  }
  if (console)
    console->Publish(session.Counters(), ConsoleSessionState::kStopping,
                     session.cutList().TakeChange());
}

}  // namespace sorvo::tools
