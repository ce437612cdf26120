#include "codec/FFEncoder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

#include "codec/CaptureTimeline.h"
#include "codec/EncodeThreads.h"
#include "codec/Mpeg4Level.h"
#include "codec/RepeatPicture.h"
#include "host/BandedConversion.h"
#include "host/MediaBase.h"
#include "support/CodecMutexes.h"
#include "support/LogF.h"

namespace {

// The debug bits of the codec's historic 0x7E00 that still exist in this FFmpeg
// (error resilience, MMCO, bugs); they print nothing at the module's log level.
constexpr int kEncoderDebugFlags = 0x400 | 0x800 | 0x1000;

void ApplySettings(AVCodecContext* context,
                   int width,
                   int height,
                   int frameRate,
                   int bitRate,
                   bool gray,
                   int threads) {
  context->width = width;
  context->height = height;
  context->time_base = AVRational{1, frameRate};
  context->framerate = AVRational{frameRate, 1};
  context->gop_size = frameRate;
  context->max_b_frames = 0;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  if (gray)
    context->flags |= AV_CODEC_FLAG_GRAY;
  context->debug = kEncoderDebugFlags;
  context->bit_rate = bitRate;
  // Only the visual object sequence header's level changes with it.
  context->level = sorvo::Mpeg4SimpleLevel(width, height, frameRate, bitRate);
  // Several threads each code a slice of macroblock rows, which starts with a resync
  // marker: the stream differs from a single thread's, so a single thread (the codec's
  // default) is left as it is.
  if (threads > 1) {
    context->thread_count = threads;
    context->thread_type = FF_THREAD_SLICE;
  }
}

int FailOpen() {
  std::fputs("could not open m_pAVCodec\n", stderr);
  return 0;
}

}  // namespace

FFEncoder::FFEncoder()
    : m_pTimeline(std::make_unique<sorvo::CaptureTimeline>()),
      m_pRepeat(std::make_unique<sorvo::RepeatPicture>()) {}

FFEncoder::~FFEncoder() {
  // A derived class's Close override is gone by now; close this level's resources.
  FFEncoder::Close();
}

int FFEncoder::Open(int width,
                    int height,
                    PixelFormat format,
                    int frameRate,
                    int bitRate,
                    const char* label) {
  if (width <= 0 || height <= 0 || format < 0 || frameRate <= 0 || bitRate <= 0)
    return 0;

  CSingleLock hold(m_lock);
  std::lock_guard<std::mutex> codecHold(sorvo::VideoEncoderMutex());
  // Reopening with other dimensions must not leave Encode with the old buffers.
  ReleaseLocked();
  InitFFmpeg();

  const bool gray = format == PIX_FMT_GRAY8;
  m_strLabel = label ? label : "";
  m_nWidth = width;
  m_nHeight = height;
  m_eInputFormat = gray ? PIX_FMT_YUV420P : format;
  // The encoder still opens, as hosts expect, but a camera that would record nothing at
  // all is said at once rather than found out from an empty file.
  if (m_eInputFormat != PIX_FMT_YUV420P && !sorvo::IsPackedRgb(m_eInputFormat))
    LogWarnF(
        "%s: pictures of pixel format %d cannot be encoded; give YUV 4:2:0 (0), grey (8) "
        "or packed RGB (2, 3, 27 to 30)",
        label ? label : "", static_cast<int>(format));

  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  if (codec == nullptr) {
    std::fputs("m_pAVCodec not found\n", stderr);
    return 0;
  }

  sorvo::SharedCodecContext context = sorvo::MakeSharedCodecContext(avcodec_alloc_context3(codec));
  sorvo::FramePtr convertPicture(av_frame_alloc());
  sorvo::FramePtr directPicture(av_frame_alloc());
  sorvo::PacketPtr codedPacket(av_packet_alloc());
  sorvo::PacketPtr outPacket(av_packet_alloc());
  if (!context || !convertPicture || !directPicture || !codedPacket || !outPacket)
    return FailOpen();
  const int threads = sorvo::EncodeThreadsFor(width, height, m_strLabel);
  ApplySettings(context.get(), width, height, frameRate, bitRate, gray, threads);
  if (avcodec_open2(context.get(), codec, nullptr) < 0)
    return FailOpen();
  // Without the decoder configuration an MP4 sample entry could not be written; refuse
  // rather than record a file that cannot be decoded from its sample entry.
  if (!AttachExtradata(codec, context.get(), frameRate, gray, threads))
    return FailOpen();

  sorvo::MallocPtr outBuffer(static_cast<unsigned char*>(std::malloc(kOutputCapacity)));
  if (!outBuffer)
    return FailOpen();
  for (AVFrame* picture : {convertPicture.get(), directPicture.get()}) {
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = width;
    picture->height = height;
  }
  // Converted pictures land in a buffer of the codec library's own layout: aligned rows
  // for the converter, and a reference-counted buffer the codec takes without a copy.
  if (av_frame_get_buffer(convertPicture.get(), 0) < 0)
    return FailOpen();

  // Converted pictures are cut into as many bands as the codec has slices; YUV input
  // needs no conversion and no helpers.
  if (threads > 1 && sorvo::IsPackedRgb(m_eInputFormat))
    m_pConversion = std::make_unique<sorvo::BandedConversion>(threads, "Conv_" + m_strLabel);

  m_pAVCodec = codec;
  std::atomic_store(&m_pCodecContext, std::move(context));
  m_pConvertPicture = std::move(convertPicture);
  m_pDirectPicture = std::move(directPicture);
  m_pCodedPacket = std::move(codedPacket);
  m_pOutPacket = std::move(outPacket);
  m_pOutBuffer = std::move(outBuffer);
  m_nOutCapacity = kOutputCapacity;
  m_pTimeline->Reset(frameRate);
  m_pRepeat->Reset(width, height, frameRate);
  m_nLastSlot = -1;
  m_nCodedSlot = -1;
  m_nLeftOut.store(0);
  m_nRepeated.store(0);
  m_bToldCounted = false;
  m_bToldLeftOut = false;
  m_bToldRepeated = false;
  m_bOpen.store(true);
  return 1;
}

bool FFEncoder::AttachExtradata(const AVCodec* codec,
                                AVCodecContext* context,
                                int frameRate,
                                bool gray,
                                int threads) {
  // Setting the global-header flag on the real encoder would stop the in-band VOS/VOL
  // headers at every key frame, which the raw stream, the network clients and the
  // preview need to start decoding. A throwaway encoder with the same settings and the
  // flag produces the same headers as extradata (slices change the layer header, so it has
  // the same threads).
  sorvo::CodecContextPtr probe(avcodec_alloc_context3(codec));
  if (!probe)
    return false;
  ApplySettings(probe.get(), context->width, context->height, frameRate,
                static_cast<int>(context->bit_rate), gray, threads);
  probe->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(probe.get(), codec, nullptr) < 0 || probe->extradata_size <= 0)
    return false;
  auto* extradata =
      static_cast<uint8_t*>(av_mallocz(probe->extradata_size + AV_INPUT_BUFFER_PADDING_SIZE));
  if (extradata == nullptr)
    return false;
  std::memcpy(extradata, probe->extradata, probe->extradata_size);
  av_freep(&context->extradata);
  context->extradata = extradata;
  context->extradata_size = probe->extradata_size;
  return true;
}

int FFEncoder::PictureBytes() const {
  if (m_eInputFormat == PIX_FMT_YUV420P || sorvo::IsPackedRgb(m_eInputFormat))
    return sorvo::PictureSize(m_eInputFormat, m_nWidth, m_nHeight);
  return 0;
}

AVFrame* FFEncoder::PreparePictureLocked(unsigned char* data) {
  if (m_eInputFormat == PIX_FMT_YUV420P) {
    AVFrame* picture = m_pDirectPicture.get();
    av_image_fill_arrays(picture->data, picture->linesize, data, AV_PIX_FMT_YUV420P, m_nWidth,
                         m_nHeight, 1);
    return picture;
  }
  AVFrame* picture = m_pConvertPicture.get();
  // The codec gives the buffer back once it has coded the picture; should it still hold
  // it, the picture gets a fresh one rather than changing what the codec reads.
  if (av_frame_make_writable(picture) < 0)
    return nullptr;
  if (m_pConversion)
    m_pConversion->Convert(data, m_nWidth, m_nHeight, m_eInputFormat, picture->data,
                           picture->linesize);
  else
    ConvertRGBToYV420P(data, m_nWidth, m_nHeight, m_eInputFormat, picture);
  return picture;
}

int64_t FFEncoder::PlacePictureLocked(double time) {
  const sorvo::CaptureTimeline::Placement placement = m_pTimeline->Place(time);
  if (placement.counted && !m_bToldCounted) {
    m_bToldCounted = true;
    LogInfoF(
        "%s: capture time %.6f cannot be followed (no times, not a number, or a jump back or "
        "ahead); such pictures are stamped one frame after the one before",
        m_strLabel.c_str(), time);
  }
  if (placement.encode)
    return placement.slot;
  m_nLeftOut.fetch_add(1);
  if (!m_bToldLeftOut) {
    m_bToldLeftOut = true;
    LogInfoF(
        "%s: a picture captured at %.6f shows an instant already recorded (a camera switch, "
        "or a source faster than %d/s) and is left out; later ones are left out silently",
        m_strLabel.c_str(), time, m_pCodecContext->time_base.den);
  }
  return -1;
}

int FFEncoder::Encode(int /*id*/, double time, unsigned char* data, long length) {
  CSingleLock hold(m_lock);
  // While packets encoded elsewhere are recorded, a picture would break into their GOP.
  if (!m_bOpen.load() || data == nullptr || IsPassing())
    return 0;

  const int needed = PictureBytes();
  // A picture shorter than its size and format say would be read past its end.
  if (needed <= 0 || length < needed)
    return 0;

  const int64_t slot = PlacePictureLocked(time);
  if (slot < 0)
    return 0;
  // A repeat's hook may close this encoder; then this picture has nowhere to go.
  const bool keyAfterRepeats = RepeatUpToLocked(slot);
  if (!m_bOpen.load())
    return 0;
  AVFrame* picture = PreparePictureLocked(data);
  if (picture == nullptr)
    return 0;
  picture->pts = slot;
  picture->pict_type = m_bKeyFrameRequested.exchange(false) || keyAfterRepeats
                           ? AV_PICTURE_TYPE_I
                           : AV_PICTURE_TYPE_NONE;

  AVCodecContext* context = m_pCodecContext.get();
  if (avcodec_send_frame(context, picture) < 0)
    return 0;
  AVPacket* coded = m_pCodedPacket.get();
  // Without B-frames the packet of this picture comes back from this very send.
  if (avcodec_receive_packet(context, coded) < 0)
    return 0;
  m_nCodedSlot = slot;
  const bool key = (coded->flags & AV_PKT_FLAG_KEY) != 0;
  const int size = coded->size;
  const bool fits = size >= 1 && size <= m_nOutCapacity;
  if (fits)
    std::memcpy(m_pOutBuffer.get(), coded->data, size);
  av_packet_unref(coded);
  if (!fits)
    return 0;
  // The hook may even close this encoder (the lock is re-entrant): nothing here touches
  // the packet or the buffers after it.
  HandOutLocked(m_pOutBuffer.get(), size, slot, key);
  return 1;
}

bool FFEncoder::RepeatUpToLocked(int64_t slot) {
  // Before the first picture there is nothing to repeat. A receiver that asked for a key
  // frame (a file that refused the picture before, a client that just joined) would get
  // repeats of a picture it does not hold: the slots stay empty, and the key frame comes.
  if (m_nLastSlot < 0 || slot <= m_nLastSlot + 1 || m_bKeyFrameRequested.load())
    return false;
  const int64_t first = m_nLastSlot + 1;
  if (!m_bToldRepeated) {
    m_bToldRepeated = true;
    LogInfoF(
        "%s: no picture came for %lld slot(s) from %.3f s on; each such slot repeats the "
        "picture before it, so that the stream keeps its rate (later ones silently)",
        m_strLabel.c_str(), static_cast<long long>(slot - first),
        static_cast<double>(first) / m_pCodecContext->time_base.den);
  }
  for (int64_t empty = first; empty < slot; ++empty) {
    // Copied out, as OnEncode may reach back into this encoder (even close it).
    const std::vector<uint8_t>& bytes = m_pRepeat->Build(empty, m_nLastSlot);
    std::memcpy(m_pOutBuffer.get(), bytes.data(), bytes.size());
    m_nRepeated.fetch_add(1);
    HandOutLocked(m_pOutBuffer.get(), static_cast<int>(bytes.size()), empty, false);
    if (!m_bOpen.load())
      return false;
  }
  return m_pRepeat->NeedsKeyAfter(slot - 1, m_nCodedSlot);
}

void FFEncoder::HandOutLocked(uint8_t* data, int size, int64_t slot, bool key) {
  AVPacket* out = m_pOutPacket.get();
  av_packet_unref(out);  // back to the defaults: pos -1, stream 0, flags 0
  out->data = data;
  out->size = size;
  out->pts = slot;
  out->dts = slot;
  out->duration = 1;
  out->time_base = m_pCodecContext->time_base;
  if (key)
    out->flags |= AV_PKT_FLAG_KEY;
  m_nLastSlot = slot;
  OnEncode(out);
}

int FFEncoder::BeginPassing(const std::vector<uint8_t>& headers) {
  CSingleLock hold(m_lock);
  if (!m_bOpen.load() || headers.empty())
    return 0;
  AVCodecContext* context = m_pCodecContext.get();
  const bool same = context->extradata_size == static_cast<int>(headers.size()) &&
                    std::memcmp(context->extradata, headers.data(), headers.size()) == 0;
  if (!same) {
    auto* extradata =
        static_cast<uint8_t*>(av_mallocz(headers.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (extradata == nullptr)
      return 0;
    std::memcpy(extradata, headers.data(), headers.size());
    av_freep(&context->extradata);
    context->extradata = extradata;
    context->extradata_size = static_cast<int>(headers.size());
  }
  // Pictures fill in until the stream's key frame; the codec's last picture is not the
  // one the stream showed last.
  if (m_ePassing.exchange(Passing::kAwaitingKey) == Passing::kPassing)
    RequestKeyFrame();
  return 1;
}

void FFEncoder::EndPassing() {
  CSingleLock hold(m_lock);
  // The codec's last picture is not the one the stream showed last.
  if (m_ePassing.exchange(Passing::kNo) == Passing::kPassing)
    RequestKeyFrame();
}

int FFEncoder::Pass(double time, const unsigned char* data, long length, bool key) {
  CSingleLock hold(m_lock);
  if (!m_bOpen.load() || m_ePassing.load() == Passing::kNo || data == nullptr || length < 1 ||
      length > m_nOutCapacity)
    return 0;
  // Until the first key frame the packets refer to pictures never recorded.
  if (!key && !IsPassing())
    return 0;
  m_ePassing.store(Passing::kPassing);
  std::memcpy(m_pOutBuffer.get(), data, length);
  HandOutLocked(m_pOutBuffer.get(), static_cast<int>(length), m_pTimeline->Follow(time).slot, key);
  return 1;
}

int FFEncoder::Close() {
  CSingleLock hold(m_lock);
  std::lock_guard<std::mutex> codecHold(sorvo::VideoEncoderMutex());
  ReleaseLocked();
  return 1;
}

void FFEncoder::ReleaseLocked() {
  m_bOpen.store(false);
  m_ePassing.store(Passing::kNo);
  // A writer that shares the context keeps it until its CloseFile; otherwise it goes now.
  std::atomic_store(&m_pCodecContext, sorvo::SharedCodecContext());
  m_pAVCodec = nullptr;
  m_pConvertPicture.reset();
  m_pConversion.reset();
  m_pDirectPicture.reset();
  m_pCodedPacket.reset();
  m_pOutPacket.reset();
  m_pOutBuffer.reset();
  m_nOutCapacity = 0;
}

int FFEncoder::IsOpen() {
  return m_bOpen.load() ? 1 : 0;
}

double FFEncoder::GetTimeOrigin() const {
  return m_pTimeline->origin();
}

AVCodecContext* FFEncoder::GetCodecContext() {
  return std::atomic_load(&m_pCodecContext).get();
}

sorvo::SharedCodecContext FFEncoder::ShareCodecContext() {
  return std::atomic_load(&m_pCodecContext);
}

void FFEncoder::OnEncode(AVPacket* /*packet*/) {}
