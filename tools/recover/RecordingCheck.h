// sorvo-recover --check: recordings checked in full, each decoded to its end (every picture
// and sound frame of an MP4, a WAV or a raw stream; every record of a private stream file),
// a file a core, and a table of what was found. What the recorder's own bounded check at the
// end of a session leaves out, for when it matters.
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

struct RecordingToCheck {
  std::string path;
  std::string kind;  // "mp4", "wav", "raw" or "private"; empty: not a recording
};

// Prints one line a file and a verdict; true when every file is good.
bool CheckRecordings(const std::vector<RecordingToCheck>& files);

}  // namespace sorvo::tools
