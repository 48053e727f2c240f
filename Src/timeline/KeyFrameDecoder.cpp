#include <algorithm>
#include <cmath>

#include "runtime/MediaTexts.h"
#include "timeline/ThumbnailParts.h"
#include "timeline/TimelineWork.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

TKeyFrameDecoder::TKeyFrameDecoder() = default;
TKeyFrameDecoder::~TKeyFrameDecoder() = default;

bool TKeyFrameDecoder::Open(AVFormatContext* ic, int index, int height, std::string* error) {
  FStream = ic->streams[index];
  FOrigin = TimelineOrigin(ic, FStream);
  FHeight = height;
  const AVCodec* codec = avcodec_find_decoder(FStream->codecpar->codec_id);
  if (!codec) {
    *error = "no decoder for the video stream";
    return false;
  }
  FCodec.reset(avcodec_alloc_context3(codec));
  FFrame.reset(av_frame_alloc());
  if (!FCodec || !FFrame) {
    *error = ErrorText(AVERROR(ENOMEM));
    return false;
  }
  int r = avcodec_parameters_to_context(FCodec.get(), FStream->codecpar);
  FCodec->pkt_timebase = FStream->time_base;
  // A second guard beside sending key frames only; the deblocking filter is not worth its
  // time in a picture this small.
  FCodec->skip_frame = AVDISCARD_NONKEY;
  FCodec->skip_loop_filter = AVDISCARD_ALL;
  // Key frames that are no IDR (open GOPs, recovery points) are whole pictures too.
  FCodec->flags2 |= AV_CODEC_FLAG2_SHOW_ALL;
  FCodec->thread_count = 0;
  if (r >= 0) r = avcodec_open2(FCodec.get(), codec, nullptr);
  if (r < 0) {
    *error = ErrorText(r);
    return false;
  }
  FTurner.SetFilters(UprightFilters(FStream));
  const int degrees = UprightDegrees(FStream);
  FQuarterTurn = degrees == 90 || degrees == 270;
  return true;
}

int64_t TKeyFrameDecoder::ToMicroseconds(int64_t ticks) const {
  return av_rescale_q(ticks - FOrigin, FStream->time_base, AV_TIME_BASE_Q);
}

int64_t TKeyFrameDecoder::ToTicks(int64_t us) const {
  return av_rescale_q(us, AV_TIME_BASE_Q, FStream->time_base) + FOrigin;
}

int64_t TKeyFrameDecoder::OriginMicroseconds() const {
  return av_rescale_q(FOrigin, FStream->time_base, AV_TIME_BASE_Q);
}

void TKeyFrameDecoder::Flush() { avcodec_flush_buffers(FCodec.get()); }

int TKeyFrameDecoder::Decode(const AVPacket* pkt, const std::function<void(TThumbnail&&)>& out) {
  int r = avcodec_send_packet(FCodec.get(), pkt);
  // A damaged key frame costs its picture, not the strip.
  if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_EOF && pkt) return 0;
  for (;;) {
    r = avcodec_receive_frame(FCodec.get(), FFrame.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return 0;
    if (r < 0) return pkt ? 0 : r;
    ++FDecoded;
    TThumbnail t;
    if (!(FCancel && FCancel->load()) && MakeThumbnail(FFrame.get(), &t)) out(std::move(t));
    av_frame_unref(FFrame.get());
  }
}

// The upright picture FHeight high keeps its display shape (pixel aspect included).
void TKeyFrameDecoder::PlanSize(const AVFrame* frame) {
  FSourceWidth = frame->width;
  FSourceHeight = frame->height;
  AVRational sar = frame->sample_aspect_ratio;
  if (sar.num <= 0 || sar.den <= 0) sar = AVRational{1, 1};
  double shape = static_cast<double>(frame->width) * sar.num / (static_cast<double>(frame->height) * sar.den);
  if (FQuarterTurn) shape = 1 / shape;
  const int width = std::clamp(static_cast<int>(std::lround(FHeight * shape)), 1, 16 * FHeight);
  FScaledWidth = FQuarterTurn ? FHeight : width;
  FScaledHeight = FQuarterTurn ? width : FHeight;
}

namespace {

// The JPEG formats are their plain kin with the full range, which the scaler wants told apart.
AVPixelFormat PlainFormat(AVPixelFormat f, bool* fullRange) {
  switch (f) {
    case AV_PIX_FMT_YUVJ420P: *fullRange = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: *fullRange = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: *fullRange = true; return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: *fullRange = true; return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: *fullRange = true; return AV_PIX_FMT_YUV411P;
    default: return f;
  }
}

}  // namespace

bool TKeyFrameDecoder::MakeThumbnail(AVFrame* frame, TThumbnail* out) {
  if (frame->width != FSourceWidth || frame->height != FSourceHeight) PlanSize(frame);
  bool fullRange = frame->color_range == AVCOL_RANGE_JPEG;
  const AVPixelFormat format = PlainFormat(static_cast<AVPixelFormat>(frame->format), &fullRange);
  FScaler.reset(sws_getCachedContext(FScaler.release(), frame->width, frame->height, format, FScaledWidth,
                                     FScaledHeight, AV_PIX_FMT_RGB24, SWS_AREA, nullptr, nullptr, nullptr));
  TFramePtr rgb(av_frame_alloc());
  if (!FScaler || !rgb) return false;
  const int space = frame->colorspace != AVCOL_SPC_UNSPECIFIED ? frame->colorspace
                    : frame->height >= 720                     ? SWS_CS_ITU709
                                                               : SWS_CS_DEFAULT;
  sws_setColorspaceDetails(FScaler.get(), sws_getCoefficients(space), fullRange ? 1 : 0,
                           sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
  rgb->format = AV_PIX_FMT_RGB24;
  rgb->width = FScaledWidth;
  rgb->height = FScaledHeight;
  if (av_frame_get_buffer(rgb.get(), 0) < 0) return false;
  if (sws_scale(FScaler.get(), frame->data, frame->linesize, 0, frame->height, rgb->data, rgb->linesize) <= 0)
    return false;
  rgb->sample_aspect_ratio = AVRational{1, 1};
  if (!FTurner.Turn(rgb)) return false;
  const int64_t ts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
  out->Time = ts == AV_NOPTS_VALUE ? 0 : ToMicroseconds(ts);
  out->Width = rgb->width;
  out->Height = rgb->height;
  out->Rgb.resize(static_cast<size_t>(rgb->width) * rgb->height * 3);
  for (int y = 0; y < rgb->height; ++y)
    std::copy_n(rgb->data[0] + static_cast<ptrdiff_t>(y) * rgb->linesize[0], rgb->width * 3,
                out->Rgb.data() + static_cast<size_t>(y) * rgb->width * 3);
  return true;
}
