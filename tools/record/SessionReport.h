// The session as the recorder describes it, while it records and once it has ended: each
// sink's counts, the files, the cut so far, how publishing fares and what the user should
// know. The progress line, the console's /api/status, the summary's tables and the --json
// file are all written from this one description, and the documents write its parts with
// the functions below, so that a thing has the same name and meaning in each of them.
#pragma once

#include <string>
#include <vector>

#include "tools/common/Json.h"
#include "tools/record/SessionNote.h"
#include "tools/record/SinkStatus.h"
#include "tools/record/disk/DiskReading.h"
#include "tools/record/edit/CutList.h"
#include "tools/record/publish/PublishStatus.h"

namespace sorvo::tools {

struct SessionReport {
  double seconds = 0;  // on the session's clock; its whole length once it has ended
  std::string outDir;
  std::vector<SinkStatus> sinks;
  std::vector<OutputFile> files;
  std::vector<SessionNote> notes;  // things the user should know
  // Cameras put on program (by key, by the timer or from the console), at the times they
  // take effect in the director's file, and the marks.
  std::vector<Shot> switches;
  std::vector<Mark> marks;
  PublishStatus publish;  // not active without --publish
  std::vector<DiskReading> disks;  // the file systems written to, as last read
};

// What every document says of a sink: name, title (a camera's own name, or empty), source,
// port, video, buffersIn, packets, bytes, dropped (every picture lost on the way), and for a
// source that lost its signal signalLossTally: {count, firstLostAt, lastLostAt, secondsLost}.
Json SinkJson(const SinkStatus& sink);
// What every document says of a file: path, kind, owner, and for a file stopped early
// stoppedAt and stoppedWhy.
Json FileJson(const OutputFile& file);
// Each file system: folder, freeBytes, bytesPerSecond (measured or not), secondsLeft, low,
// nearlyFull.
Json DisksJson(const std::vector<DiskReading>& disks);
// A switch as {time, camera}, a mark as {time, label}.
Json ShotJson(const Shot& shot);
Json MarkJson(const Mark& mark);
// The switches and the marks as "switches" and "marks".
void AddCutJson(const SessionReport& report, Json* document);

}  // namespace sorvo::tools
