#pragma once
// Owners of FFmpeg objects: each one a std::unique_ptr whose deleter frees the object the way
// its library asks. The one place they are defined; the engine, the job layer, the decoder and
// the player hold every object they allocate in one of these.
#include <cstdint>
#include <memory>

struct AVFrame;
struct AVPacket;
struct AVCodecContext;
struct AVFormatContext;
struct AVStream;
struct AVBSFContext;
struct AVFilterGraph;
struct AVFilterInOut;
struct SwsContext;
struct SwrContext;

struct TFrameFree {
  void operator()(AVFrame* f) const;
};
using TFramePtr = std::unique_ptr<AVFrame, TFrameFree>;

struct TPacketFree {
  void operator()(AVPacket* p) const;
};
using TPacketPtr = std::unique_ptr<AVPacket, TPacketFree>;

struct TCodecContextFree {
  void operator()(AVCodecContext* c) const;
};
using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextFree>;

// An opened input (avformat_open_input, or OpenUserInput of runtime/UnicodeProtocol.h).
struct TInputFormatClose {
  void operator()(AVFormatContext* s) const;
};
using TInputFormatPtr = std::unique_ptr<AVFormatContext, TInputFormatClose>;

// An output context; a file still open in it is closed first, without a check (a caller that
// cares about the result closes it with CloseFormatIO before).
struct TOutputFormatFree {
  void operator()(AVFormatContext* s) const;
};
using TOutputFormatPtr = std::unique_ptr<AVFormatContext, TOutputFormatFree>;

struct TBSFContextFree {
  void operator()(AVBSFContext* c) const;
};
using TBSFContextPtr = std::unique_ptr<AVBSFContext, TBSFContextFree>;

struct TFilterGraphFree {
  void operator()(AVFilterGraph* g) const;
};
using TFilterGraphPtr = std::unique_ptr<AVFilterGraph, TFilterGraphFree>;

struct TFilterInOutFree {
  void operator()(AVFilterInOut* io) const;
};
using TFilterInOutPtr = std::unique_ptr<AVFilterInOut, TFilterInOutFree>;

// A buffer from av_malloc and its kin.
struct TAVBufferFree {
  void operator()(void* p) const;
};
using TAVBufferPtr = std::unique_ptr<uint8_t, TAVBufferFree>;

struct TSwsContextFree {
  void operator()(SwsContext* c) const;
};
using TSwsContextPtr = std::unique_ptr<SwsContext, TSwsContextFree>;

struct TSwrContextFree {
  void operator()(SwrContext* s) const;
};
using TSwrContextPtr = std::unique_ptr<SwrContext, TSwrContextFree>;

// Copies what the demuxer keeps beside a stream's packets (rotation, HDR mastering and light
// levels, ...) to a stream that carries the same packets. False when memory runs out.
bool CopyStreamSideData(const AVStream* from, AVStream* to);
