// A short name of one of the library's pixel formats, for what the programs print.
#pragma once

namespace sorvo::tools {

// "BGR24", "YUV 4:2:0", ...; "format N" for one without a name here.
const char* PixelFormatName(int pixelFormat);

}  // namespace sorvo::tools
