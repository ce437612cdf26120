// The options a new container file is opened with. By default there are none, and every
// file is written as the container muxer writes it by default.
//
// With FragmentedMP4=1 in the [Sorvo] section of SettingVideo.ini, a file of the MP4
// family is written as fragments instead: an empty 'moov' up front (it still carries each
// stream's decoder configuration), then one 'moof' + 'mdat' pair per GOP, cut at each
// video key frame, and each packet's bytes go to the kernel as soon as the muxer has
// written them, each fragment becoming visible to readers only once it is whole in the file.
// Such a file stays readable after the process dies up to its last complete fragment, where
// a default MP4 without its trailing 'moov' cannot be read at all. The
// key is read each time options are made, so that a host can change it between files.
//
// An MP4 of several streams counts the whole file's time in ticks of 1/90,000 s rather
// than the muxer's default milliseconds: a stream that begins later than the others is
// delayed by an edit list in those ticks, and milliseconds would start it up to one early.
// A file of one stream needs no such delay and is written exactly as by default.
//
// Threads: any; an object belongs to the thread that made it.
#pragma once

struct AVDictionary;
struct AVFormatContext;
struct AVOutputFormat;

namespace sorvo {

class MuxerOptions {
 public:
  // The options for a new file of `format` with `streams` streams; reads the settings file.
  static MuxerOptions ForFormat(const AVOutputFormat* format, int streams);

  MuxerOptions() = default;
  ~MuxerOptions();
  MuxerOptions(MuxerOptions&& other) noexcept;
  MuxerOptions& operator=(MuxerOptions&&) = delete;
  MuxerOptions(const MuxerOptions&) = delete;
  MuxerOptions& operator=(const MuxerOptions&) = delete;

  // Opens the file `context` writes to: a plain file output, or for a fragmented MP4 a
  // FragmentCommitIo, which shows each fragment only once it is whole. False when the file
  // cannot be opened.
  bool OpenFile(AVFormatContext* context, const char* fileName) const;
  // For avformat_write_header, which takes the options it knows out of the dictionary.
  AVDictionary** address() { return &m_pOptions; }

 private:
  AVDictionary* m_pOptions = nullptr;
  bool m_bFragmented = false;
};

}  // namespace sorvo
