#include "tools/record/SinkStatus.h"

namespace sorvo::tools {

const char* KindName(OutputFile::Kind kind) {
  switch (kind) {
    case OutputFile::Kind::kCameraMp4:
      return "camera MP4";
    case OutputFile::Kind::kDirectorMp4:
      return "director MP4";
    case OutputFile::Kind::kMultiStreamMp4:
      return "multi-stream MP4";
    case OutputFile::Kind::kWav:
      return "WAV";
    case OutputFile::Kind::kPrivateStream:
      return "private stream";
    case OutputFile::Kind::kRawStream:
      return "raw stream";
    case OutputFile::Kind::kEditList:
      return "edit list";
  }
  return "";
}

}  // namespace sorvo::tools
