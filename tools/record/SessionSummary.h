// The end of a session: the session's own report (per sink what went in and came out), and
// every file read back (media files with libavformat and libavcodec, private stream files
// record by record), so that the user sees the recording is good. Printed as tables and,
// on request, as JSON.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tools/common/MediaReadBack.h"
#include "tools/common/PrivateStreamScanner.h"
#include "tools/record/SessionReport.h"

namespace sorvo::tools {

struct FileCheck {
  OutputFile file;
  bool checked = true;  // false: reading back was skipped (stopped), only the size known
  bool good = false;
  std::string problem;          // why it is not good, or that it was not read back
  FileReadBack media;           // media files
  PrivateStreamCounts records;  // private stream files
};

struct SessionSummary {
  SessionReport session;  // as it ended
  std::string appDir;
  std::vector<FileCheck> files;  // the session's files, read back
  ReadDepth checkDepth = ReadDepth::kBounded;
  double checkSeconds = 0;  // how long reading them back took

  // No file was found bad (and there are files); files not read back are not counted.
  bool NoneBad() const;
  // Every file was read back.
  bool AllChecked() const;
};

// Reads every file back to `depth`, a file to a core; the checks keep the files' order.
// `videoStreams` and `audioStreams` are what the multi-stream file must hold; the edit lists
// count `fps` pictures a second. Once `stopped` says so, the files left are not read back:
// only their sizes are taken (`stopped` is called under a lock, from any of the threads).
std::vector<FileCheck> CheckFiles(const std::vector<OutputFile>& files,
                                  int videoStreams,
                                  int audioStreams,
                                  int fps,
                                  const std::function<bool()>& stopped,
                                  ReadDepth depth = ReadDepth::kBounded);

// Marks as incomplete every file, read back good so far, that holds fewer pictures (or,
// for the WAV file, less sound) than its sink made: the library gave up on it part-way,
// for instance on a full disk. A camera's or the director's MP4 whose index counts other
// bytes of pictures than its sink handed out is marked too.
void MarkIncompleteFiles(std::vector<FileCheck>* checks, const std::vector<SinkStatus>& sinks);

// Marks as off every file read back good so far whose pictures or sound do not last the
// session's `seconds` to within a picture (at `fps`, or of the slowest camera's pictures;
// pictures half a picture more for the slots they are written in),
// saying by how much, and naming a file that does last the session.
void MarkFileLengths(std::vector<FileCheck>* checks, double seconds, int fps);
// How long a file's pictures (its longest video stream) and its sound last; -1 for what it
// does not hold or was not read.
struct FileLengths {
  double pictures = -1;
  double sound = -1;
};
FileLengths LengthsOf(const FileCheck& check);

void PrintSummary(const SessionSummary& summary, std::FILE* out);
// The summary as the --json file holds it (the console shows it at the end too).
Json SummaryJson(const SessionSummary& summary);
// False with `error` set when the file cannot be written.
bool WriteSummaryJson(const SessionSummary& summary, const std::string& path, std::string* error);

}  // namespace sorvo::tools
