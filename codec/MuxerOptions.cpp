#include "codec/MuxerOptions.h"

#include <string>
#include <utility>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

#include "codec/FragmentCommitIo.h"
#include "host/Setting.h"

namespace sorvo {
namespace {

// Only the muxers of the MP4 family take "movflags"; any other container is written as
// it always was, whatever the key says.
bool TakesMovFlags(const AVOutputFormat* format) {
  if (format == nullptr || format->priv_class == nullptr)
    return false;
  const AVClass* muxerClass = format->priv_class;
  return av_opt_find(&muxerClass, "movflags", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
}

// The formats whose files are made regular at the end; the muxer's other flavours (smooth
// streaming, Flash, PSP, iPod) keep their own defaults.
bool FinishesAsRegular(const AVOutputFormat* format) {
  const std::string name = format->name;
  return name == "mp4" || name == "mov" || name == "3gp";
}

}  // namespace

MuxerOptions MuxerOptions::Regular(const AVOutputFormat* format, int streams) {
  MuxerOptions options;
  if (TakesMovFlags(format) && streams > 1)
    av_dict_set(&options.m_pOptions, "movie_timescale", "90000", 0);
  return options;
}

MuxerOptions MuxerOptions::ForFormat(const AVOutputFormat* format, int streams) {
  MuxerOptions options = Regular(format, streams);
  if (!TakesMovFlags(format))
    return options;
  const bool staysFragmented =
      CSetting("SettingVideo.ini").GetInt("Sorvo", "FragmentedMP4", 0, 1) != 0;
  if (!staysFragmented && !FinishesAsRegular(format))
    return options;
  // A fragment is cut at a video key frame, so it holds whole GOPs; the empty 'moov' is
  // written with the header, so the file is readable from its first fragment on. A file
  // made regular at the end needs no index of its fragments ('mfra') there.
  std::string flags = "frag_keyframe+empty_moov+default_base_moof";
  if (streams > 1)
    flags += "+frag_discont";
  if (!staysFragmented)
    flags += "+skip_trailer";
  av_dict_set(&options.m_pOptions, "movflags", flags.c_str(), 0);
  // Cameras' key frames come at different moments: in a file of several, each would cut a
  // fragment of its own, a few pictures long. A fragment of at least a second is cut at the
  // first key frame after it, so a file holds a fragment a second however many cameras.
  av_dict_set(&options.m_pOptions, "min_frag_duration", "1000000", 0);
  // In a file of several streams, a stream that begins later than the first is placed by
  // its first fragment's decode time, since the 'moov' written up front can carry no edit
  // list to delay it. By default the muxer would move each stream's first sample to 0
  // instead; told to, it shifts all streams alike, and only so far that none begins
  // before 0 (the sound's start-up delay).
  if (streams > 1)
    av_dict_set(&options.m_pOptions, "avoid_negative_ts", "make_non_negative", 0);
  // The muxer keeps a fragment's samples in memory and writes the whole fragment at once;
  // flushing after every packet hands each finished fragment to the kernel at once, where a
  // killed process cannot lose it. Between fragments there is nothing to flush.
  av_dict_set(&options.m_pOptions, "flush_packets", "1", 0);
  options.m_bFragmented = true;
  options.m_bFinishRegular = !staysFragmented;
  return options;
}

bool MuxerOptions::OpenFile(AVFormatContext* context, const char* fileName) const {
  if (!m_bFragmented)
    return avio_open(&context->pb, fileName, AVIO_FLAG_WRITE) >= 0;
  context->pb = FragmentCommitIo::Open(fileName);
  if (context->pb == nullptr)
    return false;
  // Closed by OutputContextDeleter through FragmentCommitIo::Close.
  context->flags |= AVFMT_FLAG_CUSTOM_IO;
  return true;
}

MuxerOptions::~MuxerOptions() {
  av_dict_free(&m_pOptions);
}

MuxerOptions::MuxerOptions(MuxerOptions&& other) noexcept
    : m_pOptions(std::exchange(other.m_pOptions, nullptr)),
      m_bFragmented(other.m_bFragmented),
      m_bFinishRegular(other.m_bFinishRegular) {}

}  // namespace sorvo
