// Receiver of encoded packets. A packet points into its producer's buffer and is valid
// only during the call.
#pragma once

#include "host/SorvoExport.h"

struct AVPacket;

// The tag that marks an audio packet in OnEncodeData.
constexpr int kAudioDataTag = 200;

class SORVO_EXPORT ISorvoData {
 public:
  virtual int OnEncodeData(int id, AVPacket* packet) = 0;

 protected:
  virtual ~ISorvoData() = default;
};
