// The console wired to a recording session: it listens where the options say, takes the
// session's counters from the recorder's main loop (Publish) and hands the operator's
// requests to that loop (TakeRequests, with a descriptor for its poll), which carries them
// out as it does the keys. So the session itself is only ever touched on the main thread.
//
// Threads: Start, Begin, Publish, TakeRequests and the destructor on the main thread; the
// ConsoleModel operations on the console's network thread. m_lock guards m_snapshot,
// m_cut, m_requests and m_stopAsked.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/record/RecordOptions.h"
#include "tools/record/SessionClock.h"
#include "tools/record/SessionReport.h"
#include "tools/record/console/Console.h"

namespace sorvo::tools {

class SessionConsole : public ConsoleModel {
 public:
  struct Request {
    enum class Kind { kProgram, kPreview, kTake, kMark, kStop };
    Kind kind = Kind::kStop;
    int camera = -1;
    std::string label;
    double time = 0;  // of a mark: when it was asked for
  };

  explicit SessionConsole(const RecordOptions& options);
  ~SessionConsole() override;
  SessionConsole(const SessionConsole&) = delete;
  SessionConsole& operator=(const SessionConsole&) = delete;

  // Listens. False with `error` when the address the user asked for cannot be had; the
  // default address, when taken, leaves a note() and no console (active() false).
  bool Start(std::string* error);
  bool active() const { return m_active; }
  const std::string& note() const { return m_note; }
  // What to tell the user: where to open the console.
  std::string Address() const;
  Console& console() { return *m_console; }

  // The session's clock has started.
  void Begin(std::shared_ptr<const SessionClock> clock);
  // Seconds on the session's clock; 0 before Begin.
  double Now() const;
  // The session as the console shows it next, and what changed in its cut since the last
  // call (the report's own cut is not shown).
  void Publish(const SessionReport& report, ConsoleSessionState state, CutChange cut);
  // The main loop put `camera` on preview (-1: none): Take has something to take.
  void PreviewShown(int camera);
  // Readable while requests wait.
  int fd() const { return m_wake; }
  std::vector<Request> TakeRequests();

  // ConsoleModel
  ConsoleSnapshot Snapshot() override;
  CutChange TakeCut() override;
  std::string SelectProgram(int camera) override;
  std::string SelectPreview(int camera) override;
  std::string Take() override;
  std::string AddMark(const std::string& label, double* time) override;
  bool RequestStop() override;

 private:
  void Push(Request request);
  // Why `camera` cannot go on a bus; empty when it can. m_lock held.
  std::string CameraProblemLocked(int camera) const;

  const RecordOptions& m_options;
  std::unique_ptr<Console> m_console;
  bool m_active = false;
  std::string m_note;
  std::string m_token;
  int m_wake = -1;
  std::shared_ptr<const SessionClock> m_clock;  // guarded by m_lock
  mutable std::mutex m_lock;
  ConsoleSnapshot m_snapshot;
  CutChange m_cut;  // published, not yet taken
  std::vector<Request> m_requests;
  bool m_stopAsked = false;
  int m_preview = -1;  // as announced by the main loop, which keeps the buses
};

}  // namespace sorvo::tools
