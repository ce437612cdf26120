// What the recorder shows about one sink while it records and in its summary, and the
// files a session produced.
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

// A live source's signal lost and got back, in seconds on the session's clock.
struct SignalLoss {
  double lostAt = 0;
  double backAt = -1;  // -1 while it is still lost
  std::string why;
};

// Every loss of a live source's signal, in seconds on the session's clock.
struct SignalLossTally {
  long long count = 0;
  double firstLostAt = -1;  // -1 with no loss
  double lastLostAt = -1;
  double secondsLost = 0;  // without signal in all
};

struct SinkStatus {
  std::string name;         // "camera0", "director", "sound"
  int camera = -1;          // a camera's number; -1 for the director and the sound
  std::string title;        // a camera's own name (,name=NAME); empty when it has none
  std::string source;       // what feeds it
  int port = 0;             // its server's port; 0 when it serves nothing
  long long buffersIn = 0;  // pictures (or PCM buffers) the sink received
  long long packets = 0;    // encoded packets it handed out
  long long bytes = 0;      // their bytes
  long long late = 0;       // pictures the source had ready too late to deliver
  // Pictures at an instant the sink's files already hold (the director's at a switch, when
  // the new camera's picture was taken at the same moment as the old one's last): left out
  // on purpose, so neither dropped nor waited for.
  long long leftOut = 0;
  // Slots no picture reached, each given a repeat of the picture before so that the files
  // keep their rate: among the packets, but no picture that went in.
  long long repeated = 0;
  int clients = 0;  // network clients its last packet reached
  bool video = true;
  bool final = false;  // taken after the sink was closed
  // A camera's packets go into the multi-stream file (cameras 0 to 8); once closed, how
  // many of them that file was offered after it began (-1: not known).
  bool inMultiStream = true;
  long long multiStreamPackets = -1;
  // Its source's signal (network sources): lost now, the latest losses (the tally holds
  // them all), and the no-signal pictures (or silent buffers) recorded in its place.
  bool noSignal = false;
  std::vector<SignalLoss> losses;
  SignalLossTally lossTally;
  long long standIns = 0;
  // The sound's: its source's clock against the session's (seconds gained per second,
  // positive when the source is slow) and the samples added (or, negative, left out) to
  // keep it on the session's clock.
  double clockDrift = 0;
  long long samplesAdjusted = 0;

  // A sink holds up to five queued pictures and encodes one more at a time.
  static constexpr long long kInFlight = 6;
  // Pictures that went in and came out encoded.
  long long encoded() const { return packets - repeated; }
  // Pictures that went in and never came out encoded. While the sink runs, the pictures
  // that may still be on their way are not counted.
  long long dropped() const {
    if (!video)
      return 0;
    const long long missing = buffersIn - encoded() - leftOut - (final ? 0 : kInFlight);
    return missing > 0 ? missing : 0;
  }
  // Every picture lost on the way, as the recorder reports it: late from the source, or
  // dropped by the sink.
  long long lost() const { return dropped() + late; }
  // What a person reads for the sink: its name, with a camera's own name after it when it
  // has one ("camera2 (stage)").
  std::string Shown() const { return title.empty() ? name : name + " (" + title + ")"; }
};

struct OutputFile {
  enum class Kind {
    kCameraMp4,
    kDirectorMp4,
    kMultiStreamMp4,
    kWav,
    kPrivateStream,
    kRawStream,
    kEditList,  // the cut as an edit decision list, an OpenTimelineIO document or an MLT project
  };
  Kind kind;
  std::string path;
  std::string owner;       // the sink that wrote it
  bool withSound = false;  // an MP4 of one camera or the director that holds the sound too
  // Stopped on purpose before the session's end (to keep the disk for the files that
  // matter more): when, on the session's clock, and why; -1 for a file that runs to the end.
  double stoppedAt = -1;
  std::string stoppedWhy = "";
};

const char* KindName(OutputFile::Kind kind);

}  // namespace sorvo::tools
