// One scaling step of the frame fitting: a libswscale context from one picture size and
// format to another, with the output picture it writes.
#pragma once

#include <memory>

#include "host/PixelFormat.h"
#include "host/SwsScale.h"

namespace sorvo {

// Sizes and formats use the module's old pixel-format numbering. The output picture has
// its planes packed one after the other (FFmpeg's picture size for the target, alignment
// 1), so that it can be handed on as one picture. It is allocated when a set-up needs a
// size the slot has not yet got, and kept across later set-ups of the same size.
//
// Not thread-safe: each slot belongs to one camera's fitting state, which its owner's lock
// guards.
class ScalerSlot {
 public:
  ScalerSlot();
  ~ScalerSlot();
  ScalerSlot(const ScalerSlot&) = delete;
  ScalerSlot& operator=(const ScalerSlot&) = delete;

  // Makes the context, bicubic, from (srcWidth, srcHeight, srcFormat) to (dstWidth,
  // dstHeight, dstFormat). false, with the slot left empty, when libswscale refuses them.
  bool SetUp(int srcWidth,
             int srcHeight,
             PixelFormat srcFormat,
             int dstWidth,
             int dstHeight,
             PixelFormat dstFormat);
  // True when the slot is ready and was made for exactly these sizes and formats.
  bool Serves(int srcWidth,
              int srcHeight,
              PixelFormat srcFormat,
              int dstWidth,
              int dstHeight,
              PixelFormat dstFormat) const;
  // Scales one whole source picture of the set-up size and format (SourceSize() bytes)
  // into the output picture. false when the slot is not ready or there is no source.
  bool Scale(const unsigned char* source);
  // Frees the context and the output picture. Sizes and formats keep their values.
  void Reset();

  bool IsReady() const { return m_context != nullptr; }
  unsigned char* Buffer() { return m_buffer.get(); }
  int BufferSize() const { return m_nBufferSize; }
  int SourceSize() const { return m_nSourceSize; }
  int TargetWidth() const { return m_nDstWidth; }
  int TargetHeight() const { return m_nDstHeight; }

 private:
  int m_nSrcWidth = 0;
  int m_nSrcHeight = 0;
  PixelFormat m_eSrcFormat = PIX_FMT_NONE;
  int m_nDstWidth = 0;
  int m_nDstHeight = 0;
  PixelFormat m_eDstFormat = PIX_FMT_NONE;
  SwsContextPtr m_context;
  std::unique_ptr<unsigned char[]> m_buffer;
  int m_nBufferSize = 0;  // bytes of one output picture
  int m_nAllocated = 0;   // bytes of m_buffer, room behind the picture included
  int m_nSourceSize = 0;  // bytes of one source picture
};

}  // namespace sorvo
