// The registry of the engine's own packet-output muxers and their write steps; the output
// stage consults it by name before libavformat.
#include "RawMuxers.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace {

constexpr int kRawFlags = AVFMT_NOFILE | AVFMT_NOTIMESTAMPS;

const TRawMuxer kPacketMuxers[] = {
    {"rawh263", "raw H.263 video format", "h263", AV_CODEC_ID_H263, nullptr, "h263", kRawFlags},
    {"rawh264", "raw H.264 video format", "h264", AV_CODEC_ID_H264, nullptr, "h264", kRawFlags},
    {"rawmjpeg", "raw MJPEG video", "mjpg,mjpeg", AV_CODEC_ID_MJPEG, "video/x-mjpeg", "mjpeg",
     kRawFlags},
    {"rawyuv", "raw YUV video format", "yuv", AV_CODEC_ID_RAWVIDEO, nullptr, "rawvideo",
     kRawFlags},
    {"rawrgb", "raw RGB video format", "rgb", AV_CODEC_ID_RAWVIDEO, nullptr, "rawvideo",
     kRawFlags},
};

std::mutex gLock;
std::vector<const TRawMuxer*> gRegistered;
std::set<const TFrameOutputAdapter*> gAdapters;

}  // namespace

TFrameOutputAdapter::TFrameOutputAdapter() {
  std::lock_guard<std::mutex> lock(gLock);
  gAdapters.insert(this);
}

TFrameOutputAdapter::~TFrameOutputAdapter() {
  std::lock_guard<std::mutex> lock(gLock);
  gAdapters.erase(this);
}

std::string TFrameOutputAdapter::FileName() const {
  return std::to_string(reinterpret_cast<uintptr_t>(this));
}

void RegisterPacketMuxers() {
  std::lock_guard<std::mutex> lock(gLock);
  for (const TRawMuxer& m : kPacketMuxers) {
    bool known = false;
    for (const TRawMuxer* r : gRegistered) known = known || std::string(r->Name) == m.Name;
    if (!known) gRegistered.push_back(&m);
  }
}

void UnregisterPacketMuxers() {
  std::lock_guard<std::mutex> lock(gLock);
  gRegistered.clear();
}

const TRawMuxer* FindRawMuxer(const std::string& name) {
  std::lock_guard<std::mutex> lock(gLock);
  for (const TRawMuxer* r : gRegistered)
    if (name == r->Name) return r;
  return nullptr;
}

int RawMuxerWriteHeader(const TRawMuxer& /*muxer*/, AVFormatContext* s,
                        std::unique_ptr<TRawMuxerContext>& context) {
  const char* url = s->url ? s->url : "";
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(url, &end, 10);
  if (!*url || *end || errno == ERANGE || *url == '-' || *url == '+') {
    av_log(s, AV_LOG_ERROR,
           "Could not parse FrameOutputAdapter: \"%s\", it should be address of "
           "FrameOutputAdapter\n",
           url);
    return AVERROR(EINVAL);
  }
  auto* adapter = reinterpret_cast<TFrameOutputAdapter*>(static_cast<uintptr_t>(value));
  {
    std::lock_guard<std::mutex> lock(gLock);
    if (value == 0 || !gAdapters.count(adapter)) {
      av_log(s, AV_LOG_ERROR, "Invalid FrameOutputAdapter\n");
      return AVERROR(EINVAL);
    }
  }
  context = std::make_unique<TRawMuxerContext>();
  context->FormatContext = s;
  if (s->nb_streams > 0) {
    const AVCodecParameters* par = s->streams[0]->codecpar;
    context->PixFmt = static_cast<AVPixelFormat>(par->format);
    context->Width = par->width;
    context->Height = par->height;
  }
  context->Adapter = adapter;
  adapter->FContext = context.get();
  if (adapter->OnHeader) adapter->OnHeader(adapter);
  return 0;
}

int RawMuxerWritePacket(TRawMuxerContext& context, const AVPacket* pkt) {
  context.PacketCount++;
  context.Packet = pkt;
  if (context.Adapter->OnPacket) context.Adapter->OnPacket(context.Adapter, &context);
  context.Packet = nullptr;
  return 0;
}

int RawMuxerWriteTrailer(TRawMuxerContext& context) {
  if (context.Adapter->OnTrailer) context.Adapter->OnTrailer(context.Adapter);
  return 0;
}
