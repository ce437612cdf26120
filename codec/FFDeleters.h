// Owners for FFmpeg objects: every one the module allocates is held by one of these, and so
// is every one the programs beside it allocate (they link the library for them). The
// deleters are defined out of line and exported, so that public headers need no FFmpeg
// header.
#pragma once

#include <memory>

#include "host/SorvoExport.h"

struct AVCodecContext;
struct AVCodecParameters;
struct AVFrame;
struct AVPacket;
struct AVCodecParserContext;
struct AVFormatContext;
struct SwrContext;
struct SwsContext;

namespace sorvo {

struct SORVO_EXPORT CodecContextDeleter {
  void operator()(AVCodecContext* context) const;
};
struct SORVO_EXPORT FrameDeleter {
  void operator()(AVFrame* frame) const;
};
struct SORVO_EXPORT PacketDeleter {
  void operator()(AVPacket* packet) const;
};
struct SORVO_EXPORT ParserDeleter {
  void operator()(AVCodecParserContext* parser) const;
};
struct SORVO_EXPORT FreeDeleter {
  void operator()(void* p) const;
};
// An output format context: closes its file, if the format has one and it was opened, then
// frees the context with its streams. Writing the trailer is the owner's business.
struct SORVO_EXPORT OutputContextDeleter {
  void operator()(AVFormatContext* context) const;
};
struct SORVO_EXPORT ResamplerDeleter {
  void operator()(SwrContext* resampler) const;
};
// An input format context: closes its input and frees it.
struct SORVO_EXPORT InputContextDeleter {
  void operator()(AVFormatContext* context) const;
};
struct SORVO_EXPORT CodecParametersDeleter {
  void operator()(AVCodecParameters* parameters) const;
};
struct SORVO_EXPORT ScalerDeleter {
  void operator()(SwsContext* scaler) const;
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserDeleter>;
using MallocPtr = std::unique_ptr<unsigned char, FreeDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerDeleter>;

// A codec context that a container writer may share with its encoder: the encoder lets go
// at Close and the writer at CloseFile; the last one frees it.
using SharedCodecContext = std::shared_ptr<AVCodecContext>;
SharedCodecContext MakeSharedCodecContext(AVCodecContext* context);

}  // namespace sorvo
