// sorvo-recover: rescues what the library wrote when a recording did not end properly. It
// rebuilds a playable MP4 from a private stream file, a raw stream file, an MP4 whose
// index was never written or a fragmented MP4 (a killed recording), and repairs the sizes of
// a WAV file. Given the folder of a killed session, it rebuilds the session's MP4s and its
// edit lists from the cut's journal (SessionRescue).
//
// The input is read to its end before anything is written, the new file is written under
// a temporary name and renamed when complete, and the input itself is never opened for
// writing (except the size fields of a WAV file with --in-place).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "tools/common/CommandLine.h"
#include "tools/common/MappedFile.h"
#include "tools/common/MediaReadBack.h"
#include "tools/common/Mp4Layout.h"
#include "tools/common/TextTable.h"
#include "tools/recover/ElementaryRecovery.h"
#include "tools/recover/FragmentedRescue.h"
#include "tools/recover/PrivateStreamRecovery.h"
#include "tools/recover/RecordingCheck.h"
#include "tools/recover/RecoveryWriter.h"
#include "tools/recover/SessionRescue.h"
#include "tools/recover/StagedOutput.h"
#include "tools/recover/WavRepair.h"

namespace {

using namespace sorvo::tools;

// Exit codes besides 0 (rescued) and 2 (a mistake on the command line).
constexpr int kNothingWritten = 1;
constexpr int kNumbersNotBelieved = 3;

int Fail(const std::string& message) {
  std::fprintf(stderr, "sorvo-recover: %s\n", message.c_str());
  return kNothingWritten;
}

std::string Count(long long value) {
  return FormatCount(value);
}

void PrintPrivateCounts(const PrivateStreamRecovery& recovery) {
  const PrivateStreamCounts& records = recovery.records;
  std::printf("records: %s good, %s damaged", Count(records.good).c_str(),
              Count(records.damaged).c_str());
  if (records.damaged > 0)
    std::printf(" (%s bytes skipped)", Count(records.bytesSkipped).c_str());
  std::printf("\n");
  if (records.truncated)
    std::printf("the file ends inside a record: it was cut short\n");
  if (recovery.keyFlagMismatches > 0)
    std::printf("%s records had a key flag that did not match their picture\n",
                Count(recovery.keyFlagMismatches).c_str());
}

void PrintElementaryCounts(const ElementaryRecovery& recovery, const RecoveryPlan& plan) {
  std::printf("pictures: %s", Count(recovery.pictures).c_str());
  if (recovery.piecesWithoutPicture > 0)
    std::printf(", %s pieces without a picture", Count(recovery.piecesWithoutPicture).c_str());
  std::printf("\n");
  if (!plan.sound.frames.empty()) {
    const Mp3FrameHeader& format = plan.sound.format;
    std::printf("sound: %s MP3 frames, %s Hz, %s\n",
                Count(static_cast<long long>(plan.sound.frames.size())).c_str(),
                Count(format.sampleRate).c_str(), format.channels == 1 ? "mono" : "stereo");
  }
  if (recovery.bytesSkipped > 0)
    std::printf("%s bytes that began no picture or sound frame were skipped\n",
                Count(recovery.bytesSkipped).c_str());
  if (recovery.unplaced > 0)
    std::printf(
        "%s pictures could not be placed in any stream (headers damaged or cut short, or a "
        "damaged key frame) and were left out\n",
        Count(recovery.unplaced).c_str());
}

// How many pictures were left out, and why.
void PrintLeftOut(const RecoveryPlan& plan, long long beforeAnyKeyFrame) {
  long long before = beforeAnyKeyFrame;
  long long damaged = 0;
  for (const VideoPlan& stream : plan.video) {
    before += stream.beforeKeyFrame;
    damaged += stream.damaged;
  }
  if (before > 0)
    std::printf("%s packets before the first key frame cannot be decoded and were left out\n",
                Count(before).c_str());
  if (damaged > 0)
    std::printf("%s pictures did not decode cleanly (damaged or cut short) and were left out\n",
                Count(damaged).c_str());
}

// Says what the new file holds as read back, and `how` its pictures were checked; false
// (said) when it does not read back.
bool PrintReadBack(const FileReadBack& check, const char* how) {
  if (!check.opened || check.streams.empty()) {
    Fail("the written file does not read back: " + check.error);
    return false;
  }
  std::printf("read back:");
  for (const StreamReadBack& stream : check.streams)
    std::printf(" %s %s frames,", stream.kind.c_str(), Count(stream.frames).c_str());
  std::printf(" %.2f s; %s\n", check.seconds, how);
  return true;
}

// A fragmented MP4: its complete fragments become a regular file, with its first timecode.
int RescueFragments(const std::string& input, const std::string& output) {
  std::printf(
      "a fragmented MP4 (as a recording killed while it was written leaves it): it plays as "
      "it is up to its last complete fragment; rebuilding it as a regular MP4\n");
  StagedOutput staged(output);
  std::vector<FragmentedStream> streams;
  std::string error;
  if (!staged.Create(&error) || !RescueFragmented(input, staged.path(), {}, &streams, &error))
    return Fail(error);
  if (streams.empty())
    return Fail("it holds no complete fragment: nothing was written");
  if (!staged.Commit(&error))
    return Fail(error);
  std::printf("wrote %s:\n", output.c_str());
  int number = 0;
  for (const FragmentedStream& stream : streams)
    std::printf("  %s %d: %s %s\n", stream.kind.c_str(), ++number, Count(stream.packets).c_str(),
                stream.kind == "video" ? "pictures" : "sound frames");
  return PrintReadBack(ReadBack(output), "the fragments held every packet whole") ? 0
                                                                                  : kNothingWritten;
}

// Writes the plan, reads the new file back and says what is in it.
int WritePlan(const RecoveryPlan& plan,
              PacketSource* video,
              PacketSource* sound,
              const std::string& output) {
  StagedOutput staged(output);
  std::string error;
  if (!staged.Create(&error) || !WriteRecovery(plan, video, sound, staged.path(), &error))
    return Fail(error);
  // Sound found among the pictures that mostly does not decode was no sound: the file would
  // carry a track that plays nothing.
  const FileReadBack check = ReadBack(staged.path());
  if (!plan.sound.frames.empty() && check.opened) {
    const auto audio = std::find_if(check.streams.begin(), check.streams.end(),
                                    [](const StreamReadBack& s) { return s.kind == "audio"; });
    if (audio == check.streams.end() || audio->frames <= audio->decodeErrors)
      return Fail(
          "the MP3 frames found among the pictures do not decode as sound: nothing was "
          "written (--kind raw rescues the pictures alone)");
  }
  if (!staged.Commit(&error))
    return Fail(error);
  std::printf("wrote %s:\n", output.c_str());
  int number = 0;
  for (const VideoPlan& stream : plan.video) {
    ++number;
    if (stream.packets.empty())
      continue;
    std::printf("  video %d: %s pictures, %dx%d at %d per second (from %s)\n", number,
                Count(static_cast<long long>(stream.packets.size())).c_str(), stream.width,
                stream.height, stream.frameRate, stream.rateSource.c_str());
  }
  if (!plan.sound.frames.empty())
    std::printf("  sound: %s MP3 frames\n",
                Count(static_cast<long long>(plan.sound.frames.size())).c_str());

  if (!PrintReadBack(check, "every picture was checked to decode cleanly before it was written"))
    return kNothingWritten;
  if (plan.doubts.count() > 0) {
    for (const std::string& doubt : plan.doubts.first())
      std::fprintf(stderr, "sorvo-recover: warning: %s\n", doubt.c_str());
    if (plan.doubts.count() > static_cast<long long>(plan.doubts.first().size()))
      std::fprintf(
          stderr, "sorvo-recover: warning: and %s more like these\n",
          Count(plan.doubts.count() - static_cast<long long>(plan.doubts.first().size())).c_str());
    std::fprintf(stderr,
                 "sorvo-recover: %s numbers in the file could not be believed; %s was timed "
                 "without them\n",
                 Count(plan.doubts.count()).c_str(), output.c_str());
    return kNumbersNotBelieved;
  }
  return 0;
}

int RescueVideo(const std::string& kind,
                const MappedFile& file,
                const std::string& input,
                int fps,
                const std::string& output) {
  RecoveryPlan plan;
  if (kind == "private") {
    PrintPrivateCounts(RecoverPrivateStream(file.data(), file.size(), fps, &plan));
    PrintLeftOut(plan, 0);
    if (plan.PicturesKept() == 0)
      return Fail("no packet could be recovered (no intact key frame); nothing was written");
    PrivateStreamPackets packets(file.data(), file.size());
    return WritePlan(plan, &packets, nullptr, output);
  }
  size_t begin = 0;
  size_t end = file.size();
  const bool mp4 = kind == "mp4";
  if (mp4) {
    const Mp4Layout layout = ReadMp4Layout(file.data(), file.size());
    if (!layout.boxes)
      return Fail("the file is not an MP4 file");
    if (layout.fragmented)
      return RescueFragments(input, output);
    if (layout.index)
      return Fail(
          "the file is a complete MP4 (it has its index): it plays as it is; there is "
          "nothing to rebuild");
    if (!layout.mediaData)
      return Fail(
          "the file is an MP4 without media data (no mdat box): there is nothing to "
          "recover");
    std::printf(
        "an MP4 left without its index: media data from byte %s to %s%s\n",
        Count(static_cast<long long>(layout.dataBegin)).c_str(),
        Count(static_cast<long long>(layout.dataEnd)).c_str(),
        layout.sizeProvisional ? " (the end of the file; its size field was never set)" : "");
    begin = layout.dataBegin;
    end = layout.dataEnd;
  }
  const ElementaryRecovery recovery =
      RecoverElementaryStream(file.data(), begin, end, mp4, fps, &plan);
  PrintElementaryCounts(recovery, plan);
  PrintLeftOut(plan, recovery.beforeKeyFrame);
  if (plan.PicturesKept() == 0)
    return Fail("no packet could be recovered (no intact key frame); nothing was written");
  ContiguousPackets packets(file.data(), file.size());
  return WritePlan(plan, &packets, &packets, output);
}

int RepairWav(const MappedFile& file,
              bool inPlace,
              const std::string& input,
              const std::string& output) {
  const WavLayout layout = ReadWavLayout(file.data(), file.size());
  if (!layout.problem.empty())
    return Fail("the WAV file cannot be repaired: " + layout.problem);
  std::printf(
      "%d channels, %s Hz, %d bits; sizes in the %s header: RIFF %s, data %s; from the "
      "file's length: RIFF %s, data %s\n",
      layout.channels, Count(layout.sampleRate).c_str(), layout.bitsPerSample,
      layout.rf64 ? "RF64" : "RIFF", Count(layout.riffSize).c_str(), Count(layout.dataSize).c_str(),
      Count(layout.goodRiffSize).c_str(), Count(layout.goodDataSize).c_str());
  if (layout.Complete())
    return Fail("the WAV file's sizes already match its length: there is nothing to repair");
  if (layout.becomesRf64)
    std::printf(
        "the file holds more sound than a RIFF file's sizes can count: it becomes RF64, "
        "whose sizes do (ffmpeg and sox read it)\n");
  if (layout.tooLong)
    std::printf(
        "the file holds more sound than a WAV file can count: the first %s bytes are "
        "kept\n",
        Count(layout.goodDataSize).c_str());
  std::string error;
  if (inPlace) {
    if (!RepairWavInPlace(layout, input, &error))
      return Fail(error);
    std::printf("repaired %s in place (its size fields): %.2f s of sound\n", input.c_str(),
                layout.Seconds());
    return 0;
  }
  StagedOutput staged(output);
  if (!staged.Create(&error) || !WriteRepairedWav(file.data(), layout, staged.path(), &error) ||
      !staged.Commit(&error))
    return Fail(error);
  std::printf("wrote %s: %.2f s of sound\n", output.c_str(), layout.Seconds());
  return 0;
}

std::string Identify(const MappedFile& file) {
  if (LooksLikeWav(file.data(), file.size()))
    return "wav";
  if (ReadMp4Layout(file.data(), file.size()).boxes)
    return "mp4";
  if (LooksLikePrivateStream(file.data(), file.size()))
    return "private";
  if (LooksLikeRawStream(file.data(), file.size()))
    return "raw";
  return "";
}

// The files named, and a folder's recordings (not those of its subfolders); a named file
// that is no recording is kept, to be reported as such.
std::vector<RecordingToCheck> RecordingsIn(const std::vector<std::string>& inputs) {
  auto identify = [](const std::string& path) {
    MappedFile file;
    std::string error;
    return file.Open(path, &error) ? Identify(file) : std::string();
  };
  std::vector<RecordingToCheck> files;
  for (const std::string& input : inputs) {
    std::error_code error;
    if (!std::filesystem::is_directory(input, error)) {
      files.push_back({input, identify(input)});
      continue;
    }
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(input, error))
      if (entry.is_regular_file(error))
        paths.push_back(entry.path().string());
    std::sort(paths.begin(), paths.end());
    for (const std::string& path : paths)
      if (const std::string kind = identify(path); !kind.empty())
        files.push_back({path, kind});
  }
  return files;
}

std::string Describe(const std::string& kind) {
  if (kind == "private")
    return "private stream file";
  if (kind == "raw")
    return "raw stream file";
  if (kind == "mp4")
    return "MP4 file";
  return "WAV file";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Rescues a recording that did not end properly. From a private stream file (framed "
      "records: each record's framing and checksum are verified, damaged records are "
      "skipped), a raw stream file (the bare MPEG-4 stream) or an MP4 whose recording was "
      "killed before its index was written, it rebuilds a playable MP4 with every picture "
      "that decodes cleanly (and the sound of a multi-stream file). A fragmented MP4 (what "
      "a recording killed while it was written leaves) is rebuilt as a regular MP4 from its "
      "complete fragments. A WAV file whose sizes do not match its length gets them "
      "repaired.",
      "sorvo-recover"};
  app.footer(
      "Exit status: 0 rescued; 1 nothing written (FILE refused, or nothing in it could be "
      "recovered); 2 a mistake on the command line; 3 rescued, but numbers in FILE (a frame "
      "rate, packet numbers, picture times) were not believed and the new file is timed "
      "without them (see the warnings).");
  std::vector<std::string> inputs;
  std::string output;
  int fps = 0;
  std::string kind = "auto";
  bool inPlace = false;
  bool check = false;
  app.add_option("FILE", inputs,
                 "The file to rescue, or the folder of a killed sorvo-record session: its "
                 "director's and cameras' MP4s are rebuilt into FOLDER/recovered with the edit "
                 "lists and the director's chapters from the cut's journal (director.cut). "
                 "With --check, any number of files and folders")
      ->required();
  app.add_flag("--check", check,
               "Rescue nothing: decode every picture and sound frame of each FILE (every "
               "recording in a folder) and say which are good; exit 0 when all are, 1 when "
               "one is not");
  app.add_option("-o,--out", output,
                 "The file to write (default: FILE.recovered.mp4, or FILE.recovered.wav); "
                 "never FILE itself")
      ->type_name("OUT");
  app.add_option("--fps", fps,
                 "Pictures per second, 1 to 35 (default: what the stream's headers declare)")
      ->check(CLI::Range(1, 35).description(""))
      ->type_name("N");
  app.add_option("--kind", kind, "What FILE is: auto, private, raw, mp4 or wav")
      ->check(CLI::IsMember({"auto", "private", "raw", "mp4", "wav"}).description(""))
      ->capture_default_str();
  app.add_flag("--in-place", inPlace,
               "WAV only: write the right sizes into FILE's size fields instead of "
               "writing a new file");
  const int parsed = ParseCommandLine(app, argc, argv);
  if (parsed >= 0)
    return parsed;
  // The checks decode damaged pictures on purpose; FFmpeg need not describe each one.
  av_log_set_level(AV_LOG_FATAL);
  if (check) {
    if (!output.empty() || kind != "auto" || inPlace || fps != 0)
      return Fail("--check takes no other option");
    return CheckRecordings(RecordingsIn(inputs)) ? 0 : kNothingWritten;
  }
  if (inputs.size() != 1)
    return Fail("one FILE or folder to rescue (several only with --check)");
  const std::string& input = inputs[0];

  std::error_code notFolder;
  if (std::filesystem::is_directory(input, notFolder)) {
    if (!output.empty() || kind != "auto" || inPlace || fps != 0)
      return Fail("a session's folder takes no other option: its files go into " + input +
                  "/recovered");
    return RescueSession(input);
  }
  MappedFile file;
  std::string error;
  if (!file.Open(input, &error))
    return Fail("cannot read " + input + ": " + error);
  if (file.size() == 0)
    return Fail(input + " is empty: there is nothing to recover");
  if (kind == "auto")
    kind = Identify(file);
  if (kind.empty())
    return Fail(input +
                " is not a recording sorvo-recover knows: neither a private stream file, a raw "
                "MPEG-4 stream, an MP4 nor a WAV file");
  if (inPlace && kind != "wav")
    return Fail("--in-place repairs WAV files only");
  if (output.empty())
    output = input + (kind == "wav" ? ".recovered.wav" : ".recovered.mp4");
  if (!inPlace && file.IsSameFile(output))
    return Fail("the output " + output + " is the input file " + input +
                " itself: writing it would destroy the recording being rescued; choose "
                "another -o");
  std::printf("%s: %s, %s bytes\n", input.c_str(), Describe(kind).c_str(),
              Count(static_cast<long long>(file.size())).c_str());
  if (kind == "wav")
    return RepairWav(file, inPlace, input, output);
  return RescueVideo(kind, file, input, fps, output);
}
