// The options a new container file is opened with.
//
// An MP4 (or MOV or 3GP) file is written as fragments while it records: an empty 'moov' up
// front (it still carries each stream's decoder configuration), then one 'moof' + 'mdat'
// pair per GOP (a second or more), cut at a video key frame, each packet's bytes going to the
// kernel as soon as the muxer has written them and each fragment becoming visible to readers only
// once it is whole in the file. So the muxer holds no more than a GOP's index at a time, however
// long the recording, and a file whose writer is killed stays readable up to its last
// complete fragment. At CloseFile such a file becomes a regular MP4 (FinishesRegular:
// RegularMp4Finish), unless FragmentedMP4=1 in the [Sorvo] section of SettingVideo.ini asks
// for files that stay fragmented. Other containers are written as their muxers write them
// by default, and so are the other muxers of the MP4 family, which only the setting turns to
// fragments. The key is read each time options are made, so that a host can change it
// between files.
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
  // The options of a regular, unfragmented file of `format` with `streams` streams: what
  // the index of a file finished as a regular one is made with.
  static MuxerOptions Regular(const AVOutputFormat* format, int streams);

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
  const AVDictionary* get() const { return m_pOptions; }
  // Whether the file is written as fragments to be made a regular file when it closes.
  bool FinishesRegular() const { return m_bFinishRegular; }

 private:
  AVDictionary* m_pOptions = nullptr;
  bool m_bFragmented = false;
  bool m_bFinishRegular = false;
};

}  // namespace sorvo
