// The picture a camera without signal records, so that its file keeps the session's
// length: on a dark slate the camera's name, "NO SIGNAL" and the time since the signal
// was lost; or, held (--on-loss hold), the camera's last picture, where there was one.
//
// One thread: the feeder's.
#pragma once

#include <sorvo/sorvo.h>

#include <string>

#include "tools/record/sources/StandIn.h"

namespace sorvo::tools {

class NoSignalPicture : public StandIn {
 public:
  // The slate's colours, which tell its pictures from a camera's in a decoded file.
  static constexpr uint8_t kSlateRed = 24;
  static constexpr uint8_t kSlateGreen = 24;
  static constexpr uint8_t kSlateBlue = 72;

  // `format` must be one PictureCanvas supports.
  NoSignalPicture(const std::string& cameraName,
                  int width,
                  int height,
                  PixelFormat format,
                  bool hold);

  bool wantsLast() const override { return m_hold; }
  void Fill(double lostFor, const std::vector<uint8_t>& last, std::vector<uint8_t>* out) override;

  // "0:07", "12:34", "1:02:03".
  static std::string ElapsedText(double seconds);

 private:
  void Draw(const std::string& elapsed);

  const std::string m_name;  // in capitals, as the font has them
  const int m_width;
  const int m_height;
  const PixelFormat m_format;
  const bool m_hold;
  std::vector<uint8_t> m_slate;
  std::string m_shown;  // the elapsed time m_slate shows
};

}  // namespace sorvo::tools
