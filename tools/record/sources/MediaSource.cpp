#include "tools/record/sources/MediaSource.h"

#include <algorithm>
#include <cstring>

#include "tools/record/SessionNote.h"

namespace sorvo::tools {

std::string MediaSource::SizeProblem(int width, int height) {
  constexpr int kSmallestSide = 100;
  constexpr int kLargestSide = 5000;
  if (width >= kSmallestSide && height >= kSmallestSide && width <= kLargestSide &&
      height <= kLargestSide)
    return "";
  return "its pictures are " + std::to_string(width) + "x" + std::to_string(height) +
         "; the recorder takes " + std::to_string(kSmallestSide) + " to " +
         std::to_string(kLargestSide) + " pixels each way";
}

bool MediaSource::NextPicture(double* due) {
  // Read beside the last picture, which a failed read must leave whole.
  if (!Next(&m_reading, due))
    return false;
  m_made.swap(m_reading);
  return true;
}

bool MediaSource::WritePicture(uint8_t* into) {
  std::memcpy(into, m_made.data(), m_made.size());
  return true;
}

long MediaSource::pictureSize() const {
  return SorvoPictureSize(m_pixelFormat, m_width, m_height);
}

std::vector<MediaSource::Note> MediaSource::Notes() const {
  std::lock_guard<std::mutex> hold(m_notesLock);
  return m_notes;
}

void MediaSource::AddNote(const std::string& note) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> hold(m_notesLock);
  for (Note& said : m_notes) {
    // A source that takes its link's notes again and again says each of them once.
    if (said.text == note || said.last == note)
      return;
    if (AlikeNotes(said.text, note)) {
      ++said.count;
      said.last = note;
      said.lastAt = now;
      return;
    }
  }
  m_notes.push_back({note, "", 1, now, now});
}

}  // namespace sorvo::tools
