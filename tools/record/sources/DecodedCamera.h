// A camera whose pictures come out of a decoder (a media input, another recorder's stream):
// it hands them on as decoded, any size and format (NextDecoded), so that they are
// converted only where they go, straight into the sink's buffer (ReconnectingSource); a
// reader that asks for bytes (Next) gets them converted to the camera's 4:2:0 size here.
//
// One thread at a time, as MediaSource.
#pragma once

#include <optional>

#include "tools/record/sources/MediaSource.h"
#include "tools/record/sources/PictureConverter.h"

namespace sorvo::tools {

class DecodedCamera : public MediaSource {
 public:
  bool Next(std::vector<uint8_t>* data, double* due) final;
  bool decodes() const final { return true; }

 private:
  std::optional<PictureConverter> m_converter;  // made at the first Next
  FramePtr m_decoded;                           // the picture Next converts
};

}  // namespace sorvo::tools
