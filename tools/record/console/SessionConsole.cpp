#include "tools/record/console/SessionConsole.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "tools/record/console/AccessToken.h"

namespace sorvo::tools {

SessionConsole::SessionConsole(const RecordOptions& options)
    : m_options(options),
      m_console(std::make_unique<Console>()),
      m_wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

SessionConsole::~SessionConsole() {
  // The network thread calls this model until the console has stopped.
  m_console.reset();
  if (m_wake >= 0)
    close(m_wake);
}

bool SessionConsole::Start(std::string* error) {
  ConsoleAddress address;
  if (!ParseConsoleAddress(m_options.console, &address, error))
    return false;
  m_token = m_options.consoleToken.empty() ? MakeAccessToken() : m_options.consoleToken;
  if (m_token.empty() || m_wake < 0) {
    *error = "the console cannot start: no random token and no event descriptor";
    return false;
  }
  if (!m_console->Start(address, m_token, this, error)) {
    if (m_options.consoleAsked) {
      *error += "; choose another address with --console [ADDR:]PORT, or --no-console";
      return false;
    }
    m_note = "the console's port " + std::to_string(address.port) +
             " is in use (another recorder?): no console; choose one with --console PORT";
    error->clear();
    return true;
  }
  m_active = true;
  return true;
}

std::string SessionConsole::Address() const {
  std::string text = m_console->Url();
  if (m_console->everywhere())
    text += " (listening on every address of this machine)";
  return text;
}

void SessionConsole::Begin(std::shared_ptr<const SessionClock> clock) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_clock = std::move(clock);
}

double SessionConsole::Now() const {
  std::shared_ptr<const SessionClock> clock;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    clock = m_clock;
  }
  return clock ? clock->Now() : 0;
}

void SessionConsole::Publish(const SessionReport& report,
                             ConsoleSessionState state,
                             CutChange cut) {
  ConsoleSnapshot snapshot;
  static_cast<SessionReport&>(snapshot) = report;
  snapshot.switches.clear();
  snapshot.marks.clear();
  snapshot.state = state;
  snapshot.directorCameras =
      std::min(static_cast<int>(m_options.CameraSources().size()), RecordOptions::kDirectorCameras);
  snapshot.plannedSeconds = m_options.seconds;
  std::lock_guard<std::mutex> hold(m_lock);
  m_snapshot = std::move(snapshot);
  m_cut.Merge(std::move(cut));
}

CutChange SessionConsole::TakeCut() {
  std::lock_guard<std::mutex> hold(m_lock);
  CutChange taken = std::move(m_cut);
  // What the console has now is where the next change starts.
  m_cut = CutChange();
  m_cut.shotsFrom = taken.shotsFrom + taken.shots.size();
  m_cut.marksFrom = taken.marksFrom + taken.marks.size();
  return taken;
}

void SessionConsole::PreviewShown(int camera) {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_preview = camera;
  }
  m_console->PreviewChanged(camera);
}

std::vector<SessionConsole::Request> SessionConsole::TakeRequests() {
  uint64_t count = 0;
  while (read(m_wake, &count, sizeof(count)) > 0) {
  }
  std::lock_guard<std::mutex> hold(m_lock);
  std::vector<Request> requests;
  requests.swap(m_requests);
  return requests;
}

void SessionConsole::Push(Request request) {
  m_requests.push_back(std::move(request));
  const uint64_t one = 1;
  (void)!write(m_wake, &one, sizeof(one));
}

ConsoleSnapshot SessionConsole::Snapshot() {
  const double now = Now();
  std::lock_guard<std::mutex> hold(m_lock);
  ConsoleSnapshot snapshot = m_snapshot;
  // The counters are the loop's last; the clock runs on.
  if (snapshot.state == ConsoleSessionState::kRecording)
    snapshot.seconds = now;
  return snapshot;
}

std::string SessionConsole::CameraProblemLocked(int camera) const {
  if (m_snapshot.state != ConsoleSessionState::kRecording || m_stopAsked)
    return "the session is ending";
  const auto sink = std::find_if(m_snapshot.sinks.begin(), m_snapshot.sinks.end(),
                                 [camera](const SinkStatus& s) { return s.camera == camera; });
  if (sink == m_snapshot.sinks.end())
    return "there is no camera " + std::to_string(camera) + " in this session";
  if (camera >= m_snapshot.directorCameras)
    return sink->Shown() + " is recorded but not shown in the director's cut (cameras 0 to " +
           std::to_string(m_snapshot.directorCameras - 1) + " are)";
  return "";
}

std::string SessionConsole::SelectProgram(int camera) {
  std::lock_guard<std::mutex> hold(m_lock);
  const std::string why = CameraProblemLocked(camera);
  if (why.empty())
    Push({Request::Kind::kProgram, camera, "", 0});
  return why;
}

std::string SessionConsole::SelectPreview(int camera) {
  std::lock_guard<std::mutex> hold(m_lock);
  const std::string why = CameraProblemLocked(camera);
  if (!why.empty())
    return why;
  // A Take that comes before the main loop has made it takes it all the same.
  m_preview = camera;
  Push({Request::Kind::kPreview, camera, "", 0});
  return "";
}

std::string SessionConsole::Take() {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_snapshot.state != ConsoleSessionState::kRecording || m_stopAsked)
    return "the session is ending";
  if (m_preview < 0)
    return "no camera is on preview: choose one first";
  Push({Request::Kind::kTake, m_preview, "", 0});
  return "";
}

std::string SessionConsole::AddMark(const std::string& label, double* time) {
  *time = Now();
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_snapshot.state != ConsoleSessionState::kRecording || m_stopAsked)
    return "the session is ending";
  Push({Request::Kind::kMark, -1, label, *time});
  return "";
}

bool SessionConsole::RequestStop() {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_snapshot.state != ConsoleSessionState::kRecording || m_stopAsked)
    return false;
  m_stopAsked = true;
  Push({Request::Kind::kStop, -1, "", 0});
  return true;
}

}  // namespace sorvo::tools
