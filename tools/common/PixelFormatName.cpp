#include "tools/common/PixelFormatName.h"

#include <sorvo/sorvo.h>

namespace sorvo::tools {

const char* PixelFormatName(int pixelFormat) {
  switch (pixelFormat) {
    case PIX_FMT_YUV420P:
      return "YUV 4:2:0";
    case PIX_FMT_RGB24:
      return "RGB24";
    case PIX_FMT_BGR24:
      return "BGR24";
    case PIX_FMT_GRAY8:
      return "grey";
    case PIX_FMT_ARGB:
      return "ARGB";
    case PIX_FMT_RGBA:
      return "RGBA";
    case PIX_FMT_ABGR:
      return "ABGR";
    case PIX_FMT_BGRA:
      return "BGRA";
    default:
      return "another format";
  }
}

}  // namespace sorvo::tools
