#include "tools/recover/RecordingCheck.h"

#include <chrono>
#include <cstdio>

#include "tools/common/EveryCore.h"
#include "tools/common/MappedFile.h"
#include "tools/common/MediaReadBack.h"
#include "tools/common/PrivateStreamScanner.h"
#include "tools/common/TextTable.h"

namespace sorvo::tools {
namespace {

struct Verdict {
  std::string streams = "-";
  long long frames = 0;
  double seconds = -1;
  std::string problem;
};

Verdict CheckPrivate(const std::string& path) {
  Verdict verdict;
  MappedFile mapped;
  if (!mapped.Open(path, &verdict.problem))
    return verdict;
  const PrivateStreamCounts records =
      ScanPrivateStream(mapped.data(), mapped.size(), [](const PrivatePacket&) {});
  verdict.streams = "records";
  verdict.frames = records.good;
  if (records.good == 0)
    verdict.problem = "no intact record";
  else if (records.damaged > 0)
    verdict.problem = FormatCount(records.damaged) + " damaged stretches";
  return verdict;
}

Verdict CheckMedia(const std::string& path, const char* format) {
  const FileReadBack media = ReadBack(path, format, ReadDepth::kFull);
  Verdict verdict;
  verdict.problem = media.Problem();
  verdict.seconds = media.opened ? media.seconds : -1;
  std::string streams;
  for (const StreamReadBack& stream : media.streams) {
    if (stream.kind == "other")
      continue;
    streams += (streams.empty() ? "" : " + ") + stream.kind;
    verdict.frames += stream.frames;
  }
  if (!streams.empty())
    verdict.streams = streams;
  return verdict;
}

Verdict Check(const RecordingToCheck& file) {
  if (file.kind.empty()) {
    Verdict verdict;
    verdict.problem = "not a recording sorvo-recover knows";
    return verdict;
  }
  if (file.kind == "private")
    return CheckPrivate(file.path);
  return CheckMedia(file.path, file.kind == "raw" ? "m4v" : nullptr);
}

}  // namespace

bool CheckRecordings(const std::vector<RecordingToCheck>& files) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<Verdict> verdicts(files.size());
  ForEachOnCores(files.size(), [&](size_t i) { verdicts[i] = Check(files[i]); });
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  TextTable table({{"file"}, {"streams"}, {"frames", true}, {"length", true}, {"check"}});
  long long bad = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const Verdict& verdict = verdicts[i];
    bad += verdict.problem.empty() ? 0 : 1;
    table.AddRow({files[i].path, verdict.streams, FormatCount(verdict.frames),
                  verdict.seconds >= 0 ? FormatFixed(verdict.seconds, 2) + " s" : "-",
                  verdict.problem.empty() ? "good" : "BAD: " + verdict.problem});
  }
  table.Print(stdout);
  std::printf("\n%s Every picture and sound frame decoded in %s s.\n",
              bad == 0
                  ? "Every file is good."
                  : (FormatCount(bad) + " of " + FormatCount(static_cast<long long>(files.size())) +
                     " files are NOT good.")
                        .c_str(),
              FormatFixed(seconds, 1).c_str());
  return bad == 0;
}

}  // namespace sorvo::tools
