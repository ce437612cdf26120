// The output of a fragmented MP4 that shows each fragment to readers only once the whole
// of it is in the file.
//
// A reader scans every top-level box of an MP4 when it opens the file, and a 'moof' box cut
// short (by a process killed in the middle of a write, or a disk that filled up) makes the
// whole file unreadable. So each 'moof' header goes out typed 'free', which readers skip
// whole or cut; once its 'mdat' has followed it completely into the kernel, the four type
// bytes are written over with 'moof'. Writing those four bytes either happens or does not,
// so the file on disk always ends in complete fragments, perhaps followed by one skipped box.
//
// The muxer sees a non-seekable stream (it writes fragments front to back and never seeks
// in them); each buffer it flushes goes straight to the file, at the offsets that follow.
//
// Ownership: the AVIOContext that Open returns owns the object, and Close frees both; an
// AVFormatContext given it is flagged AVFMT_FLAG_CUSTOM_IO, and OutputContextDeleter closes
// it through Close. Release hands the file itself on, so that it can be edited further even
// if its name has been taken meanwhile. Threads: whoever writes the format context, one at
// a time.
#pragma once

#include <cstdint>
#include <memory>

struct AVIOContext;

namespace sorvo {

class PositionedFile;

class FragmentCommitIo {
 public:
  // The output for a new file `fileName` (created or truncated); null when it cannot be
  // opened.
  static AVIOContext* Open(const char* fileName);
  // Flushes what is buffered, closes the file (unless released) and frees the context; sets
  // *output to null. Returns 0 or the first write error.
  static int Close(AVIOContext** output);
  // Flushes what is buffered and hands over the file, which the output no longer writes;
  // null after a write error.
  static std::unique_ptr<PositionedFile> Release(AVIOContext* output);

  ~FragmentCommitIo();
  FragmentCommitIo(const FragmentCommitIo&) = delete;
  FragmentCommitIo& operator=(const FragmentCommitIo&) = delete;

 private:
  static constexpr int kBufferSize = 32768;
  static constexpr int kMaxHeader = 16;  // size, type and a 64-bit size

  explicit FragmentCommitIo(std::unique_ptr<PositionedFile> file);

  static int WritePacket(void* opaque, uint8_t* data, int size);
  int Write(const uint8_t* data, int size);
  // Ends the header collected in m_header: decides its type and where the next box starts.
  void EndHeader();
  void Emit(const uint8_t* data, int64_t size);
  // The pending fragment is complete in the file: its 'moof' becomes visible.
  void Commit();

  std::unique_ptr<PositionedFile> m_pFile;  // the file itself; null once released
  int m_nError = 0;                         // the first failure; nothing is committed after it
  int64_t m_nWritten = 0;                   // bytes handed to the file, = the file's end
  int64_t m_nNextBox = 0;                   // where the next top-level box header starts
  uint8_t m_header[kMaxHeader] = {};
  int m_nHeaderBytes = 0;       // of a header being collected at m_nNextBox
  int64_t m_nPendingMoof = -1;  // a 'moof' written as 'free', not yet committed
  int64_t m_nCommitAt = -1;     // the end of its 'mdat', once known
};

}  // namespace sorvo
