#include "support/CodecMutexes.h"

namespace sorvo {
// Function-local statics: constructed on first use, so that an encoder opened from another
// static initialiser still finds its mutex.
std::mutex& VideoEncoderMutex() {
  static std::mutex mutex;
  return mutex;
}
std::mutex& VideoDecoderMutex() {
  static std::mutex mutex;
  return mutex;
}
std::mutex& AudioEncoderMutex() {
  static std::mutex mutex;
  return mutex;
}
CMutexEx& AudioDecoderMutex() {
  static CMutexEx mutex;
  return mutex;
}
}  // namespace sorvo
