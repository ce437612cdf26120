// The fitting state of one camera: how its pictures are brought to the director's size,
// either stretched or letterboxed.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/BandedConversion.h"
#include "host/PixelFormat.h"
#include "muxing/LetterboxCanvas.h"
#include "muxing/ScalerSlot.h"

namespace sorvo {

// A camera picture as OnBuffer receives it.
struct FitSource {
  unsigned char* data = nullptr;
  long length = 0;
  int width = 0;
  int height = 0;
  PixelFormat format = PIX_FMT_NONE;
};

// The director's picture, and the border colour (0x00BBGGRR) for letterboxing.
struct FitTarget {
  int width = 0;
  int height = 0;
  PixelFormat format = PIX_FMT_NONE;
  uint32_t fill = 0;
};

struct FitResult {
  unsigned char* data = nullptr;  // the fitted picture; null when it cannot be fitted
  long length = 0;
  // The scalers were set up for this picture: the caller logs the resize warning once,
  // naming the fitted size.
  bool setUp = false;
  int fittedWidth = 0;
  int fittedHeight = 0;
  // No scaler could be set up for a source and target not seen failing before: the
  // caller logs it once. Later pictures of the same kind are refused quietly.
  bool failed = false;
};

// A picture of the director's own size and format passes through untouched: the result
// is the caller's data and length. A packed RGB picture large enough for its encoder to
// convert it on several threads (EncodeThreads.h) is converted to YUV 4:2:0 at its own size
// the same way first, and scaled from there: libswscale scaling packed RGB converts every
// source pixel with its filters on the way, which for a 3840x2160 camera took 23 ms against
// 7 ms for the conversion and 6 ms for the YUV scaling, on the capture thread that has
// 40 ms for all it does with each picture. Otherwise the scalers, the canvas and their buffers are
// made on the first picture of a size and format (and again whenever the camera's or the
// director's size or format changes) and reused for every later picture. The result
// points into this object's buffers (or at the source) and stays valid until the next
// call or Release.
//
// Not thread-safe: the controller calls it for one camera at a time, under that camera's
// fitting lock.
class CameraFit {
 public:
  CameraFit();
  ~CameraFit();
  CameraFit(const CameraFit&) = delete;
  CameraFit& operator=(const CameraFit&) = delete;

  // Stretches the picture to the target's size and format, ignoring the aspect ratio.
  FitResult Stretch(const FitSource& source, const FitTarget& target);
  // Fits the picture into the target's size keeping its aspect ratio, on a canvas of the
  // border colour, and converts it to the target's format.
  FitResult Letterbox(const FitSource& source, const FitTarget& target);
  // Frees the scalers, the canvas and their buffers; the next picture sets them up anew.
  void Release();

 private:
  enum class Mode { kNone, kStretch, kLetterbox };
  // What the scalers were last set up for, or last failed for.
  struct Key {
    Mode mode = Mode::kNone;
    int srcWidth = 0, srcHeight = 0;
    PixelFormat srcFormat = PIX_FMT_NONE;
    int dstWidth = 0, dstHeight = 0;
    PixelFormat dstFormat = PIX_FMT_NONE;
    uint32_t fill = 0;
    bool operator==(const Key& other) const;
  };

  static bool PassesThrough(const FitSource& source, const FitTarget& target);
  // Sets up or drops the conversion ahead of the scaling for pictures of `key`; the format
  // the fit scaler reads.
  PixelFormat SetUpConversion(const Key& key);
  // The picture the fit scaler reads: the source, or its conversion.
  const unsigned char* ScalerInput(const FitSource& source);
  // Null data when the source is too short to be scaled or the set-up failed.
  FitResult CheckSource(const FitSource& source, const Key& key);
  bool SetUpStretch(const Key& key);
  bool SetUpLetterbox(const Key& key);

  ScalerSlot m_fitScaler;  // camera picture -> stretched, or -> fitted YUV 4:2:0
  ScalerSlot m_outScaler;  // letterbox only: canvas -> a director format other than YUV 4:2:0
  LetterboxCanvas m_canvas;
  // Large packed pictures only: their conversion, planes packed; null and empty otherwise.
  std::unique_ptr<BandedConversion> m_pConversion;
  std::vector<unsigned char> m_converted;
  Key m_setUpFor;  // valid while m_bSetUp
  bool m_bSetUp = false;
  Key m_failedFor;  // valid while m_bFailed
  bool m_bFailed = false;
};

}  // namespace sorvo
