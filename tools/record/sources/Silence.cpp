#include "tools/record/sources/Silence.h"

#include "tools/record/sources/SoundFormat.h"

namespace sorvo::tools {

void Silence::Fill(double, const std::vector<uint8_t>&, std::vector<uint8_t>* out) {
  out->assign(kSoundBufferSamples * kSoundChannels * kSoundBytesPerSample, 0);
}

}  // namespace sorvo::tools
