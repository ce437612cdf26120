#include "tools/record/FileMetadata.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace sorvo::tools {

FileMetadata::FileMetadata(int rate) : m_rate(rate) {
  StartNow();
}

void FileMetadata::StartNow() {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  StartAt(static_cast<std::time_t>(micros / 1000000), static_cast<int>(micros % 1000000));
}

void FileMetadata::StartAtTimeOfDay(double seconds) {
  // Today at that time, as the local clock counts it.
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const int whole = static_cast<int>(seconds);
  local.tm_hour = whole / 3600;
  local.tm_min = whole / 60 % 60;
  local.tm_sec = whole % 60;
  local.tm_isdst = -1;
  StartAt(std::mktime(&local), static_cast<int>((seconds - whole) * 1e6));
}

void FileMetadata::StartAt(std::time_t seconds, int micros) {
  std::tm local{};
  std::tm utc{};
  localtime_r(&seconds, &local);
  gmtime_r(&seconds, &utc);
  char text[64];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  char micro[16];
  std::snprintf(micro, sizeof(micro), ".%06dZ", micros);
  m_creationTime = std::string(text) + micro;
  m_timecode =
      Timecode(local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + micros / 1e6, m_rate);
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
