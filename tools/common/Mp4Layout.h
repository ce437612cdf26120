// The top-level boxes of an MP4 file, read only as far as telling what became of it: a
// complete file has its index ('moov'), a fragmented one carries 'moof' fragments (or an
// index that announces them), and a plain file whose writer was killed has its media data
// ('mdat') but no index. The mdat's size field of such a file is still 0 or provisional, so
// its data is taken to run to the end of the file unless a box follows where the size says.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvo::tools {

struct Mp4Layout {
  bool boxes = false;       // the file opens with MP4 boxes
  bool index = false;       // a whole 'moov' box is present
  bool fragmented = false;  // 'moof' boxes, or an index with 'mvex'
  bool mediaData = false;   // an 'mdat' box was found
  size_t dataBegin = 0;     // the first mdat's payload
  size_t dataEnd = 0;
  bool sizeProvisional = false;  // the mdat's size field did not hold its real length
};

Mp4Layout ReadMp4Layout(const uint8_t* data, size_t size);

}  // namespace sorvo::tools
