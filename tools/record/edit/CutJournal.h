// The cut as it is made, on disk: one line per switch and per mark, appended and synced as
// they come, so that the cut outlives a killed recorder and sorvo-recover rebuilds the edit
// lists and the director's chapters from it (ReadCutJournal). Its head says what the lists
// need besides: the title, the session's timecode, the director's and the cameras' files;
// where each file's first picture lies is added once the file has it.
//
// One text line each, fields split by tabs (every text in it is printable, see
// PrintableText), times in session seconds:
//   sorvo-cut 1 | title T | timecode START-OF-DAY RATE | program FILE
//   camera N FILE NAME | sound FILE CHANNELS | origin N TIME (N -1: the program, -2: the
//   sound) | switch TIME N | mark TIME LABEL
// A line cut short by the kill is left out when it is read.
//
// Threads: Switch, Mark from any thread (they only queue the line); the journal's own
// thread writes, syncs and asks the files for their origins. m_lock guards the queue and
// the origin probes; CutList calls Switch and Mark under its own lock, which comes first.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/Timecode.h"
#include "tools/record/edit/CutList.h"
#include "tools/record/edit/EditPlan.h"

namespace sorvo::tools {

// What a journal holds, as read back.
struct JournalContents {
  std::string title;
  Timecode timecode;
  EditFile program;               // its path the journal's folder and its file name
  std::vector<EditFile> cameras;  // likewise; started once an origin was journaled
  EditFile sound;                 // likewise; no path when the session had no sound
  CutList cut;
  long long damagedLines = 0;  // lines that did not read (a kill's last line is not counted)
};

class CutJournal {
 public:
  // Tells where a file's first picture lies (session seconds), once it has one.
  using OriginProbe = std::function<bool(double*)>;

  CutJournal() = default;
  // Close()s it.
  ~CutJournal();
  CutJournal(const CutJournal&) = delete;
  CutJournal& operator=(const CutJournal&) = delete;

  // The number of the program's and the sound's origins among the probes.
  static constexpr int kProgram = -1;
  static constexpr int kSound = -2;

  // Starts the journal at `path` with its head: `program`, `cameras` and `sound` (no path:
  // none) give the files (their names, the file names taken from their paths), `probes` the
  // origin of each (by camera number, or kProgram, kSound). False with `error`.
  bool Open(const std::string& path,
            const std::string& title,
            const Timecode& timecode,
            const EditFile& program,
            const std::vector<EditFile>& cameras,
            const EditFile& sound,
            std::vector<std::pair<int, OriginProbe>> probes,
            std::string* error);
  void Switch(double time, int camera);
  void Mark(double time, const std::string& label);
  // Asks the files that have not told their origins once more, writes what is queued and
  // stops the thread; the probes are not called after it.
  void Close();
  // The first write error, empty while none (after Close).
  const std::string& error() const { return m_error; }

 private:
  void Run();
  void Queue(std::string line);

  std::string m_path;
  int m_fd = -1;
  std::mutex m_lock;
  std::condition_variable m_wake;
  std::string m_queued;                               // guarded by m_lock
  std::vector<std::pair<int, OriginProbe>> m_probes;  // guarded by m_lock
  bool m_stop = false;                                // guarded by m_lock
  std::string m_error;                                // the journal's thread's until it is joined
  std::thread m_thread;
};

// Reads the journal at `path`; false with `error` when it cannot be read or is no journal.
bool ReadCutJournal(const std::string& path, JournalContents* contents, std::string* error);

}  // namespace sorvo::tools
