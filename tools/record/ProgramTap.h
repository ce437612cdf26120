// Hands the buffers of one of the library's frame sources to several receivers in turn:
// the director sink's fitted pictures (a sink has room for one grabber target only), or the
// session's sound on its way to the audio sink and the publisher. The first receiver's
// result is the tap's.
//
// Threads: OnBuffer on the source's delivering thread; Add and Remove on the control
// thread at any time. m_lock guards m_receivers and is held while a buffer is handed out,
// so that a receiver removed is no longer called once Remove returns.
#pragma once

#include <sorvo/sorvo.h>

#include <mutex>
#include <vector>

namespace sorvo::tools {

class ProgramTap : public IGrabberCallBack {
 public:
  // The receiver must stay until it is removed or the tap goes.
  void Add(IGrabberCallBack* receiver);
  void Remove(IGrabberCallBack* receiver);

  int OnBuffer(int id,
               double time,
               unsigned char* data,
               long length,
               int width,
               int height,
               PixelFormat pixelFormat) override;

 private:
  std::mutex m_lock;
  std::vector<IGrabberCallBack*> m_receivers;
};

}  // namespace sorvo::tools
