#include "tools/recover/SessionRescue.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "tools/common/MappedFile.h"
#include "tools/record/edit/ChapterTitles.h"
#include "tools/record/edit/CutJournal.h"
#include "tools/record/edit/EditLists.h"
#include "tools/recover/FragmentedRescue.h"
#include "tools/common/Mp4Layout.h"
#include "tools/recover/StagedOutput.h"

namespace sorvo::tools {
namespace {

namespace fs = std::filesystem;

int Fail(const std::string& message) {
  std::fprintf(stderr, "sorvo-recover: %s\n", message.c_str());
  return 1;
}

// Rebuilds `file` (a fragmented MP4) into `folder`, with `chapters`; where its
// pictures end, in seconds from its start, into `end`. False, said, when it cannot be.
bool RebuildFile(const EditFile& file,
                 const std::string& folder,
                 const FileChapterList& chapters,
                 double* end) {
  MappedFile mapped;
  std::string error;
  if (!mapped.Open(file.path, &error)) {
    Fail("cannot read " + file.path + ": " + error);
    return false;
  }
  const Mp4Layout layout = ReadMp4Layout(mapped.data(), mapped.size());
  if (!layout.fragmented) {
    Fail(file.path +
         " is not the fragmented MP4 a killed recording leaves: rescue it on its own with "
         "sorvo-recover FILE");
    return false;
  }
  const std::string output = folder + "/" + fs::path(file.path).filename().string();
  StagedOutput staged(output);
  std::vector<FragmentedStream> streams;
  if (!staged.Create(&error) ||
      !RescueFragmented(file.path, staged.path(), chapters, &streams, &error)) {
    Fail(file.path + ": " + error);
    return false;
  }
  *end = 0;
  long long pictures = 0;
  for (const FragmentedStream& stream : streams)
    if (stream.kind == "video") {
      pictures += stream.packets;
      *end = std::max(*end, stream.end);
    }
  if (pictures == 0) {
    Fail(file.path + " holds no complete fragment of pictures: nothing was written");
    return false;
  }
  if (!staged.Commit(&error)) {
    Fail(error);
    return false;
  }
  std::printf("wrote %s: %lld pictures, %.2f s\n", output.c_str(), pictures, *end);
  return true;
}

// The session of one journal; 0 when all of it was rescued.
int RescueJournal(const std::string& journal, const std::string& folder) {
  JournalContents contents;
  std::string error;
  if (!ReadCutJournal(journal, &contents, &error))
    return Fail(error);
  const std::vector<Shot> shots = contents.cut.Shots();
  const std::vector<Mark> marks = contents.cut.Marks();
  std::printf("%s: the cut's journal, %zu shots and %zu marks", journal.c_str(), shots.size(),
              marks.size());
  if (contents.damagedLines > 0)
    std::printf(", %lld lines that did not read were left out", contents.damagedLines);
  std::printf("\n");
  if (!contents.program.started)
    return Fail(journal +
                " never said where the director's pictures begin (the recorder was "
                "killed before its first picture): there is no cut to rebuild");
  const std::string recovered = folder + "/recovered";
  std::error_code made;
  fs::create_directories(recovered, made);
  if (made)
    return Fail("cannot make " + recovered + ": " + made.message());

  int result = 0;
  std::vector<EditFile> sources;
  std::vector<std::string> names;
  for (EditFile camera : contents.cameras) {
    double end = 0;
    if (!RebuildFile(camera, recovered, {}, &end)) {
      result = 1;
      camera.started = false;
    }
    camera.path = recovered + "/" + fs::path(camera.path).filename().string();
    if (names.size() <= static_cast<size_t>(camera.camera))
      names.resize(camera.camera + 1);
    names[camera.camera] = camera.name;
    sources.push_back(camera);
  }
  EditFile program = contents.program;
  FileChapterList chapters;
  for (const Chapter& chapter :
       ChapterTitles(shots, marks, names, contents.timecode, program.origin))
    chapters.emplace_back(chapter.time - program.origin, chapter.title);
  double end = 0;
  if (!RebuildFile(program, recovered, chapters, &end))
    return Fail("the director's file could not be rebuilt: no edit list was written");
  program.path = recovered + "/" + fs::path(program.path).filename().string();
  program.end = program.origin + end;

  std::vector<std::string> written;
  std::vector<std::string> problems;
  // The sound stays where it was recorded (sorvo-recover on sound.wav mends it there).
  WriteEditLists(PlanEdit(shots, marks, contents.timecode, program, sources, contents.sound),
                 contents.title, &written, &problems);
  for (const std::string& path : written)
    std::printf("wrote %s\n", path.c_str());
  for (const std::string& problem : problems)
    result = Fail(problem);
  return result;
}

}  // namespace

int RescueSession(const std::string& folder) {
  std::vector<std::string> journals;
  std::error_code failed;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, failed))
    if (entry.path().extension() == ".cut" && entry.is_regular_file())
      journals.push_back(entry.path().string());
  if (failed)
    return Fail("cannot read the folder " + folder + ": " + failed.message());
  if (journals.empty())
    return Fail("the folder " + folder +
                " holds no cut journal (director.cut): the session ended properly, or was not "
                "recorded by sorvo-record; rescue its files one by one with sorvo-recover FILE");
  std::sort(journals.begin(), journals.end());
  int result = 0;
  for (const std::string& journal : journals)
    result = std::max(result, RescueJournal(journal, folder));
  return result;
}

}  // namespace sorvo::tools
