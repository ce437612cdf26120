#include "tools/record/FileMetadata.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace sorvo::tools {

FileMetadata::FileMetadata(int rate) : m_rate(rate) {
  StartNow();
}

void FileMetadata::StartNow() {
  const auto now = std::chrono::system_clock::now();
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  const int fraction = static_cast<int>(micros % 1000000);
  std::tm local{};
  std::tm utc{};
  localtime_r(&seconds, &local);
  gmtime_r(&seconds, &utc);
  char text[64];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  char micro[16];
  std::snprintf(micro, sizeof(micro), ".%06dZ", fraction);
  m_creationTime = std::string(text) + micro;
  m_timecode = Timecode(
      local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + fraction / 1e6, m_rate);
}

void FileMetadata::Describe(FFWriteFile* file, const std::string& video) const {
  if (file == nullptr)
    return;
  Date(file);
  file->SetTrackName(0, video.c_str());
  file->SetTrackName(FFWriteFile::kAudioTrack, "sound");
}

void FileMetadata::Date(FFWriteFile* file) const {
  file->SetFileMetadata("creation_time", m_creationTime.c_str());
  // Session time is the capture clock the library sees.
  file->SetTimecodeClock(0, m_timecode.startOfDay());
}

}  // namespace sorvo::tools
