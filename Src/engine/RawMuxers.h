#pragma once
// The engine's own packet-output muxers ("rawh263", "rawh264", "rawmjpeg", "rawyuv", "rawrgb").
// FFmpeg 5 cannot register muxers from outside, so they live in this registry, which output
// creation consults by name before libavformat. They write no file: every packet goes to a
// frame-output adapter, named by its address in decimal as the output file name.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
#include <libavutil/pixfmt.h>
}

struct TRawMuxer {
  const char* Name;
  const char* LongName;
  const char* Extensions;
  AVCodecID VideoCodec;
  const char* MimeType;    // nullptr: none
  const char* BaseFormat;  // built-in muxer whose container the engine builds the streams in
  int Flags;               // AVFMT_NOFILE | AVFMT_NOTIMESTAMPS
};

class TFrameOutputAdapter;

// The muxer's private record while an output runs.
struct TRawMuxerContext {
  AVFormatContext* FormatContext = nullptr;
  AVPixelFormat PixFmt = AV_PIX_FMT_NONE;
  int Width = 0;
  int Height = 0;
  int64_t PacketCount = 0;
  const AVPacket* Packet = nullptr;  // the packet being handed over (valid during OnPacket)
  TFrameOutputAdapter* Adapter = nullptr;
};

// Receives the packets of a raw muxer output. Only live adapters can be named as outputs, so a
// stray number in a file name never reaches memory that is not an adapter.
class TFrameOutputAdapter {
public:
  TFrameOutputAdapter();
  ~TFrameOutputAdapter();
  TFrameOutputAdapter(const TFrameOutputAdapter&) = delete;
  TFrameOutputAdapter& operator=(const TFrameOutputAdapter&) = delete;

  // The output file name that names this adapter.
  std::string FileName() const;
  TRawMuxerContext* Context() const { return FContext; }

  std::function<void(TFrameOutputAdapter* Adapter)> OnHeader;
  std::function<void(TFrameOutputAdapter* Adapter, TRawMuxerContext* Context)> OnPacket;
  std::function<void(TFrameOutputAdapter* Adapter)> OnTrailer;

private:
  friend int RawMuxerWriteHeader(const TRawMuxer&, AVFormatContext*,
                                 std::unique_ptr<TRawMuxerContext>&);
  TRawMuxerContext* FContext = nullptr;
};

// Registers the five muxers, each only when no muxer of that name is registered yet (the window
// calls it after the encoder's libraries are loaded). Safe to call more than once.
void RegisterPacketMuxers();
// A registered engine muxer of that exact name, else nullptr.
const TRawMuxer* FindRawMuxer(const std::string& name);
// Drops every registration (tests).
void UnregisterPacketMuxers();

// The three muxer steps. Header: the container's url must name a live adapter ("Could not parse
// FrameOutputAdapter: ..." / "Invalid FrameOutputAdapter", -22).
int RawMuxerWriteHeader(const TRawMuxer& muxer, AVFormatContext* s,
                        std::unique_ptr<TRawMuxerContext>& context);
int RawMuxerWritePacket(TRawMuxerContext& context, const AVPacket* pkt);
int RawMuxerWriteTrailer(TRawMuxerContext& context);
