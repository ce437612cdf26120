// sorvo-record: a multi-camera recorder built on libsorvo's exported interface, as any
// program outside the library would use it.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/StopSignal.h"
#include "tools/common/TextTable.h"
#include "tools/record/FfmpegLog.h"
#include "tools/record/LibraryLog.h"
#include "tools/record/OutputFolder.h"
#include "tools/record/ProgressLine.h"
#include "tools/record/RecordLoop.h"
#include "tools/record/RecordOptions.h"
#include "tools/record/RecordSession.h"
#include "tools/record/SessionSummary.h"
#include "tools/record/console/SessionConsole.h"
#include "tools/record/disk/SessionByteRate.h"
#include "tools/record/disk/SpaceAtStart.h"
#include "tools/record/tally/TallyOut.h"

namespace {

using namespace sorvo::tools;

int Fail(const std::string& message) {
  std::fprintf(stderr, "sorvo-record: %s\n", message.c_str());
  return 1;
}

// "a, b, c", and past ten names how many more there are.
std::string JoinNames(const std::vector<std::string>& names) {
  constexpr size_t kShown = 10;
  std::string joined;
  for (size_t i = 0; i < names.size() && i < kShown; ++i)
    joined += (i == 0 ? "" : ", ") + names[i];
  if (names.size() > kShown)
    joined += " and " + std::to_string(names.size() - kShown) + " more";
  return joined;
}

std::string AppDirectory() {
  char path[4096];
  SorvoGetAppDirectory(path, sizeof(path));
  return path;
}

void PrintPlan(const RecordOptions& options,
               const RecordSession& session,
               const std::string& outDir,
               const SpaceAtStart& space) {
  std::printf("Recording into %s\n", outDir.c_str());
  for (const std::string& line : space.lines)
    std::printf("  free space: %s\n", line.c_str());
  for (const SinkStatus& sink : session.Status()) {
    std::printf("  %-9s %s", sink.name.c_str(), sink.source.c_str());
    if (sink.port > 0)
      std::printf(", served on port %d", sink.port);
    std::printf("\n");
  }
  if (!options.ServesNetwork())
    std::printf("  served on %s only: this machine (--serve ADDR opens them to a network)\n",
                options.serve.c_str());
  if (options.privateStream || options.saveStream)
    std::printf("  stream files go under %s\n", AppDirectory().c_str());
  for (const PublishOutputStatus& output : session.Publishing().outputs)
    std::printf("  publish   %s: the director's program as H.264 at %s bit/s%s\n",
                output.shown.c_str(), FormatCount(options.publishBitrate).c_str(),
                session.hasSound() ? " and the sound as AAC" : "");
  for (const SessionNote& note : session.Notes())
    std::printf("note: %s\n", note.Shown().c_str());
  std::printf("%s\n", ProgressLine::Legend());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  RecordOptions options;
  const int parsed = ParseRecordOptions(argc, argv, &options);
  if (parsed >= 0)
    return parsed;

  StopSignal stop;
  if (!stop.ok())
    return Fail("cannot watch for Ctrl-C and SIGTERM");
  ProgressLine progress(stdout, stderr);
  const LibraryLog libraryLog(progress);
  const FfmpegLog ffmpegLog(progress);

  // Sources and ports are checked before anything is written: a session that cannot run
  // leaves no folder behind. The console outlives the session, whose taps it holds.
  std::unique_ptr<SessionConsole> console;
  RecordSession session(options);
  std::string error;
  if (!options.json.empty() && !CanCreateFile(options.json, &error))
    return Fail(error);
  const std::string folder = options.out.empty() ? DefaultOutputFolder() : options.out;
  const std::vector<std::string> earlier = EarlierRecordings(folder);
  if (!earlier.empty() && !options.force)
    return Fail(folder + " already holds recordings (" + JoinNames(earlier) +
                "); choose another --out folder, or add --force to move them aside into " + folder +
                "/earlier-N first");
  if (!session.OpenSources(&error))
    return Fail(error);
  if (!options.noConsole) {
    console = std::make_unique<SessionConsole>(options);
    if (!console->Start(&error))
      return Fail(error);
    if (console->active())
      session.AttachConsole(&console->console());
  }
  std::unique_ptr<TallyOut> tally;
  if (!options.tally.empty()) {
    tally = TallyOut::Open(options.tally, session.CameraTitles(), &error);
    if (!tally)
      return Fail(error);
  }
  const bool folderExisted = std::filesystem::exists(folder);
  const std::string outDir = PrepareOutputFolder(folder, &error);
  if (outDir.empty())
    return Fail(error);
  // Whether the free space lasts the session is known before anything is written in the
  // folder; a folder made for a session refused is taken away again.
  const std::vector<DiskNeed> needs =
      SessionDiskNeeds(options, outDir, session.StreamFolder(outDir), &error);
  if (!error.empty())
    std::printf("note: %s: the session cannot say how long it lasts there\n", error.c_str());
  const SpaceAtStart space = CheckSpaceAtStart(needs, options.seconds);
  if (!space.shortfall.empty() && !options.force) {
    std::error_code ignored;
    if (!folderExisted)
      std::filesystem::remove(outDir, ignored);
    return Fail(space.shortfall);
  }
  const std::string forcedSpace = space.shortfall.empty() ? "" : "--force: " + space.shortfall;
  std::string movedAside;
  if (!earlier.empty()) {
    const std::string aside = MoveAside(outDir, earlier, &error);
    if (aside.empty())
      return Fail(error + "; nothing was recorded");
    movedAside = "--force: the earlier recordings were moved aside into " + aside + ": " +
                 JoinNames(earlier);
    std::printf("%s\n", movedAside.c_str());
  }
  if (!session.Create(outDir, &error)) {
    session.Stop();
    return Fail(error + "; nothing was recorded (files begun in " + outDir + " are empty)");
  }
  PrintPlan(options, session, outDir, space);
  if (!forcedSpace.empty())
    std::printf("note: %s\n", forcedSpace.c_str());
  if (console && console->active())
    std::printf("Console: %s\n", console->Address().c_str());
  else if (console)
    std::printf("note: %s\n", console->note().c_str());
  std::fflush(stdout);

  session.WatchDisk(needs);
  session.Start();
  RunRecordLoop(options, session, stop, progress,
                console && console->active() ? console.get() : nullptr, tally.get());
  session.Stop();
  for (const std::string& message : session.TakePublishMessages())
    progress.Message(message);
  SessionSummary summary;
  summary.session = session.Report();
  // The last line holds the counts of the closed sinks, which the summary gives too.
  progress.ShowFinal(summary.session.seconds, summary.session.sinks);
  progress.Finish();
  if (console && console->active()) {
    console->Publish(summary.session, ConsoleSessionState::kEnded, session.cutList().TakeChange());
    console->console().SessionEnded();
  }

  summary.appDir = AppDirectory();
  std::vector<SessionNote>& notes = summary.session.notes;
  if (!forcedSpace.empty())
    notes.insert(notes.begin(), forcedSpace);
  if (!movedAside.empty())
    notes.insert(notes.begin(), movedAside);
  bool stopReading = false;
  summary.checkDepth = options.fullCheck ? ReadDepth::kFull : ReadDepth::kBounded;
  const auto checkStart = std::chrono::steady_clock::now();
  summary.files = CheckFiles(
      summary.session.files, session.multiStreamCameraCount(), session.hasSound() ? 1 : 0,
      options.fps,
      [&] {
        if (!stopReading && stop.Requested()) {
          stopReading = true;
          std::printf("Stopping again: every file is closed; reading them back is skipped.\n");
        }
        return stopReading;
      },
      summary.checkDepth);
  summary.checkSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - checkStart).count();
  MarkIncompleteFiles(&summary.files, summary.session.sinks);
  MarkFileLengths(&summary.files, summary.session.seconds, options.fps);
  PrintSummary(summary, stdout);
  if (console && console->active())
    console->console().FilesReadBack(SummaryJson(summary));
  if (!options.json.empty() && !WriteSummaryJson(summary, options.json, &error))
    return Fail(error);
  return summary.NoneBad() ? 0 : 1;
}
