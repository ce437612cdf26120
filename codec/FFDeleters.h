// Owners for FFmpeg objects: every one the module allocates is held by one of these. The
// deleters are defined out of line so that public headers need no FFmpeg header.
#pragma once

#include <memory>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct AVCodecParserContext;
struct AVFormatContext;
struct SwrContext;

namespace sorvo {

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const;
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const;
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const;
};
struct ParserDeleter {
  void operator()(AVCodecParserContext* parser) const;
};
struct FreeDeleter {
  void operator()(void* p) const;
};
// An output format context: closes its file, if the format has one and it was opened, then
// frees the context with its streams. Writing the trailer is the owner's business.
struct OutputContextDeleter {
  void operator()(AVFormatContext* context) const;
};
struct ResamplerDeleter {
  void operator()(SwrContext* resampler) const;
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserDeleter>;
using MallocPtr = std::unique_ptr<unsigned char, FreeDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerDeleter>;

// A codec context that a container writer may share with its encoder: the encoder lets go
// at Close and the writer at CloseFile; the last one frees it.
using SharedCodecContext = std::shared_ptr<AVCodecContext>;
SharedCodecContext MakeSharedCodecContext(AVCodecContext* context);

}  // namespace sorvo
