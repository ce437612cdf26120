// sorvo-recover: rebuilds a playable MP4 from a private stream file or a raw stream file
// that the library wrote, for instance after a crash left the MP4 without its end.
#include <cstdio>
#include <string>

#include "tools/common/CommandLine.h"
#include "tools/common/MappedFile.h"
#include "tools/common/MediaReadBack.h"
#include "tools/common/TextTable.h"
#include "tools/recover/Mp4Rebuilder.h"
#include "tools/recover/PrivateStreamRecovery.h"
#include "tools/recover/RawStreamRecovery.h"

namespace {

using namespace sorvo::tools;

int Fail(const std::string& message) {
  std::fprintf(stderr, "sorvo-recover: %s\n", message.c_str());
  return 1;
}

void PrintPrivateCounts(const PrivateStreamRecovery& recovery) {
  const PrivateStreamCounts& records = recovery.records;
  std::printf("records: %s good, %s damaged", FormatCount(records.good).c_str(),
              FormatCount(records.damaged).c_str());
  if (records.damaged > 0)
    std::printf(" (%s bytes skipped)", FormatCount(records.bytesSkipped).c_str());
  std::printf("\n");
  if (records.truncated) std::printf("the file ends inside a record: it was cut short\n");
  if (recovery.keyFlagMismatches > 0)
    std::printf("%s records had a key flag that did not match their picture\n",
                FormatCount(recovery.keyFlagMismatches).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Rebuilds an MP4 from a private stream file (framed records: each record's framing and "
      "checksum are verified, damaged records are skipped) or from a raw stream file (the bare "
      "MPEG-4 stream).",
      "sorvo-recover"};
  std::string input;
  std::string output;
  int fps = 0;
  std::string kind = "auto";
  app.add_option("FILE", input, "The private stream or raw stream file")->required();
  app.add_option("-o,--out", output, "The MP4 to write (default: FILE.recovered.mp4)")
      ->type_name("OUT.mp4");
  app.add_option("--fps", fps,
                 "Pictures per second, 1 to 35 (default: what the stream's headers declare)")
      ->check(CLI::Range(1, 35).description(""))
      ->type_name("N");
  app.add_option("--kind", kind, "What FILE is: auto, private or raw")
      ->check(CLI::IsMember({"auto", "private", "raw"}).description(""))
      ->capture_default_str();
  const int parsed = ParseCommandLine(app, argc, argv);
  if (parsed >= 0) return parsed;
  if (output.empty()) output = input + ".recovered.mp4";

  MappedFile file;
  std::string error;
  if (!file.Open(input, &error)) return Fail("cannot read " + input + ": " + error);
  if (file.size() == 0) return Fail(input + " is empty: there is nothing to recover");

  if (kind == "auto") {
    if (LooksLikePrivateStream(file.data(), file.size()))
      kind = "private";
    else if (LooksLikeRawStream(file.data(), file.size()))
      kind = "raw";
    else
      return Fail(input + " is neither a private stream file nor a raw MPEG-4 stream");
  }
  std::printf("%s: %s file, %s bytes\n", input.c_str(),
              kind == "private" ? "private stream" : "raw stream",
              FormatCount(static_cast<long long>(file.size())).c_str());

  Mp4Rebuilder rebuilder(output, fps);
  if (kind == "private") {
    PrintPrivateCounts(RecoverPrivateStream(file.data(), file.size(), &rebuilder));
  } else {
    const RawStreamRecovery raw = RecoverRawStream(file.data(), file.size(), &rebuilder);
    if (!raw.error.empty()) return Fail(raw.error);
    std::printf("pictures: %s", FormatCount(raw.pictures).c_str());
    if (raw.pieces > 0) std::printf(", %s pieces without a picture", FormatCount(raw.pieces).c_str());
    std::printf("\n");
  }
  const bool finished = rebuilder.Finish();
  if (rebuilder.beforeKeyFrame() > 0)
    std::printf("%s packets before the first key frame cannot be decoded and were left out\n",
                FormatCount(rebuilder.beforeKeyFrame()).c_str());
  if (!finished) return Fail(rebuilder.error());
  if (rebuilder.written() == 0)
    return Fail("no packet could be recovered (no intact key frame); nothing was written");

  const FileReadBack check = ReadBack(output);
  std::printf("wrote %s: %s packets, %dx%d at %d per second (from %s)\n", output.c_str(),
              FormatCount(rebuilder.written()).c_str(), rebuilder.width(), rebuilder.height(),
              rebuilder.frameRate(), rebuilder.rateSource().c_str());
  if (!check.opened || check.streams.empty())
    return Fail("the written file does not read back: " + check.error);
  const StreamReadBack& video = check.streams[0];
  std::printf("read back: %s frames decoded, %.2f s, %s decode errors\n",
              FormatCount(video.frames).c_str(), check.seconds,
              FormatCount(video.decodeErrors).c_str());
  return 0;
}
