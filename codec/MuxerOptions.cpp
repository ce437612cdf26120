#include "codec/MuxerOptions.h"

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

}  // namespace

MuxerOptions MuxerOptions::ForFormat(const AVOutputFormat* format, int streams) {
  MuxerOptions options;
  if (!TakesMovFlags(format))
    return options;
  if (streams > 1)
    av_dict_set(&options.m_pOptions, "movie_timescale", "90000", 0);
  if (CSetting("SettingVideo.ini").GetInt("Sorvo", "FragmentedMP4", 0, 1) == 0)
    return options;
  // A fragment is cut at each video key frame, so it holds one GOP; the empty 'moov' is
  // written with the header, so the file is readable from its first fragment on.
  av_dict_set(&options.m_pOptions, "movflags",
              streams > 1 ? "frag_keyframe+empty_moov+default_base_moof+frag_discont"
                          : "frag_keyframe+empty_moov+default_base_moof",
              0);
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
    : m_pOptions(std::exchange(other.m_pOptions, nullptr)), m_bFragmented(other.m_bFragmented) {}

}  // namespace sorvo
