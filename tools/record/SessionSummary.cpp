#include "tools/record/SessionSummary.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

#include "tools/common/EveryCore.h"
#include "tools/common/MappedFile.h"
#include "tools/common/TextTable.h"
#include "tools/record/edit/Cmx3600Reader.h"
#include "tools/record/edit/EditLists.h"
#include "tools/record/publish/PublishReport.h"

namespace sorvo::tools {
namespace {

std::string Expect(const FileReadBack& media, int video, int audio) {
  const int haveVideo = media.CountOf("video");
  const int haveAudio = media.CountOf("audio");
  if (haveVideo == video && haveAudio == audio)
    return "";
  return "expected " + std::to_string(video) + " video and " + std::to_string(audio) +
         " audio streams, found " + std::to_string(haveVideo) + " and " + std::to_string(haveAudio);
}

FileCheck CheckPrivateStream(const OutputFile& file) {
  FileCheck check;
  check.file = file;
  MappedFile mapped;
  std::string error;
  if (!mapped.Open(file.path, &error)) {
    check.problem = error;
    return check;
  }
  check.media.bytes = static_cast<long long>(mapped.size());
  check.records = ScanPrivateStream(mapped.data(), mapped.size(), [](const PrivatePacket&) {});
  if (check.records.good == 0)
    check.problem = "no intact record";
  else if (check.records.damaged > 0)
    check.problem = std::to_string(check.records.damaged) + " damaged stretches";
  check.good = check.problem.empty();
  return check;
}

// An edit list is read as an editor reads it: a CMX 3600 list strictly, an OpenTimelineIO
// document as JSON holding a timeline. An MLT project is checked for being whole: its XML
// declaration, its root element and the root's end, which a write cut short lacks.
FileCheck CheckEditList(const OutputFile& file, int fps) {
  FileCheck check;
  check.file = file;
  std::error_code error;
  const auto size = std::filesystem::file_size(file.path, error);
  check.media.bytes = error ? -1 : static_cast<long long>(size);
  check.problem = error ? error.message() : size == 0 ? "empty" : "";
  std::ifstream in(file.path, std::ios::binary);
  if (check.problem.empty() && WithExtension(file.path, "") + ".edl" == file.path) {
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const CmxList list = ReadCmx3600(text, fps);
    if (!list.errors.empty())
      check.problem =
          "not a valid CMX 3600 list: " + list.errors[0] +
          (list.errors.size() > 1 ? " (and " + std::to_string(list.errors.size() - 1) + " more)"
                                  : "");
  } else if (check.problem.empty() && WithExtension(file.path, "") + ".mlt" == file.path) {
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t end = text.find_last_not_of(" \t\r\n");
    if (text.rfind("<?xml", 0) != 0 || text.find("<mlt") == std::string::npos ||
        end == std::string::npos || end + 1 < 6 || text.compare(end + 1 - 6, 6, "</mlt>") != 0)
      check.problem = "not a whole MLT project (XML)";
  } else if (check.problem.empty()) {
    const nlohmann::json document = nlohmann::json::parse(in, nullptr, false);
    if (document.is_discarded() || !document.is_object() ||
        document.value("OTIO_SCHEMA", "") != "Timeline.1")
      check.problem = "not an OpenTimelineIO timeline (JSON)";
  }
  check.good = check.problem.empty();
  return check;
}

std::string StreamsText(const FileCheck& check) {
  if (check.file.kind == OutputFile::Kind::kPrivateStream)
    return FormatCount(check.records.good) + " records";
  std::string text;
  const int video = check.media.CountOf("video");
  const int audio = check.media.CountOf("audio");
  if (video > 0)
    text += std::to_string(video) + " video";
  if (audio > 0)
    text += (text.empty() ? "" : " + ") + std::to_string(audio) + " audio";
  return text.empty() ? "-" : text;
}

long long FramesOf(const FileCheck& check) {
  if (check.file.kind == OutputFile::Kind::kPrivateStream)
    return check.records.good;
  long long frames = 0;
  for (const StreamReadBack& stream : check.media.streams)
    if (stream.kind == "video")
      frames += stream.frames;
  if (frames == 0)
    for (const StreamReadBack& stream : check.media.streams)
      frames += stream.frames;
  return frames;
}

// Samples per channel in one MP3 frame: MPEG-1 layer III below 32 kHz is MPEG-2's, with
// half as many.
long long Mp3FrameSamples(int sampleRate) {
  return sampleRate >= 32000 ? 1152 : 576;
}

const SinkStatus* SinkOf(const std::vector<SinkStatus>& sinks, const std::string& owner) {
  for (const SinkStatus& sink : sinks)
    if (sink.name == owner)
      return &sink;
  return nullptr;
}

long long PacketsOf(const std::vector<SinkStatus>& sinks, const std::string& owner) {
  const SinkStatus* sink = SinkOf(sinks, owner);
  return sink != nullptr ? sink->packets : -1;
}

// A file of one sink's pictures holds its packets as they were handed out: as many pictures
// with other bytes means packets changed or misplaced between the sink and the file's index.
std::string BytesDisagree(const FileCheck& check, const std::vector<SinkStatus>& sinks) {
  const SinkStatus* sink = SinkOf(sinks, check.file.owner);
  const auto video = std::find_if(check.media.streams.begin(), check.media.streams.end(),
                                  [](const StreamReadBack& s) { return s.kind == "video"; });
  if (sink == nullptr || !sink->final || video == check.media.streams.end() ||
      video->packets != sink->packets || video->bytes == sink->bytes)
    return "";
  return "its " + FormatCount(video->packets) + " pictures hold " + FormatCount(video->bytes) +
         " bytes, its sink handed out " + FormatCount(sink->bytes) +
         ": the file's index disagrees with what was written";
}

std::string Shortfall(const FileCheck& check, const std::vector<SinkStatus>& sinks) {
  if (check.file.kind == OutputFile::Kind::kEditList)
    return "";
  if (check.file.kind == OutputFile::Kind::kWav) {
    const long long packets = PacketsOf(sinks, check.file.owner);
    if (packets <= 0 || check.media.streams.empty())
      return "";
    const int rate = check.media.streams[0].sampleRate;
    const long long samples = static_cast<long long>(check.media.seconds * rate);
    const long long frame = Mp3FrameSamples(rate);
    // The encoder's start-up delay and the padding of the frames drained at the end (about
    // three frames) were never sound the WAV file could hold; a frame more is left for the
    // rounding of the read-back length.
    if (samples + 4 * frame >= packets * frame)
      return "";
    const double encoded = static_cast<double>(packets * frame) / rate;
    return "holds " + FormatFixed(check.media.seconds, 2) + " s of sound, the sink encoded " +
           FormatFixed(encoded, 2) + " s: the file is incomplete";
  }
  long long made = 0;
  if (check.file.kind == OutputFile::Kind::kMultiStreamMp4) {
    for (const SinkStatus& sink : sinks)
      if (sink.video && sink.inMultiStream && sink.name != "director")
        made += sink.multiStreamPackets >= 0 ? sink.multiStreamPackets : sink.packets;
  } else {
    made = PacketsOf(sinks, check.file.owner);
  }
  // A picture patched over by the decoder is not one the user has.
  long long held = FramesOf(check);
  for (const StreamReadBack& stream : check.media.streams)
    if (stream.kind == "video")
      held -= stream.damagedFrames;
  if (made <= 0)
    return "";
  if (held >= made)
    return check.file.kind == OutputFile::Kind::kMultiStreamMp4 ? "" : BytesDisagree(check, sinks);
  return "holds " + FormatCount(held) + " of the " + FormatCount(made) +
         " pictures its sink made: the file is incomplete";
}

// ", stopped at 1 min 02 s: the disk of /x was nearly full", for a file stopped early.
std::string StoppedText(const OutputFile& file) {
  if (file.stoppedAt < 0)
    return "";
  return ", stopped at " + FormatDuration(file.stoppedAt) + ": " + file.stoppedWhy;
}

// Every loss of a source's signal and its return, on the session's clock.
void PrintSignalLosses(const std::vector<SinkStatus>& sinks, std::FILE* out) {
  TextTable losses({{"sink"}, {"lost at", true}, {"back at", true}, {"without", true}, {"why"}});
  bool any = false;
  for (const SinkStatus& sink : sinks) {
    for (const SignalLoss& loss : sink.losses) {
      any = true;
      const bool back = loss.backAt >= 0;
      losses.AddRow({sink.Shown(), FormatFixed(loss.lostAt, 1) + " s",
                     back ? FormatFixed(loss.backAt, 1) + " s" : "never",
                     back ? FormatFixed(loss.backAt - loss.lostAt, 1) + " s" : "-", loss.why});
    }
  }
  if (!any)
    return;
  std::fprintf(out, "\nSignal lost and back (session time):\n");
  losses.Print(out);
  for (const SinkStatus& sink : sinks) {
    const SignalLossTally& tally = sink.lossTally;
    if (tally.count > static_cast<long long>(sink.losses.size()))
      std::fprintf(
          out, "  %s: lost %s times from %s s to %s s (the latest above), %s s without in all\n",
          sink.Shown().c_str(), FormatCount(tally.count).c_str(),
          FormatFixed(tally.firstLostAt, 1).c_str(), FormatFixed(tally.lastLostAt, 1).c_str(),
          FormatFixed(tally.secondsLost, 1).c_str());
  }
  for (const SinkStatus& sink : sinks)
    if (sink.standIns > 0)
      std::fprintf(out, "  %s: %s %s recorded in place of its source's own\n", sink.Shown().c_str(),
                   FormatCount(sink.standIns).c_str(),
                   sink.video ? "no-signal pictures" : "silent buffers");
}

const char* CheckName(ReadDepth depth) {
  return depth == ReadDepth::kFull ? "full" : "bounded";
}

FileCheck CheckFile(const OutputFile& file,
                    int videoStreams,
                    int audioStreams,
                    int fps,
                    ReadDepth depth) {
  if (file.kind == OutputFile::Kind::kPrivateStream)
    return CheckPrivateStream(file);
  if (file.kind == OutputFile::Kind::kEditList)
    return CheckEditList(file, fps);
  FileCheck check;
  check.file = file;
  const bool raw = file.kind == OutputFile::Kind::kRawStream;
  check.media = ReadBack(file.path, raw ? "m4v" : nullptr, depth);
  check.problem = check.media.Problem();
  if (check.problem.empty()) {
    switch (file.kind) {
      case OutputFile::Kind::kMultiStreamMp4:
        check.problem = Expect(check.media, videoStreams, audioStreams);
        break;
      case OutputFile::Kind::kWav:
        check.problem = Expect(check.media, 0, 1);
        break;
      default:
        check.problem = Expect(check.media, 1, file.withSound ? 1 : 0);
    }
  }
  check.good = check.problem.empty();
  return check;
}

}  // namespace

void MarkIncompleteFiles(std::vector<FileCheck>* checks, const std::vector<SinkStatus>& sinks) {
  for (FileCheck& check : *checks) {
    // A file stopped on purpose was never to hold what its sink made after that.
    if (!check.checked || !check.media.opened || check.file.stoppedAt >= 0)
      continue;
    // A file cut short by a full disk usually ends inside its last picture too: both are
    // said, since the shortfall is what the user has lost.
    const std::string shortfall = Shortfall(check, sinks);
    if (shortfall.empty())
      continue;
    check.problem = check.good ? shortfall : check.problem + "; " + shortfall;
    check.good = false;
  }
}

FileLengths LengthsOf(const FileCheck& check) {
  FileLengths lengths;
  const OutputFile::Kind kind = check.file.kind;
  // A bare stream has no times, an edit list and a private stream no length to read.
  if (!check.checked || !check.media.opened || kind == OutputFile::Kind::kRawStream ||
      kind == OutputFile::Kind::kPrivateStream || kind == OutputFile::Kind::kEditList)
    return lengths;
  for (const StreamReadBack& stream : check.media.streams) {
    if (stream.kind == "video")
      lengths.pictures = std::max(lengths.pictures, stream.PresentedSeconds());
    else if (stream.kind == "audio")
      lengths.sound = std::max(lengths.sound, stream.PresentedSeconds());
  }
  return lengths;
}

void MarkFileLengths(std::vector<FileCheck>* checks, double seconds, int fps) {
  const double picture = 1.0 / std::max(1, fps);
  // Rounding of the containers' time bases.
  constexpr double kRounding = 0.001;
  // A camera of slower pictures may end a picture of its own off, and so may the director
  // showing it.
  double slowest = picture;
  for (const FileCheck& check : *checks)
    for (const StreamReadBack& stream : check.media.streams)
      if (stream.kind == "video" && stream.frames > 0 && LengthsOf(check).pictures >= 0)
        slowest = std::max(slowest, stream.PresentedSeconds() / stream.frames);
  for (FileCheck& check : *checks) {
    std::string off;
    // A file stopped on purpose lasts until it was stopped, less the pictures still on
    // their way to it then.
    const bool stopped = check.file.stoppedAt >= 0;
    const double end = stopped ? check.file.stoppedAt : seconds;
    const double inFlight = stopped ? SinkStatus::kInFlight * picture : 0;
    auto compare = [&](const char* what, double length, double allowed) {
      if (length < 0 ||
          (length <= end + allowed + kRounding && length >= end - allowed - inFlight - kRounding))
        return;
      const double by = length - end;
      off += std::string(off.empty() ? "" : "; ") + what + " " + FormatFixed(length, 2) + " s, " +
             FormatFixed(std::abs(by), 2) + " s " + (by > 0 ? "longer" : "shorter") +
             (stopped ? " than up to where it was stopped" : " than the session");
    };
    const FileLengths lengths = LengthsOf(check);
    // Pictures are written in slots of their rate: the last one, taken just before the end,
    // may stand in the slot after it, and a network camera's pictures, stamped as they
    // arrive, may sit a slot late at a loaded moment: a picture on top of the slowest's.
    compare("its pictures last", lengths.pictures, slowest + picture);
    compare("its sound lasts", lengths.sound, picture);
    if (off.empty())
      continue;
    // A file that does last the session, so that the user sees which one is off.
    for (const FileCheck& other : *checks) {
      const FileLengths theirs = LengthsOf(other);
      const double length = std::max(theirs.pictures, theirs.sound);
      if (&other != &check && length >= 0 && std::abs(length - seconds) <= picture + kRounding) {
        off += " (" + std::filesystem::path(other.file.path).filename().string() + " lasts " +
               FormatFixed(length, 2) + " s)";
        break;
      }
    }
    check.problem = check.good ? off : check.problem + "; " + off;
    check.good = false;
  }
}

bool SessionSummary::NoneBad() const {
  return !files.empty() && std::all_of(files.begin(), files.end(),
                                       [](const FileCheck& f) { return f.good || !f.checked; });
}

bool SessionSummary::AllChecked() const {
  return std::all_of(files.begin(), files.end(), [](const FileCheck& f) { return f.checked; });
}

std::vector<FileCheck> CheckFiles(const std::vector<OutputFile>& files,
                                  int videoStreams,
                                  int audioStreams,
                                  int fps,
                                  const std::function<bool()>& stopped,
                                  ReadDepth depth) {
  std::vector<FileCheck> checks(files.size());
  std::mutex stoppedLock;  // `stopped` is the caller's, and may print
  ForEachOnCores(files.size(), [&](size_t i) {
    const OutputFile& file = files[i];
    bool stop;
    {
      std::lock_guard<std::mutex> lock(stoppedLock);
      stop = stopped();
    }
    if (!stop) {
      checks[i] = CheckFile(file, videoStreams, audioStreams, fps, depth);
      return;
    }
    FileCheck& skipped = checks[i];
    skipped.file = file;
    skipped.checked = false;
    skipped.problem = "not read back (stopped)";
    std::error_code error;
    const auto size = std::filesystem::file_size(file.path, error);
    skipped.media.bytes = error ? -1 : static_cast<long long>(size);
  });
  return checks;
}

void PrintSummary(const SessionSummary& summary, std::FILE* out) {
  std::fprintf(out, "\nRecorded %.1f s.\n\nSinks:\n", summary.session.seconds);
  TextTable sinks({{"sink"},
                   {"port", true},
                   {"pictures in", true},
                   {"packets", true},
                   {"bytes", true},
                   {"frames/s", true},
                   {"dropped", true},
                   {"source"}});
  for (const SinkStatus& sink : summary.session.sinks) {
    const double rate = summary.session.seconds > 0
                            ? static_cast<double>(sink.packets) / summary.session.seconds
                            : 0;
    sinks.AddRow({sink.Shown(), sink.port > 0 ? std::to_string(sink.port) : "-",
                  sink.video ? FormatCount(sink.buffersIn) : "-", FormatCount(sink.packets),
                  FormatBytes(sink.bytes), sink.video ? FormatFixed(rate, 1) : "-",
                  sink.video ? FormatCount(sink.lost()) : "-", sink.source});
  }
  sinks.Print(out);
  std::fprintf(out,
               "  (pictures in: what the sink received; dropped: pictures that never reached its "
               "files, late from\n  their source or pushed out of the sink's full queue)\n");
  for (const SinkStatus& sink : summary.session.sinks) {
    if (sink.leftOut > 0)
      std::fprintf(out,
                   "  %s: %s pictures left out%s, taken at an instant the file already holds "
                   "(not lost)\n",
                   sink.Shown().c_str(), FormatCount(sink.leftOut).c_str(),
                   sink.name == "director" ? " at switches" : "");
    if (sink.repeated > 0)
      std::fprintf(out,
                   "  %s: %s slots without a picture repeat the picture before, so that its "
                   "files keep their rate\n",
                   sink.Shown().c_str(), FormatCount(sink.repeated).c_str());
  }

  for (const SinkStatus& sink : summary.session.sinks) {
    const long long before = sink.packets - sink.multiStreamPackets;
    if (sink.multiStreamPackets >= 0 && before > 0)
      std::fprintf(out,
                   "  %s: %s pictures made before the multi-stream file began (or before its "
                   "next key picture) are in its own files only\n",
                   sink.name.c_str(), FormatCount(before).c_str());
  }

  PrintSignalLosses(summary.session.sinks, out);

  std::fprintf(out, "\nFiles (read back with libavformat in %s s, %s):\n",
               FormatFixed(summary.checkSeconds, 1).c_str(),
               summary.checkDepth == ReadDepth::kFull
                   ? "every picture and sound frame decoded"
                   : "bounded check: each file's index against what was written, its first and "
                     "last GOP and a spread between decoded; --full-check decodes everything");
  TextTable files({{"file"},
                   {"kind"},
                   {"streams"},
                   {"frames", true},
                   {"pictures", true},
                   {"sound", true},
                   {"size", true},
                   {"check"}});
  for (const FileCheck& check : summary.files) {
    std::string path = check.file.path;
    if (path.rfind(summary.session.outDir + "/", 0) == 0)
      path = path.substr(summary.session.outDir.size() + 1);
    if (!check.checked) {
      files.AddRow({path, KindName(check.file.kind), "-", "-", "-", "-",
                    check.media.bytes >= 0 ? FormatBytes(check.media.bytes) : "?", check.problem});
      continue;
    }
    const FileLengths lengths = LengthsOf(check);
    auto seconds = [](double length) {
      return length < 0 ? std::string("-") : FormatFixed(length, 2) + " s";
    };
    files.AddRow({path, KindName(check.file.kind), StreamsText(check), FormatCount(FramesOf(check)),
                  seconds(lengths.pictures), seconds(lengths.sound), FormatBytes(check.media.bytes),
                  check.good ? "good" + StoppedText(check.file)
                             : "BAD: " + check.problem + StoppedText(check.file)});
  }
  files.Print(out);
  PrintPublishSummary(summary.session.publish, out);
  for (const SessionNote& note : summary.session.notes)
    std::fprintf(out, "note: %s\n", note.Shown().c_str());
  if (!summary.session.marks.empty())
    std::fprintf(out, "\nMarks:\n");
  for (const Mark& mark : summary.session.marks)
    std::fprintf(out, "  mark at %s s%s%s\n", FormatFixed(mark.time, 2).c_str(),
                 mark.label.empty() ? "" : ": ", mark.label.c_str());
  const long long skipped = std::count_if(summary.files.begin(), summary.files.end(),
                                          [](const FileCheck& f) { return !f.checked; });
  std::string verdict;
  if (!summary.NoneBad())
    verdict = "Some files are NOT good.";
  else if (skipped > 0)
    verdict = "Reading back was skipped for " + FormatCount(skipped) + " of " +
              FormatCount(static_cast<long long>(summary.files.size())) +
              " files (stopped again); they were closed as usual" +
              (skipped < static_cast<long long>(summary.files.size())
                   ? ", and the ones read back are good."
                   : ".");
  else
    verdict = "Every file is good.";
  std::fprintf(out, "\n%s Read back in %s s (%s check). The session is in %s\n", verdict.c_str(),
               FormatFixed(summary.checkSeconds, 1).c_str(), CheckName(summary.checkDepth),
               summary.session.outDir.c_str());
}

Json SummaryJson(const SessionSummary& summary) {
  const SessionReport& session = summary.session;
  Json document = {{"seconds", session.seconds},
                   {"outDir", session.outDir},
                   {"appDir", summary.appDir},
                   {"allGood", summary.NoneBad()},
                   {"allChecked", summary.AllChecked()},
                   {"check", CheckName(summary.checkDepth)},
                   {"checkSeconds", summary.checkSeconds}};
  Json sinks = Json::array();
  for (const SinkStatus& sink : session.sinks) {
    Json entry = SinkJson(sink);
    entry["framesPerSecond"] =
        session.seconds > 0 ? static_cast<double>(sink.packets) / session.seconds : 0.0;
    entry["leftOut"] = sink.leftOut;
    entry["repeated"] = sink.repeated;
    if (sink.multiStreamPackets >= 0)
      entry["multiStreamPackets"] = sink.multiStreamPackets;
    if (!sink.video) {
      entry["clockDrift"] = sink.clockDrift;
      entry["samplesAdjusted"] = sink.samplesAdjusted;
    }
    if (!sink.losses.empty() || sink.standIns > 0) {
      entry["noSignalAtEnd"] = sink.noSignal;
      entry["standIns"] = sink.standIns;
      Json losses = Json::array();
      for (const SignalLoss& loss : sink.losses)
        losses.push_back({{"lostAt", loss.lostAt},
                          {"backAt", loss.backAt >= 0 ? Json(loss.backAt) : Json(nullptr)},
                          {"why", loss.why}});
      entry["signalLosses"] = std::move(losses);
    }
    sinks.push_back(std::move(entry));
  }
  document["sinks"] = std::move(sinks);
  Json files = Json::array();
  for (const FileCheck& check : summary.files) {
    Json entry = FileJson(check.file);
    entry["checked"] = check.checked;
    entry["good"] = check.good;
    entry["problem"] = check.problem;
    entry["bytes"] = check.media.bytes;
    if (check.file.kind == OutputFile::Kind::kPrivateStream) {
      entry["records"] = check.records.good;
      entry["damaged"] = check.records.damaged;
    } else {
      entry["format"] = check.media.format;
      entry["seconds"] = check.media.seconds;
      const FileLengths lengths = LengthsOf(check);
      entry["pictureSeconds"] = lengths.pictures >= 0 ? Json(lengths.pictures) : Json(nullptr);
      entry["soundSeconds"] = lengths.sound >= 0 ? Json(lengths.sound) : Json(nullptr);
      Json streams = Json::array();
      for (const StreamReadBack& stream : check.media.streams) {
        Json item = {{"kind", stream.kind}, {"codec", stream.codec}};
        if (stream.kind == "video") {
          item["width"] = stream.width;
          item["height"] = stream.height;
        } else if (stream.kind == "audio") {
          item["sampleRate"] = stream.sampleRate;
          item["channels"] = stream.channels;
        }
        item["packets"] = stream.packets;
        item["frames"] = stream.frames;
        item["framesDecoded"] = stream.decoded;
        item["bytes"] = stream.bytes;
        item["decodeErrors"] = stream.decodeErrors;
        item["seconds"] = stream.seconds;
        item["presentedSeconds"] = stream.PresentedSeconds();
        streams.push_back(std::move(item));
      }
      entry["streams"] = std::move(streams);
    }
    files.push_back(std::move(entry));
  }
  document["files"] = std::move(files);
  if (session.publish.active)
    document["publish"] = PublishJson(session.publish);
  AddNotesJson(session.notes, &document);
  AddCutJson(session, &document);
  return document;
}

bool WriteSummaryJson(const SessionSummary& summary, const std::string& path, std::string* error) {
  return WriteJsonFile(SummaryJson(summary), path, error);
}

}  // namespace sorvo::tools
