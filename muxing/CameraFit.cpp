#include "muxing/CameraFit.h"

#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "codec/EncodeThreads.h"
#include "host/ScaleRect.h"

namespace sorvo {

namespace {

// The border colour as a YUV 4:2:0 picture shows it: a block of it converted by libswscale,
// as the camera pictures are, so that borders and pictures agree on what a colour is.
LetterboxCanvas::Colour BorderColour(uint32_t fill) {
  constexpr int kBlock = 16;
  std::vector<unsigned char> block(kBlock * kBlock * 3);
  for (size_t i = 0; i < block.size(); i += 3) {
    block[i] = static_cast<unsigned char>(fill >> 16);     // blue
    block[i + 1] = static_cast<unsigned char>(fill >> 8);  // green
    block[i + 2] = static_cast<unsigned char>(fill);       // red
  }
  ScalerSlot converter;
  if (!converter.SetUp(kBlock, kBlock, PIX_FMT_BGR24, kBlock, kBlock, PIX_FMT_YUV420P) ||
      !converter.Scale(block.data()))
    return {16, 128, 128};  // black
  const unsigned char* yuv = converter.Buffer();
  const int luma = kBlock * kBlock;
  const int chroma = luma / 4;
  return {yuv[0], yuv[luma], yuv[luma + chroma]};
}

}  // namespace

bool CameraFit::Key::operator==(const Key& other) const {
  return mode == other.mode && srcWidth == other.srcWidth && srcHeight == other.srcHeight &&
         srcFormat == other.srcFormat && dstWidth == other.dstWidth &&
         dstHeight == other.dstHeight && dstFormat == other.dstFormat && fill == other.fill;
}

CameraFit::CameraFit() = default;
CameraFit::~CameraFit() = default;

bool CameraFit::PassesThrough(const FitSource& source, const FitTarget& target) {
  return source.width == target.width && source.height == target.height &&
         source.format == target.format;
}

FitResult CameraFit::CheckSource(const FitSource& source, const Key& key) {
  FitResult result;
  if (!m_bSetUp || !(m_setUpFor == key)) {
    if (m_bFailed && m_failedFor == key)
      return result;
    m_bSetUp = false;
    if (!(key.mode == Mode::kStretch ? SetUpStretch(key) : SetUpLetterbox(key))) {
      m_bFailed = true;
      m_failedFor = key;
      result.failed = true;
      return result;
    }
    m_bSetUp = true;
    m_setUpFor = key;
    m_bFailed = false;
    result.setUp = true;
  }
  result.fittedWidth = m_fitScaler.TargetWidth();
  result.fittedHeight = m_fitScaler.TargetHeight();
  // A picture shorter than its size and format say would be read past its end.
  if (source.data != nullptr &&
      source.length >= PictureSize(source.format, source.width, source.height))
    result.data = source.data;
  return result;
}

PixelFormat CameraFit::SetUpConversion(const Key& key) {
  const int threads =
      IsPackedRgb(key.srcFormat) ? EncodeThreadsFor(key.srcWidth, key.srcHeight, "director") : 1;
  if (threads <= 1) {
    m_pConversion.reset();
    m_converted = std::vector<unsigned char>();
    return key.srcFormat;
  }
  if (!m_pConversion || m_pConversion->bands() != threads)
    m_pConversion = std::make_unique<BandedConversion>(threads, "Fit_convert");
  m_converted.assign(PictureSize(PIX_FMT_YUV420P, key.srcWidth, key.srcHeight), 0);
  return PIX_FMT_YUV420P;
}

const unsigned char* CameraFit::ScalerInput(const FitSource& source) {
  if (!m_pConversion)
    return source.data;
  uint8_t* planes[4];
  int linesizes[4];
  av_image_fill_arrays(planes, linesizes, m_converted.data(), AV_PIX_FMT_YUV420P, source.width,
                       source.height, 1);
  m_pConversion->Convert(source.data, source.width, source.height, source.format, planes,
                         linesizes);
  return m_converted.data();
}

bool CameraFit::SetUpStretch(const Key& key) {
  const PixelFormat from = SetUpConversion(key);
  return m_fitScaler.SetUp(key.srcWidth, key.srcHeight, from, key.dstWidth, key.dstHeight,
                           key.dstFormat);
}

bool CameraFit::SetUpLetterbox(const Key& key) {
  const CRect area(0, 0, key.dstWidth, key.dstHeight);
  const CRect region = LetterboxCanvas::EvenRegion(ScaleRect(area, key.srcWidth, key.srcHeight, 0),
                                                   key.dstWidth, key.dstHeight);
  if (region.Width() <= 0 || region.Height() <= 0)
    return false;
  const PixelFormat from = SetUpConversion(key);
  if (!m_fitScaler.SetUp(key.srcWidth, key.srcHeight, from, region.Width(), region.Height(),
                         PIX_FMT_YUV420P) ||
      !m_canvas.Make(key.dstWidth, key.dstHeight, region, BorderColour(key.fill),
                     m_fitScaler.Buffer()))
    return false;
  if (key.dstFormat == PIX_FMT_YUV420P) {
    m_outScaler.Reset();
    return true;
  }
  return m_outScaler.SetUp(key.dstWidth, key.dstHeight, PIX_FMT_YUV420P, key.dstWidth,
                           key.dstHeight, key.dstFormat);
}

FitResult CameraFit::Stretch(const FitSource& source, const FitTarget& target) {
  if (PassesThrough(source, target))
    return FitResult{source.data, source.length};
  const Key key{Mode::kStretch, source.width,  source.height, source.format,
                target.width,   target.height, target.format, 0};
  FitResult result = CheckSource(source, key);
  if (result.data == nullptr)
    return result;
  m_fitScaler.Scale(ScalerInput(source));
  result.data = m_fitScaler.Buffer();
  result.length = m_fitScaler.BufferSize();
  return result;
}

FitResult CameraFit::Letterbox(const FitSource& source, const FitTarget& target) {
  if (PassesThrough(source, target))
    return FitResult{source.data, source.length};
  const Key key{Mode::kLetterbox, source.width,  source.height, source.format,
                target.width,     target.height, target.format, target.fill};
  FitResult result = CheckSource(source, key);
  if (result.data == nullptr)
    return result;
  m_fitScaler.Scale(ScalerInput(source));
  m_canvas.Paste();
  if (m_outScaler.IsReady()) {
    m_outScaler.Scale(m_canvas.Data());
    result.data = m_outScaler.Buffer();
    result.length = m_outScaler.BufferSize();
  } else {
    result.data = m_canvas.Data();
    result.length = m_canvas.Size();
  }
  return result;
}

void CameraFit::Release() {
  m_fitScaler.Reset();
  m_outScaler.Reset();
  m_canvas.Release();
  m_pConversion.reset();
  m_converted = std::vector<unsigned char>();
  m_bSetUp = false;
  m_bFailed = false;
}

}  // namespace sorvo
